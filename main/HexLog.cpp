#include "HexLog.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>

#include <algorithm>
#include <cmath>

namespace {

// What assistive technology reads of a log box: a read-only text, its content, the
// selection and where each character is.
class TAccessibleHexLog : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit TAccessibleHexLog(THexLog* Log) : QAccessibleWidget(Log, QAccessible::EditableText) {}

    THexLog* Log() const { return static_cast<THexLog*>(widget()); }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.editable = false;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }
    QString text(QAccessible::Text T) const override {
        if (T == QAccessible::Value) return Log()->toPlainText();
        return QAccessibleWidget::text(T);
    }
    void* interface_cast(QAccessible::InterfaceType T) override {
        if (T == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(T);
    }

    // QAccessibleTextInterface
    void selection(int Index, int* Start, int* End) const override {
        *Start = *End = 0;
        if (Index != 0 || selectionCount() == 0) return;
        *Start = std::min(Log()->SelectionStart(), Log()->SelectionEnd());
        *End = std::max(Log()->SelectionStart(), Log()->SelectionEnd());
    }
    int selectionCount() const override {
        return Log()->SelectionStart() != Log()->SelectionEnd() ? 1 : 0;
    }
    void addSelection(int Start, int End) override { Log()->SetSelection(Start, End); }
    void removeSelection(int Index) override {
        if (Index == 0) Log()->SetSelection(Log()->SelectionEnd(), Log()->SelectionEnd());
    }
    void setSelection(int Index, int Start, int End) override {
        if (Index == 0) Log()->SetSelection(Start, End);
    }
    int cursorPosition() const override { return Log()->SelectionEnd(); }
    void setCursorPosition(int Position) override { Log()->SetSelection(Position, Position); }
    QString text(int Start, int End) const override {
        return Log()->toPlainText().mid(Start, std::max(0, End - Start));
    }
    int characterCount() const override { return static_cast<int>(Log()->toPlainText().size()); }
    QRect characterRect(int Offset) const override {
        const QRect r = Log()->CharacterRect(Offset);
        if (r.isNull()) return {};
        return QRect(Log()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& Point) const override {
        return Log()->OffsetAt(Log()->viewport()->mapFromGlobal(Point));
    }
    void scrollToSubstring(int Start, int) override { Log()->ShowOffset(Start); }
    QString attributes(int Offset, int* Start, int* End) const override {
        *Start = *End = Offset;
        return {};
    }
};

QAccessibleInterface* AccessibleHexLog(const QString& ClassName, QObject* Object) {
    if (ClassName == QLatin1String("THexLog") && Object && Object->isWidgetType())
        return new TAccessibleHexLog(static_cast<THexLog*>(Object));
    return nullptr;
}

}  // namespace

THexLog::THexLog(QWidget* Parent) : QAbstractScrollArea(Parent) {
    static const bool factory = (QAccessible::installFactory(AccessibleHexLog), true);
    (void)factory;
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setSingleStep(1);
}

THexLog::~THexLog() = default;

void THexLog::setPlainText(const QString& Text) {
    if (Holding()) {
        FWaiting = Text;
        FHasWaiting = true;
        return;
    }
    FHasWaiting = false;
    if (Text == FText && FShown) return;
    const QString old = FText;
    FText = Text;
    FAnchor = FCursor = 0;
    Relayout();
    // Only when something listens: the logs change with every command and reply.
    if (QAccessible::isActive()) {
        QAccessibleTextUpdateEvent event(this, 0, old, FText);
        QAccessible::updateAccessibility(&event);
    }
}

bool THexLog::Holding() const {
    return FSelecting || (FAnchor != FCursor && hasFocus());
}

void THexLog::ShowWaiting() {
    if (FHasWaiting && !Holding()) setPlainText(FWaiting);
}

QString THexLog::SelectedText() const {
    const int from = std::min(FAnchor, FCursor);
    return FText.mid(from, std::abs(FCursor - FAnchor));
}

void THexLog::SetSelection(int Start, int End) {
    Select(Start, End);
    ShowWaiting();
}

void THexLog::Select(int Anchor, int Cursor) {
    const int size = static_cast<int>(FText.size());
    Anchor = std::clamp(Anchor, 0, size);
    Cursor = std::clamp(Cursor, 0, size);
    if (Anchor == FAnchor && Cursor == FCursor) return;
    FAnchor = Anchor;
    FCursor = Cursor;
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextSelectionEvent event(this, std::min(FAnchor, FCursor),
                                            std::max(FAnchor, FCursor));
        QAccessible::updateAccessibility(&event);
    }
}

QPointF THexLog::Origin() const {
    // Scrolled by whole lines, as a text box scrolls: unscrolled, the first line stands
    // at the top margin; scrolled, the line above the first one shown ends at the top.
    if (!FShown || !FShown->Layout) return QPointF(Margin, Margin);
    const QTextLayout& layout = *FShown->Layout;
    const int first =
        std::clamp(verticalScrollBar()->value(), 0, std::max(0, layout.lineCount() - 1));
    const qreal top =
        first == 0 ? Margin : std::ceil(-layout.lineAt(first - 1).naturalTextRect().bottom());
    return QPointF(Margin, top);
}

