// Port event delivery: the event thread, the hand-over of each event to the main thread, and
// the handling of the events there (the receive step, the line and error events).
#include <algorithm>
#include <array>
#include <cerrno>
#include <iostream>
#include <vector>

#include "CPort.h"
#include "CPortPrivate.h"

namespace {

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

}  // namespace

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
// The event thread

TComThread::TComThread(TComPortPrivate& Port, IComDevice& Device, std::uint32_t Mask)
    : FPort(Port), FDevice(Device) {
    FDevice.SetEventMask(Mask);  // the result is of no consequence
    FThread = std::thread([this] { Execute(); });
}

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
                    if (!FPort.HandOverFromThread(Bit, 0)) {
                        Running = false;
                        break;
                    }
                }
                break;
            case TComWaitResult::HangUp:
                // The device has gone: report it once, then stay quiet until told to stop.
                FPort.HandOverFromThread(kHangUpBit, Error);
                FPort.WaitForStop();
                Running = false;
                break;
            case TComWaitResult::Failed:
                // Hand nothing over and wait again, pausing so a wait that keeps failing
                // never spins.
                if (!FPort.PauseUnlessStopped(std::chrono::milliseconds(100))) Running = false;
                break;
            case TComWaitResult::Stopped:
                Running = false;
                break;
        }
    }
    // The way out (event mask 0, driver queues discarded) is taken by Close once this thread
    // has ended, so it can never race the main thread still reading a handed-over event.
    FPort.ThreadFinished();
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping

void TComPortPrivate::StartEventThread() {
    {
        std::lock_guard Guard(Lock);
        Pending = false;
        StopRequested = false;
        ThreadDone = false;
    }
    HangUpReported = false;
    Thread = std::make_unique<TComThread>(*this, *Handle, EventsToMask(Q.Events()));
}

void TComPortPrivate::StopEventThread() {
    {
        std::lock_guard Guard(Lock);
        StopRequested = true;
    }
    Cond.notify_all();
    if (Handle) Handle->CancelWait();
    std::this_thread::yield();
    // Keep taking hand-overs while waiting, so a thread blocked in one can see its stop.
    for (;;) {
        std::unique_lock Guard(Lock);
        if (ThreadDone) break;
        if (Pending) {
            Guard.unlock();
            ProcessHandOver();
            continue;
        }
        Cond.wait_for(Guard, std::chrono::milliseconds(100),
                      [this] { return ThreadDone || Pending; });
    }
    Thread->Join();
    Thread.reset();
    // The thread's way out: no more port events, and both driver queues discarded.
    if (Handle) {
        Handle->SetEventMask(0);
        Handle->Purge(ComPurgeFlags::TxClear | ComPurgeFlags::RxClear);
    }
}

// ---------------------------------------------------------------------------------------------
// The hand-over

bool TComPortPrivate::HandOverFromThread(std::uint32_t Bit, int Error) {
    {
        std::unique_lock Guard(Lock);
        if (StopRequested) return false;
        Pending = true;
        PendingBit = Bit;
        PendingError = Error;
    }
    Cond.notify_all();
    if (HandOver) HandOver->Wake(Q);
    std::unique_lock Guard(Lock);
    // Only until taken: Close keeps taking hand-overs while it waits for this thread.
    Cond.wait(Guard, [this] { return !Pending; });
    return !StopRequested;
}

void TComPortPrivate::WaitForStop() {
    std::unique_lock Guard(Lock);
    Cond.wait(Guard, [this] { return StopRequested; });
}

bool TComPortPrivate::PauseUnlessStopped(std::chrono::milliseconds Pause) {
    std::unique_lock Guard(Lock);
    return !Cond.wait_for(Guard, Pause, [this] { return StopRequested; });
}

void TComPortPrivate::ThreadFinished() {
    {
        std::lock_guard Guard(Lock);
        ThreadDone = true;
    }
    Cond.notify_all();
}

bool TComPortPrivate::ProcessHandOver() {
    std::uint32_t Bit = 0;
    int Error = 0;
    {
        std::lock_guard Guard(Lock);
        if (!Pending) return false;
        Pending = false;
        Bit = PendingBit;
        Error = PendingError;
    }
    Cond.notify_all();  // releases the event thread before any work is done
    if (!Connected) return true;
    try {
        if (Bit == kHangUpBit)
            HandleHangUp(Error);
        else
            HandleEvent(Bit);
    } catch (...) {
        const std::exception_ptr Failure = std::current_exception();
        if (Q.OnHandOverException) {
            try {
                FireEvent(Q.OnHandOverException, Q, Failure);
            } catch (...) {
            }
        } else {
            try {
                std::rethrow_exception(Failure);
            } catch (const std::exception& e) {
                std::cerr << Q.Name() << ": " << e.what() << '\n';
            } catch (...) {
                std::cerr << Q.Name() << ": unknown exception while handling a port event\n";
            }
        }
    }
    return true;
}

bool TComPortPrivate::PumpHandOver(std::chrono::milliseconds Timeout) {
    {
        std::unique_lock Guard(Lock);
        if (!Cond.wait_for(Guard, Timeout, [this] { return Pending; })) return false;
    }
    return ProcessHandOver();
}

