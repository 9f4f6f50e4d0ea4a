// The poller's controllers on a line of several (--addr 1,2,7): the core's poll plan over
// the session's monitor, and for each controller its own state (readings, reply counters,
// aircon_up by its own answering rule) and, with --once, its own one-shot check. What
// belongs to the line (the port, frames that failed the check, noise) stays with the
// poller's state of the line; replies booked to no controller are the plan's strays.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Monitor.h"
#include "MultiPoll.h"
#include "OnceCheck.h"
#include "Options.h"
#include "PollState.h"

namespace airconpoll {

class TFleet {
  public:
    struct TMember {
        std::uint8_t Addr = 0;
        std::unique_ptr<TPollState> State;
        std::unique_ptr<TOnceCheck> Once;  // with --once
    };

    TFleet(aircon::IClock& Clock, aircon::TMonitor& Monitor, const TPollOptions& Options);

    aircon::TMultiPoll& Plan() { return FPlan; }
    std::vector<TMember>& Members() { return FMembers; }
    // Adds an observer of every controller (it hears only what is booked to each).
    void AddObserver(aircon::IMonitorObserver& Observer);

    // Reads for every controller, in its next full turn.
    void QueueReads(std::span<const std::uint8_t> Commands);
    // True once when any controller's metrics are due.
    bool TakeWriteDue();
    // The identity and parameters of each controller that answers again after a silence
    // are read again.
    void QueueIdentityReads();
    void ExpireStale(aircon::SteadyTime Now, aircon::Millis MaxAge);
    void Stopped();
    // Each controller's metrics, with its address.
    std::vector<TMetricsData> Metrics() const;

    // --once: empty while any controller's read goes on; else the lines of the log for
    // every controller that failed (none: all were read).
    std::optional<std::vector<std::string>> OnceVerdict(const TPollOptions& Options);

  private:
    aircon::TMultiPoll FPlan;
    std::vector<TMember> FMembers;
};

}  // namespace airconpoll
