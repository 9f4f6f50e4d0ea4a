#include "TrendWords.h"

using namespace aircon;

namespace {

QString Q(std::string_view Text) {
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

QString UnitName(int Unit) {
    return QString("空调%1").arg(Unit + 1);
}

QString AlarmWord(const TStateCode& Code) {
    const std::string_view text = AlarmText(Code);
    if (!text.empty()) return Q(text);
    return QString("代码 %1").arg(Code.value_or(0));
}

}  // namespace

QString SeriesName(TSeriesKey Key) {
    return UnitName(Key.Unit) + " " + Q(SeriesField(Key).Caption);
}

QString AlarmChangeText(const TAlarmChange& C) {
    QString s =
        UnitName(C.Unit) + " " + Q(AlarmFields[static_cast<std::size_t>(C.Field)].Caption) + "：";
    if (C.FromKnown) s += AlarmWord(C.From) + " → ";
    return s + AlarmWord(C.To);
}

QString RecordingRefusalText(const TRecordingRefusal& R) {
    switch (R.Kind) {
        case TRecordingRefusalKind::None:
            break;
        case TRecordingRefusalKind::Empty:
            return "文件是空的，不是记录文件。";
        case TRecordingRefusalKind::NoHeader:
            return "不是本程序的记录文件：第一行不是记录的表头。";
        case TRecordingRefusalKind::HeaderTooLong:
            return "不是本程序的记录文件：第一行过长。";
        case TRecordingRefusalKind::HeaderQuotes:
            return "不是本程序的记录文件：表头的引号不成对。";
        case TRecordingRefusalKind::MissingColumn:
            return "不是本程序的记录文件：表头缺少“" + Q(R.Column) + "”列。";
    }
    return {};
}

QString RowDamageText(const TRowDamage& D) {
    QString what;
    switch (D.Kind) {
        case TRowDamageKind::Quotes:
            what = "引号不成对";
            break;
        case TRowDamageKind::Time:
            what = "时间不对";
            break;
        case TRowDamageKind::LostCount:
            what = "丢失行数不对";
            break;
        case TRowDamageKind::Kind:
            what = "类型不对";
            break;
        case TRowDamageKind::FieldCount:
            what = "字段数不对";
            break;
        case TRowDamageKind::Unit:
            what = "空调编号不对";
            break;
        case TRowDamageKind::TooLong:
            what = "行过长";
            break;
        case TRowDamageKind::EmptyCell:
            what = Q(D.Column) + "为空";
            break;
        case TRowDamageKind::BadCell:
            what = Q(D.Column) + "不对";
            break;
    }
    return QString("第 %1 行：").arg(D.Line) + what;
}

QString RecordingLoadFailureText(const TRecordingLoad& L) {
    switch (L.Failure) {
        case TLoadFailure::None:
            break;
        case TLoadFailure::CannotOpen:
            return "无法打开文件：" + Q(L.OpenError.message()) + "。";
        case TLoadFailure::Folder:
            return "这是一个文件夹，不是记录文件。";
        case TLoadFailure::NotARecording:
            return RecordingRefusalText(L.Refusal);
    }
    return {};
}
