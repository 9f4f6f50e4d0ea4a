// The serial port component: settings, opening and closing, writing, failure reports, and the
// event thread that hands port events over to the main thread.
#include "CPort.h"

#include <array>
#include <cerrno>
#include <iostream>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::array<std::string_view, 24> kMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
    "Port Not Open",
};

constexpr std::array<std::int32_t, 16> kBaudRates = {0,     110,    300,    600,   1200,  2400,
                                                     4800,  9600,   14400,  19200, 38400, 56000,
                                                     57600, 115200, 128000, 256000};

// Events in the order the event thread hands them over.
constexpr std::array<TComEvent, 10> kHandOverOrder = {
    TComEvent::EvError, TComEvent::EvRxChar,  TComEvent::EvTxEmpty, TComEvent::EvBreak,
    TComEvent::EvRing,  TComEvent::EvCTS,     TComEvent::EvDSR,     TComEvent::EvRxFlag,
    TComEvent::EvRLSD,  TComEvent::EvRx80Full};

// Platform bit of each event, indexed by the event's ordinal.
constexpr std::array<std::uint32_t, 10> kEventBits = {
    ComEventBits::RxChar, ComEventBits::TxEmpty, ComEventBits::RxFlag, ComEventBits::Ring,
    ComEventBits::Break,  ComEventBits::Cts,     ComEventBits::Dsr,    ComEventBits::Err,
    ComEventBits::Rlsd,   ComEventBits::Rx80Full};

// A hang-up travels through the hand-over like a port event, with a bit no port event uses.
constexpr std::uint32_t kHangUpBit = 0x80000000u;

// Largest block one receive step reads, whatever the driver claims is waiting.
constexpr std::uint32_t kMaxReceiveBlock = 1u << 20;

bool ValidCode(int Code) {
    return Code >= 1 && Code <= static_cast<int>(kMessages.size());
}

std::uint8_t LowByte(char16_t c) {
    return static_cast<std::uint8_t>(c & 0xFF);
}

template <class... Args, class F>
void Fire(const F& Event, Args&&... args) {
    if (Event) {
        F Copy = Event;  // the handler may rebind the event while it runs
        Copy(std::forward<Args>(args)...);
    }
}

}  // namespace

std::int32_t BaudRateValue(TBaudRate Rate) {
    const auto i = static_cast<std::size_t>(Rate);
    return i < kBaudRates.size() ? kBaudRates[i] : 0;
}

std::string_view ComErrorMessage(int Code) {
    return ValidCode(Code) ? kMessages[static_cast<std::size_t>(Code - 1)] : std::string_view{};
}

TComExceptions ComErrorKind(int Code) {
    if (!ValidCode(Code)) throw std::out_of_range("serial port failure code out of range");
    return static_cast<TComExceptions>(Code - 1);
}

std::uint32_t EventsToMask(TComEvents Events) {
    std::uint32_t Mask = 0;
    for (std::size_t i = 0; i < kEventBits.size(); ++i)
        if (Events.Contains(static_cast<TComEvent>(i))) Mask |= kEventBits[i];
    return Mask;
}

TComEvents MaskToEvents(std::uint32_t Mask) {
    TComEvents Events;
    for (std::size_t i = 0; i < kEventBits.size(); ++i)
        if (Mask & kEventBits[i]) Events.Include(static_cast<TComEvent>(i));
    return Events;
}

// ---------------------------------------------------------------------------------------------
// EComPort

EComPort::EComPort(int ACode, std::int32_t AWinCode, const std::string& Message)
    : std::runtime_error(Message), FWinCode(AWinCode), FCode(ACode) {}

EComPort::EComPort(int ACode, std::int32_t AWinCode)
    : EComPort(ACode, AWinCode,
               std::string(ComErrorMessage(ACode)) + " (Error: " + std::to_string(AWinCode) + ")") {
}

EComPort EComPort::CreateNoWinCode(int ACode) {
    return EComPort(ACode, -1, std::string(ComErrorMessage(ACode)));
}

// ---------------------------------------------------------------------------------------------
// Settings groups

void TComBuffer::Assign(const TComBuffer& Source) {
    FInputSize = Source.FInputSize;
    FOutputSize = Source.FOutputSize;
}

