#include "Render.h"

#include <QLabel>

QColor ColourOf(aircon::TValueColour Colour) {
    using aircon::TValueColour;
    switch (Colour) {
        case TValueColour::NotDetected:
            return clGrayText();
        case TValueColour::Normal:
            return clBlack();
        case TValueColour::BelowLowerLimit:
            return clLime();
        case TValueColour::AboveUpperLimit:
            return clFuchsia();
        case TValueColour::Fault:
            return clRed();
        case TValueColour::Ordinary:
        case TValueColour::Unchanged:
            break;
    }
    return clWindowText();
}

void ShowReading(QLabel* lbl, const aircon::TReading& Reading) {
    ShowValue(lbl, aircon::ReadingText(Reading), ColourOf(aircon::ReadingColour(Reading)));
}

void ShowAlarm(QLabel* lbl, const aircon::TStateCode& Code) {
    const aircon::TValueColour colour = aircon::AlarmColour(Code);
    if (colour != aircon::TValueColour::Unchanged) SetLabelColor(lbl, ColourOf(colour));
    SetCaption(lbl, aircon::AlarmText(Code));
}

void ShowCount(QLabel* lbl, std::uint8_t Count, bool SetColour) {
    if (SetColour) SetLabelColor(lbl, clWindowText());
    SetCaption(lbl, QString::number(Count));
}

void PByteToIntegerStr(QLabel* lbl, std::span<const std::uint8_t, 2> byteArray, bool conv_word) {
    aircon::TReading reading;
    if (byteArray[0] != 0x20 || byteArray[1] != 0x20) {
        const auto v = static_cast<std::uint16_t>(byteArray[0] << 8 | byteArray[1]);
        reading = conv_word ? std::int32_t{v} : std::int32_t{static_cast<std::int16_t>(v)};
    }
    ShowReading(lbl, reading);
}

void AlarmValueToStr(QLabel* lbl, std::uint8_t Value) {
    ShowAlarm(lbl, Value == 0x20 ? aircon::TStateCode{} : aircon::TStateCode{Value});
}
