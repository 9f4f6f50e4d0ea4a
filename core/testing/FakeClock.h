// A clock for tests: time stands still until the test moves it.
//
//   aircon::TFakeClock clock;
//   aircon::TTimer timer(clock, 500, true);    // or a TMonitor on this clock
//   clock.Advance(aircon::Millis(1500));       // the timer fires at 500, 1000 and 1500
//
// Advance moves time forward and fires, one at a time and in time order, every timer
// that falls due on the way; during a tick Now() is the moment that timer fell due.
// Timers due at the same moment fire in the order their countdowns were started. A
// tick may start, stop or destroy any timer, its own included, and that is honoured
// for the rest of the advance. Block moves time as a call that blocks the driving
// thread would (a write on a slow line): nothing fires, and timers that fell due in
// the meantime fire late, once, at the next Advance, and keep their cadence where it
// still lies ahead (as util::TTimerTable has it, like the window's and the poller's clocks). Now()
// and WallNow() are deterministic: the monotonic clock starts at Start(), the calendar clock at the
// wall time given to the constructor, and both move together.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "Clock.h"

namespace aircon {

class TFakeClock : public IClock {
  public:
    // 2024-01-01 00:00:00 UTC unless given.
    explicit TFakeClock(WallTime WallStart = DefaultWallStart());
    ~TFakeClock() override;
    TFakeClock(const TFakeClock&) = delete;
    TFakeClock& operator=(const TFakeClock&) = delete;

    SteadyTime Now() const override;
    WallTime WallNow() const override;
    std::unique_ptr<ITimerDriver> CreateTimer() override;

    // Moves time forward by Span (or to When), firing the timers due on the way.
    // Not to be called from a timer's tick (std::logic_error).
    void Advance(Millis Span);
    void AdvanceTo(SteadyTime When);
    // Moves time forward by Span without firing anything (also from inside a tick).
    void Block(Millis Span);

    SteadyTime Start() const;  // Now() when the clock was made
    Millis Elapsed() const;    // Now() - Start()
    // When the next running timer falls due; empty when none runs.
    std::optional<SteadyTime> NextDue() const;
    std::size_t RunningTimers() const;

    static WallTime DefaultWallStart();

  private:
    struct TState;
    std::shared_ptr<TState> FState;  // shared with the drivers, which may outlive the clock
};

}  // namespace aircon
