#include "TrafficTableView.h"

#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <algorithm>

namespace {

// A scroll bar drawn flat, in the places the style gives its parts (so that it works as
// the style's own does): a groove, the slider, and the two arrow buttons.
class TFlatScrollBar : public QScrollBar {
  public:
    TFlatScrollBar(Qt::Orientation Orientation, QWidget* Parent) : QScrollBar(Orientation, Parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        const QPalette& pal = palette();
        p.fillRect(rect(), pal.color(QPalette::Window).darker(106));
        auto part = [&](QStyle::SubControl Control) {
            return style()->subControlRect(QStyle::CC_ScrollBar, &opt, Control, this);
        };
        const QColor edge = pal.color(QPalette::Mid);
        const QColor arrow = isEnabled() ? pal.color(QPalette::ButtonText) : edge;
        const bool pressed = isSliderDown();
        if (maximum() > minimum()) {
            const QRect slider = part(QStyle::SC_ScrollBarSlider).adjusted(1, 1, -1, -1);
            p.fillRect(slider, pressed ? pal.color(QPalette::Mid) : pal.color(QPalette::Button));
            p.setPen(edge);
            p.drawRect(slider.adjusted(0, 0, -1, -1));
        }
        // The arrow buttons: a small solid triangle each.
        const bool vertical = orientation() == Qt::Vertical;
        for (const auto control : {QStyle::SC_ScrollBarSubLine, QStyle::SC_ScrollBarAddLine}) {
            const QRect r = part(control);
            if (r.isEmpty()) continue;
            const QPoint c = r.center();
            const int s = std::max(2, std::min(r.width(), r.height()) / 4);
            const bool back = control == QStyle::SC_ScrollBarSubLine;
            QPolygon tri;
            if (vertical)
                tri << QPoint(c.x() - s, back ? c.y() + s / 2 : c.y() - s / 2)
                    << QPoint(c.x() + s, back ? c.y() + s / 2 : c.y() - s / 2)
                    << QPoint(c.x(), back ? c.y() - s / 2 - 1 : c.y() + s / 2 + 1);
            else
                tri << QPoint(back ? c.x() + s / 2 : c.x() - s / 2, c.y() - s)
                    << QPoint(back ? c.x() + s / 2 : c.x() - s / 2, c.y() + s)
                    << QPoint(back ? c.x() - s / 2 - 1 : c.x() + s / 2 + 1, c.y());
            p.setPen(Qt::NoPen);
            p.setBrush(arrow);
            p.drawPolygon(tri);
        }
    }
};

}  // namespace

TTrafficTableView::TTrafficTableView(QWidget* Parent) : QTableView(Parent) {
    setVerticalScrollBar(new TFlatScrollBar(Qt::Vertical, this));
    setHorizontalScrollBar(new TFlatScrollBar(Qt::Horizontal, this));
}

// A table view lays out its rows afresh after its model changed and repaints them all.
// During Append the layout only updates the geometry (row count, scroll range); Append
// repaints what changed itself.
void TTrafficTableView::doItemsLayout() {
    if (!FQuietLayout) {
        QTableView::doItemsLayout();
        return;
    }
    updateGeometries();
    // Rows removed: the table view holds back the header's updates until this layout.
    if (!verticalHeader()->updatesEnabled()) verticalHeader()->setUpdatesEnabled(true);
}

TTrafficTableView::TChange TTrafficTableView::Append(const std::function<TChange()>& Update) {
    QScrollBar* bar = verticalScrollBar();
    const int before = bar->value();
    const bool following = before >= bar->maximum();
    const int rowsBefore = model() ? model()->rowCount() : 0;

    FQuietLayout = true;
    const TChange change = Update();
    executeDelayedItemsLayout();
    FQuietLayout = false;
    if (change.Removed == 0 && change.Added == 0) return change;

    // The view scrolls (shifting the pixels on show) by the change of the scroll value;
    // rows gone from the top move what is on show up by as many rows again.
    if (following)
        scrollToBottom();
    else
        bar->setValue(std::max(0, before - change.Removed));
    const int rowHeight = verticalHeader()->defaultSectionSize();
    if (change.Removed > 0) viewport()->scroll(0, -change.Removed * rowHeight);

    // New rows in sight without any scrolling (a table not yet full) are painted too.
    const int rows = model() ? model()->rowCount() : 0;
    const int firstNew = std::max(0, std::min(rowsBefore - change.Removed, rows));
    if (firstNew < rows) {
        const int top = rowViewportPosition(firstNew);
        if (top < viewport()->height())
            viewport()->update(0, std::max(0, top), viewport()->width(),
                               viewport()->height() - std::max(0, top));
    }
    return change;
}
