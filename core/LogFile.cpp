#include "LogFile.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "Platform.h"

namespace aircon {

namespace {

using platform::ErrorText;

// Hands the whole of Text to the system; false (errno set) when it cannot.
bool WriteAll(int Fd, std::string_view Text) {
    const platform::TWriteResult r = platform::WriteAll(Fd, Text);
    errno = r.Error;
    return r.Error == 0;
}

}  // namespace

struct TLogFileWriter::TState {
    mutable std::mutex Mutex;
    std::condition_variable Wake;          // lines queued, or finish asked
    mutable std::condition_variable Idle;  // the queue ran empty, or the thread ended
    std::deque<std::string> Lines;
    std::size_t MaxPendingBytes = 0;
    bool InFlight = false;  // the thread is writing lines it took
    bool FinishAsked = false;
    bool ThreadDone = false;
    std::uint64_t DroppedUnnoted = 0;
    TStatus Status;

    std::mutex EventMutex;  // held while an event is reported, and to silence them
    TOnEvent OnEvent;

    void Report(TEventKind Kind, const std::string& Path, std::string Message = {}) {
        std::lock_guard lock(EventMutex);
        if (OnEvent) OnEvent(TEvent{Kind, Path, std::move(Message)});
    }

    void Fail(const std::string& Path, std::string Message) {
        {
            std::lock_guard lock(Mutex);
            Status.Failed = true;
            Status.Error = Message;
            Lines.clear();
            Status.PendingBytes = 0;
            Idle.notify_all();
        }
        Report(TEventKind::Failed, Path, std::move(Message));
    }

    void Run(const std::string& Path, TMode Mode, const std::string& Header) {
        int openError = 0;
        int fd = platform::OpenForWriting(
            Path,
            Mode == TMode::Append ? platform::TOpenMode::Append : platform::TOpenMode::Truncate,
            openError);
        if (fd < 0) {
            Fail(Path, "无法打开文件 " + Path + "：" + ErrorText(openError));
            return;
        }
        struct TCloser {
            int& fd;
            ~TCloser() {
                if (fd >= 0) platform::CloseFile(fd);
            }
        } closer{fd};

        if (!Header.empty() && platform::FileSize(fd) == std::uint64_t{0} &&
            !WriteAll(fd, Header + '\n')) {
            Fail(Path, "写入文件 " + Path + " 失败：" + ErrorText(errno));
            return;
        }
        {
            std::lock_guard lock(Mutex);
            Status.Opened = true;
        }
        Report(TEventKind::Opened, Path);

        std::deque<std::string> batch;
        for (;;) {
            std::uint64_t dropped = 0;
            {
                std::unique_lock lock(Mutex);
                InFlight = false;
                if (Lines.empty()) Idle.notify_all();
                Wake.wait(lock, [&] { return !Lines.empty() || FinishAsked; });
                if (Lines.empty()) break;  // finish asked and nothing left
                batch.swap(Lines);
                Status.PendingBytes = 0;
                dropped = DroppedUnnoted;
                DroppedUnnoted = 0;
                InFlight = true;
            }
            // One write per line: each line reaches the system on its own.
            std::uint64_t written = 0;
            for (const std::string& line : batch) {
                if (!WriteAll(fd, line)) {
                    Fail(Path, "写入文件 " + Path + " 失败：" + ErrorText(errno));
                    return;
                }
                ++written;
            }
            batch.clear();
            if (dropped > 0 &&
                !WriteAll(fd, "（磁盘跟不上：此处 " + std::to_string(dropped) + " 行未写入）\n")) {
                Fail(Path, "写入文件 " + Path + " 失败：" + ErrorText(errno));
                return;
            }
            std::lock_guard lock(Mutex);
            Status.LinesWritten += written;
        }
        const int closeError = platform::CloseFile(fd);
        fd = -1;
        if (closeError != 0) {
            Fail(Path, "关闭文件 " + Path + " 失败：" + ErrorText(closeError));
            return;
        }
        {
            std::lock_guard lock(Mutex);
            Status.Finished = true;
        }
        Report(TEventKind::Finished, Path);
    }
};

TLogFileWriter::TLogFileWriter(std::string Path, TMode Mode, std::string Header, TOnEvent OnEvent,
                               std::size_t MaxPendingBytes)
    : FPath(std::move(Path)), FState(std::make_shared<TState>()) {
    FState->MaxPendingBytes = MaxPendingBytes;
    FState->OnEvent = std::move(OnEvent);
    std::thread([state = FState, path = FPath, Mode, header = std::move(Header)] {
        state->Run(path, Mode, header);
        std::lock_guard lock(state->Mutex);
        state->ThreadDone = true;
        state->Idle.notify_all();
    }).detach();
}

TLogFileWriter::~TLogFileWriter() {
    {
        std::lock_guard lock(FState->EventMutex);
        FState->OnEvent = nullptr;
    }
    // The thread owns its share of the state and ends once the rest is written.
    Finish();
}

bool TLogFileWriter::Close(std::chrono::milliseconds Timeout) {
    Finish();
    std::unique_lock lock(FState->Mutex);
    return FState->Idle.wait_for(lock, Timeout, [&] { return FState->ThreadDone; });
}

void TLogFileWriter::Write(std::string Line) {
    Line += '\n';
    std::lock_guard lock(FState->Mutex);
    TState& s = *FState;
    if (s.Status.Failed || s.FinishAsked) return;
    if (s.Status.PendingBytes + Line.size() > s.MaxPendingBytes) {
        ++s.Status.LinesDropped;
        ++s.DroppedUnnoted;
        return;
    }
    s.Status.PendingBytes += Line.size();
    s.Lines.push_back(std::move(Line));
    if (s.Lines.size() == 1) s.Wake.notify_one();
}

void TLogFileWriter::Finish() {
    std::lock_guard lock(FState->Mutex);
    FState->FinishAsked = true;
    FState->Wake.notify_one();
}

bool TLogFileWriter::WaitIdle(std::chrono::milliseconds Timeout) const {
    std::unique_lock lock(FState->Mutex);
    return FState->Idle.wait_for(lock, Timeout, [&] {
        return (FState->Lines.empty() && !FState->InFlight && FState->Status.Opened) ||
               FState->Status.Failed || FState->ThreadDone;
    });
}

TLogFileWriter::TStatus TLogFileWriter::Status() const {
    std::lock_guard lock(FState->Mutex);
    return FState->Status;
}

}  // namespace aircon
