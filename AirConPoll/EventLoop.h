// The poller's main loop: a clock whose timers run on the main thread, and a wait that
// ends at the next timer, at a port event handed over by the serial component's event
// thread, or at a request to stop from another thread (the signal watcher).
//
//   TEventLoop loop;
//   TComPort port("ComPort", nullptr, &loop);   // the loop is the port's hand-over
//   aircon::TMonitor monitor(loop.Clock(), link, inputs);
//   while (!loop.StopRequested()) loop.RunOnce();
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "CPort.h"
#include "Clock.h"

namespace airconpoll {

using aircon::Millis;
using aircon::SteadyTime;
using aircon::WallTime;

// Timers with deadlines on the monotonic clock. A timer fires on the main thread from
// FireDue; a tick may start, stop or destroy any timer, its own included. A timer that
// falls behind (the main thread was busy) fires once, late, and keeps its cadence from
// then on: it never fires twice in a row to catch up.
class TLoopClock : public aircon::IClock {
  public:
    TLoopClock();
    ~TLoopClock() override;
    TLoopClock(const TLoopClock&) = delete;
    TLoopClock& operator=(const TLoopClock&) = delete;

    SteadyTime Now() const override;
    WallTime WallNow() const override;
    std::unique_ptr<aircon::ITimerDriver> CreateTimer() override;

    // When the next running timer falls due; empty when none runs.
    std::optional<SteadyTime> NextDue() const;
    // Fires, in order of their deadlines, the timers due at Now; returns how many fired.
    int FireDue(SteadyTime Now);
    std::size_t RunningTimers() const;

  private:
    struct TState;
    std::shared_ptr<TState> FState;  // shared with the drivers, which may outlive the clock
};

class TEventLoop : public IComHandOver {
  public:
    TEventLoop() = default;
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    TLoopClock& Clock() { return FClock; }

    // The port whose events the loop takes (one at a time; nullptr for none).
    void SetPort(TCustomComPort* Port) { FPort = Port; }

    // Event thread side: a port event waits to be taken.
    void Wake(TCustomComPort& Port) override;
    // Any thread: ends the wait at once; RunOnce returns and StopRequested holds.
    void RequestStop();
    bool StopRequested() const;

    // Waits for the first of: the next timer (at most MaxWait), a port event, a stop
    // request; then takes every port event waiting and fires the timers that are due.
    void RunOnce(Millis MaxWait = Millis(60000));

  private:
    TLoopClock FClock;
    TCustomComPort* FPort = nullptr;
    mutable std::mutex FLock;
    std::condition_variable FCond;
    bool FWoken = false;
    bool FStop = false;
};

}  // namespace airconpoll
