// Time for the monitoring core: a clock and the timers the poll and send cycle run on.
//
// The core never waits on a wall clock itself. The window gives it Qt timers, a program
// without a window gives it a loop of its own, and the tests give it a fake clock that
// they advance by hand, so that whole poll and reply sequences run in no time.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "TimerTable.h"

namespace aircon {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;
using Millis = std::chrono::milliseconds;

// A repeating countdown supplied by the platform.
class ITimerDriver {
  public:
    virtual ~ITimerDriver() = default;
    // Starts the countdown afresh from now (also when it is running); from then on
    // OnFire is called once every Interval until Stop. Interval is at least 1 ms.
    virtual void Start(Millis Interval) = 0;
    virtual void Stop() = 0;

    std::function<void()> OnFire;
};

class IClock {
  public:
    virtual ~IClock() = default;
    // Monotonic time, for intervals and response times.
    virtual SteadyTime Now() const = 0;
    // Calendar time, for what the operator reads (local time of rows and recordings).
    virtual WallTime WallNow() const = 0;
    virtual std::unique_ptr<ITimerDriver> CreateTimer() = 0;
};

// A countdown of a timer table (util::TTimerTable), on the clock that owns the table and fires
// its timers: Now tells that clock's time.
class TTableTimer : public ITimerDriver {
  public:
    TTableTimer(std::shared_ptr<util::TTimerTable> Table, std::function<SteadyTime()> Now);
    ~TTableTimer() override;
    TTableTimer(const TTableTimer&) = delete;
    TTableTimer& operator=(const TTableTimer&) = delete;

    void Start(Millis Interval) override;
    void Stop() override;

  private:
    std::shared_ptr<util::TTimerTable> FTable;
    std::function<SteadyTime()> FNow;
    util::TTimerTable::TId FId;
};

// The timer the poll and send cycle rely on:
// setting the interval or the enabled flag to the value it already has changes nothing;
// a new interval, or switching from off to on, starts the countdown afresh from that moment;
// switching off stops it; an interval of 0 (or below) never fires, even when enabled.
class TTimer {
  public:
    TTimer(IClock& Clock, int Interval, bool Enabled);
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    int Interval() const { return FInterval; }
    void SetInterval(int Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    // True while a countdown is actually running (enabled with a positive interval).
    bool Running() const { return FRunning; }

    std::function<void()> OnTimer;

  private:
    void Update();

    std::unique_ptr<ITimerDriver> FDriver;
    int FInterval;
    bool FEnabled;
    bool FRunning = false;
};

}  // namespace aircon
