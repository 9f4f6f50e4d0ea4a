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
