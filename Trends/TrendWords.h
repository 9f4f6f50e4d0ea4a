// The words the trend window and the site report put on the session's history: series
// and alarm changes as the operator reads them, and why a recording file could not be read
// or which of its rows were skipped. The history itself holds only keys and codes; the
// captions and state words come from the core's field tables, the column names from the
// recording's layout.
#pragma once

#include <QString>

#include "History.h"

// "空调1 送风温度"
QString SeriesName(aircon::TSeriesKey Key);
// "空调2 压缩机过载：正常 → 故障"; a first report of a raised alarm without the arrow
// ("空调2 主机工作线/相电压CA/C：高于上限"); a code without a word as "代码 7".
QString AlarmChangeText(const aircon::TAlarmChange& Change);

// Why a file is not a recording: "文件是空的，不是记录文件。", "不是本程序的记录文件：…".
QString RecordingRefusalText(const aircon::TRecordingRefusal& Refusal);
// A skipped row, its line and what is wrong with it: "第 12 行：时间不对".
QString RowDamageText(const aircon::TRowDamage& Damage);
// Why nothing of a recording file could be read: it did not open, it is a folder, or it is
// not a recording.
QString RecordingLoadFailureText(const aircon::TRecordingLoad& Load);