void TComBuffer::SetInputSize(std::int32_t Value) {
    if (Value == FInputSize) return;
    FInputSize = (Value > 0 && Value % 2 == 1) ? Value - 1 : Value;
    if (FComPort) FComPort->ApplyQueueSizes();
}

void TComBuffer::SetOutputSize(std::int32_t Value) {
    if (Value == FOutputSize) return;
    FOutputSize = (Value > 0 && Value % 2 == 1) ? Value - 1 : Value;
    if (FComPort) FComPort->ApplyQueueSizes();
}

void TComParity::Assign(const TComParity& Source) {
    FBits = Source.FBits;
    FCheck = Source.FCheck;
    FReplace = Source.FReplace;
    FReplaceChar = Source.FReplaceChar;
}

#define COM_GROUP_SETTER(Class, Name, Type, Apply) \
    void Class::Set##Name(Type Value) {            \
        if (Value == F##Name) return;              \
        F##Name = Value;                           \
        Apply;                                     \
    }

COM_GROUP_SETTER(TComParity, Bits, TParityBits, if (FComPort) FComPort->ApplyControlBlock())
COM_GROUP_SETTER(TComParity, Check, bool, if (FComPort) FComPort->ApplyControlBlock())
COM_GROUP_SETTER(TComParity, Replace, bool, if (FComPort) FComPort->ApplyControlBlock())
COM_GROUP_SETTER(TComParity, ReplaceChar, char16_t, if (FComPort) FComPort->ApplyControlBlock())

void TComTimeouts::Assign(const TComTimeouts& Source) {
    FReadInterval = Source.FReadInterval;
    FReadTotalMultiplier = Source.FReadTotalMultiplier;
    FReadTotalConstant = Source.FReadTotalConstant;
    FWriteTotalMultiplier = Source.FWriteTotalMultiplier;
    FWriteTotalConstant = Source.FWriteTotalConstant;
}

void TComTimeouts::Changed() {
    if (FComPort) FComPort->ApplyTimeoutValues();
}

COM_GROUP_SETTER(TComTimeouts, ReadInterval, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, ReadTotalMultiplier, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, ReadTotalConstant, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, WriteTotalMultiplier, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, WriteTotalConstant, std::int32_t, Changed())

void TComFlowControl::Assign(const TComFlowControl& Source) {
    FOutCTSFlow = Source.FOutCTSFlow;
    FOutDSRFlow = Source.FOutDSRFlow;
    FControlDTR = Source.FControlDTR;
    FControlRTS = Source.FControlRTS;
    FXonXoffOut = Source.FXonXoffOut;
    FXonXoffIn = Source.FXonXoffIn;
    FDSRSensitivity = Source.FDSRSensitivity;
    FTxContinueOnXoff = Source.FTxContinueOnXoff;
    FXonChar = Source.FXonChar;
    FXoffChar = Source.FXoffChar;
}

void TComFlowControl::Changed() {
    if (FComPort) FComPort->ApplyControlBlock();
}

COM_GROUP_SETTER(TComFlowControl, OutCTSFlow, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, OutDSRFlow, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, ControlDTR, TDTRFlowControl, Changed())
COM_GROUP_SETTER(TComFlowControl, ControlRTS, TRTSFlowControl, Changed())
COM_GROUP_SETTER(TComFlowControl, XonXoffOut, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, XonXoffIn, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, DSRSensitivity, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, TxContinueOnXoff, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, XonChar, char16_t, Changed())
COM_GROUP_SETTER(TComFlowControl, XoffChar, char16_t, Changed())

