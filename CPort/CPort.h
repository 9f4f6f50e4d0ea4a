// The serial port component TComPort: line settings, opening, writing, closing, failure
// reports, and the delivery of port events and received bytes to the main thread.
//
// Threads. Every member is called on one thread, the "main thread" (the GUI thread in the
// window). While the port is open with a non-empty Events set, an event thread waits for port
// events and hands each one over to the main thread, one at a time:
//
//   1. the event thread stores the event in the component and calls IComHandOver::Wake();
//   2. it then waits until the main thread has taken the event;
//   3. the main thread calls ProcessHandOver(), which takes the event (releasing the event
//      thread at once) and only then handles it: the receive step reads every byte waiting in
//      the driver and fires OnRxBuf, a modem-line event fires its signal event, and so on.
//
// Events are handled in the order they were handed over and never concurrently with other work
// of the main thread. Close() stops the event thread and, while it waits for the thread to end,
// keeps calling ProcessHandOver() itself, so a thread blocked in a hand-over cannot deadlock it.
//
// Contract of an IComHandOver implementation (for example a QObject living in the GUI thread):
//   - Wake(Port) is called on the event thread. It must not block and must not touch the
//     component; it only arranges for Port.ProcessHandOver() to be called soon on the main
//     thread (e.g. QMetaObject::invokeMethod(obj, [&Port]{ Port.ProcessHandOver(); },
//     Qt::QueuedConnection)).
//   - A call of ProcessHandOver() with nothing pending is harmless and returns false, so a late
//     queued call after Close() does no harm. The hand-over object must stay alive while the
//     port is open (Close and the destructor wait for the event thread), and a queued call must
//     never reach a destroyed component: use the hand-over QObject as the context of the queued
//     call and destroy it together with the component, so pending calls are dropped.
//   - ProcessHandOver() never throws: an exception escaping the handling of an event (an
//     EComPort when no OnException handler is bound, or one thrown by OnRxBuf) goes to
//     OnHandOverException when bound, otherwise its message is written to standard error.
//
// Without an IComHandOver (the plain default) nothing is woken; the main thread then calls
// PumpHandOver(Timeout) in its own loop, which waits for a pending event and processes it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ComPlatform.h"

// ---------------------------------------------------------------------------------------------
// Enumerations (ordinals from 0, in this order)

