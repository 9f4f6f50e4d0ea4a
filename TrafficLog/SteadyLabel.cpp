#include "SteadyLabel.h"

#include <QLabel>

namespace {
// The length of the longest text the label's width was measured for since it was last
// fitted: a text no longer than that needs no measuring (counts and times differ in
// digits, which take one width; the slack of two digits covers the rest).
constexpr char MeasuredChars[] = "steadyMeasuredChars";
}  // namespace

void SetSteadyText(QLabel* Label, const QString& Text, bool Fit) {
    if (Label->text() == Text && !Fit) return;
    const bool sized = Label->minimumWidth() == Label->maximumWidth();
    const int measured = Label->property(MeasuredChars).toInt();
    if (Fit || !sized || Text.size() > measured) {
        const QFontMetrics fm = Label->fontMetrics();
        const int need = fm.horizontalAdvance(Text) + 2 * Label->margin() + 2;
        if (Fit || !sized || need > Label->maximumWidth())
            Label->setFixedWidth(need + (Fit ? 0 : fm.horizontalAdvance(QStringLiteral("00"))));
        Label->setProperty(MeasuredChars,
                           Fit ? int(Text.size()) : std::max(measured, int(Text.size())));
    }
    if (Label->minimumHeight() != Label->maximumHeight()) {
        const QFontMetrics fm = Label->fontMetrics();
        Label->setFixedHeight(fm.height() + 4);
        // Opaque: its repaint does not make the widgets behind it paint as well.
        Label->setAutoFillBackground(true);
    }
    Label->setText(Text);
}
