// A text file written line by line on a thread of its own.
//
// The caller hands over whole lines and never waits on the disk: opening, writing and
// closing all happen on the writer's thread. Each line is handed to the system with
// its own write as soon as the thread takes it, so a crash of the program loses no
// line the thread has taken. Lines waiting for a slow disk are bounded: beyond
// MaxPendingBytes new lines are dropped and counted, and a note of how many went
// missing is written once the disk keeps up again.
//
// What happens to the file (opened, failed, finished) is reported through OnEvent, on
// the writer's thread: the receiver passes it on to its own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "BackgroundQueue.h"

namespace aircon {

class TLogFileWriter {
  public:
    enum class TMode { Append, Truncate };

    enum class TEventKind {
        Opened,    // the file is open and takes lines
        Failed,    // opening or writing failed; nothing more is written
        Finished,  // after Finish: every line written and the file closed
    };
    // Where a failure happened, and the system's error number.
    enum class TStep { Open, Write, Close };
    struct TFailure {
        TStep Step = TStep::Open;
        int Error = 0;
        friend bool operator==(const TFailure&, const TFailure&) = default;
    };
    struct TEvent {
        TEventKind Kind = TEventKind::Opened;
        std::string Path;
        TFailure Failure;  // for Failed: what went wrong
    };
    using TOnEvent = std::function<void(const TEvent&)>;

    struct TStatus {
        bool Opened = false;
        bool Failed = false;
        bool Finished = false;
        TFailure Failure;  // when Failed
        std::uint64_t LinesWritten = 0;
        std::uint64_t LinesDropped = 0;  // dropped while the disk lagged behind
        std::size_t PendingBytes = 0;
    };

    static constexpr std::size_t DefaultMaxPendingBytes = 8u << 20;

    // Starts the thread, which opens Path (creating it) for appending or from empty.
    // Header is written first when the file is empty after opening.
    TLogFileWriter(std::string Path, TMode Mode, std::string Header = {}, TOnEvent OnEvent = {},
                   std::size_t MaxPendingBytes = DefaultMaxPendingBytes);
    // Finishes without waiting: the thread still writes what is queued and closes the
    // file on its own, but reports no more events.
    ~TLogFileWriter();
    TLogFileWriter(const TLogFileWriter&) = delete;
    TLogFileWriter& operator=(const TLogFileWriter&) = delete;

    // Queues one line; a line feed is added. Never waits on the disk.
    void Write(std::string Line);
    // No more lines: the thread writes what is queued, closes the file and reports
    // Finished (or Failed).
    void Finish();
    // Waits until every line queued so far is written (or the writer failed). For
    // tests; false when Timeout passed first.
    bool WaitIdle(std::chrono::milliseconds Timeout) const;
    // Finish, then wait until the file is closed, for Timeout at most (a stuck disk):
    // for the end of the program. False when Timeout passed first.
    bool Close(std::chrono::milliseconds Timeout);

    const std::string& Path() const { return FPath; }
    TStatus Status() const;

  private:
    struct TState;
    std::string FPath;
    std::shared_ptr<TState> FState;  // shared with the thread, which may outlive this
    std::size_t FMaxPendingBytes;
    util::TBackgroundQueue<std::string> FQueue;  // lines, weighed in bytes
};

}  // namespace aircon