#undef COM_GROUP_SETTER

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == TRTSFlowControl::RtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return TFlowControl::FcHardware;
    if (FControlRTS == TRTSFlowControl::RtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return TFlowControl::FcSoftware;
    if (FControlRTS == TRTSFlowControl::RtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return TFlowControl::FcNone;
    return TFlowControl::FcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != TFlowControl::FcCustom) {
        FControlRTS = TRTSFlowControl::RtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (Value == TFlowControl::FcHardware) {
            FControlRTS = TRTSFlowControl::RtsHandshake;
            FOutCTSFlow = true;
        } else if (Value == TFlowControl::FcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Changed();
}

// ---------------------------------------------------------------------------------------------
// The event thread

class TComThread {
  public:
    TComThread(TCustomComPort& Port, IComDevice& Device, std::uint32_t Mask)
        : FComPort(Port), FDevice(Device) {
        FDevice.SetEventMask(Mask);  // the result is of no consequence
        FThread = std::thread([this] { Execute(); });
    }
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;
    ~TComThread() {
        if (FThread.joinable()) FThread.join();
    }
    void Join() {
        if (FThread.joinable()) FThread.join();
    }

  private:
    void Execute();

    TCustomComPort& FComPort;
    IComDevice& FDevice;
    TComEvents FEvents;
    std::thread FThread;
};

void TComThread::Execute() {
    bool Running = true;
    while (Running) {
        std::uint32_t Mask = 0;
        int Error = 0;
        switch (FDevice.WaitEvent(Mask, Error)) {
            case TComWaitResult::Events:
                FEvents = MaskToEvents(Mask);
                for (TComEvent Event : kHandOverOrder) {
                    if (!FEvents.Contains(Event)) continue;
                    const auto Bit = kEventBits[static_cast<std::size_t>(Event)];
                    if (!FComPort.HandOverFromThread(Bit, 0)) {
                        Running = false;
                        break;
                    }
                }
                break;
            case TComWaitResult::HangUp:
                // The device has gone: report it once, then stay quiet until told to stop.
                FComPort.HandOverFromThread(kHangUpBit, Error);
                FComPort.WaitForStop();
                Running = false;
                break;
            case TComWaitResult::Failed:
                // Hand nothing over and wait again, pausing so a wait that keeps failing
                // never spins.
                if (!FComPort.PauseUnlessStopped(std::chrono::milliseconds(100))) Running = false;
                break;
            case TComWaitResult::Stopped:
                Running = false;
                break;
        }
    }
    // The way out (event mask 0, driver queues discarded) is taken by Close once this thread
    // has ended, so it can never race the main thread still reading a handed-over event.
    FComPort.ThreadFinished();
}

// ---------------------------------------------------------------------------------------------
// The component

TCustomComPort::TCustomComPort(std::string Name, std::shared_ptr<IComPlatform> Platform,
                               IComHandOver* HandOver)
    : FName(std::move(Name)),
      FPlatform(Platform ? std::move(Platform) : PosixComPlatform()),
      FHandOver(HandOver) {}

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        // A failure while closing for good has nobody left to tell.
    }
}

void TCustomComPort::SetPlatform(std::shared_ptr<IComPlatform> Platform) {
    if (FConnected) {
        ReportError(14, 0);
        return;
    }
    FPlatform = Platform ? std::move(Platform) : PosixComPlatform();
}

void TCustomComPort::SetHandOver(IComHandOver* HandOver) {
    if (FConnected) {
        ReportError(14, 0);
        return;
    }
    FHandOver = HandOver;
}

void TCustomComPort::ReportError(int Code, std::int64_t WinError) {
    const TComExceptions Kind = ComErrorKind(Code);
    if (OnException) {
        std::string WinMessage;
        if (WinError > 0) {
            WinMessage = "System Error.  Code: " + std::to_string(WinError) + ".\r\n" +
                         FPlatform->ErrorText(static_cast<int>(WinError));
        }
        Fire(OnException, *this, Kind, std::string(ComErrorMessage(Code)), WinError, WinMessage);
        return;
    }
    if (WinError > 0) throw EComPort(Code, static_cast<std::int32_t>(WinError));
    throw EComPort::CreateNoWinCode(Code);
}

// --- Opening and closing

void TCustomComPort::Open() {
    if (FConnected) return;
    Fire(OnBeforeOpen, *this);
    OpenDevice();
    if (!FHandle) return;
    FConnected = true;

    bool Applied = false;
    try {
        Applied = ApplyPortSettings();
    } catch (...) {
        // The report left Open: still release the device before it goes on.
        CloseDevice();
        FConnected = false;
        throw;
    }
    if (!Applied || !FConnected) {
        CloseDevice();
        FConnected = false;
        return;
    }

    if (!FEvents.Empty()) StartEventThread();

    Fire(OnAfterOpen, *this);
    ReadModemLine(ComModemBits::CtsOn, OnCTSChange);
    ReadModemLine(ComModemBits::DsrOn, OnDSRChange);
    ReadModemLine(ComModemBits::RlsdOn, OnRLSDChange);
}

