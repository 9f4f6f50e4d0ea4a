// Paints the cells of the traffic log table cheaply: each text of a column is laid out
// once (as a QStaticText, kept for the texts recently shown) and afterwards only drawn.
// The texts of a column repeat from row to row (directions, summaries, the frames of the
// commands), so most cells of a new row are drawn without any layout. Long texts are cut
// at the cell's edge.
#pragma once

#include <QHash>
#include <QPair>
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
    using TKey = QPair<int, QString>;  // column, text
    mutable QHash<TKey, QStaticText> FCache;
};
