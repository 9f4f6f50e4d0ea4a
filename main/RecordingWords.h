// The recorder's words: what the recording controls say when a recording could not be made
// or went on, from the problem the recorder names, and the line on standard error about the
// rows a stuck disk kept at the end of the program.
#pragma once

#include <QString>
#include <cstdint>
#include <system_error>

#include "Recorder.h"

// A failure of the file system in the operator's words ("磁盘已满"); an error number without
// words of its own as the system says it.
QString FileSystemReasonText(std::error_code Error);
// A size in whole MB from 1 MB on, below that in whole KB, at least 1: "500 MB", "12 KB".
QString RecordingSizeText(std::uint64_t Bytes);
// The message of an error event: what went wrong and that the monitoring goes on
// ("无法建立记录文件夹“/data/rec”：磁盘已满。本次不记录，监控照常进行。").
QString RecordingProblemText(const aircon::TRecordingEvent& Event);
// The rows the writer had not written when closing stopped waiting for it.
QString UnwrittenRowsText(std::uint64_t Rows);
