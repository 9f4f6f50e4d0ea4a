#include "Poller.h"

#include <algorithm>

#include "JsonLines.h"
#include "Metrics.h"
#include "OpenHint.h"
#include "TextFile.h"

namespace airconpoll {

using namespace aircon;

namespace {

// The platform's message over one line ("System Error.  Code: 2.\r\nNo such file...").
std::string OneLine(std::string Text) {
    std::string out;
    for (char c : Text) {
        if (c == '\r') continue;
        if (c == '\n') {
            if (!out.empty() && out.back() != ' ') out += ' ';
            continue;
        }
        out += c;
    }
    return out;
}

std::string Seconds(Millis Span) {
    return std::to_string((Span.count() + 999) / 1000) + " s";
}

}  // namespace

// The number boxes of the window, here the command line.
class TPoller::TInputs : public IMonitorInputs {
  public:
    explicit TInputs(const TPollOptions& o)
        : FAddr(std::to_string(o.Addr)),
          FInterval(std::to_string(o.IntervalMs)),
          FTimeout(std::to_string(o.TimeoutMs)) {}
    std::string AddressText() const override { return FAddr; }
    std::string QueryIntervalText() const override { return FInterval; }
    std::string ReplyTimeoutText() const override { return FTimeout; }
    bool AutoQuery() const override { return true; }

  private:
    std::string FAddr, FInterval, FTimeout;
};

// Decoded replies on standard output, one JSON object a line, each line flushed.
class TPoller::TJsonOut : public IMonitorObserver {
  public:
    explicit TJsonOut(std::ostream& Out) : FOut(Out) {}
    void OnReplyDecoded(const TDecodedReply& e) override {
        FOut << JsonLine(e) << '\n';
        FOut.flush();
    }
    bool Failed() const { return !FOut; }

