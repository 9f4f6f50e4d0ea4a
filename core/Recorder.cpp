#include "Recorder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>

#include "Platform.h"
#include "UserFolders.h"

namespace aircon {

namespace fs = std::filesystem;

namespace {

bool Digit(char C) {
    return C >= '0' && C <= '9';
}

// A finished recording in the folder, a candidate for removal.
struct TOldRecording {
    fs::path Path;
    std::uint64_t Bytes = 0;
    std::int64_t Modified = 0;  // ns since the epoch
};

}  // namespace

fs::path DefaultRecordingFolder() {
    const std::string data = util::UserFolders().Data;
    const fs::path base = data.empty() ? fs::path("/tmp/.local/share") : fs::path(data);
    return base / "AirConTool" / "recordings";
}

std::string RecordingFileName(WallTime Start, std::string_view Port) {
    const std::tm tm =
        platform::LocalTime(std::chrono::system_clock::to_time_t(Start)).value_or(std::tm{});
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d_", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    const std::size_t slash = Port.find_last_of('/');
    if (slash != std::string_view::npos) Port.remove_prefix(slash + 1);
    std::string port;
    for (char c : Port) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || Digit(c) ||
                          c == '.' || c == '_' || c == '-';
        port += keep ? c : '_';
    }
    if (port.empty() || port.find_first_not_of('.') == std::string::npos) port = "port";
    return stamp + port + ".csv";
}