void TCustomComPort::Close() {
    if (!FConnected || FClosing) return;
    FClosing = true;

    // Every step runs even when an earlier one raises, so the thread is always stopped and
    // the device always released; the first exception leaves Close afterwards.
    std::exception_ptr First;
    auto Step = [&First](auto&& Action) {
        try {
            Action();
        } catch (...) {
            if (!First) First = std::current_exception();
        }
    };
    Step([&] { Fire(OnCTSChange, *this, false); });
    Step([&] { Fire(OnDSRChange, *this, false); });
    Step([&] { Fire(OnRLSDChange, *this, false); });
    Step([&] { Fire(OnBeforeClose, *this); });
    Step([&] {
        if (!FHandle) return;
        const int Error = FHandle->Purge(ComPurgeFlags::TxAbort | ComPurgeFlags::RxAbort);
        if (Error != 0) ReportError(5, Error);
    });
    if (FThreadCreated) StopEventThread();
    Step([&] { CloseDevice(); });
    FConnected = false;
    FClosing = false;
    Step([&] { Fire(OnAfterClose, *this); });
    if (First) std::rethrow_exception(First);
}

void TCustomComPort::SetConnected(bool Value) {
    if (Value)
        Open();
    else
        Close();
}

void TCustomComPort::OpenDevice() {
    int Error = 0;
    std::unique_ptr<IComDevice> Device = FPlatform->Open(FPort, Error);
    if (!Device) {
        ReportError(1, Error > 0 ? Error : EIO);
        return;
    }
    FHandle = std::move(Device);
}

void TCustomComPort::CloseDevice() {
    if (!FHandle) return;
    // The device is released even when closing reports a failure; there is nothing left to
    // retry it on.
    std::unique_ptr<IComDevice> Device = std::move(FHandle);
    Device->Close();
}

// --- Settings steps

bool TCustomComPort::CanApply() const {
    return FConnected && FHandle && FUpdateCount == 0;
}

bool TCustomComPort::ApplyPortSettings() {
    return ApplyQueueSizes() && ApplyControlBlock() && ApplyTimeoutValues();
}

bool TCustomComPort::ApplyQueueSizes() {
    if (!CanApply()) return true;
    const int Error = FHandle->SetupQueues(FBuffer.InputSize(), FBuffer.OutputSize());
    if (Error == 0) return true;
    ReportError(9, Error);
    return false;
}

bool TCustomComPort::ApplyControlBlock() {
    if (!CanApply()) return true;
    const int Error = FHandle->SetState(ControlBlock());
    if (Error == 0) return true;
    ReportError(7, Error);
    return false;
}

bool TCustomComPort::ApplyTimeoutValues() {
    if (!CanApply()) return true;
    const int Error = FHandle->SetTimeouts(TimeoutValues());
    if (Error == 0) return true;
    ReportError(8, Error);
    return false;
}

