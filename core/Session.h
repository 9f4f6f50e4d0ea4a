// A monitoring session: one serial line, the port on it, the monitoring core over the
// port, the link counters and the answering rule, set up from value records. The window
// and the poller host a session; neither builds the port or the core itself.
//
// The host gives the clock, the serial platform (a fake one in tests) and the port's
// hand-over, opens and closes the session, and hears of failures, reopenings and the
// answering state through the callbacks below. Where the host asks for it (the poller),
// a port that does not open, or fails while open, is closed and opened again after 1, 2,
// 4, ... up to 30 seconds; the pauses start again at 1 second once the controller has
// replied on a link.
//
// Modes. Today a session polls one address as the master: every frame that passes the
// check is read as the answer to the last command sent, whatever its address or time.
// The reply event carries a verdict (address as asked, in time) for the modes to come,
// which the master mode ignores:
//   - several addresses in turn: the poll step walks the addresses, and a reply counts
//     for the address it was asked of only when its verdict says so;
//   - listening without writing: the port is opened, nothing is written, and every frame
//     is reported with the verdict "not asked";
//   - jobs that borrow the line for a while (a scan of addresses, a parameter write with
//     its read-back): automatic polling pauses, the job's commands go out through the
//     same queue and its replies come to it with their verdict, then polling resumes.
// TSessionMode::PollOne and TSessionMode::Listen are built; a listening session hands
// every received block to its TListener (Listen.h), whose events reach the monitor's
// observers through a TListenRelay (the views of a polling link show a listened one),
// and its link refuses every write. The mode changes while the port is closed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Answering.h"
#include "CPort.h"
#include "Clock.h"
#include "ComPortLink.h"
#include "LinkCounters.h"
#include "Listen.h"
#include "Monitor.h"

namespace aircon {

// The line as the operator sets it. Flow control is none: DTR and RTS held off, no
// CTS/DSR handshake, no XON/XOFF, as the controller's two-wire adapters expect.
struct TLineSettings {
    std::string Port = "COM1";
    TBaudRate BaudRate = TBaudRate::Br9600;
    TDataBits DataBits = TDataBits::DbEight;
    TParityBits Parity = TParityBits::PrNone;
    TStopBits StopBits = TStopBits::SbOneStopBit;
};

enum class TSessionMode {
    PollOne,  // one address, as the master
    Listen,   // another master polls: nothing written, DTR and RTS dropped on opening
};

struct TSessionSettings {
    TLineSettings Line;
    TPollSettings Poll;
    TSessionMode Mode = TSessionMode::PollOne;
};

// Why an opening ended as it did.
enum class TOpenReason {
    Opened,
    InUse,            // another program holds the port
    NoPermission,     // this user may not use the device
    Gone,             // no such device (any more)
    NotSerial,        // the name leads to something that is no serial device
    SettingsRefused,  // the device opened but refused the line settings
    Failed,           // any other failure
};

struct TOpenResult {
    TOpenReason Reason = TOpenReason::Failed;
    // The error number of a refused open (0 when the device opened, or none came).
    int Error = 0;
    bool Opened() const { return Reason == TOpenReason::Opened; }
};

// A failure the port reported (outside a close the session made, and outside a store of
// the line settings, which StoreLineSettings answers itself).
struct TPortFailure {
    TComExceptions Kind = TComExceptions::CE_OpenFailed;
    std::string Message;  // the component's text
    std::int64_t WinError = 0;
    std::string WinMessage;  // the platform's text for WinError
    bool WhileOpen = false;  // the link was open when it came
};

// A reopening the session has planned.
struct TReopenPlan {
    bool Lost = false;    // the link was lost while open (else an opening failed)
    Millis Pause{};       // until the next attempt
    int FailedOpens = 0;  // attempts in a row that failed (0 after a loss)
};

class TSession : private IMonitorObserver {
  public:
    static constexpr Millis FirstPause{1000};
    static constexpr Millis LongestPause{30000};