bool TCustomComPort::ProcessHandOver() {
    return FImpl->ProcessHandOver();
}

bool TCustomComPort::PumpHandOver(std::chrono::milliseconds Timeout) {
    return FImpl->PumpHandOver(Timeout);
}

// ---------------------------------------------------------------------------------------------
// Handling the events on the main thread

void TComPortPrivate::HandleEvent(std::uint32_t Bit) {
    switch (Bit) {
        case ComEventBits::Err:
            HandleError();
            return;
        case ComEventBits::RxChar:
            HandleRxChar();
            return;
        case ComEventBits::TxEmpty:
            FireEvent(Q.OnTxEmpty, Q);
            return;
        case ComEventBits::Break:
            FireEvent(Q.OnBreak, Q);
            return;
        case ComEventBits::Ring:
            FireEvent(Q.OnRing, Q);
            return;
        case ComEventBits::Cts:
            ReadModemLine(ComModemBits::CtsOn, Q.OnCTSChange);
            return;
        case ComEventBits::Dsr:
            ReadModemLine(ComModemBits::DsrOn, Q.OnDSRChange);
            return;
        case ComEventBits::RxFlag:
            FireEvent(Q.OnRxFlag, Q);
            return;
        case ComEventBits::Rlsd:
            ReadModemLine(ComModemBits::RlsdOn, Q.OnRLSDChange);
            return;
        case ComEventBits::Rx80Full:
            FireEvent(Q.OnRx80Full, Q);
            return;
        default:
            return;
    }
}

void TComPortPrivate::HandleError() {
    if (!Handle) return;
    std::uint32_t Errors = 0, InQueue = 0;
    const int Error = Handle->ClearError(Errors, InQueue);
    if (Error != 0) {
        Q.ReportError(TComExceptions::CE_ClearComFailed, Error);
        return;
    }
    TComErrors Found;
    if (Errors & ComErrorBits::Frame) Found.Include(TComError::CeFrame);
    if ((Errors & ComErrorBits::RxParity) && Q.Parity().Check())
        Found.Include(TComError::CeRxParity);
    if (Errors & ComErrorBits::Overrun) Found.Include(TComError::CeOverrun);
    if (Errors & ComErrorBits::Break) Found.Include(TComError::CeBreak);
    if (Errors & ComErrorBits::IOE) Found.Include(TComError::CeIO);
    if (Errors & ComErrorBits::Mode) Found.Include(TComError::CeMode);
    if (Errors & ComErrorBits::RxOver) Found.Include(TComError::CeRxOver);
    if (Errors & ComErrorBits::TxFull) Found.Include(TComError::CeTxFull);
    if (!Found.Empty()) FireEvent(Q.OnError, Q, Found);
}

void TComPortPrivate::HandleRxChar() {
    if (!Handle) return;
    std::uint32_t Errors = 0, Waiting = 0;
    const int CountError = Handle->ClearError(Errors, Waiting);
    if (CountError != 0) {
        // A device that has gone is a hang-up, not a failed count.
        if (DeviceGone(CountError)) {
            HandleHangUp(CountError);
            return;
        }
        Q.ReportError(TComExceptions::CE_ClearComFailed, CountError);
        Waiting = 0;
    }
    if (Waiting == 0) return;
    if (Q.TriggersOnRxChar()) {
        FireEvent(Q.OnRxChar, Q, static_cast<std::int32_t>(std::min(Waiting, kMaxReceiveBlock)));
        return;
    }
    std::vector<std::uint8_t> Block(std::min(Waiting, kMaxReceiveBlock));
    std::size_t Read = 0;
    if (!Handle) {
        Q.ReportError(TComExceptions::CEPortNotOpen, -24);
        return;
    }
    const int ReadError = Handle->Read(Block, Read);
    if (ReadError != 0) {
        if (DeviceGone(ReadError))
            HandleHangUp(ReadError);
        else
            Q.ReportError(TComExceptions::CE_ReadFailed, ReadError);
        return;
    }
    Read = std::min(Read, Block.size());
    if (Read > 0) FireEvent(Q.OnRxBuf, Q, std::span<const std::uint8_t>(Block.data(), Read));
}

void TComPortPrivate::HandleHangUp(int Error) {
    // Reported once per opening, whether the receive step or the event thread saw it first.
    if (HangUpReported) return;
    HangUpReported = true;
    Q.ReportError(TComExceptions::CE_ReadFailed, Error > 0 ? Error : EIO);
}

void TComPortPrivate::ReadModemLine(std::uint32_t Bit, const TComSignalEvent& Event) {
    // A handler may have closed the port in the meantime; a closed port has no lines to read.
    if (!Connected || !Handle) return;
    std::uint32_t Status = 0;
    const int Error = Handle->ModemStatus(Status);
    if (Error != 0) {
        Q.ReportError(TComExceptions::CE_ModemStatFailed, Error);
        Status = 0;
        if (!Connected) return;
    }
    FireEvent(Event, Q, (Status & Bit) != 0);
}