TComControlBlock TCustomComPort::ControlBlock() const {
    TComControlBlock Block;
    Block.BaudRate = FBaudRate == TBaudRate::BrCustom ? FCustomBaudRate : BaudRateValue(FBaudRate);
    Block.Binary = true;
    Block.ParityCheck = FParity.Check();
    Block.OutxCtsFlow = FFlowControl.OutCTSFlow();
    Block.OutxDsrFlow = FFlowControl.OutDSRFlow();
    Block.DtrControl = static_cast<std::uint8_t>(FFlowControl.ControlDTR());
    Block.DsrSensitivity = FFlowControl.DSRSensitivity();
    Block.TxContinueOnXoff = FFlowControl.TxContinueOnXoff();
    Block.OutX = FFlowControl.XonXoffOut();
    Block.InX = FFlowControl.XonXoffIn();
    Block.ErrorCharEnabled = FParity.Check() && FParity.Replace();
    Block.Null = FDiscardNull;
    Block.RtsControl = static_cast<std::uint8_t>(FFlowControl.ControlRTS());
    // The limits are 16-bit fields: a queue size beyond their range saturates.
    const std::int32_t Limit = FBuffer.InputSize() / 4;
    Block.XonLim = static_cast<std::uint16_t>(
        std::clamp<std::int32_t>(Limit, 0, std::numeric_limits<std::uint16_t>::max()));
    Block.XoffLim = Block.XonLim;
    Block.ByteSize = static_cast<std::uint8_t>(5 + static_cast<int>(FDataBits));
    Block.Parity = static_cast<std::uint8_t>(FParity.Bits());
    Block.StopBits = static_cast<std::uint8_t>(FStopBits);
    Block.XonChar = LowByte(FFlowControl.XonChar());
    Block.XoffChar = LowByte(FFlowControl.XoffChar());
    Block.ErrorChar = Block.ErrorCharEnabled ? LowByte(FParity.ReplaceChar()) : 0;
    Block.EvtChar = LowByte(FEventChar);
    return Block;
}

TComTimeoutValues TCustomComPort::TimeoutValues() const {
    TComTimeoutValues Values;
    Values.ReadIntervalTimeout = static_cast<std::uint32_t>(FTimeouts.ReadInterval());
    Values.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts.ReadTotalMultiplier());
    Values.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts.ReadTotalConstant());
    Values.WriteTotalTimeoutMultiplier =
        static_cast<std::uint32_t>(FTimeouts.WriteTotalMultiplier());
    Values.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts.WriteTotalConstant());
    return Values;
}

void TCustomComPort::BeginUpdate() {
    ++FUpdateCount;
}

void TCustomComPort::EndUpdate() {
    if (FUpdateCount <= 0) return;
    if (--FUpdateCount == 0) ApplyPortSettings();
}