  private:
    std::ostream& FOut;
};

TPoller::TPoller(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out,
                 std::ostream& Err)
    : FOptions(Options),
      FLoop(Loop),
      FOut(Out),
      FErr(Err),
      FInputs(std::make_unique<TInputs>(Options)),
      FPort("AirConPoll", nullptr, &Loop),
      FLink(FPort),
      FMonitor(Loop.Clock(), FLink, *FInputs),
      FState(Options.Port),
      FReopenTimer(Loop.Clock(), 0, false),
      FReadsTimer(Loop.Clock(), Options.Once ? 0 : Options.ParamsIntervalS * 1000, false) {
    // The line as the window sets it up, with the line settings of the command line.
    FPort.SetBaudRate(Options.BaudRate);
    FPort.SetDataBits(Options.DataBits);
    FPort.Parity().SetBits(Options.Parity);
    FPort.SetStopBits(Options.StopBits);
    FPort.SetEvents(AllComEvents);
    FPort.FlowControl().SetControlDTR(TDTRFlowControl::DtrDisable);
    FPort.FlowControl().SetControlRTS(TRTSFlowControl::RtsDisable);
    FPort.Timeouts().SetReadInterval(10);
    FPort.Timeouts().SetReadTotalMultiplier(1);
    FPort.Timeouts().SetReadTotalConstant(10);
    FPort.SetTriggersOnRxChar(false);
    FPort.SetSyncMethod(TSyncMethod::SmWindowSync);
    FPort.SetPort(Options.Port);
    FPort.OnRxBuf = [this](TCustomComPort&, std::span<const std::uint8_t> Block) {
        FMonitor.ReceiveData(Block);
    };
    FPort.OnException = [this](TCustomComPort&, TComExceptions Kind, const std::string& Message,
                               std::int64_t WinError, const std::string& WinMessage) {
        PortException(Kind, Message, WinError, WinMessage);
    };
    FLoop.SetPort(&FPort);

    // The poll timer ticks only while the link is open.
    FMonitor.PollTimer().SetEnabled(false);
    FMonitor.AddObserver(FState);
    if (Options.Json) {
        FJson = std::make_unique<TJsonOut>(FOut);
        FMonitor.AddObserver(*FJson);
    }
    if (Options.Once) {
        FOnce = std::make_unique<TOnceCheck>();
        FMonitor.AddObserver(*FOnce);
    }
    FState.OnUpChanged = [this](bool Up) {
        if (Up)
            Info("the controller answers");
        else if (FState.PortOpen())
            Info("no reply from the controller for a whole poll cycle");
    };
    FReopenTimer.OnTimer = [this] {
        FReopenTimer.SetEnabled(false);
        TryOpen();
    };
    FReadsTimer.OnTimer = [this] { QueueReads(TOnceCheck::Reads); };
}

TPoller::~TPoller() {
    // A failure of this last close is of no interest, and must not be raised.
    FPort.OnException = [](TCustomComPort&, TComExceptions, const std::string&, std::int64_t,
                           const std::string&) {};
    FPort.OnRxBuf = nullptr;
    if (FPort.Connected()) FPort.Close();
    FLoop.SetPort(nullptr);
}

void TPoller::Info(const std::string& Line) {
    // A one-shot read speaks only of what went wrong.
    if (!FOnce) Log(Line);
}

void TPoller::Log(const std::string& Line) {
    FErr << "AirConPoll: " << Line << '\n';
    FErr.flush();
}

void TPoller::PortException(TComExceptions Kind, const std::string& Message, std::int64_t WinError,
                            const std::string& WinMessage) {
    std::string failure = Message;
    if (!WinMessage.empty()) failure += " (" + OneLine(WinMessage) + ")";
    if (Kind == TComExceptions::CE_OpenFailed && WinError > 0 && WinError < 4096) {
        const std::string hint = OpenFailureHint(FOptions.Port, static_cast<int>(WinError));
        if (!hint.empty()) failure += ": " + hint;
    }
    // Only the first failure tells what happened: closing a port that has gone fails too.
    if (FClosing) return;
    FPortError = failure;
    // A failure while open ends the link, like the window's; the port is tried again.
    if (FPort.Connected()) {
        CloseLink();
        if (FOnce) {
            Log(FOptions.Port + " failed: " + failure);
            FExitStatus = 1;
            return;
        }
        ScheduleReopen(FOptions.Port + " lost: " + failure);
    }
}

void TPoller::CloseLink() {
    if (FClosing) return;
    FClosing = true;
    FReadsTimer.SetEnabled(false);
    FMonitor.LinkClosed();
    FPort.Close();
    FClosing = false;
}

void TPoller::ScheduleReopen(const std::string& Why) {
    const Millis pause = FNextPause;
    FNextPause = std::min(FNextPause * 2, LongestPause);
    // Every attempt is told while the pause grows; then one in ten.
    if (FFailedOpens <= 6 || FFailedOpens % 10 == 0)
        Log(Why + "; trying again in " + Seconds(pause) +
            (FFailedOpens > 6 ? " (attempt " + std::to_string(FFailedOpens) + ")" : ""));
    FReopenTimer.SetInterval(static_cast<int>(pause.count()));
    FReopenTimer.SetEnabled(true);
}

void TPoller::TryOpen() {
    FPortError.clear();
    FPort.Open();
    if (!FPort.Connected()) {
        ++FFailedOpens;
        const std::string why = "cannot open " + FOptions.Port + ": " +
                                (FPortError.empty() ? "the port did not open" : FPortError);
        if (FOnce) {
            Log(why);
            FExitStatus = 1;
            return;
        }
        ScheduleReopen(why);
        return;
    }
    FFailedOpens = 0;
    Info("opened " + FOptions.Port + " (" + std::to_string(BaudRateNumber(FOptions.BaudRate)) +
         " bit/s, " + std::to_string(static_cast<int>(FOptions.DataBits) + 5) +
         " data bits, parity " + std::string(ParityName(FOptions.Parity)) + ", " +
         std::string(StopBitsName(FOptions.StopBits)) + " stop bit); polling address " +
         std::to_string(FOptions.Addr) + " every " + std::to_string(FOptions.IntervalMs) + " ms");
    // Queued commands leave one per reply time-out from the first one on.
    FMonitor.SendTimer().SetInterval(FOptions.TimeoutMs);
    FMonitor.LinkOpened(FOptions.Port);
    QueueReads(TOnceCheck::Reads);
    FReadsTimer.SetEnabled(true);
}

void TPoller::QueueReads(std::span<const std::uint8_t> Commands) {
    if (FPort.Connected()) QueueUnlessQueued(FMonitor, Commands);
}

void TPoller::WriteMetrics(const TMetricsData& Data) {
    if (FOptions.TextFile.empty()) return;
    const std::string error = WriteFileAtomically(FOptions.TextFile, FormatMetrics(Data));
    if (error != FWriteError) {
        if (!error.empty())
            Log(error);
        else
            Info("the metrics file " + FOptions.TextFile + " is written again");
        FWriteError = error;
    }
}

bool TPoller::CheckOnce() {
    if (!FOnce) return false;
    if (FOnce->TakeCycleStarted()) QueueReads(FOnce->MissingReads());
    switch (FOnce->Verdict()) {
        case TOnceCheck::TVerdict::Pending:
            return false;
        case TOnceCheck::TVerdict::Done:
            FExitStatus = 0;
            return true;
        case TOnceCheck::TVerdict::Silent:
            Log("no reply from the controller at address " + std::to_string(FOptions.Addr) +
                " on " + FOptions.Port + ": " + std::to_string(FOnce->CommandsSent()) +
                " commands sent, none answered within " + std::to_string(FOptions.TimeoutMs) +
                " ms (check the cable, the address and the line settings)");
            FExitStatus = 1;
            return true;
        case TOnceCheck::TVerdict::Incomplete: {
            std::string text = "the controller at address " + std::to_string(FOptions.Addr) +
                               " on " + FOptions.Port + " did not answer everything in " +
                               std::to_string(FOnce->Cycles()) + " poll cycles:";
            for (const auto& line : FOnce->Shortfalls())
                text += "\n  " + line;
            Log(text);
            FExitStatus = 1;
            return true;
        }
    }
    return false;
}

void TPoller::AfterEvents() {
    if (FJson && FJson->Failed()) {
        Log("standard output is closed; stopping");
        FExitStatus = 1;
        return;
    }
    if (CheckOnce()) return;
    // A link on which the controller answered starts the pauses afresh when it is lost.
    if (FPort.Connected() && FState.Answered()) FNextPause = FirstPause;
    if (FState.TakeIdentityDue()) {
        QueueReads(TOnceCheck::Reads);
    }
    // A unit is forgotten after twenty poll cycles without a report, and never sooner
    // than a minute.
    const Millis maxAge = std::max(Millis(60000), Millis(60LL * FOptions.IntervalMs));
    FState.ExpireStale(FLoop.Clock().Now(), maxAge);
    if (FState.TakeWriteDue()) WriteMetrics(FState.Metrics());
}

int TPoller::Run() {
    if (!FOptions.TextFile.empty()) {
        RemoveStaleTemporaries(FOptions.TextFile);
        // A file that cannot be written at the start is a mistake of the set-up.
        const std::string error =
            WriteFileAtomically(FOptions.TextFile, FormatMetrics(FState.Metrics()));
        if (!error.empty()) {
            Log(error);
            return 1;
        }
        FState.TakeWriteDue();
    }
    TryOpen();
    while (FExitStatus < 0 && !FLoop.StopRequested()) {
        FLoop.RunOnce();
        if (FExitStatus < 0) AfterEvents();
    }
    const bool stopped = FExitStatus < 0;
    // What a one-shot read found, before closing the link forgets it.
    const bool read = FOnce && FExitStatus == 0;
    const TMetricsData found = FState.Metrics();
    if (FPort.Connected()) CloseLink();
    FReopenTimer.SetEnabled(false);
    if (read) {
        if (!FOptions.TextFile.empty())
            WriteMetrics(found);
        else if (!FOptions.Json)
            FOut << FormatMetrics(found) << std::flush;
    } else {
        FState.Stopped();
        WriteMetrics(FState.Metrics());
    }
    if (stopped && FOnce) {
        Log("stopped before the read was complete");
        return 1;
    }
    if (stopped) {
        Log("stopped");
        return 0;
    }
    return FExitStatus;
}

}  // namespace airconpoll
