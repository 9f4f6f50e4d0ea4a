// The rows of the traffic log as a table for a view.
//
// The model does not copy rows: it shows the log's ring from the oldest row it still
// holds up to the end a view may show (held still during a pause), and learns of new
// and dropped rows only when Sync is called, so that a view is updated in batches
// rather than once per row.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <cstdint>

#include "TrafficRows.h"

class TTrafficLogModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum TColumn { ColTime, ColDirection, ColSummary, ColResponse, ColHex, ColText, ColumnCount };
    // The frame columns show this many bytes (the text column twice as many) and "…"
    // after them; the detail shows the whole frame.
    static constexpr std::size_t ShownFrameBytes = 24;

    explicit TTrafficLogModel(const aircon::TTrafficLog& Log, QObject* Parent = nullptr);

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

    struct TSyncResult {
        int Removed = 0;  // rows dropped at the top
        int Added = 0;    // rows appended at the bottom
    };
    // Brings the rows shown up to the log.
    TSyncResult Sync();

    // The log's row shown at Row; null when the ring no longer holds it.
    const aircon::TTrafficRow* RowAt(int Row) const;
    // The model row of the log row numbered Seq, or -1.
    int RowOfSeq(std::uint64_t Seq) const;

    // The font of the frame columns: fixed width, so that hex pairs line up, at the size
    // of Base (the view's font).
    void SetFrameFont(const QFont& Base);
    const QFont& FrameFont() const { return FFrameFont; }
    // The background of a row of each class; invalid for rows shown plainly.
    static QColor ClassColour(aircon::TRowClass Class);

  private:
    const aircon::TTrafficLog& FLog;
    std::uint64_t FFirst = 0;  // the rows shown are numbered FFirst to FEnd - 1
    std::uint64_t FEnd = 0;
    QFont FFrameFont;
};