// --- Setters

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (Value == FBaudRate) return;
    FBaudRate = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetCustomBaudRate(std::int32_t Value) {
    if (Value == FCustomBaudRate) return;
    FCustomBaudRate = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (Value == FDataBits) return;
    FDataBits = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (Value == FStopBits) return;
    FStopBits = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (Value == FDiscardNull) return;
    FDiscardNull = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetEventChar(char16_t Value) {
    if (Value == FEventChar) return;
    FEventChar = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetPort(std::string Value) {
    if (Value == FPort) return;
    FPort = std::move(Value);
    if (FConnected) {
        Close();
        Open();
    }
}

void TCustomComPort::SetEvents(TComEvents Value) {
    FEvents = Value;
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (Value == FSyncMethod) return;
    if (FConnected) {
        ReportError(14, 0);
        return;
    }
    FSyncMethod = Value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority Value) {
    if (Value == FEventThreadPriority) return;
    if (FConnected) {
        ReportError(14, 0);
        return;
    }
    FEventThreadPriority = Value;
}

void TCustomComPort::SetParity(const TComParity& Value) {
    FParity.Assign(Value);
    ApplyControlBlock();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& Value) {
    FFlowControl.Assign(Value);
    ApplyControlBlock();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& Value) {
    FTimeouts.Assign(Value);
    ApplyTimeoutValues();
}

void TCustomComPort::SetBuffer(const TComBuffer& Value) {
    FBuffer.Assign(Value);
    ApplyQueueSizes();
}

// --- Writing

std::int32_t TCustomComPort::Write(std::span<const std::uint8_t> Buffer) {
    if (Buffer.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        ReportError(2, EINVAL);
        return 0;
    }
    return Write(Buffer.data(), static_cast<std::int32_t>(Buffer.size()));
}

std::int32_t TCustomComPort::Write(const void* Buffer, std::int32_t Count) {
    if (!FHandle) {
        ReportError(24, -24);
        // With a handler bound the transfer is still attempted, and the closed port refuses it.
        ReportError(2, EBADF);
        return 0;
    }
    if (Count < 0 || (Count > 0 && Buffer == nullptr)) {
        ReportError(2, Count < 0 ? EINVAL : EFAULT);
        return 0;
    }
    std::size_t Done = 0;
    const int Error =
        FHandle->Write(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(Buffer),
                                                     static_cast<std::size_t>(Count)),
                       Done);
    if (Error != 0) {
        ReportError(2, Error);
        return 0;
    }
    return static_cast<std::int32_t>(std::min<std::size_t>(Done, static_cast<std::size_t>(Count)));
}

// --- Event delivery

void TCustomComPort::StartEventThread() {
    {
        std::lock_guard Lock(FHandOverLock);
        FPending = false;
        FStopRequested = false;
        FThreadDone = false;
    }
    FHangUpReported = false;
    FEventThread = std::make_unique<TComThread>(*this, *FHandle, EventsToMask(FEvents));
    FThreadCreated = true;
}

void TCustomComPort::StopEventThread() {
    {
        std::lock_guard Lock(FHandOverLock);
        FStopRequested = true;
    }
    FHandOverCond.notify_all();
    if (FHandle) FHandle->CancelWait();
    std::this_thread::yield();
    // Keep taking hand-overs while waiting, so a thread blocked in one can see its stop.
    for (;;) {
        std::unique_lock Lock(FHandOverLock);
        if (FThreadDone) break;
        if (FPending) {
            Lock.unlock();
            ProcessHandOver();
            continue;
        }
        FHandOverCond.wait_for(Lock, std::chrono::milliseconds(100),
                               [this] { return FThreadDone || FPending; });
    }
    FEventThread->Join();
    FEventThread.reset();
    FThreadCreated = false;
    if (FHandle) {
        FHandle->SetEventMask(0);
        FHandle->Purge(ComPurgeFlags::TxClear | ComPurgeFlags::RxClear);
    }
}

bool TCustomComPort::HandOverFromThread(std::uint32_t Bit, int Error) {
    {
        std::unique_lock Lock(FHandOverLock);
        if (FStopRequested) return false;
        FPending = true;
        FPendingBit = Bit;
        FPendingError = Error;
    }
    FHandOverCond.notify_all();
    if (FHandOver) FHandOver->Wake(*this);
    std::unique_lock Lock(FHandOverLock);
    // Only until taken: Close keeps taking hand-overs while it waits for this thread.
    FHandOverCond.wait(Lock, [this] { return !FPending; });
    return !FStopRequested;
}

void TCustomComPort::WaitForStop() {
    std::unique_lock Lock(FHandOverLock);
    FHandOverCond.wait(Lock, [this] { return FStopRequested; });
}

bool TCustomComPort::PauseUnlessStopped(std::chrono::milliseconds Pause) {
    std::unique_lock Lock(FHandOverLock);
    return !FHandOverCond.wait_for(Lock, Pause, [this] { return FStopRequested; });
}

void TCustomComPort::ThreadFinished() {
    {
        std::lock_guard Lock(FHandOverLock);
        FThreadDone = true;
    }
    FHandOverCond.notify_all();
}

bool TCustomComPort::ProcessHandOver() {
    std::uint32_t Bit = 0;
    int Error = 0;
    {
        std::lock_guard Lock(FHandOverLock);
        if (!FPending) return false;
        FPending = false;
        Bit = FPendingBit;
        Error = FPendingError;
    }
    FHandOverCond.notify_all();  // releases the event thread before any work is done
    if (!FConnected) return true;
    try {
        if (Bit == kHangUpBit)
            HandleHangUp(Error);
        else
            HandleEvent(Bit);
    } catch (...) {
        const std::exception_ptr Failure = std::current_exception();
        if (OnHandOverException) {
            try {
                Fire(OnHandOverException, *this, Failure);
            } catch (...) {
            }
        } else {
            try {
                std::rethrow_exception(Failure);
            } catch (const std::exception& e) {
                std::cerr << FName << ": " << e.what() << '\n';
            } catch (...) {
                std::cerr << FName << ": unknown exception while handling a port event\n";
            }
        }
    }
    return true;
}

bool TCustomComPort::PumpHandOver(std::chrono::milliseconds Timeout) {
    {
        std::unique_lock Lock(FHandOverLock);
        if (!FHandOverCond.wait_for(Lock, Timeout, [this] { return FPending; })) return false;
    }
    return ProcessHandOver();
}

void TCustomComPort::HandleEvent(std::uint32_t Bit) {
    switch (Bit) {
        case ComEventBits::Err: {
            if (!FHandle) return;
            std::uint32_t Errors = 0, InQueue = 0;
            const int Error = FHandle->ClearError(Errors, InQueue);
            if (Error != 0) {
                ReportError(10, Error);
                return;
            }
            TComErrors Found;
            if (Errors & ComErrorBits::Frame) Found.Include(TComError::CeFrame);
            if ((Errors & ComErrorBits::RxParity) && FParity.Check())
                Found.Include(TComError::CeRxParity);
            if (Errors & ComErrorBits::Overrun) Found.Include(TComError::CeOverrun);
            if (Errors & ComErrorBits::Break) Found.Include(TComError::CeBreak);
            if (Errors & ComErrorBits::IOE) Found.Include(TComError::CeIO);
            if (Errors & ComErrorBits::Mode) Found.Include(TComError::CeMode);
            if (Errors & ComErrorBits::RxOver) Found.Include(TComError::CeRxOver);
            if (Errors & ComErrorBits::TxFull) Found.Include(TComError::CeTxFull);
            if (!Found.Empty()) Fire(OnError, *this, Found);
            return;
        }
        case ComEventBits::RxChar:
            HandleRxChar();
            return;
        case ComEventBits::TxEmpty:
            Fire(OnTxEmpty, *this);
            return;
        case ComEventBits::Break:
            Fire(OnBreak, *this);
            return;
        case ComEventBits::Ring:
            Fire(OnRing, *this);
            return;
        case ComEventBits::Cts:
            ReadModemLine(ComModemBits::CtsOn, OnCTSChange);
            return;
        case ComEventBits::Dsr:
            ReadModemLine(ComModemBits::DsrOn, OnDSRChange);
            return;
        case ComEventBits::RxFlag:
            Fire(OnRxFlag, *this);
            return;
        case ComEventBits::Rlsd:
            ReadModemLine(ComModemBits::RlsdOn, OnRLSDChange);
            return;
        case ComEventBits::Rx80Full:
            Fire(OnRx80Full, *this);
            return;
        default:
            return;
    }
}

void TCustomComPort::HandleRxChar() {
    if (!FHandle) return;
    std::uint32_t Errors = 0, Waiting = 0;
    const int CountError = FHandle->ClearError(Errors, Waiting);
    if (CountError != 0) {
        // A device that has gone is a hang-up, not a failed count.
        if (DeviceGone(CountError)) {
            HandleHangUp(CountError);
            return;
        }
        ReportError(10, CountError);
        Waiting = 0;
    }
    if (Waiting == 0) return;
    if (FTriggersOnRxChar) {
        Fire(OnRxChar, *this, static_cast<std::int32_t>(std::min(Waiting, kMaxReceiveBlock)));
        return;
    }
    std::vector<std::uint8_t> Block(std::min(Waiting, kMaxReceiveBlock));
    std::size_t Read = 0;
    if (!FHandle) {
        ReportError(24, -24);
        return;
    }
    const int ReadError = FHandle->Read(Block, Read);
    if (ReadError != 0) {
        if (DeviceGone(ReadError))
            HandleHangUp(ReadError);
        else
            ReportError(3, ReadError);
        return;
    }
    Read = std::min(Read, Block.size());
    if (Read > 0) Fire(OnRxBuf, *this, std::span<const std::uint8_t>(Block.data(), Read));
}

void TCustomComPort::HandleHangUp(int Error) {
    // Reported once per opening, whether the receive step or the event thread saw it first.
    if (FHangUpReported) return;
    FHangUpReported = true;
    ReportError(3, Error > 0 ? Error : EIO);
}

void TCustomComPort::ReadModemLine(std::uint32_t Bit, const TComSignalEvent& Event) {
    // A handler may have closed the port in the meantime; a closed port has no lines to read.
    if (!FConnected || !FHandle) return;
    std::uint32_t Status = 0;
    const int Error = FHandle->ModemStatus(Status);
    if (Error != 0) {
        ReportError(11, Error);
        Status = 0;
        if (!FConnected) return;
    }
    Fire(Event, *this, (Status & Bit) != 0);
}
