#include "SteadyLabel.h"

#include <QLabel>

void SetSteadyText(QLabel* Label, const QString& Text, bool Fit) {
    if (Label->text() == Text && !Fit) return;
    const QFontMetrics fm = Label->fontMetrics();
    const int need = fm.horizontalAdvance(Text) + 2 * Label->margin() + 2;
    if (Fit || need > Label->maximumWidth() || Label->minimumWidth() != Label->maximumWidth())
        Label->setFixedWidth(need + (Fit ? 0 : fm.horizontalAdvance(QStringLiteral("00"))));
    if (Label->minimumHeight() != Label->maximumHeight()) {
        Label->setFixedHeight(fm.height() + 4);
        // Opaque: its repaint does not make the widgets behind it paint as well.
        Label->setAutoFillBackground(true);
    }
    Label->setText(Text);
}
