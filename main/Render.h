// How decoded values become label texts and colours: the colours of the core's
// value model on this desktop, and the two rendering operations of a reading and an
// alarm code over a label.
#pragma once

#include <QColor>

#include <cstdint>
#include <span>

#include "Model.h"
#include "PanelKit.h"

class QLabel;

inline constexpr std::string_view TextUnknown = "未知";

// The desktop colour of a value colour; TValueColour::Unchanged has none.
QColor ColourOf(aircon::TValueColour Colour);

// A reading: its decimal text in window-text colour, or "未检测" in grey.
void ShowReading(QLabel* lbl, const aircon::TReading& Reading);
// An alarm state: its word and colour; a code without text empties the caption and
// leaves the colour as it was.
void ShowAlarm(QLabel* lbl, const aircon::TStateCode& Code);
// A count byte: plain decimal, no sentinel; in window-text colour when SetColour.
void ShowCount(QLabel* lbl, std::uint8_t Count, bool SetColour);

// Shows the 16-bit reading held high byte first in byteArray: "未检测" in
// grey for the sentinel 0x2020, otherwise its decimal text (unsigned when
// conv_word is true, two's-complement signed otherwise) in window-text colour.
void PByteToIntegerStr(QLabel* lbl, std::span<const std::uint8_t, 2> byteArray, bool conv_word);
// Shows a one-byte alarm code as its word and colour.
void AlarmValueToStr(QLabel* lbl, std::uint8_t Value);
