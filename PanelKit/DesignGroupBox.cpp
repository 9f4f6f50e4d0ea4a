#include "DesignGroupBox.h"

#include <QPainter>
#include <QStyle>

TDesignGroupBox::TDesignGroupBox(const QString& Title, QWidget* Parent)
    : QGroupBox(Title, Parent) {}

void TDesignGroupBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFontMetrics fm = fontMetrics();
    const QString caption = title();
    const int lineY = fm.height() / 2;

    // An etched frame: a dark line with a light one inside it.
    const QRect frame = rect().adjusted(0, lineY, -2, -2);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(frame);
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(frame.translated(1, 1));

    if (caption.isEmpty()) return;
    // The caption interrupts the frame line.
    const QRect captionRect(8, 0, fm.horizontalAdvance(caption) + 4, fm.height());
    p.fillRect(captionRect, palette().color(QPalette::Active, backgroundRole()));
    style()->drawItemText(&p, captionRect, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), caption, QPalette::WindowText);
}
