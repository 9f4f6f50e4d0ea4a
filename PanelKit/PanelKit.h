// The label kit: labels of the panels and tabs as the design places them, a caption
// with its value label to the right of it on the same row, and the colours values
// are shown in. The value label is found from its caption by name: the caption of
// "lblX" is "lblXCaption", a sibling in the same parent.
//
// Showing a value costs nothing when its text and colour are what the label already
// shows: no new palette, no new text, no layout, no repaint.
#pragma once

#include <QColor>
#include <QString>

#include <string_view>

class QLabel;
class QWidget;

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

// A label at its design place, sized to its text, which it shows as plain text.
QLabel* AddPanelLabel(QWidget* Parent, const QString& Name, const QString& Text, int Left, int Top);

// A caption and its value label on one row; returns the value label. The value
// label stands at its design place, moved right where the desktop's font draws
// the caption wider than the design font did, so the two never overlap. The
// value keeps its colour when its page is disabled.
QLabel* AddCaptionedValue(QWidget* Parent, const QString& Name, const QString& Caption,
                          int CaptionLeft, const QString& Value, int ValueLeft, int Top);

// The caption label that stands left of a value label, or null.
QLabel* CaptionOf(const QLabel* Value);

// A label's font colour, kept whether or not the label is enabled, so values
// stay readable on a page that is greyed out.
void SetLabelColor(QLabel* Label, const QColor& Color);
inline void SetFontColor(QLabel* Label, const QColor& Color) {
    SetLabelColor(Label, Color);
}
QColor FontColor(const QLabel* Label);

// A label's caption; the label resizes itself to the new text. An unchanged text
// changes nothing.
void SetCaption(QLabel* Label, const QString& Text);
void SetCaption(QLabel* Label, std::string_view Utf8);

// Text and colour together, the way every value is shown.
void ShowValue(QLabel* Label, std::string_view Utf8, const QColor& Color);
