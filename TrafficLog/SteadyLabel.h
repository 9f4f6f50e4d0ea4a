// Labels whose text changes often (counts, states) without the layout around them moving.
#pragma once

#include <QString>

class QLabel;

// Sets Text on Label, which keeps a fixed size that only ever grows (Fit: fitted to
// the text anew). A label of fixed size asks no relayout of its parent when its text
// changes, so a new count repaints the label alone and not the whole bar around it.
void SetSteadyText(QLabel* Label, const QString& Text, bool Fit = false);
