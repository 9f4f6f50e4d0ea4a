#include "Session.h"

#include <cerrno>

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "PortAccess.h"

namespace aircon {

namespace {

// Sets a flag for the lifetime of the guard.
class TFlagGuard {
  public:
    explicit TFlagGuard(bool& Flag) : FFlag(Flag) { FFlag = true; }
    ~TFlagGuard() { FFlag = false; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

  private:
    bool& FFlag;
};

TOpenReason ReasonOf(std::optional<TComExceptions> Failure, int Error) {
    if (!Failure) return TOpenReason::Failed;
    switch (*Failure) {
        case TComExceptions::CE_OpenFailed:
            switch (ClassifyOpenFailure(Error)) {
                case TOpenFailure::InUse:
                    return TOpenReason::InUse;
                case TOpenFailure::NoPermission:
                    return TOpenReason::NoPermission;
                case TOpenFailure::Gone:
                    return TOpenReason::Gone;
                case TOpenFailure::NotSerial:
                    return TOpenReason::NotSerial;
                case TOpenFailure::Other:
                    return TOpenReason::Failed;
            }
            return TOpenReason::Failed;
        case TComExceptions::CE_SetStateFailed:
        case TComExceptions::CE_TimeoutsFailed:
        case TComExceptions::CE_SetupComFailed:
            return TOpenReason::SettingsRefused;
        default:
            return TOpenReason::Failed;
    }
}

}  // namespace

TSession::TSession(IClock& Clock, const TSessionSettings& Settings,
                   std::shared_ptr<IComPlatform> Platform, IComHandOver* HandOver,
                   IPollSettings* Source, std::string Name)
    : FClock(Clock),
      FMode(Settings.Mode),
      FFixed(Settings.Poll),
      FSource(Source),
      FPort(std::move(Name), std::move(Platform), HandOver),
      FLink(FPort),
      FMonitor(Clock, FLink, Source ? *Source : static_cast<IPollSettings&>(FFixed)),
      FReopenTimer(Clock, 0, false) {
    FListenAddress = Settings.Poll.Address;
    if (FMode == TSessionMode::Listen) MakeListener();
    // The line: its settings, then no flow control, short read time-outs and received
    // bytes handed over as blocks on the host's thread.
    SetLine(Settings.Line);
    FPort.SetEvents(AllComEvents);
    FPort.FlowControl().SetOutCTSFlow(false);
    FPort.FlowControl().SetOutDSRFlow(false);
    FPort.FlowControl().SetControlDTR(TDTRFlowControl::DtrDisable);
    FPort.FlowControl().SetControlRTS(TRTSFlowControl::RtsDisable);
    FPort.FlowControl().SetXonXoffOut(false);
    FPort.FlowControl().SetXonXoffIn(false);
    FPort.Timeouts().SetReadInterval(10);
    FPort.Timeouts().SetReadTotalMultiplier(1);
    FPort.Timeouts().SetReadTotalConstant(10);
    FPort.SetStoredProps(TStoredProps{TStoredProp::SpBasic});
    FPort.SetTriggersOnRxChar(false);
    FPort.SetSyncMethod(TSyncMethod::SmWindowSync);
    FPort.OnRxBuf = [this](TCustomComPort&, std::span<const std::uint8_t> Block) {
        if (OnBlock) OnBlock(Block);
        if (FListener)
            FListener->ReceiveData(Block);
        else
            FMonitor.ReceiveData(Block);
    };
    FPort.OnException = [this](TCustomComPort&, TComExceptions Kind, const std::string& Message,
                               std::int64_t WinError, const std::string& WinMessage) {
        PortException(Kind, Message, WinError, WinMessage);
    };

    FMonitor.AddObserver(FCounters);
    FMonitor.AddObserver(FRule);
    FMonitor.AddObserver(static_cast<IMonitorObserver&>(*this));
    FRule.OnChanged = [this](TAnswering State) {
        if (OnAnswering) OnAnswering(State);
    };
    FReopenTimer.OnTimer = [this] {
        FReopenTimer.SetEnabled(false);
        Open();
    };
}

TSession::~TSession() {
    FReopenTimer.SetEnabled(false);
    // Nothing of the host may run while the session is taken apart, and a failure of
    // this last close is of no interest.
    FPort.OnException = [](TCustomComPort&, TComExceptions, const std::string&, std::int64_t,
                           const std::string&) {};
    FPort.OnRxBuf = nullptr;
    try {
        FPort.Close();
    } catch (const std::exception&) {
    }
}

void TSession::MakeListener() {
    FListener = std::make_unique<TListener>(FClock);
    FRelay = std::make_unique<TListenRelay>(*FListener, FMonitor.Relay());
    FRelay->SetAddress(FListenAddress);
    FLink.SetListenOnly(true);
    // Nothing to poll: the monitor's timers stay off (a host may still call its
    // senders, whose writes the link refuses).
    FMonitor.PollTimer().SetEnabled(false);
    FMonitor.SendTimer().SetEnabled(false);
}

void TSession::SetMode(TSessionMode Mode) {
    if (Mode == FMode) return;
    if (FPort.Connected()) throw std::logic_error("TSession::SetMode: the port is open");
    FMode = Mode;
    if (Mode == TSessionMode::Listen) {
        MakeListener();
        return;
    }
    FRelay.reset();
    FListener.reset();
    FLink.SetListenOnly(false);
}

void TSession::SetListenAddress(std::optional<std::uint8_t> Addr) {
    FListenAddress = Addr;
    if (FRelay) FRelay->SetAddress(Addr);
}

void TSession::SetLine(const TLineSettings& Line) {
    FPort.SetPort(Line.Port);
    FPort.SetBaudRate(Line.BaudRate);
    FPort.SetDataBits(Line.DataBits);
    FPort.Parity().SetBits(Line.Parity);
    FPort.SetStopBits(Line.StopBits);
}

TLineSettings TSession::Line() const {
    return TLineSettings{FPort.Port(), FPort.BaudRate(), FPort.DataBits(), FPort.Parity().Bits(),
                         FPort.StopBits()};
}

void TSession::PortException(TComExceptions Kind, const std::string& Message, std::int64_t WinError,
                             const std::string& WinMessage) {
    if (FOpening) {
        if (Kind == TComExceptions::CE_OpenFailed) FOpenError = static_cast<int>(WinError);
        if (!FOpenFailure) FOpenFailure = Kind;
    }
    if (FStoring && Kind == TComExceptions::CE_StoreFailed) {
        FStoreFailed = true;
        return;
    }
    // Only the first failure tells what happened: closing a port that has gone fails too.
    if (FClosing) return;
    const bool whileOpen = FPort.Connected() && !FOpening;
    const TPortFailure failure{Kind, Message, WinError, WinMessage, whileOpen};
    // A close made while this failure is handled (by the host, or for the reopening
    // below) says why the link ended.
    if (whileOpen) FFailureClose = ClosingFailure(failure);
    if (OnPortFailure) OnPortFailure(failure);
    if (FReopen && whileOpen) {
        Close();
        PlanReopen(true);
    }
    FFailureClose.reset();
}

TSession::TFailureClose TSession::ClosingFailure(const TPortFailure& Failure) {
    std::string detail = Failure.Message;
    if (Failure.WinError != 0) {
        detail += " (" + std::to_string(Failure.WinError);
        if (!Failure.WinMessage.empty()) detail += ": " + Failure.WinMessage;
        detail += ")";
    }
    // A device that was unplugged or hung up fails its reads and writes with these.
    const bool io = Failure.Kind == TComExceptions::CE_ReadFailed ||
                    Failure.Kind == TComExceptions::CE_WriteFailed ||
                    Failure.Kind == TComExceptions::CE_WaitFailed;
    const auto error = Failure.WinError;
    const bool gone = io && (error == EIO || error == ENODEV || error == ENXIO || error == ENOENT);
    return TFailureClose{gone ? TCloseReason::Gone : TCloseReason::Failed, std::move(detail)};
}

TOpenResult TSession::OpenPort() {
    FOpenError = 0;
    FOpenFailure.reset();
    {
        TFlagGuard opening(FOpening);
        if (FListener) {
            // Whatever a settings file said: a raised RTS turns the transmitter of many
            // RS-485 adapters on, and the listener would hold the bus.
            FPort.FlowControl().SetControlDTR(TDTRFlowControl::DtrDisable);
            FPort.FlowControl().SetControlRTS(TRTSFlowControl::RtsDisable);
            FPort.FlowControl().SetOutCTSFlow(false);
            FPort.FlowControl().SetXonXoffIn(false);
            FPort.FlowControl().SetXonXoffOut(false);
        }
        try {
            FPort.Open();
        } catch (const std::exception&) {
            // Reported below from the port's state; never leave a half-open port.
            if (FPort.Connected()) Close();
        }
    }
    if (FPort.Connected()) {
        FFailedOpens = 0;
        return TOpenResult{TOpenReason::Opened, 0};
    }
    ++FFailedOpens;
    const int error = FOpenFailure == TComExceptions::CE_OpenFailed ? FOpenError : 0;
    return TOpenResult{ReasonOf(FOpenFailure, FOpenError), error};
}

bool TSession::Start() {
    if (FListener) {
        FListener->LinkOpened(FPort.Port());
        return true;
    }
    // Queued commands leave one per reply time-out from the first one on.
    if (!FSource) FMonitor.SendTimer().SetInterval(FFixed.Values.TimeoutMs);
    return FMonitor.LinkOpened(FPort.Port());
}

TOpenResult TSession::Open() {
    const TOpenResult result = OpenPort();
    if (!result.Opened()) {
        if (FReopen) PlanReopen(false);
        return result;
    }
    Start();
    if (OnOpened) OnOpened();
    return result;
}

void TSession::Close() {
    if (FClosing) return;
    TFlagGuard closing(FClosing);
    if (FListener) FListener->LinkClosed();
    // Both timers off, every queued command released.
    if (FFailureClose)
        FMonitor.LinkClosed(FFailureClose->Reason, FFailureClose->Detail);
    else
        FMonitor.LinkClosed();
    try {
        if (FPort.Connected()) FPort.Close();
    } catch (const std::exception&) {
        // The port is released whatever the close reported.
    }
}

bool TSession::StoreLineSettings(const std::string& Path) {
    FStoreFailed = false;
    {
        TFlagGuard storing(FStoring);
        try {
            FPort.StoreSettings(TStoreType::StIniFile, Path);
        } catch (const std::exception&) {
            FStoreFailed = true;
        }
    }
    return !FStoreFailed;
}

void TSession::SetReopen(bool On) {
    FReopen = On;
    if (!On) FReopenTimer.SetEnabled(false);
}

void TSession::PlanReopen(bool Lost) {
    const Millis pause = FNextPause;
    FNextPause = std::min(FNextPause * 2, LongestPause);
    FReopenTimer.SetInterval(static_cast<int>(pause.count()));
    FReopenTimer.SetEnabled(true);
    if (OnReopenPlanned) OnReopenPlanned(TReopenPlan{Lost, pause, Lost ? 0 : FFailedOpens});
}

void TSession::OnReplyReceived(const TReplyReceived&) {
    // A link on which the controller replied starts the pauses afresh when it is lost.
    if (FPort.Connected()) FNextPause = FirstPause;
}

}  // namespace aircon
