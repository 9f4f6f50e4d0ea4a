// How readings and codes become label texts and colours.
//
// A value label shows its reading as text in a font colour. The colours follow
// the desktop for ordinary and "not detected" values and are fixed RGB for the
// alarm codes. The word tables turn one-byte (switch replies) and 16-bit
// (user-parameter replies) state codes into words; the two users of a table
// differ in a few rows, so each keeps its own column.
#pragma once

#include <QColor>
#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

class QLabel;

// The "not detected" sentinel: a 16-bit reading of two ASCII spaces, or a
// single space byte for a one-byte state or alarm code.
inline constexpr std::uint8_t NotDetectedByte = 0x20;

inline constexpr std::string_view TextNotDetected = "未检测";
inline constexpr std::string_view TextUnknown = "未知";

// Desktop colours: ordinary text and grey (disabled-looking) text.
QColor clWindowText();
QColor clGrayText();
// Fixed colours of the alarm codes.
inline QColor clBlack() {
    return QColor(0, 0, 0);
}
inline QColor clLime() {
    return QColor(0, 255, 0);
}
inline QColor clFuchsia() {
    return QColor(255, 0, 255);
}
inline QColor clRed() {
    return QColor(255, 0, 0);
}

// A label's caption; the label resizes itself to the new text.
void SetCaption(QLabel* lbl, const QString& text);
void SetCaption(QLabel* lbl, std::string_view utf8);
// A label's font colour. It holds whether or not the label is enabled, so the
// last values stay readable on a page that is greyed out while the link is
// closed.
void SetFontColor(QLabel* lbl, const QColor& color);
QColor FontColor(const QLabel* lbl);

// Shows the 16-bit reading held high byte first in byteArray: "未检测" in
// grey for the sentinel 0x2020, otherwise its decimal text (unsigned when
// conv_word is true, two's-complement signed otherwise) in window-text colour.
void PByteToIntegerStr(QLabel* lbl, std::span<const std::uint8_t, 2> byteArray, bool conv_word);

// Shows a one-byte alarm code as its word and colour. A code outside the
// table empties the caption and leaves the colour as it was.
void AlarmValueToStr(QLabel* lbl, std::uint8_t Value);

// One row of a state word table.
struct TStateWord {
    std::uint16_t Code;
    std::string_view Text;
};

// The state word tables. "Monitor" tables serve the unit monitor panel (one
// byte per code, with the sentinel row where it has one); "Param" tables serve
// the user-parameter panel (whole 16-bit codes, no sentinel row).
namespace StateWords {
inline constexpr TStateWord RunModeMonitor[] = {{0, "自动"}, {1, "制冷"}, {2, "除湿"},
                                                {3, "送风"}, {4, "制热"}, {0x20, "未检测"}};
inline constexpr TStateWord RunModeParam[] = {{0, "自动"}, {1, "制冷"}, {2, "除湿"}, {3, "送风"},
                                              {4, "制热"}, {5, "新风"}, {6, "空调"}};
inline constexpr TStateWord FanSpeedMonitor[] = {
    {0, "停"}, {1, "低风"}, {2, "中风"}, {3, "高风"}, {0x20, "未检测"}};
inline constexpr TStateWord FanSpeedParam[] = {{0, "停止"}, {1, "低风"}, {2, "中风"}, {3, "高风"}};
inline constexpr TStateWord RunStopMonitor[] = {{0, "停止"}, {1, "运转"}, {0x20, "未检测"}};
inline constexpr TStateWord RunStopParam[] = {{0, "停止"}, {1, "运转"}};
inline constexpr TStateWord OffOnMonitor[] = {{0, "关闭"}, {1, "开启"}, {0x20, "未检测"}};
inline constexpr TStateWord AllowBlockParam[] = {{0, "允许"}, {1, "屏蔽"}};
}  // namespace StateWords

// The word of a code, or nothing when the table has no row for it.
std::optional<std::string_view> StateWord(std::span<const TStateWord> table, std::uint16_t code);

// The unit power state has a rule of its own: 0 is on, the sentinel means the
// unit is not registered, anything else is off.
std::string_view UnitPowerStateWord(std::uint8_t code);
