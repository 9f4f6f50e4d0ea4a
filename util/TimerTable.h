// Repeating timers with deadlines on a monotonic clock, for a clock that drives them with its
// own "now": the poller's loop with the system's time, the tests' fake clock with the time they
// set. The owner asks for the timers due and fires them, one at a time and in order of their
// deadlines; timers due at the same moment fire in the order their countdowns were started.
//
// A timer that fires late (its owner was busy) fires once, and its next deadline stays on its
// cadence when that still lies ahead, else it is one interval after the moment it fired: it never
// fires twice in a row to catch up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace util {

class TTimerTable {
  public:
    using TTime = std::chrono::steady_clock::time_point;
    using TInterval = std::chrono::milliseconds;
    using TId = std::uint64_t;

    // A stopped timer whose handler is *OnFire (read at each firing, so it may be rebound).
    TId Add(const std::function<void()>* OnFire);
    void Remove(TId Id);
    // Starts the countdown afresh from Now: due one Interval (at least 1 ms) later.
    void Start(TId Id, TInterval Interval, TTime Now);
    void Stop(TId Id);

    // When the next running timer falls due; empty when none runs.
    std::optional<TTime> NextDue() const;
    std::size_t Running() const;

    // The running timer that falls due first at or before Limit, re-armed as if it fired at
    // max(Now, its deadline): its deadline and a copy of its handler (the handler may destroy
    // the timer or rebind it). Empty when none is due.
    struct TDue {
        TTime Due;
        std::function<void()> Fire;
    };
    std::optional<TDue> TakeDue(TTime Limit, TTime Now);

  private:
    struct TTimer {
        bool Running = false;
        TInterval Interval{};
        TTime Due{};
        std::uint64_t Order = 0;  // when its countdown started: breaks ties of Due
        const std::function<void()>* OnFire = nullptr;
    };
    const TTimer* First(TTime Limit) const;

    std::map<TId, TTimer> FTimers;
    TId FNextId = 0;
    std::uint64_t FNextOrder = 0;
};

}  // namespace util
