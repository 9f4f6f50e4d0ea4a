// The site report: one PDF of the visit for whoever the engineer hands it to.
//
// A4 pages: the identity of the controller, its user parameters, the latest readings,
// switch states and alarms of both units, the link counters, the alarm changes, and
// the trend charts of the session. Texts that come from the controller are printed as
// plain text: nothing in them is read as markup.
#pragma once

#include <QDateTime>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "History.h"
#include "LinkCounters.h"

class QTextDocument;

// What the engineer writes on the report: asked for each report, remembered for the next.
struct TReportDetails {
    QString Site;      // the site's name
    QString Engineer;  // who did the visit
    QString Notes;     // several lines
};

struct TSiteReportData {
    TReportDetails Details;
    const aircon::THistory* History = nullptr;
    std::optional<aircon::TLinkCountersData> Counters;  // when the window keeps them
    QString Port;  // the port of the link ("" when never opened)
    bool LinkOpen = false;
    QString RecordingFile;  // the current recording ("" when none)
    QString ToolVersion;
    QDateTime Generated = QDateTime::currentDateTime();
    // Charts besides the standard ones (temperatures, humidity, voltages, currents,
    // pressures, states): e.g. what the trend window shows. Title and SeriesIndex list.
    std::vector<std::pair<QString, std::vector<int>>> ExtraCharts;
    bool AlarmMarks = true;  // alarm changes marked on the charts
    // Identity and parameters could not be read first, and why ("" when they were or
    // were not needed): "只监听模式，未发送读取命令".
    QString ReadsNote;
};

// The charts every report has, each with both units.
std::vector<std::pair<QString, std::vector<int>>> StandardReportCharts();

// The text part of the report, laid out for Device (the PDF writer), for tests too.
std::unique_ptr<QTextDocument> BuildReportDocument(const TSiteReportData& Data);

// Writes the report to Path. False, with Error saying why, when it cannot be written.
bool WriteSiteReport(const QString& Path, const TSiteReportData& Data, QString* Error = nullptr);
