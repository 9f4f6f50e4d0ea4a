// The recorder: every decoded reply of an open link, written to a recording file.
//
// One recording per opening of the link, "<local start time>_<port>.csv" in the
// recordings folder ($XDG_DATA_HOME/AirConTool/recordings, by default
// ~/.local/share/AirConTool/recordings), in the layout of RecordingCsv.h.
//
// The thread that drives the core only copies each reply into a queue; a writer thread
// of the recorder formats the rows and writes them, at the latest FlushInterval after a
// row was queued, so a crash loses at most that. Everything that touches the disk
// (making the folder, creating the file, writing, removing old recordings) happens on
// the writer thread: a slow or stalled disk never holds up the monitoring.
//
// Nothing is lost silently. A folder that cannot be made or written, a full disk, or a
// recording that reaches the size limit stops that recording with one error event (the
// monitoring goes on); a writer that falls behind by MaxPendingRows rows drops rows,
// says so once, and marks the gap in the file with a 丢失行 row. Events reach the
// observer on the thread that drives the core, from its callbacks or from Poll(). An
// error event names its problem, the system's error and the path or limit concerned;
// the views word it.
//
// Closing waits for the writer CloseTimeout at most: a pulled USB stick or a hung network
// folder never holds up the end of the program. The writer is then left to finish on its
// own, and the rows it had not written are counted for the host to tell (Unwritten()).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "BackgroundQueue.h"
#include "Events.h"
#include "RecordingCsv.h"

namespace aircon {

struct TRecorderSettings {
    static constexpr std::uint64_t DefaultSizeLimit = 500ull * 1024 * 1024;
    // 1 PB: far beyond any disk, and sums of file sizes with it never overflow.
    static constexpr std::uint64_t MaxSizeLimit = 1ull << 50;

    std::filesystem::path Folder;  // empty: DefaultRecordingFolder()
    // The recordings in the folder together stay below this: the oldest are removed
    // first. A recording that alone reaches it stops. 0 is refused (it would remove
    // every old recording): the default applies; above MaxSizeLimit: MaxSizeLimit. Either
    // is said with an error event.
    std::uint64_t SizeLimit = DefaultSizeLimit;
    bool Enabled = true;
    Millis FlushInterval{500};
    std::size_t MaxPendingRows = 20000;
    // How long closing waits for the writer (a stuck disk).
    Millis CloseTimeout{2000};
    // Called on the writer thread before each write to the disk; tests make it hang as a
    // stuck disk would.
    std::function<void()> BeforeDiskWrite;
};

// The size limit of a setting in megabytes (SizeLimitMB=), without wrapping around: a
// value too large for bytes gives the largest number, which the recorder clamps.
std::uint64_t SizeLimitFromMB(std::uint64_t MB);

enum class TRecordingEventKind {
    Started,  // a recording file was created (File)
    Stopped,  // a recording ended (File, Rows, LostRows)
    Error,    // a recording could not be made or went on (Problem); monitoring goes on
};

// What went wrong with a recording (an Error event), and what the event names with it.
// The recording that had the problem records nothing more; the monitoring goes on.
enum class TRecordingProblem {
    None,
    FolderNotMade,      // the folder (Folder) could not be made, or is no folder (Error)
    FileNotMade,        // no new file could be created (File: the last name tried; Error)
    WriteFailed,        // writing the file failed (File, Error): the recording stopped
    SizeLimitReached,   // the recordings reached the size limit (File, Limit): it stopped
    SizeLimitZero,      // a size limit of 0 was refused: the default applies (Limit)
    SizeLimitTooLarge,  // a size limit above MaxSizeLimit: that applies instead (Limit)
    WriterBehind,       // the writer fell behind: rows are dropped, marked with 丢失行 rows
};

struct TRecordingEvent {
    TRecordingEventKind Kind = TRecordingEventKind::Started;
    std::filesystem::path File;
    std::uint64_t Rows = 0;      // Stopped: rows written
    std::uint64_t LostRows = 0;  // Stopped: rows of the opening that are not in the file
    // Error: the problem, the system's error number (generic category) where the system
    // gave one, the folder that was not made, the size limit in bytes.
    TRecordingProblem Problem = TRecordingProblem::None;
    std::error_code Error;
    std::filesystem::path Folder;
    std::uint64_t Limit = 0;
};

// $XDG_DATA_HOME/AirConTool/recordings, or ~/.local/share/AirConTool/recordings.
std::filesystem::path DefaultRecordingFolder();
// "2026-12-10_14-03-07_ttyUSB0.csv": local start time and the port's last path part,
// characters other than letters, digits, ".", "_" and "-" replaced by "_".
std::string RecordingFileName(WallTime Start, std::string_view Port);
// Whether a file name has the form of a recording (only such files are ever removed).
bool IsRecordingFileName(std::string_view Name);

class TRecorder : public IMonitorObserver {
  public:
    explicit TRecorder(IClock& Clock, TRecorderSettings Settings = {});
    // Close(CloseTimeout) unless the host closed it. A host that tells how many rows were
    // not written closes it itself first (Close, Unwritten).
    ~TRecorder() override;
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // Switching on while the link is open starts a recording at once; switching off
    // finishes the current one.
    void SetEnabled(bool On);
    bool Enabled() const { return FSettings.Enabled; }
    // Folder and size limit apply from the next recording on.
    void SetFolder(std::filesystem::path Folder);
    std::filesystem::path Folder() const;
    void SetSizeLimit(std::uint64_t Bytes);
    std::uint64_t SizeLimit() const { return FSettings.SizeLimit; }