    // Platform: the serial platform (null: the POSIX one). HandOver: how port events reach
    // the host's thread (null: the host pumps). Source: where the core reads the poll
    // settings each time it uses them (null: the record Settings.Poll, see SetPoll).
    TSession(IClock& Clock, const TSessionSettings& Settings,
             std::shared_ptr<IComPlatform> Platform = nullptr, IComHandOver* HandOver = nullptr,
             IPollSettings* Source = nullptr, std::string Name = "ComPort1");
    ~TSession() override;
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    TComPort& Port() { return FPort; }
    const TComPort& Port() const { return FPort; }
    TMonitor& Monitor() { return FMonitor; }
    // What the link did since it opened.
    const TLinkCounters& Counters() const { return FCounters; }
    // Whether the controller answers, and the rule that says so.
    TAnswering Answering() const { return FRule.State(); }
    const TAnswerRule& Rule() const { return FRule; }
    TSessionMode Mode() const { return FMode; }
    // Changes the mode while the port is closed (std::logic_error while it is open).
    // Listening: a listener, the link refusing every write, the monitor's timers off.
    // Polling again: no listener; the monitor starts its timers at the next Start.
    void SetMode(TSessionMode Mode);
    // The listener of a listening session (null in the other modes).
    TListener* Listener() { return FListener.get(); }
    // The address whose readings a listening session passes on to the monitor's
    // observers (TListenRelay); none: no readings. Kept across modes.
    void SetListenAddress(std::optional<std::uint8_t> Addr);
    std::optional<std::uint8_t> ListenAddress() const { return FListenAddress; }
    // Whether the link writes (false while listening: every write is refused).
    bool Writes() const { return !FLink.ListenOnly(); }

    // The line settings: applied to the port (also while open).
    void SetLine(const TLineSettings& Line);
    TLineSettings Line() const;
    // The poll settings of a session without a source of its own.
    void SetPoll(const TPollSettings& Poll) { FFixed.Values = Poll; }

    // --- opening and closing ---
    // Opens the port only; the host calls Start when it is ready (the window keeps its
    // settings file first). A failed opening leaves the port closed.
    TOpenResult OpenPort();
    // Starts the monitor on the open link: poll step 0, the poll timer. A session on its
    // own poll record also sets the send timer to the reply time-out, so that commands
    // queued before the first poll tick leave one per time-out. False when the settings
    // gave no poll interval (polling left off).
    bool Start();
    // OpenPort then Start. With reopening on, a failed opening plans the next attempt.
    TOpenResult Open();
    // Stops the monitor (timers off, queue released) and closes the port. Failures the
    // port reports while this runs are of no interest and reach no host. The link's
    // close says why: requested, or, while a failure of the open port is handled (the
    // host's OnPortFailure), the port vanished or failed.
    void Close();
    bool IsOpen() const { return FPort.Connected(); }
    // Close is running.
    bool Closing() const { return FClosing; }

    // Writes the line settings to an ini file; false when they could not be written.
    bool StoreLineSettings(const std::string& Path);

    // --- reopening ---
    void SetReopen(bool On);
    bool Reopen() const { return FReopen; }
    Millis NextPause() const { return FNextPause; }
    int FailedOpens() const { return FFailedOpens; }

    // --- what the host hears ---
    std::function<void(const TPortFailure&)> OnPortFailure;
    std::function<void(const TReopenPlan&)> OnReopenPlanned;
    // The link opened by Open (the host's own call or a planned reopening) and started.
    std::function<void()> OnOpened;
    std::function<void(TAnswering)> OnAnswering;
    // Every received block as read, before the core takes it (a capture file).
    std::function<void(std::span<const std::uint8_t>)> OnBlock;

  private:
    void PortException(TComExceptions Kind, const std::string& Message, std::int64_t WinError,
                       const std::string& WinMessage);
    void PlanReopen(bool Lost);
    struct TFailureClose {
        TCloseReason Reason = TCloseReason::Failed;
        std::string Detail;
    };
    static TFailureClose ClosingFailure(const TPortFailure& Failure);
    void OnReplyReceived(const TReplyReceived&) override;

    void MakeListener();

    IClock& FClock;
    TSessionMode FMode;
    std::unique_ptr<TListener> FListener;
    std::unique_ptr<TListenRelay> FRelay;  // after the listener it registers with
    std::optional<std::uint8_t> FListenAddress;
    TFixedPollSettings FFixed;
    IPollSettings* FSource = nullptr;
    TComPort FPort;
    TComPortLink FLink;
    TMonitor FMonitor;
    TLinkCounters FCounters;
    TAnswerRule FRule;
    TTimer FReopenTimer;

    bool FReopen = false;
    Millis FNextPause = FirstPause;
    int FFailedOpens = 0;
    bool FClosing = false;
    bool FStoring = false;
    bool FStoreFailed = false;
    bool FOpening = false;
    int FOpenError = 0;                          // of the opening running now
    std::optional<TComExceptions> FOpenFailure;  // the first failure of that opening
    std::optional<TFailureClose> FFailureClose;  // of the failure being handled
};

}  // namespace aircon
