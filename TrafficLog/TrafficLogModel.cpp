#include "TrafficLogModel.h"

#include <QFont>
#include <QFontDatabase>
#include <algorithm>

using aircon::TRowClass;
using aircon::TRowKind;
using aircon::TTrafficRow;

namespace {

QString Text(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

TTrafficLogModel::TTrafficLogModel(const aircon::TTrafficLog& Log, QObject* Parent)
    : QAbstractTableModel(Parent), FLog(Log), FFirst(Log.FirstSeq()), FEnd(Log.FirstSeq()) {
    SetFrameFont(QFont());
}

int TTrafficLogModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(FEnd - FFirst);
}

int TTrafficLogModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : ColumnCount;
}

const TTrafficRow* TTrafficLogModel::RowAt(int Row) const {
    if (Row < 0 || static_cast<std::uint64_t>(Row) >= FEnd - FFirst) return nullptr;
    return FLog.FindSeq(FFirst + static_cast<std::uint64_t>(Row));
}

int TTrafficLogModel::RowOfSeq(std::uint64_t Seq) const {
    if (Seq < FFirst || Seq >= FEnd) return -1;
    return static_cast<int>(Seq - FFirst);
}

void TTrafficLogModel::SetFrameFont(const QFont& Base) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (Base.pixelSize() > 0)
        f.setPixelSize(Base.pixelSize());
    else
        f.setPointSizeF(Base.pointSizeF());
    f.setStyleStrategy(QFont::PreferNoShaping);
    FFrameFont = f;
}

QColor TTrafficLogModel::ClassColour(TRowClass Class) {
    switch (Class) {
        case TRowClass::ErrorFrame:
        case TRowClass::WriteFailed:
            return QColor(0xFF, 0xC8, 0xC8);  // red
        case TRowClass::Missing:
            return QColor(0xFF, 0xDC, 0x96);  // amber
        case TRowClass::RtnError:
            return QColor(0xFF, 0xE4, 0xCC);  // orange
        case TRowClass::Late:
            return QColor(0xFF, 0xF5, 0xB4);  // yellow
        case TRowClass::Noise:
            return QColor(0xE8, 0xE8, 0xE8);  // grey
        case TRowClass::Link:
            return QColor(0xD8, 0xE6, 0xF8);  // blue
        case TRowClass::Command:
        case TRowClass::Reply:
            break;
    }
    return {};
}

QVariant TTrafficLogModel::data(const QModelIndex& Index, int Role) const {
    const TTrafficRow* row = RowAt(Index.row());
    if (!row) return {};
    switch (Role) {
        case Qt::DisplayRole:
            switch (Index.column()) {
                case ColTime:
                    return Text(aircon::LocalTimeText(row->At.Wall, false));
                case ColDirection:
                    return Text(std::string(aircon::DirectionText(*row)));
                case ColSummary:
                    return Text(row->Summary);
                case ColResponse:
                    return Text(aircon::ResponseText(*row));
                // The frame columns show what their width can: laying out the whole of
                // a long frame for every paint would cost more than the rest of the row.
                case ColHex: {
                    const std::span<const std::uint8_t> frame(row->Frame);
                    if (frame.size() <= ShownFrameBytes) return Text(aircon::SpacedHex(frame));
                    return Text(aircon::SpacedHex(frame.first(ShownFrameBytes))) +
                           QStringLiteral(" …");
                }
                case ColText: {
                    const std::span<const std::uint8_t> frame(row->Frame);
                    if (frame.size() <= ShownFrameBytes * 2)
                        return Text(aircon::EscapedText(frame));
                    return Text(aircon::EscapedText(frame.first(ShownFrameBytes * 2))) +
                           QStringLiteral("…");
                }
                default:
                    return {};
            }
        case Qt::ToolTipRole:
            if (Index.column() == ColTime) return Text(aircon::LocalTimeText(row->At.Wall));
            if (Index.column() == ColSummary) return Text(row->Summary);
            if (Index.column() == ColText) return Text(aircon::EscapedText(row->Frame));
            return {};
        case Qt::BackgroundRole: {
            const QColor c = ClassColour(row->Class);
            return c.isValid() ? QVariant(c) : QVariant();
        }
        case Qt::ForegroundRole:
            if (Index.column() != ColDirection) return QColor(Qt::black);
            if (row->Kind == TRowKind::Sent) return QColor(0x1F, 0x4E, 0x9E);
            if (row->Kind == TRowKind::Received) return QColor(0x1E, 0x6B, 0x2E);
            return QColor(Qt::black);
        case Qt::FontRole:
            if (Index.column() == ColHex || Index.column() == ColText) return FrameFont();
            return {};
        case Qt::TextAlignmentRole:
            if (Index.column() == ColResponse)
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        default:
            return {};
    }
}

QVariant TTrafficLogModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
    static const char* const names[] = {"时间", "方向", "摘要", "响应", "十六进制", "文本"};
    if (Section < 0 || Section >= ColumnCount) return {};
    return QString::fromUtf8(names[Section]);
}

TTrafficLogModel::TSyncResult TTrafficLogModel::Sync() {
    TSyncResult r;
    const std::uint64_t first = FLog.FirstSeq();
    if (first > FFirst) {
        // Rows that left the ring (or were cleared) go from the top.
        const std::uint64_t gone = std::min(first, FEnd) - FFirst;
        if (gone > 0) {
            beginRemoveRows({}, 0, static_cast<int>(gone - 1));
            FFirst += gone;
            endRemoveRows();
            r.Removed = static_cast<int>(gone);
        }
        // Nothing left shown: start again where the ring starts.
        if (FFirst < first) FFirst = FEnd = first;
    }
    const std::uint64_t end = FLog.ShownEnd();
    if (end > FEnd) {
        const int at = rowCount();
        beginInsertRows({}, at, at + static_cast<int>(end - FEnd) - 1);
        FEnd = end;
        endInsertRows();
        r.Added = static_cast<int>(rowCount() - at);
    }
    return r;
}