QRect THexLog::CharacterRect(int Offset) const {
    if (!FShown || !FShown->Layout || Offset < 0 || Offset >= FText.size()) return {};
    const QTextLayout& layout = *FShown->Layout;
    const QTextLine line = layout.lineForTextPosition(Offset);
    if (!line.isValid()) return {};
    const qreal x = line.cursorToX(Offset);
    const qreal next = line.cursorToX(Offset + 1);
    const QPointF origin = Origin();
    return QRectF(origin.x() + std::min(x, next), origin.y() + line.y(), std::abs(next - x),
                  line.height())
        .toAlignedRect();
}

int THexLog::OffsetAt(QPoint Point) const {
    if (!FShown || !FShown->Layout) return -1;
    const QTextLayout& layout = *FShown->Layout;
    if (layout.lineCount() == 0) return 0;
    const QPointF at = QPointF(Point) - Origin();
    if (at.y() < 0) return 0;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        if (at.y() < line.y() + line.height()) return line.xToCursor(at.x());
    }
    return static_cast<int>(FText.size());
}

void THexLog::ShowOffset(int Offset) {
    if (!FShown || !FShown->Layout) return;
    const QTextLine line =
        FShown->Layout->lineForTextPosition(std::clamp(Offset, 0, static_cast<int>(FText.size())));
    if (!line.isValid()) return;
    QScrollBar* bar = verticalScrollBar();
    if (line.lineNumber() < bar->value())
        bar->setValue(line.lineNumber());
    else if (line.lineNumber() >= bar->value() + std::max(1, bar->pageStep()))
        bar->setValue(line.lineNumber() - std::max(1, bar->pageStep()) + 1);
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
    ++FLayoutsMade;
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
    QList<QTextLayout::FormatRange> selection;
    if (FAnchor != FCursor) {
        QTextLayout::FormatRange range;
        range.start = std::min(FAnchor, FCursor);
        range.length = std::abs(FCursor - FAnchor);
        const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
        range.format.setBackground(palette().brush(group, QPalette::Highlight));
        range.format.setForeground(palette().brush(group, QPalette::HighlightedText));
        selection.append(range);
    }
    FShown->Layout->draw(&p, Origin(), selection);
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

void THexLog::Copy() const {
    QApplication::clipboard()->setText(FAnchor != FCursor ? SelectedText() : FText);
}

void THexLog::keyPressEvent(QKeyEvent* Event) {
    if (Event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (Event->matches(QKeySequence::SelectAll)) {
        Select(0, static_cast<int>(FText.size()));
        return;
    }
    if (Event->key() == Qt::Key_Escape && FAnchor != FCursor) {
        FSelecting = false;
        SetSelection(FCursor, FCursor);
        return;
    }
    QAbstractScrollArea::keyPressEvent(Event);
}

void THexLog::contextMenuEvent(QContextMenuEvent* Event) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* copy = menu->addAction(QStringLiteral("复制"));
    copy->setEnabled(!FText.isEmpty());
    connect(copy, &QAction::triggered, this, [this] { Copy(); });
    QAction* all = menu->addAction(QStringLiteral("全选"));
    all->setEnabled(!FText.isEmpty());
    connect(all, &QAction::triggered, this, [this] { Select(0, static_cast<int>(FText.size())); });
    menu->popup(Event->globalPos());
}

void THexLog::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(Event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const int at = std::max(0, OffsetAt(Event->position().toPoint()));
    FSelecting = true;
    Select(Event->modifiers() & Qt::ShiftModifier ? FAnchor : at, at);
}

void THexLog::mouseMoveEvent(QMouseEvent* Event) {
    if (!FSelecting || !(Event->buttons() & Qt::LeftButton)) return;
    const QPoint at = Event->position().toPoint();
    // Dragged past the top or the bottom: the text scrolls a line.
    QScrollBar* bar = verticalScrollBar();
    if (at.y() < 0) bar->setValue(bar->value() - 1);
    if (at.y() > viewport()->height()) bar->setValue(bar->value() + 1);
    Select(FAnchor, std::max(0, OffsetAt(at)));
}

void THexLog::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || !FSelecting) return;
    FSelecting = false;
    ShowWaiting();  // a click without a drag: the newest frame
}

void THexLog::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) return;
    // A byte: the digits between the spaces.
    const int at = OffsetAt(Event->position().toPoint());
    if (at < 0 || FText.isEmpty()) return;
    int from = std::min(at, static_cast<int>(FText.size()) - 1);
    if (FText[from].isSpace() && from > 0) --from;
    int to = from;
    while (from > 0 && !FText[from - 1].isSpace())
        --from;
    while (to < FText.size() && !FText[to].isSpace())
        ++to;
    Select(from, to);
}

void THexLog::focusOutEvent(QFocusEvent* Event) {
    QAbstractScrollArea::focusOutEvent(Event);
    // Its own menu keeps the frame; elsewhere, the newest one shows.
    if (Event->reason() != Qt::PopupFocusReason) {
        FSelecting = false;
        viewport()->update();
        ShowWaiting();
    }
}
