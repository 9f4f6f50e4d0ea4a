#include "HexLog.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>

#include <algorithm>
#include <cmath>

THexLog::THexLog(QWidget* Parent) : QAbstractScrollArea(Parent) {
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setSingleStep(1);
}

THexLog::~THexLog() = default;

void THexLog::setPlainText(const QString& Text) {
    if (Text == FText && FShown) return;
    FText = Text;
    Relayout();
}

int THexLog::LineCount() const {
    return FShown && FShown->Layout ? FShown->Layout->lineCount() : 0;
}

THexLog::TLaidOut& THexLog::Current() {
    // The width a text box gives its lines: the margins and its cursor's width off.
    const int width = std::max(1, viewport()->width() - 2 * Margin - 1);
    for (TLaidOut& c : FCache) {
        if (c.Layout && c.Width == width && c.Text == FText) return c;
    }
    TLaidOut& c = FCache[FNext];
    FNext = (FNext + 1) % FCache.size();
    c.Text = FText;
    c.Width = width;
    c.Layout = std::make_unique<QTextLayout>(FText, font());
    // Wrapped as a text box wraps: at spaces, or anywhere in a run too long for a line.
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    c.Layout->setTextOption(option);
    c.Layout->setCacheEnabled(true);
    c.Layout->beginLayout();
    qreal y = 0;
    for (;;) {
        QTextLine line = c.Layout->createLine();
        if (!line.isValid()) break;
        line.setLeadingIncluded(true);
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    c.Layout->endLayout();
    return c;
}

void THexLog::Relayout() {
    FShown = &Current();
    FLineHeight = FShown->Layout->lineCount() > 0
                      ? static_cast<int>(std::ceil(FShown->Layout->lineAt(0).height()))
                      : fontMetrics().height();
    UpdateScrollBar();
    viewport()->update();
}

void THexLog::UpdateScrollBar() {
    // As a text box counts them: the lines that fit, counted from the last one up,
    // below the top margin and a pixel; the bar scrolls the rest a line at a time.
    const int lines = LineCount();
    const qreal room = viewport()->height() - Margin - 1;
    int fit = 0;
    qreal y = 0;
    for (int i = lines - 1; i >= 0; --i) {
        y += FShown->Layout->lineAt(i).height();
        if (y > room) break;
        ++fit;
    }
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, std::max(0, lines - fit));
    bar->setPageStep(fit);
}

void THexLog::paintEvent(QPaintEvent*) {
    if (!FShown || !FShown->Layout) return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::Text));
    // Scrolled by whole lines, as a text box scrolls: unscrolled, the first line stands
    // at the top margin; scrolled, the line above the first one shown ends at the top.
    const QTextLayout& layout = *FShown->Layout;
    const int first =
        std::clamp(verticalScrollBar()->value(), 0, std::max(0, layout.lineCount() - 1));
    const qreal top =
        first == 0 ? Margin : std::ceil(-layout.lineAt(first - 1).naturalTextRect().bottom());
    FShown->Layout->draw(&p, QPointF(Margin, top));
}

void THexLog::resizeEvent(QResizeEvent* Event) {
    QAbstractScrollArea::resizeEvent(Event);
    if (FShown) Relayout();
}

void THexLog::changeEvent(QEvent* Event) {
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange) {
        for (TLaidOut& c : FCache)
            c = TLaidOut{};
        FShown = nullptr;
        Relayout();
    }
}

void THexLog::scrollContentsBy(int, int) {
    viewport()->update();
}

void THexLog::CopyAll() const {
    QApplication::clipboard()->setText(FText);
}

void THexLog::keyPressEvent(QKeyEvent* Event) {
    if (Event->matches(QKeySequence::Copy)) {
        CopyAll();
        return;
    }
    QAbstractScrollArea::keyPressEvent(Event);
}

void THexLog::contextMenuEvent(QContextMenuEvent* Event) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* copy = menu->addAction(QStringLiteral("复制"));
    copy->setEnabled(!FText.isEmpty());
    connect(copy, &QAction::triggered, this, [this] { CopyAll(); });
    menu->popup(Event->globalPos());
}
