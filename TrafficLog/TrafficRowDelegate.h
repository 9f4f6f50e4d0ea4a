// Paints the cells of the traffic log table cheaply: a row never changes once it is
// recorded, so each cell's text is laid out once (as a QStaticText, kept for the rows
// recently shown) and afterwards only drawn. Long texts are cut at the cell's edge.
#pragma once

#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

class TTrafficRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    static constexpr int CachedCells = 4096;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;
    // Forgets the laid-out texts (after a change of font).
    void ClearCache() { FCache.clear(); }

  private:
    mutable QHash<quint64, QStaticText> FCache;  // by row number and column
};
