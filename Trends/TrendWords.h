// The words the trend window and the site report put on the session's history: series
// and alarm changes as the operator reads them. The history itself holds only keys and
// codes; the captions and state words come from the core's field tables.
#pragma once

#include <QString>

#include "History.h"

// "空调1 送风温度"
QString SeriesName(aircon::TSeriesKey Key);
// "空调2 压缩机过载：正常 → 故障"; a first report of a raised alarm without the arrow
// ("空调2 主机工作线/相电压CA/C：高于上限"); a code without a word as "代码 7".
QString AlarmChangeText(const aircon::TAlarmChange& Change);
