// Replies and the labels they must leave behind, shared by the test that
// drives the decoders on bare panels and the one that feeds reply frames
// through the main window.
#pragma once

#include <QColor>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

#include "UnitDecoders.h"

class QLabel;
class TfrmGetUnitParams;

enum class TColour { Keep, WindowText, Gray, Black, Lime, Fuchsia, Red };
enum class TTarget { Mon0, Mon1, Params, Identity };

struct TExpect {
    TTarget Target;
    const char* Label;
    QString Text;
    TColour Colour;
};

struct TReplyCase {
    const char* Name;
    std::uint8_t CID2;  // the command the reply answers
    std::uint8_t Ver;
    std::uint8_t Addr;
    std::vector<std::uint8_t> Info;
    // The labels that change; every other value label must keep its text and colour.
    std::vector<TExpect> Expect;
};

const std::vector<TReplyCase>& ReplyCases();

// The labels a reply can reach, and how a reply reaches them.
struct TPanelsUnderTest {
    TMonitorPanels Monitors{};
    TfrmGetUnitParams* Params = nullptr;
    std::vector<QLabel*> Identity;  // lblGetDevVer, lblGetDevAddr, lblGetDevName, ...
    std::function<void(const TReplyCase&)> Deliver;
};

// Marks every value label, delivers the reply and compares every label with
// the expectation (QTest failures are recorded in the running test function).
void CheckReplyCase(TPanelsUnderTest& Under, const TReplyCase& Case);

// Colour of a kind, with the marker colour for Keep.
QColor ExpectedColour(TColour Kind);
inline const QColor MarkerColour(12, 34, 56);
