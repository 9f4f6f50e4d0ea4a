// Labels of the unit panels and tabs: a caption with its value label to the
// right of it on the same row. The value label is found from its caption by
// name: the caption of "lblX" is "lblXCaption", a sibling in the same parent.
#pragma once

#include <QString>

class QColor;
class QLabel;
class QWidget;

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
