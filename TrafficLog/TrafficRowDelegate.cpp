#include "TrafficRowDelegate.h"

#include <QPainter>

#include "TrafficLogModel.h"

void TTrafficRowDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                                const QModelIndex& Index) const {
    const auto* model = qobject_cast<const TTrafficLogModel*>(Index.model());
    const aircon::TTrafficRow* row = model ? model->RowAt(Index.row()) : nullptr;
    if (!row) {
        QStyledItemDelegate::paint(Painter, Option, Index);
        return;
    }
    const QRect r = Option.rect;
    const bool selected = Option.state & QStyle::State_Selected;
    if (selected) {
        Painter->fillRect(r, Option.palette.brush(QPalette::Highlight));
    } else {
        const QVariant bg = Index.data(Qt::BackgroundRole);
        if (bg.isValid()) Painter->fillRect(r, bg.value<QColor>());
    }

    const QString display = Index.data(Qt::DisplayRole).toString();
    if (display.isEmpty()) return;
    const QVariant font = Index.data(Qt::FontRole);
    // Most texts come again and again (the direction, the summary of a poll reply, the
    // frame of a command), so a text once laid out for a column serves every row.
    const TKey key{Index.column(), display};
    auto it = FCache.constFind(key);
    if (it == FCache.constEnd()) {
        if (FCache.size() >= CachedCells) FCache.clear();
        QStaticText text(display);
        text.setTextFormat(Qt::PlainText);
        text.prepare(QTransform(), font.isValid() ? font.value<QFont>() : Option.font);
        it = FCache.insert(key, text);
    }
    const QStaticText& text = *it;

    Painter->save();
    Painter->setFont(font.isValid() ? font.value<QFont>() : Option.font);
    const QVariant fg = Index.data(Qt::ForegroundRole);
    Painter->setPen(selected       ? Option.palette.color(QPalette::HighlightedText)
                    : fg.isValid() ? fg.value<QColor>()
                                   : Option.palette.color(QPalette::Text));
    constexpr int pad = 4;
    const QRect inner = r.adjusted(pad, 0, -pad, 0);
    Painter->setClipRect(inner);
    const QSizeF size = text.size();
    const bool right = Index.data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight;
    const qreal x = right ? inner.right() + 1 - size.width() : inner.left();
    Painter->drawStaticText(QPointF(x, r.top() + (r.height() - size.height()) / 2), text);
    Painter->restore();
}