bool IsRecordingFileName(std::string_view Name) {
    // YYYY-MM-DD_HH-MM-SS_<port>.csv
    constexpr std::string_view form = "dddd-dd-dd_dd-dd-dd_";
    if (Name.size() < form.size() + 1 + 4 || !Name.ends_with(".csv")) return false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form[i] == 'd' ? !Digit(Name[i]) : Name[i] != form[i]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The writer thread's state

struct TRecorder::TWriter {
    explicit TWriter(TShared& Owner) : Shared(Owner) {}
    ~TWriter() { Close(); }

    void Begin(const TStart& S);
    void Add(const TRow& R);
    void AddLost(const TLost& L);
    void End(const TStop& S);
    void Flush();

  private:
    // Stops the recording with an error event of Problem: Error, when not 0, is the
    // system's error number.
    void Fail(TRecordingProblem Problem, int Error = 0, fs::path Folder = {});
    void Close();
    void FindOldRecordings(const fs::path& Folder);
    void MakeRoom(std::uint64_t Needed);

    TShared& Shared;
    bool Open = false;    // a recording is running: rows belong to it
    bool Failed = false;  // it stopped on an error: rows are counted as lost
    int Fd = -1;
    fs::path File;
    std::uint64_t Limit = 0;
    std::uint64_t Bytes = 0;  // written to File
    std::uint64_t Rows = 0;
    std::uint64_t Lost = 0;
    std::string Buffer;
    std::vector<std::size_t> RowEnds;  // where each reply row in Buffer ends
    std::vector<TOldRecording> Old;    // oldest last
    std::uint64_t OldBytes = 0;
    TLocalTimeText Time;
};

struct TRecorder::TShared {
    explicit TShared(std::function<void()> Before) : BeforeDiskWrite(std::move(Before)) {}

    void Raise(TRecordingEvent Event);        // from either thread
    bool Take(std::vector<TCommand>& Batch);  // on the writer thread

    std::mutex Mutex;  // guards Events
    std::vector<TRecordingEvent> Events;
    std::atomic<bool> EventsWaiting{false};
    // Called with WakeMutex held, so that no wake-up runs once Close has taken it away.
    std::mutex WakeMutex;
    std::function<void()> WakeUp;
    const std::function<void()> BeforeDiskWrite;
    TWriter Writer{*this};
};

void TRecorder::TWriter::Close() {
    if (Fd >= 0) platform::CloseFile(Fd);  // also drops the mark of a file in use
    Fd = -1;
}

void TRecorder::TWriter::Fail(TRecordingProblem Problem, int Error, fs::path Folder) {
    Failed = true;
    Close();
    TRecordingEvent e;
    e.Kind = TRecordingEventKind::Error;
    e.File = File;
    e.Problem = Problem;
    if (Error != 0) e.Error = std::error_code(Error, std::generic_category());
    e.Folder = std::move(Folder);
    e.Limit = Limit;
    Shared.Raise(std::move(e));
}

void TRecorder::TWriter::FindOldRecordings(const fs::path& Folder) {
    Old.clear();
    OldBytes = 0;
    std::error_code ec;
    for (fs::directory_iterator it(Folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (p == File || !IsRecordingFileName(p.filename().string())) continue;
        const std::optional<platform::TFileFacts> facts = platform::PlainFileFacts(p);
        if (!facts) continue;
        TOldRecording r;
        r.Path = p;
        r.Bytes = facts->Size;
        r.Modified = facts->ModifiedNs;
        OldBytes += r.Bytes;
        Old.push_back(std::move(r));
    }
    // Newest first, so the oldest is taken from the back.
    std::sort(Old.begin(), Old.end(), [](const TOldRecording& a, const TOldRecording& b) {
        return a.Modified != b.Modified ? a.Modified > b.Modified : a.Path > b.Path;
    });
}

// Removes the oldest recordings until the folder has room for Needed more bytes. A
// recording that another running program still writes (it holds a lock on it) stays.
void TRecorder::TWriter::MakeRoom(std::uint64_t Needed) {
    std::vector<TOldRecording> kept;  // in use: they still take their room
    while (!Old.empty() && OldBytes + Needed > Limit) {
        TOldRecording r = std::move(Old.back());
        Old.pop_back();
        if (platform::KeptInUse(r.Path))
            kept.push_back(std::move(r));
        else
            OldBytes -= r.Bytes;  // removed, or gone already
    }
    Old.insert(Old.end(), std::make_move_iterator(kept.rbegin()),
               std::make_move_iterator(kept.rend()));
}

void TRecorder::TWriter::Begin(const TStart& S) {
    if (Open) End(TStop{0});
    Open = true;
    Failed = false;
    File.clear();
    Bytes = Rows = Lost = 0;
    Buffer.clear();
    RowEnds.clear();
    Limit = S.SizeLimit;

    std::error_code ec;
    fs::create_directories(S.Folder, ec);
    if (ec || !fs::is_directory(S.Folder, ec)) {
        const int e = ec && ec.value() != EEXIST ? ec.value() : ENOTDIR;
        Fail(TRecordingProblem::FolderNotMade, e, S.Folder);
        return;
    }
    const std::string name = RecordingFileName(S.At, S.Port);
    const std::string stem = name.substr(0, name.size() - 4);
    int error = 0;
    for (int n = 1; n <= 100 && Fd < 0; ++n) {
        File = S.Folder / (n == 1 ? name : stem + "_" + std::to_string(n) + ".csv");
        Fd = platform::CreateNewFile(File, error);
        if (Fd < 0 && error != EEXIST) break;
    }
    if (Fd < 0) {
        Fail(TRecordingProblem::FileNotMade, error);
        return;
    }
    // Marked in use while open: other running copies of the program leave it alone.
    Buffer.append(Utf8Bom);
    Buffer += RecordingHeader();
    FindOldRecordings(S.Folder);
    MakeRoom(Buffer.size());

    TRecordingEvent e;
    e.Kind = TRecordingEventKind::Started;
    e.File = File;
    Shared.Raise(std::move(e));
}

void TRecorder::TWriter::Add(const TRow& R) {
    if (!Open) return;
    if (Failed) {
        ++Lost;
        return;
    }
    AppendRecordingRow(Buffer, TRecordedRow{R.At, R.Data, 0}, Time);
    RowEnds.push_back(Buffer.size());
}

void TRecorder::TWriter::AddLost(const TLost& L) {
    if (!Open || Failed) return;
    TRecordedRow marker;
    marker.At = L.At;
    marker.LostRows = L.Count;
    AppendRecordingRow(Buffer, marker, Time);
}

void TRecorder::TWriter::End(const TStop& S) {
    if (!Open) return;
    Flush();
    Close();
    Open = false;
    TRecordingEvent e;
    e.Kind = TRecordingEventKind::Stopped;
    e.File = File;
    e.Rows = Rows;
    e.LostRows = Lost + S.LostBefore;
    Shared.Raise(std::move(e));
}

void TRecorder::TWriter::Flush() {
    if (Buffer.empty()) return;
    if (Fd < 0) {
        Lost += RowEnds.size();
        Buffer.clear();
        RowEnds.clear();
        return;
    }
    // The folder stays within the limit: old recordings make room, and when none is
    // left this recording ends with its last whole row that fits.
    std::size_t size = Buffer.size();
    bool full = false;
    if (OldBytes + Bytes + size > Limit) {
        MakeRoom(Bytes + size);
        if (OldBytes + Bytes + size > Limit) {
            full = true;
            const std::uint64_t room = Limit > OldBytes + Bytes ? Limit - OldBytes - Bytes : 0;
            const std::size_t lf = room > 0 ? Buffer.rfind('\n', room - 1) : std::string::npos;
            size = lf == std::string::npos ? 0 : lf + 1;
        }
    }
    if (size > 0 && Shared.BeforeDiskWrite) Shared.BeforeDiskWrite();
    const platform::TWriteResult written =
        platform::WriteAll(Fd, std::string_view(Buffer.data(), size));
    const std::size_t done = written.Written;
    const int error = written.Error;
    Bytes += done;
    // Rows written whole stay; a row cut in the middle is the file's last, unfinished
    // line, and it and the rest of the batch are lost.
    const auto whole = static_cast<std::uint64_t>(
        std::upper_bound(RowEnds.begin(), RowEnds.end(), done) - RowEnds.begin());
    Rows += whole;
    Lost += RowEnds.size() - whole;
    Buffer.clear();
    RowEnds.clear();
    if (error != 0)
        Fail(TRecordingProblem::WriteFailed, error);
    else if (full)
        Fail(TRecordingProblem::SizeLimitReached);
}

// ---------------------------------------------------------------------------
// The recorder

std::uint64_t SizeLimitFromMB(std::uint64_t MB) {
    constexpr std::uint64_t MiB = 1024 * 1024;
    if (MB > std::numeric_limits<std::uint64_t>::max() / MiB)
        return std::numeric_limits<std::uint64_t>::max();
    return MB * MiB;
}

TRecorder::TRecorder(IClock& Clock, TRecorderSettings Settings)
    : FShared(std::make_shared<TShared>(Settings.BeforeDiskWrite)),
      FClock(Clock),
      FSettings(std::move(Settings)),
      // The thread holds its share of the state: it may outlive the recorder.
      FQueue(
          {.Begin = {},
           .Take = [shared = FShared](std::vector<TCommand>& Batch) { return shared->Take(Batch); },
           .End = {}},
          FSettings.FlushInterval) {
    if (FSettings.Folder.empty()) FSettings.Folder = DefaultRecordingFolder();
    ApplySizeLimit(FSettings.SizeLimit);
}

TRecorder::~TRecorder() {
    if (!FClosed) Close(FSettings.CloseTimeout);
}

bool TRecorder::Close(Millis Timeout) {
    if (FClosed) return FUnwritten == 0;
    if (FRecording) Stop();
    FClosed = true;
    if (FQueue.Close(Timeout)) return true;
    const auto counters = FQueue.Counters();
    FUnwritten = counters.WeightPushed - counters.WeightDone;
    std::lock_guard wake(FShared->WakeMutex);
    FShared->WakeUp = nullptr;
    return false;
}

void TRecorder::ApplySizeLimit(std::uint64_t Bytes) {
    TRecordingProblem problem = TRecordingProblem::None;
    if (Bytes == 0) {
        Bytes = TRecorderSettings::DefaultSizeLimit;
        problem = TRecordingProblem::SizeLimitZero;  // it would remove every old recording
    } else if (Bytes > TRecorderSettings::MaxSizeLimit) {
        Bytes = TRecorderSettings::MaxSizeLimit;
        problem = TRecordingProblem::SizeLimitTooLarge;
    }
    FSettings.SizeLimit = Bytes;
    if (problem == TRecordingProblem::None) return;
    TRecordingEvent e;
    e.Kind = TRecordingEventKind::Error;
    e.Problem = problem;
    e.Limit = Bytes;
    FShared->Raise(std::move(e));
}

void TRecorder::SetEnabled(bool On) {
    if (On == FSettings.Enabled) return;
    FSettings.Enabled = On;
    if (On && FLinkOpen)
        Start(FClock.WallNow());
    else if (!On && FRecording)
        Stop();
}

void TRecorder::SetFolder(fs::path Folder) {
    FSettings.Folder = Folder.empty() ? DefaultRecordingFolder() : std::move(Folder);
}

fs::path TRecorder::Folder() const {
    return FSettings.Folder;
}

void TRecorder::SetSizeLimit(std::uint64_t Bytes) {
    ApplySizeLimit(Bytes);
}

void TRecorder::SetWakeUp(std::function<void()> WakeUp) {
    std::lock_guard lock(FShared->WakeMutex);
    FShared->WakeUp = std::move(WakeUp);
}

void TRecorder::TShared::Raise(TRecordingEvent Event) {
    {
        std::lock_guard lock(Mutex);
        Events.push_back(std::move(Event));
    }
    EventsWaiting = true;
    std::lock_guard wake(WakeMutex);
    if (WakeUp) WakeUp();
}

void TRecorder::Poll() {
    if (!FShared->EventsWaiting.exchange(false)) return;
    std::vector<TRecordingEvent> events;
    {
        std::lock_guard lock(FShared->Mutex);
        events.swap(FShared->Events);
    }
    for (const TRecordingEvent& e : events) {
        if (OnEvent) OnEvent(e);
    }
}

void TRecorder::Sync() {
    if (FClosed) return;
    FQueue.WaitDone();
    Poll();
}

void TRecorder::Push(TCommand Command, bool Urgent) {
    const std::uint64_t weight = std::holds_alternative<TRow>(Command) ? 1 : 0;
    FQueue.Push(std::move(Command), weight, Urgent);
}

void TRecorder::Start(WallTime At) {
    if (FClosed) return;
    FRecording = true;
    FDropped = FDroppedTotal = 0;
    FBehindReported = false;
    Push(TStart{At, FPort, FSettings.Folder, FSettings.SizeLimit}, true);
}

void TRecorder::Stop() {
    if (FDropped > 0) Push(TLost{FFirstDropped, FDropped}, false);
    FDropped = 0;
    Push(TStop{FDroppedTotal}, true);
    FRecording = false;
}

void TRecorder::OnLinkOpened(const TLinkOpened& E) {
    Poll();
    if (FRecording) Stop();
    FLinkOpen = true;
    FPort = E.Port;
    if (FSettings.Enabled) Start(E.At.Wall);
}

void TRecorder::OnLinkClosed(const TLinkClosed&) {
    Poll();
    if (FRecording) Stop();
    FLinkOpen = false;
}

void TRecorder::OnReplyDecoded(const TDecodedReply& E) {
    Poll();
    if (!FRecording) return;
    if (FQueue.PendingWeight() >= FSettings.MaxPendingRows) {
        // The writer is behind (a stalled disk): this row cannot wait any more.
        if (FDropped++ == 0) FFirstDropped = E.At.Wall;
        ++FDroppedTotal;
        if (!FBehindReported) {
            FBehindReported = true;
            TRecordingEvent e;
            e.Kind = TRecordingEventKind::Error;
            e.Problem = TRecordingProblem::WriterBehind;
            if (OnEvent) OnEvent(e);
        }
        return;
    }
    if (FDropped > 0) {
        Push(TLost{FFirstDropped, FDropped}, false);
        FDropped = 0;
    }
    Push(TRow{E.At.Wall, E.Data}, false);
}

bool TRecorder::TShared::Take(std::vector<TCommand>& Batch) {
    for (TCommand& c : Batch) {
        std::visit(
            [&](auto& cmd) {
                using T = std::decay_t<decltype(cmd)>;
                if constexpr (std::is_same_v<T, TStart>)
                    Writer.Begin(cmd);
                else if constexpr (std::is_same_v<T, TRow>)
                    Writer.Add(cmd);
                else if constexpr (std::is_same_v<T, TLost>)
                    Writer.AddLost(cmd);
                else
                    Writer.End(cmd);
            },
            c);
    }
    Writer.Flush();
    return true;
}

}  // namespace aircon
