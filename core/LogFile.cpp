#include "LogFile.h"

#include <mutex>
#include <string_view>

#include "Platform.h"

namespace aircon {

// What the writer's thread works on, and what it tells the owner.
struct TLogFileWriter::TState {
    TState(std::string P, TMode M, std::string H, TOnEvent E)
        : Path(std::move(P)), Mode(M), Header(std::move(H)), OnEvent(std::move(E)) {}
    ~TState() {
        if (Fd >= 0) platform::CloseFile(Fd);
    }

    // The thread's own.
    const std::string Path;
    const TMode Mode;
    const std::string Header;
    int Fd = -1;

    mutable std::mutex Mutex;
    std::uint64_t DroppedUnnoted = 0;
    TStatus Status;  // PendingBytes aside: the queue knows those

    std::mutex EventMutex;  // held while an event is reported, and to silence them
    TOnEvent OnEvent;

    void Report(TEventKind Kind, TFailure Failure = {}) {
        std::lock_guard lock(EventMutex);
        if (OnEvent) OnEvent(TEvent{Kind, Path, Failure});
    }

    // Nothing more is written; the queue drops what waits.
    bool Fail(TStep Step, int Error) {
        const TFailure failure{Step, Error};
        if (Fd >= 0) platform::CloseFile(Fd);
        Fd = -1;
        {
            std::lock_guard lock(Mutex);
            Status.Failed = true;
            Status.Failure = failure;
        }
        Report(TEventKind::Failed, failure);
        return false;
    }
    bool WriteFailed(int Error) { return Fail(TStep::Write, Error); }

    bool Open() {
        int openError = 0;
        Fd = platform::OpenForWriting(
            Path,
            Mode == TMode::Append ? platform::TOpenMode::Append : platform::TOpenMode::Truncate,
            openError);
        if (Fd < 0) return Fail(TStep::Open, openError);
        if (!Header.empty() && platform::FileSize(Fd) == std::uint64_t{0}) {
            const platform::TWriteResult r = platform::WriteAll(Fd, Header + '\n');
            if (r.Error != 0) return WriteFailed(r.Error);
        }
        {
            std::lock_guard lock(Mutex);
            Status.Opened = true;
        }
        Report(TEventKind::Opened);
        return true;
    }

    // One write per line: each line reaches the system on its own. Lines dropped while
    // these waited are noted after them.
    bool Take(std::vector<std::string>& Lines) {
        std::uint64_t written = 0;
        for (const std::string& line : Lines) {
            const platform::TWriteResult r = platform::WriteAll(Fd, line);
            if (r.Error != 0) return WriteFailed(r.Error);
            ++written;
        }
        std::uint64_t dropped;
        {
            std::lock_guard lock(Mutex);
            Status.LinesWritten += written;
            dropped = DroppedUnnoted;
            DroppedUnnoted = 0;
        }
        if (dropped > 0) {
            const platform::TWriteResult r = platform::WriteAll(
                Fd, "（磁盘跟不上：此处 " + std::to_string(dropped) + " 行未写入）\n");
            if (r.Error != 0) return WriteFailed(r.Error);
        }
        return true;
    }

    void Close() {
        const int closeError = platform::CloseFile(Fd);
        Fd = -1;
        if (closeError != 0) {
            Fail(TStep::Close, closeError);
            return;
        }
        {
            std::lock_guard lock(Mutex);
            Status.Finished = true;
        }
        Report(TEventKind::Finished);
    }
};

namespace {

// The thread holds its share of the state: it may outlive the writer.
template <class TState>
util::TBackgroundQueue<std::string>::THandler Handler(const std::shared_ptr<TState>& State) {
    return {[State] { return State->Open(); },
            [State](std::vector<std::string>& Lines) { return State->Take(Lines); },
            [State] { State->Close(); }};
}

}  // namespace

TLogFileWriter::TLogFileWriter(std::string Path, TMode Mode, std::string Header, TOnEvent OnEvent,
                               std::size_t MaxPendingBytes)
    : FPath(Path),
      FState(
          std::make_shared<TState>(std::move(Path), Mode, std::move(Header), std::move(OnEvent))),
      FMaxPendingBytes(MaxPendingBytes),
      FQueue(Handler(FState)) {}

TLogFileWriter::~TLogFileWriter() {
    std::lock_guard lock(FState->EventMutex);
    FState->OnEvent = nullptr;
    // The queue finishes without waiting: the thread writes the rest on its own.
}

bool TLogFileWriter::Close(std::chrono::milliseconds Timeout) {
    return FQueue.Close(Timeout);
}

void TLogFileWriter::Write(std::string Line) {
    Line += '\n';
    const std::size_t bytes = Line.size();
    std::lock_guard lock(FState->Mutex);
    if (FState->Status.Failed) return;
    if (FQueue.Push(std::move(Line), bytes, false, FMaxPendingBytes) ==
        util::TBackgroundQueue<std::string>::TPushResult::Full) {
        ++FState->Status.LinesDropped;
        ++FState->DroppedUnnoted;
    }
}

void TLogFileWriter::Finish() {
    FQueue.Finish();
}

bool TLogFileWriter::WaitIdle(std::chrono::milliseconds Timeout) const {
    return FQueue.WaitDone(Timeout);
}

TLogFileWriter::TStatus TLogFileWriter::Status() const {
    TStatus status;
    {
        std::lock_guard lock(FState->Mutex);
        status = FState->Status;
    }
    status.PendingBytes = FQueue.PendingWeight();
    return status;
}

}  // namespace aircon