enum class TBaudRate {
    BrCustom,
    Br110,
    Br300,
    Br600,
    Br1200,
    Br2400,
    Br4800,
    Br9600,
    Br14400,
    Br19200,
    Br38400,
    Br56000,
    Br57600,
    Br115200,
    Br128000,
    Br256000,
};
enum class TDataBits { DbFive, DbSix, DbSeven, DbEight };
enum class TStopBits { SbOneStopBit, SbOne5StopBits, SbTwoStopBits };
enum class TParityBits { PrNone, PrOdd, PrEven, PrMark, PrSpace };
enum class TDTRFlowControl { DtrDisable, DtrEnable, DtrHandshake };
enum class TRTSFlowControl { RtsDisable, RtsEnable, RtsHandshake, RtsToggle };
enum class TFlowControl { FcHardware, FcSoftware, FcNone, FcCustom };
enum class TSyncMethod { SmThreadSync, SmWindowSync, SmNone };
enum class TStoreType { StRegistry, StIniFile };
enum class TStoredProp { SpBasic, SpFlowControl, SpBuffer, SpTimeouts, SpParity, SpOthers };
enum class TComEvent {
    EvRxChar,
    EvTxEmpty,
    EvRxFlag,
    EvRing,
    EvBreak,
    EvCTS,
    EvDSR,
    EvError,
    EvRLSD,
    EvRx80Full,
};
enum class TComError { CeFrame, CeRxParity, CeOverrun, CeBreak, CeIO, CeMode, CeRxOver, CeTxFull };
enum class TThreadPriority {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// Failure kinds; the failure code is the ordinal plus 1 (CE_OpenFailed is code 1).
enum class TComExceptions {
    CE_OpenFailed,
    CE_WriteFailed,
    CE_ReadFailed,
    CE_InvalidAsync,
    CE_PurgeFailed,
    CE_AsyncCheck,
    CE_SetStateFailed,
    CE_TimeoutsFailed,
    CE_SetupComFailed,
    CE_ClearComFailed,
    CE_ModemStatFailed,
    CE_EscapeComFailed,
    CE_TransmitFailed,
    CE_ConnChangeProp,
    CE_EnumPortsFailed,
    CE_StoreFailed,
    CE_LoadFailed,
    CE_RegFailed,
    CE_LedStateFailed,
    CE_ThreadCreated,
    CE_WaitFailed,
    CE_HasLink,
    CE_RegError,
    CEPortNotOpen,
};

// Line value of a rate (0 for BrCustom, which takes CustomBaudRate instead).
std::int32_t BaudRateValue(TBaudRate Rate);

// The fixed English message of a failure code 1..24 ("" for any other code).
std::string_view ComErrorMessage(int Code);
// The kind of a failure code 1..24 (std::out_of_range for any other), and the code of a kind.
TComExceptions ComErrorKind(int Code);
int ComErrorCode(TComExceptions Kind);

// ---------------------------------------------------------------------------------------------
// Sets of enumeration values (one bit per ordinal)

template <class E>
class TEnumSet {
  public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> Values) {
        for (E v : Values)
            Include(v);
    }
    static constexpr TEnumSet FromBits(std::uint32_t Bits) {
        TEnumSet s;
        s.FBits = Bits;
        return s;
    }
    constexpr std::uint32_t Bits() const { return FBits; }
    constexpr bool Contains(E v) const { return (FBits & Bit(v)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TEnumSet& Include(E v) {
        FBits |= Bit(v);
        return *this;
    }
    constexpr TEnumSet& Exclude(E v) {
        FBits &= ~Bit(v);
        return *this;
    }
    friend constexpr bool operator==(TEnumSet, TEnumSet) = default;

  private:
    static constexpr std::uint32_t Bit(E v) { return std::uint32_t{1} << static_cast<unsigned>(v); }
    std::uint32_t FBits = 0;
};

using TComEvents = TEnumSet<TComEvent>;
using TStoredProps = TEnumSet<TStoredProp>;
using TComErrors = TEnumSet<TComError>;

// All ten port events.
inline constexpr TComEvents AllComEvents{
    TComEvent::EvRxChar, TComEvent::EvTxEmpty, TComEvent::EvRxFlag, TComEvent::EvRing,
    TComEvent::EvBreak,  TComEvent::EvCTS,     TComEvent::EvDSR,    TComEvent::EvError,
    TComEvent::EvRLSD,   TComEvent::EvRx80Full};

// Conversion between the event set and the platform's port-event mask (ComEventBits).
std::uint32_t EventsToMask(TComEvents Events);
TComEvents MaskToEvents(std::uint32_t Mask);

// ---------------------------------------------------------------------------------------------
// Failure raised when no OnException handler is bound

class EComPort : public std::runtime_error {
  public:
    // Message: the table text followed by " (Error: %d)" with AWinCode.
    EComPort(int ACode, std::int32_t AWinCode);
    // Message: the table text alone; WinCode -1.
    static EComPort CreateNoWinCode(int ACode);

    int Code() const { return FCode; }
    std::int32_t WinCode() const { return FWinCode; }

  private:
    EComPort(int ACode, std::int32_t AWinCode, const std::string& Message);
    std::int32_t FWinCode;
    std::int32_t FCode;
};

// ---------------------------------------------------------------------------------------------
// Settings groups. Each keeps a back-reference to its component (nullptr for a free-standing
// group) and re-applies its part of the settings through it when a value changes.

class TCustomComPort;

class TComBuffer {
  public:
    explicit TComBuffer(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComBuffer(const TComBuffer&) = delete;
    TComBuffer& operator=(const TComBuffer&) = delete;
    void Assign(const TComBuffer& Source);  // copies the values only

    std::int32_t InputSize() const { return FInputSize; }
    void SetInputSize(std::int32_t Value);  // a positive odd value is stored one less
    std::int32_t OutputSize() const { return FOutputSize; }
    void SetOutputSize(std::int32_t Value);
    TCustomComPort* ComPort() const { return FComPort; }

  private:
    TCustomComPort* FComPort;
    std::int32_t FInputSize = 1024;
    std::int32_t FOutputSize = 1024;
};

class TComParity {
  public:
    explicit TComParity(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComParity(const TComParity&) = delete;
    TComParity& operator=(const TComParity&) = delete;
    void Assign(const TComParity& Source);

    TParityBits Bits() const { return FBits; }
    void SetBits(TParityBits Value);
    bool Check() const { return FCheck; }
    void SetCheck(bool Value);
    bool Replace() const { return FReplace; }
    void SetReplace(bool Value);
    char16_t ReplaceChar() const { return FReplaceChar; }
    void SetReplaceChar(char16_t Value);
    TCustomComPort* ComPort() const { return FComPort; }

  private:
    TCustomComPort* FComPort;
    TParityBits FBits = TParityBits::PrNone;
    bool FCheck = false;
    bool FReplace = false;
    char16_t FReplaceChar = 0;
};

class TComTimeouts {
  public:
    explicit TComTimeouts(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComTimeouts(const TComTimeouts&) = delete;
    TComTimeouts& operator=(const TComTimeouts&) = delete;
    void Assign(const TComTimeouts& Source);

    std::int32_t ReadInterval() const { return FReadInterval; }
    void SetReadInterval(std::int32_t Value);
    std::int32_t ReadTotalMultiplier() const { return FReadTotalMultiplier; }
    void SetReadTotalMultiplier(std::int32_t Value);
    std::int32_t ReadTotalConstant() const { return FReadTotalConstant; }
    void SetReadTotalConstant(std::int32_t Value);
    std::int32_t WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
    void SetWriteTotalMultiplier(std::int32_t Value);
    std::int32_t WriteTotalConstant() const { return FWriteTotalConstant; }
    void SetWriteTotalConstant(std::int32_t Value);
    TCustomComPort* ComPort() const { return FComPort; }

  private:
    void Changed();
    TCustomComPort* FComPort;
    std::int32_t FReadInterval = -1;
    std::int32_t FReadTotalMultiplier = 0;
    std::int32_t FReadTotalConstant = 0;
    std::int32_t FWriteTotalMultiplier = 100;
    std::int32_t FWriteTotalConstant = 1000;
};

class TComFlowControl {
  public:
    explicit TComFlowControl(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComFlowControl(const TComFlowControl&) = delete;
    TComFlowControl& operator=(const TComFlowControl&) = delete;
    void Assign(const TComFlowControl& Source);

    bool OutCTSFlow() const { return FOutCTSFlow; }
    void SetOutCTSFlow(bool Value);
    bool OutDSRFlow() const { return FOutDSRFlow; }
    void SetOutDSRFlow(bool Value);
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    void SetControlDTR(TDTRFlowControl Value);
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    void SetControlRTS(TRTSFlowControl Value);
    bool XonXoffOut() const { return FXonXoffOut; }
    void SetXonXoffOut(bool Value);
    bool XonXoffIn() const { return FXonXoffIn; }
    void SetXonXoffIn(bool Value);
    bool DSRSensitivity() const { return FDSRSensitivity; }
    void SetDSRSensitivity(bool Value);
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    void SetTxContinueOnXoff(bool Value);
    char16_t XonChar() const { return FXonChar; }
    void SetXonChar(char16_t Value);
    char16_t XoffChar() const { return FXoffChar; }
    void SetXoffChar(char16_t Value);
    // The derived flow-control kind; setting it always re-applies the control block.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl Value);
    TCustomComPort* ComPort() const { return FComPort; }

  private:
    void Changed();
    TCustomComPort* FComPort;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = TDTRFlowControl::DtrDisable;
    TRTSFlowControl FControlRTS = TRTSFlowControl::RtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char16_t FXonChar = 17;
    char16_t FXoffChar = 19;
};

// ---------------------------------------------------------------------------------------------
// Event types

using TNotifyEvent = std::function<void(TCustomComPort& Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort& Sender, std::int32_t Count)>;
// Buffer holds the received bytes (at least one); valid only during the call.
using TRxBufEvent =
    std::function<void(TCustomComPort& Sender, std::span<const std::uint8_t> Buffer)>;
using TComSignalEvent = std::function<void(TCustomComPort& Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort& Sender, TComErrors Errors)>;
using TComExceptionEvent = std::function<void(
    TCustomComPort& Sender, TComExceptions TComException, const std::string& ComportMessage,
    std::int64_t WinError, const std::string& WinMessage)>;
using THandOverExceptionEvent =
    std::function<void(TCustomComPort& Sender, std::exception_ptr Error)>;

// ---------------------------------------------------------------------------------------------
// Hand-over of port events from the event thread to the main thread (see the top of this file)

class IComHandOver {
  public:
    virtual ~IComHandOver() = default;
    // Called on the event thread when an event waits in Port; must make the main thread call
    // Port.ProcessHandOver() soon. Must not block and must not call into Port.
    virtual void Wake(TCustomComPort& Port) = 0;
};

class TIniFile;
class TComPortPrivate;

// ---------------------------------------------------------------------------------------------
// The component. Its port state (the open device, the event thread, the hand-over and its lock)
// lives in a private part (CPortPrivate.h) that no user of the component sees.

class TCustomComPort {
  public:
    // Name is the component's name, the section of its settings file. Platform nullptr takes
    // the POSIX platform; HandOver nullptr means the main thread pumps with PumpHandOver.
    explicit TCustomComPort(std::string Name = "ComPort",
                            std::shared_ptr<IComPlatform> Platform = nullptr,
                            IComHandOver* HandOver = nullptr);
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;
    // Closes the port first; a failure reported by that close is not raised.
    virtual ~TCustomComPort();

    const std::string& Name() const { return FName; }
    void SetName(std::string Value) { FName = std::move(Value); }
    // Replace the platform or the hand-over; refused with code 14 while open.
    void SetPlatform(std::shared_ptr<IComPlatform> Platform);
    const std::shared_ptr<IComPlatform>& Platform() const;
    void SetHandOver(IComHandOver* HandOver);
    IComHandOver* HandOver() const;

    // Operations
    void Open();
    void Close();
    std::int32_t Write(const void* Buffer, std::int32_t Count);
    std::int32_t Write(std::span<const std::uint8_t> Buffer);
    bool Connected() const;
    void SetConnected(bool Value);  // true opens, false closes
    void BeginUpdate();
    void EndUpdate();

    // Settings file (CPort/ComSettings.cpp)
    void StoreSettings(TStoreType StoreType, const std::string& StoreTo);
    void LoadSettings(TStoreType StoreType, const std::string& LoadFrom);

    // Reports a failure: to OnException when bound, otherwise by raising EComPort. WinError > 0
    // is a platform error code; 0 or below carries no platform text. The numbered form takes
    // the codes 1..24 of the message table; any other code is a programming error
    // (std::out_of_range).
    void ReportError(TComExceptions Kind, std::int64_t WinError);
    void ReportError(int Code, std::int64_t WinError);

    // Main-thread side of the event hand-over. ProcessHandOver takes the pending event, if
    // any, releases the event thread and then handles it while the port is open; it returns
    // whether an event was taken and never throws. PumpHandOver waits up to Timeout for an
    // event to be pending and processes it.
    bool ProcessHandOver();
    bool PumpHandOver(std::chrono::milliseconds Timeout);
    // Whether the event thread is running.
    bool ThreadCreated() const;

    // Settings
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    std::int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool Value);
    char16_t EventChar() const { return FEventChar; }
    void SetEventChar(char16_t Value);
    const std::string& Port() const { return FPort; }
    void SetPort(std::string Value);  // while open: closes and opens under the new name
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents Value);  // takes effect at the next Open
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod Value);  // refused with code 14 while open
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value);  // refused with code 14 while open
    // true (the default): received data fires OnRxChar with the count and stays in the driver;
    // false: the bytes are read and handed to OnRxBuf.
    bool TriggersOnRxChar() const { return FTriggersOnRxChar; }
    void SetTriggersOnRxChar(bool Value) { FTriggersOnRxChar = Value; }
    TStoredProps StoredProps() const { return FStoredProps; }
    void SetStoredProps(TStoredProps Value) { FStoredProps = Value; }
    std::uint32_t CodePage() const { return FCodePage; }
    void SetCodePage(std::uint32_t Value) { FCodePage = Value; }

    TComParity& Parity() { return FParity; }
    const TComParity& Parity() const { return FParity; }
    void SetParity(const TComParity& Value);  // copies, then re-applies the control block
    TComFlowControl& FlowControl() { return FFlowControl; }
    const TComFlowControl& FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl& Value);
    TComTimeouts& Timeouts() { return FTimeouts; }
    const TComTimeouts& Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts& Value);  // copies, then re-applies the time-outs
    TComBuffer& Buffer() { return FBuffer; }
    const TComBuffer& Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer& Value);  // copies, then re-applies the queue sizes

    // The device control block built from the current settings.
    TComControlBlock ControlBlock() const;
    TComTimeoutValues TimeoutValues() const;

    // The three settings steps, each re-applying its part of the settings to the open port
    // (what a settings group does after a change). Each acts only while the port is open and
    // no update is pending; it returns false when it reported a failure.
    bool ApplyQueueSizes();
    bool ApplyControlBlock();
    bool ApplyTimeoutValues();

    // Events
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TComErrorEvent OnError;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TNotifyEvent OnRx80Full;
    TComExceptionEvent OnException;
    // Receives an exception that escaped the handling of a handed-over event.
    THandOverExceptionEvent OnHandOverException;

  protected:
    virtual void StoreToIni(TIniFile& Ini);
    virtual void LoadFromIni(TIniFile& Ini);
    virtual void OpenDevice();
    virtual void CloseDevice();
    // Runs the three settings steps; stops at the first that fails and returns false.
    virtual bool ApplyPortSettings();
    // Whether a settings step acts now: open and no update pending.
    bool CanApply() const;

  private:
    std::string FName;
    const std::unique_ptr<TComPortPrivate> FImpl;

    bool FTriggersOnRxChar = true;
    TThreadPriority FEventThreadPriority = TThreadPriority::tpNormal;
    TBaudRate FBaudRate = TBaudRate::Br9600;
    std::int32_t FCustomBaudRate = 9600;
    TDataBits FDataBits = TDataBits::DbEight;
    TStopBits FStopBits = TStopBits::SbOneStopBit;
    bool FDiscardNull = false;
    char16_t FEventChar = 0;
    std::string FPort = "COM1";
    TComEvents FEvents = AllComEvents;
    TSyncMethod FSyncMethod = TSyncMethod::SmThreadSync;
    TStoredProps FStoredProps{TStoredProp::SpBasic};
    std::uint32_t FCodePage = 0;
    TComParity FParity{this};
    TComFlowControl FFlowControl{this};
    TComTimeouts FTimeouts{this};
    TComBuffer FBuffer{this};
};

// The component as the form publishes it; adds no behaviour.
class TComPort : public TCustomComPort {
  public:
    using TCustomComPort::TCustomComPort;
};