    // True while a recording of the open link is meant to run.
    bool Recording() const { return FRecording; }

    // What happened, delivered on the thread that drives the core.
    std::function<void(const TRecordingEvent&)> OnEvent;
    // Called on the writer thread when an event waits; the host then calls Poll() on
    // its own thread (the window posts it to its event loop). Set before the link opens.
    void SetWakeUp(std::function<void()> WakeUp);
    // Delivers the events that wait. Also done at every callback of the core.
    void Poll();
    // Waits until everything handed over so far is written (tests, shutdown).
    void Sync();
    // Finishes the current recording and waits for the writer, Timeout at most. False
    // when the wait ran out: the writer finishes on its own and reports nothing more.
    // Nothing is recorded after Close.
    bool Close(Millis Timeout);
    // Rows handed to the writer that it had not written when Close stopped waiting.
    std::uint64_t Unwritten() const { return FUnwritten; }
    // How long closing waits for the writer (TRecorderSettings::CloseTimeout).
    Millis CloseTimeout() const { return FSettings.CloseTimeout; }

    void OnLinkOpened(const TLinkOpened& E) override;
    void OnLinkClosed(const TLinkClosed& E) override;
    void OnReplyDecoded(const TDecodedReply& E) override;

  private:
    struct TStart {
        WallTime At;
        std::string Port;
        std::filesystem::path Folder;
        std::uint64_t SizeLimit;
    };
    struct TRow {
        WallTime At;
        TReplyData Data;
    };
    struct TLost {
        WallTime At;
        std::uint64_t Count;
    };
    struct TStop {
        std::uint64_t LostBefore;  // rows dropped by the driving thread in this recording
    };
    using TCommand = std::variant<TStart, TRow, TLost, TStop>;

    void Start(WallTime At);
    void Stop();
    void Push(TCommand Command, bool Urgent);
    void ApplySizeLimit(std::uint64_t Bytes);

    // What the recorder shares with its writer thread, which may outlive the recorder
    // when the disk is stuck at the end.
    struct TWriter;  // the writer thread's own state
    struct TShared;
    std::shared_ptr<TShared> FShared;

    IClock& FClock;
    TRecorderSettings FSettings;
    bool FLinkOpen = false;
    std::string FPort;
    bool FRecording = false;
    bool FClosed = false;
    std::uint64_t FDropped = 0;  // rows dropped since the last 丢失行 marker
    WallTime FFirstDropped{};
    std::uint64_t FDroppedTotal = 0;  // rows dropped in this recording
    bool FBehindReported = false;
    std::uint64_t FUnwritten = 0;
    // Commands to the writer, rows weighing 1 and the others nothing; started last.
    util::TBackgroundQueue<TCommand> FQueue;
};

}  // namespace aircon
