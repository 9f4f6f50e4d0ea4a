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
// observer on the thread that drives the core, from its callbacks or from Poll().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "Events.h"
#include "RecordingCsv.h"

namespace aircon {

struct TRecorderSettings {
    std::filesystem::path Folder;  // empty: DefaultRecordingFolder()
    // The recordings in the folder together stay below this: the oldest are removed
    // first. A recording that alone reaches it stops.
    std::uint64_t SizeLimit = 500ull * 1024 * 1024;
    bool Enabled = true;
    Millis FlushInterval{500};
    std::size_t MaxPendingRows = 20000;
};

enum class TRecordingEventKind {
    Started,  // a recording file was created (File)
    Stopped,  // a recording ended (File, Rows, LostRows)
    Error,    // a recording could not be made or went on (Message); monitoring goes on
};

struct TRecordingEvent {
    TRecordingEventKind Kind = TRecordingEventKind::Started;
    std::filesystem::path File;
    std::string Message;         // Error: what went wrong, in the operator's words
    std::uint64_t Rows = 0;      // Stopped: rows written
    std::uint64_t LostRows = 0;  // Stopped: rows of the opening that are not in the file
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
    // Finishes the current recording and waits for the writer.
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
    void Raise(TRecordingEvent Event);  // from the writer thread
    void WriterLoop();

    // The writer thread's own state.
    struct TWriter;
    std::unique_ptr<TWriter> FWriter;

    IClock& FClock;
    TRecorderSettings FSettings;
    bool FLinkOpen = false;
    std::string FPort;
    bool FRecording = false;
    std::uint64_t FDropped = 0;  // rows dropped since the last 丢失行 marker
    WallTime FFirstDropped{};
    std::uint64_t FDroppedTotal = 0;  // rows dropped in this recording
    bool FBehindReported = false;

    std::mutex FMutex;
    std::condition_variable FWake;      // to the writer
    std::condition_variable FProgress;  // from the writer
    std::deque<TCommand> FQueue;
    std::size_t FQueuedRows = 0;
    std::chrono::steady_clock::time_point FFirstQueued{};
    bool FUrgent = false;
    bool FQuit = false;
    std::uint64_t FPushed = 0, FDone = 0;
    std::vector<TRecordingEvent> FEvents;
    std::function<void()> FWakeUp;
    std::atomic<bool> FEventsWaiting{false};
    std::thread FThread;
};

}  // namespace aircon
