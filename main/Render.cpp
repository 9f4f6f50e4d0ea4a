#include "Render.h"

#include "PanelLabels.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPalette>

QColor clWindowText() {
    return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

QColor clGrayText() {
    return QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

void SetCaption(QLabel* lbl, const QString& text) {
    lbl->setText(text);
    lbl->adjustSize();
}

void SetCaption(QLabel* lbl, std::string_view utf8) {
    SetCaption(lbl, QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

void SetFontColor(QLabel* lbl, const QColor& color) {
    SetLabelColor(lbl, color);
}

QColor FontColor(const QLabel* lbl) {
    return lbl->palette().color(QPalette::Active, QPalette::WindowText);
}

void PByteToIntegerStr(QLabel* lbl, std::span<const std::uint8_t, 2> byteArray, bool conv_word) {
    if (byteArray[0] == NotDetectedByte && byteArray[1] == NotDetectedByte) {
        SetFontColor(lbl, clGrayText());
        SetCaption(lbl, TextNotDetected);
        return;
    }
    SetFontColor(lbl, clWindowText());
    const auto v = static_cast<std::uint16_t>(byteArray[0] << 8 | byteArray[1]);
    const int shown = conv_word ? int{v} : int{static_cast<std::int16_t>(v)};
    SetCaption(lbl, QString::number(shown));
}

void AlarmValueToStr(QLabel* lbl, std::uint8_t Value) {
    struct Row {
        std::uint8_t Code;
        std::string_view Text;
        QColor (*Color)();
    };
    static constexpr Row rows[] = {{0x00, "正常", clBlack},
                                   {0x01, "低于下限", clLime},
                                   {0x02, "高于上限", clFuchsia},
                                   {NotDetectedByte, TextNotDetected, clGrayText},
                                   {0xF0, "故障", clRed}};
    for (const Row& r : rows) {
        if (r.Code == Value) {
            SetFontColor(lbl, r.Color());
            SetCaption(lbl, r.Text);
            return;
        }
    }
    SetCaption(lbl, QString());
}

std::optional<std::string_view> StateWord(std::span<const TStateWord> table, std::uint16_t code) {
    for (const TStateWord& w : table) {
        if (w.Code == code) return w.Text;
    }
    return std::nullopt;
}

std::string_view UnitPowerStateWord(std::uint8_t code) {
    if (code == 0) return "开机";
    if (code == NotDetectedByte) return "未注册";
    return "关机";
}
