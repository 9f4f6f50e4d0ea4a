#include "EventLoop.h"

#include <algorithm>

namespace airconpoll {

struct TLoopClock::TState {
    std::shared_ptr<util::TTimerTable> Timers = std::make_shared<util::TTimerTable>();
};

TLoopClock::TLoopClock() : FState(std::make_shared<TState>()) {}
TLoopClock::~TLoopClock() = default;

SteadyTime TLoopClock::Now() const {
    return std::chrono::steady_clock::now();
}

WallTime TLoopClock::WallNow() const {
    return std::chrono::system_clock::now();
}

std::unique_ptr<aircon::ITimerDriver> TLoopClock::CreateTimer() {
    return std::make_unique<aircon::TTableTimer>(FState->Timers,
                                                 [] { return std::chrono::steady_clock::now(); });
}

std::optional<SteadyTime> TLoopClock::NextDue() const {
    return FState->Timers->NextDue();
}

std::size_t TLoopClock::RunningTimers() const {
    return FState->Timers->Running();
}

int TLoopClock::FireDue(SteadyTime Now) {
    const std::shared_ptr<util::TTimerTable> keep = FState->Timers;  // a tick may end the clock
    int fired = 0;
    // Every re-armed deadline lies after Now, so each timer fires at most once here.
    while (auto due = keep->TakeDue(Now, Now)) {
        ++fired;
        if (due->Fire) due->Fire();
    }
    return fired;
}

void TEventLoop::Wake(TCustomComPort&) {
    {
        std::lock_guard lock(FLock);
        FWoken = true;
    }
    FCond.notify_one();
}

void TEventLoop::RequestStop() {
    {
        std::lock_guard lock(FLock);
        FStop = true;
    }
    FCond.notify_one();
}

bool TEventLoop::StopRequested() const {
    std::lock_guard lock(FLock);
    return FStop;
}

void TEventLoop::RunOnce(Millis MaxWait) {
    const SteadyTime now = FClock.Now();
    SteadyTime until = now + MaxWait;
    if (const auto due = FClock.NextDue()) until = std::min(until, *due);
    {
        std::unique_lock lock(FLock);
        FCond.wait_until(lock, until, [this] { return FWoken || FStop; });
        if (FStop) return;
        FWoken = false;
    }
    if (FPort) {
        // One event at a time, in the order the event thread hands them over.
        while (FPort->ProcessHandOver()) {
            if (StopRequested()) return;
        }
    }
    FClock.FireDue(FClock.Now());
}

}  // namespace airconpoll
