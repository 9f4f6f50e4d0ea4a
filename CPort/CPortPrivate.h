// The private part of the serial port component: the open device, the connection state, the
// event thread and the hand-over with its lock. Only the component's own files include it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "CPort.h"

class TComPortPrivate;

// The event thread: waits for port events and hands each one over to the main thread.
class TComThread {
  public:
    TComThread(TComPortPrivate& Port, IComDevice& Device, std::uint32_t Mask);
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;
    ~TComThread() { Join(); }
    void Join() {
        if (FThread.joinable()) FThread.join();
    }

  private:
    void Execute();

    TComPortPrivate& FPort;
    IComDevice& FDevice;
    TComEvents FEvents;  // of the last wake-up
    std::thread FThread;
};

class TComPortPrivate {
  public:
    TComPortPrivate(TCustomComPort& Port, std::shared_ptr<IComPlatform> Platform,
                    IComHandOver* HandOver)
        : Q(Port), Platform(std::move(Platform)), HandOver(HandOver) {}

    // --- Main thread (CPort.cpp, ComSettingsGroups.cpp) ---
    TCustomComPort& Q;
    std::shared_ptr<IComPlatform> Platform;
    IComHandOver* HandOver;
    std::unique_ptr<IComDevice> Handle;  // the open device; empty while closed
    bool Connected = false;
    bool Closing = false;  // a Close is under way (a report inside it may call Close again)
    std::int32_t UpdateCount = 0;

    // --- Event delivery (ComEventThread.cpp) ---
    void StartEventThread();
    void StopEventThread();
    bool ThreadCreated() const { return Thread != nullptr; }
    bool ProcessHandOver();
    bool PumpHandOver(std::chrono::milliseconds Timeout);
    // Queries one modem line and fires its signal event (the end of Open, a line event).
    void ReadModemLine(std::uint32_t Bit, const TComSignalEvent& Event);

    // Event thread side of the hand-over: stores the event and waits until it is taken or the
    // thread is told to stop. Returns false when stopping.
    bool HandOverFromThread(std::uint32_t Bit, int Error);
    void WaitForStop();
    // Waits for Pause or the stop signal; false when stopping.
    bool PauseUnlessStopped(std::chrono::milliseconds Pause);
    void ThreadFinished();

  private:
    void HandleEvent(std::uint32_t Bit);
    void HandleError();
    void HandleRxChar();
    void HandleHangUp(int Error);

    std::unique_ptr<TComThread> Thread;
    bool HangUpReported = false;  // once per opening

    // Hand-over state, shared with the event thread under Lock.
    std::mutex Lock;
    std::condition_variable Cond;
    bool Pending = false;
    std::uint32_t PendingBit = 0;
    int PendingError = 0;
    bool StopRequested = false;
    bool ThreadDone = false;
};

// Fires an event when it is bound. The handler may rebind the event while it runs, so a copy
// is called.
template <class F, class... Args>
void FireEvent(const F& Event, Args&&... args) {
    if (Event) {
        F Copy = Event;
        Copy(std::forward<Args>(args)...);
    }
}
