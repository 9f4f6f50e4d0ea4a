#include "WindowHost.h"

#include <QCloseEvent>
#include <QEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

#include "Form1.h"

TWindowHost::TWindowHost(TForm1* Form, QWidget* Parent) : QScrollArea(Parent), FForm(Form) {
    setObjectName(QStringLiteral("WindowHost"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setWidget(FForm);
    setWindowTitle(FForm->windowTitle());
    setWindowIcon(FForm->windowIcon());
    setAccessibleName(FForm->accessibleName());
    connect(FForm, &QWidget::windowTitleChanged, this, &QWidget::setWindowTitle);
    connect(FForm, &QWidget::windowIconChanged, this, &QWidget::setWindowIcon);
    FForm->installEventFilter(this);
}

QRect TWindowHost::Available() const {
    const QScreen* s = screen();
    return s ? s->availableGeometry() : QRect(0, 0, 1366, 728);
}

void TWindowHost::FitTo(const QRect& Available) {
    // The frame the window manager adds (title bar, borders) once known; a usual one
    // before the first show.
    const QMargins frame = isVisible() ? QMargins(geometry().left() - frameGeometry().left(),
                                                  geometry().top() - frameGeometry().top(),
                                                  frameGeometry().right() - geometry().right(),
                                                  frameGeometry().bottom() - geometry().bottom())
                                       : QMargins(4, 30, 4, 4);
    const int maxWidth = Available.width() - frame.left() - frame.right();
    const int maxHeight = Available.height() - frame.top() - frame.bottom();
    const QSize want = FForm->size();
    int width = std::min(want.width(), maxWidth);
    int height = std::min(want.height(), maxHeight);
    // A scroll bar takes room from the other direction.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    if (height < want.height()) width = std::min(want.width() + bar, maxWidth);
    if (width < want.width()) height = std::min(height + bar, maxHeight);
    resize(width, height);
}

void TWindowHost::showEvent(QShowEvent* Event) {
    QScrollArea::showEvent(Event);
    if (FPlaced) return;
    FPlaced = true;
    const QRect available = Available();
    FitTo(available);
    QRect frame = frameGeometry();
    frame.moveCenter(available.center());
    frame.moveTop(std::max(available.top(), frame.top()));
    move(frame.topLeft());
}

bool TWindowHost::eventFilter(QObject* Watched, QEvent* Event) {
    // The form grew or shrank (a panel below it opened or closed): the window follows.
    if (Watched == FForm && Event->type() == QEvent::Resize && FPlaced) FitTo(Available());
    return QScrollArea::eventFilter(Watched, Event);
}

void TWindowHost::closeEvent(QCloseEvent* Event) {
    FForm->close();  // the form's own close: the port first
    QScrollArea::closeEvent(Event);
}
