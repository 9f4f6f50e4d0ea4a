#include "Poller.h"

#include <algorithm>

#include "JsonLines.h"
#include "Metrics.h"
#include "OpenHint.h"
#include "ParamsRun.h"
#include "TextFile.h"

namespace airconpoll {

using namespace aircon;

namespace {

std::string Seconds(Millis Span) {
    return std::to_string((Span.count() + 999) / 1000) + " s";
}

}  // namespace

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

namespace {

TSessionSettings SessionSettings(const TPollOptions& o) {
    TSessionSettings s;
    s.Line = TLineSettings{o.Port, o.BaudRate, o.DataBits, o.Parity, o.StopBits};
    // Several controllers: the plan of the line sends the poll commands, not the core's
    // own poll timer.
    s.Poll = TPollSettings{static_cast<std::uint8_t>(o.Addr), o.IntervalMs, o.TimeoutMs,
                           o.Addresses.size() < 2};
    return s;
}

}  // namespace

TPoller::TPoller(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out,
                 std::ostream& Err)
    : FOptions(Options),
      FLoop(Loop),
      FOut(Out),
      FErr(Err),
      FSession(Loop.Clock(), SessionSettings(Options), nullptr, &Loop, nullptr, "AirConPoll"),
      FState(Options.Port, FSession.Rule()),
      FReadsTimer(Loop.Clock(), Options.Once ? 0 : Options.ParamsIntervalS * 1000, false) {
    FLoop.SetPort(&FSession.Port());
    FSession.SetReopen(!Options.Once);
    FSession.OnPortFailure = [this](const TPortFailure& f) { PortFailure(f); };
    FSession.OnReopenPlanned = [this](const TReopenPlan& p) { ReopenPlanned(p); };
    FSession.OnOpened = [this] { Opened(); };

    // The poll timer ticks only while the link is open.
    TMonitor& monitor = FSession.Monitor();
    monitor.PollTimer().SetEnabled(false);
    monitor.AddObserver(FState);
    if (Options.Addresses.size() > 1) {
        FFleet = std::make_unique<TFleet>(Loop.Clock(), monitor, Options);
        for (auto& m : FFleet->Members()) {
            const std::string who = "the controller at address " + std::to_string(m.Addr);
            TPollState& state = *m.State;
            m.State->OnUpChanged = [this, who, &state](bool Up) {
                if (Up)
                    Info(who + " answers");
                else if (state.PortOpen())
                    Info("no good reply from " + who + " for a whole poll cycle");
            };
        }
        FFleet->Plan().OnStray = [this](TStrayKind Kind, std::uint8_t Addr) {
            // Told once a kind and address; the counters keep the rest.
            const auto key = static_cast<unsigned>(Kind) * 256 + Addr;
            if (FStraysTold.insert(key).second)
                Info("a reply from address " + std::to_string(Addr) + " booked to no controller (" +
                     std::string(StrayKindName(Kind)) + "); counted in aircon_stray_replies_total");
        };
    }
    if (Options.Json) {
        FJson = std::make_unique<TJsonOut>(FOut);
        if (FFleet)
            FFleet->AddObserver(*FJson);  // only replies booked to a controller
        else
            monitor.AddObserver(*FJson);
    }
    if (Options.Once && !FFleet) {
        FOnce = std::make_unique<TOnceCheck>();
        monitor.AddObserver(*FOnce);
    }
    FState.OnUpChanged = [this](bool Up) {
        if (FFleet) return;  // each controller tells its own
        if (Up)
            Info("the controller answers");
        else if (FState.PortOpen() && FSession.Answering() == TAnswering::Refusing)
            Info("the controller refused every command of a whole poll cycle");
        else if (FState.PortOpen())
            Info("no reply from the controller for a whole poll cycle");
    };
    // A controller that replies but was never up refuses from the start (a protocol
    // version it does not speak, another device at this address): say so once.
    FSession.OnAnswering = [this](TAnswering State) {
        if (State == TAnswering::Refusing && !FState.Up() && !FFleet)
            Info("the controller replies, but refuses every command (return code other than 0)");
    };
    FReadsTimer.OnTimer = [this] { QueueReads(TOnceCheck::Reads); };
    if (!Options.Capture.empty()) {
        FCapture = std::make_unique<TCaptureWriter>(
            Loop.Clock(), Options.Capture, static_cast<std::uint64_t>(Options.CaptureLimit));
        FCapture->OnError = [this](const std::string& Error) { Log(Error + "; capture ended"); };
        monitor.AddObserver(*FCapture);
        FSession.OnBlock = [this](std::span<const std::uint8_t> Block) {
            FCapture->Received(Block);
        };
    }
}

TPoller::~TPoller() {
    FSession.SetReopen(false);
    FSession.OnPortFailure = nullptr;
    FLoop.SetPort(nullptr);
}

void TPoller::Info(const std::string& Line) {
    // A one-shot read speaks only of what went wrong.
    if (!FOptions.Once) Log(Line);
}

void TPoller::Log(const std::string& Line) {
    FErr << "AirConPoll: " << Line << '\n';
    FErr.flush();
}

void TPoller::PortFailure(const TPortFailure& f) {
    // The component's text, and the system's own cause in its own terms.
    std::string failure = f.Message;
    if (const std::string cause = SystemCause(f.WinError, f.WinMessage); !cause.empty())
        failure += " (" + cause + ")";
    if (f.Kind == TComExceptions::CE_OpenFailed && f.WinError > 0 && f.WinError < 4096) {
        const std::string hint = OpenFailureHint(FOptions.Port, static_cast<int>(f.WinError));
        if (!hint.empty()) failure += ": " + hint;
    }
    FPortError = failure;
    // A failure while open ends the link, like the window's; the session opens it again.
    if (!f.WhileOpen) return;
    FReadsTimer.SetEnabled(false);
    if (FOptions.Once) {
        CloseLink();
        Log(FOptions.Port + " failed: " + failure);
        FExitStatus = 1;
    }
}

void TPoller::CloseLink() {
    FReadsTimer.SetEnabled(false);
    FSession.Close();
}

void TPoller::ReopenPlanned(const TReopenPlan& Plan) {
    const std::string why = Plan.Lost
                                ? FOptions.Port + " lost: " + FPortError
                                : "cannot open " + FOptions.Port + ": " +
                                      (FPortError.empty() ? "the port did not open" : FPortError);
    // Every attempt is told while the pause grows; then one in ten.
    const int failed = Plan.FailedOpens;
    if (failed <= 6 || failed % 10 == 0)
        Log(why + "; trying again in " + Seconds(Plan.Pause) +
            (failed > 6 ? " (attempt " + std::to_string(failed) + ")" : ""));
}

void TPoller::TryOpen() {
    FPortError.clear();
    if (FSession.Open().Opened() || !FOptions.Once) return;
    Log("cannot open " + FOptions.Port + ": " +
        (FPortError.empty() ? "the port did not open" : FPortError));
    FExitStatus = 1;
}

void TPoller::Opened() {
    Info("opened " + FOptions.Port + " (" + std::to_string(BaudRateNumber(FOptions.BaudRate)) +
         " bit/s, " + std::to_string(static_cast<int>(FOptions.DataBits) + 5) +
         " data bits, parity " + std::string(ParityName(FOptions.Parity)) + ", " +
         std::string(StopBitsName(FOptions.StopBits)) + " stop bit); " + PollingText());
    QueueReads(TOnceCheck::Reads);
    FReadsTimer.SetEnabled(true);
}

std::string TPoller::PollingText() const {
    if (!FFleet)
        return "polling address " + std::to_string(FOptions.Addr) + " every " +
               std::to_string(FOptions.IntervalMs) + " ms";
    std::string list;
    for (std::uint8_t a : FOptions.Addresses)
        list += (list.empty() ? "" : ", ") + std::to_string(a);
    const auto n = static_cast<long long>(FOptions.Addresses.size());
    return "polling addresses " + list + " in turn, one command every " +
           std::to_string(FOptions.TimeoutMs) + " ms (each controller every " +
           std::to_string(TMultiPoll::RoundPolls * n * FOptions.TimeoutMs) + " ms)";
}

void TPoller::QueueReads(std::span<const std::uint8_t> Commands) {
    if (!FSession.IsOpen()) return;
    if (FFleet)
        FFleet->QueueReads(Commands);
    else
        QueueUnlessQueued(FSession.Monitor(), Commands);
}

std::string TPoller::MetricsText() const {
    const TParamSet* reference = FReference ? &*FReference : nullptr;
    TMetricsData line = FState.Metrics();
    line.Reference = reference;
    if (!FFleet) return FormatMetrics(line);
    std::vector<TMetricsData> controllers = FFleet->Metrics();
    for (TMetricsData& c : controllers)
        c.Reference = reference;
    return FormatFleetMetrics(line, controllers, FFleet->Plan().Strays());
}

void TPoller::WriteMetrics(const std::string& Text) {
    if (FOptions.TextFile.empty()) return;
    const std::string error = WriteFileAtomically(FOptions.TextFile, Text);
    if (error != FWriteError) {
        if (!error.empty())
            Log(error);
        else
            Info("the metrics file " + FOptions.TextFile + " is written again");
        FWriteError = error;
    }
}

bool TPoller::CheckFleetOnce() {
    const auto failed = FFleet->OnceVerdict(FOptions);
    if (!failed) return false;
    for (const auto& line : *failed)
        Log(line);
    FExitStatus = failed->empty() ? 0 : 1;
    return true;
}

bool TPoller::CheckOnce() {
    if (FFleet && FOptions.Once) return CheckFleetOnce();
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
    if (FState.TakeIdentityDue() && !FFleet) QueueReads(TOnceCheck::Reads);
    if (FFleet) FFleet->QueueIdentityReads();
    // A unit is forgotten after twenty poll cycles without a report, and never sooner
    // than a minute.
    const Millis maxAge = std::max(Millis(60000), Millis(60LL * FOptions.IntervalMs));
    FState.ExpireStale(FLoop.Clock().Now(), maxAge);
    bool due = FState.TakeWriteDue();
    if (FFleet) {
        // A round of every controller takes longer than one poll interval.
        const Millis round(static_cast<long long>(TMultiPoll::RoundPolls) *
                           static_cast<long long>(FOptions.Addresses.size()) * FOptions.TimeoutMs);
        FFleet->ExpireStale(FLoop.Clock().Now(), std::max(maxAge, 20 * round));
        due = FFleet->TakeWriteDue() || due;
    }
    if (due) WriteMetrics(MetricsText());
}

int TPoller::Run() {
    if (!FOptions.ParamsReference.empty()) {
        std::string error;
        FReference = LoadReference(FOptions.ParamsReference, error);
        if (!FReference) {
            Log(error);
            return ParamsBadFile;
        }
        Info("comparing the parameters with " + FOptions.ParamsReference + " (" +
             std::to_string(FReference->Count()) + " parameters): aircon_parameter_drift");
    }
    if (FCapture && !FCapture->Open()) return 1;
    if (!FOptions.TextFile.empty()) {
        RemoveStaleTemporaries(FOptions.TextFile);
        // A file that cannot be written at the start is a mistake of the set-up.
        const std::string error = WriteFileAtomically(FOptions.TextFile, MetricsText());
        if (!error.empty()) {
            Log(error);
            return 1;
        }
        FState.TakeWriteDue();
        if (FFleet) FFleet->TakeWriteDue();
    }
    TryOpen();
    while (FExitStatus < 0 && !FLoop.StopRequested()) {
        FLoop.RunOnce();
        if (FExitStatus < 0) AfterEvents();
    }
    const bool stopped = FExitStatus < 0;
    // What a one-shot read found, before closing the link forgets it.
    const bool read = FOptions.Once && FExitStatus == 0;
    const std::string found = MetricsText();
    FSession.SetReopen(false);
    if (FSession.IsOpen()) CloseLink();
    if (read) {
        if (!FOptions.TextFile.empty())
            WriteMetrics(found);
        else if (!FOptions.Json)
            FOut << found << std::flush;
    } else {
        FState.Stopped();
        if (FFleet) FFleet->Stopped();
        WriteMetrics(MetricsText());
    }
    if (stopped && FOptions.Once) {
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
