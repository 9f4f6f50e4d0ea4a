#include "EventLoop.h"

#include <algorithm>
#include <functional>
#include <map>

namespace airconpoll {

struct TLoopClock::TState {
    struct TTimerRec {
        bool Running = false;
        Millis Interval{};
        SteadyTime Due{};
        std::uint64_t Order = 0;  // when its countdown started: breaks ties of Due
        std::function<void()>* OnFire = nullptr;
    };
    std::map<std::uint64_t, TTimerRec> Timers;
    std::uint64_t NextId = 0;
    std::uint64_t NextOrder = 0;

    TTimerRec* NextDueBy(SteadyTime Limit) {
        TTimerRec* best = nullptr;
        for (auto& [id, rec] : Timers) {
            if (!rec.Running || rec.Due > Limit) continue;
            if (!best || rec.Due < best->Due || (rec.Due == best->Due && rec.Order < best->Order))
                best = &rec;
        }
        return best;
    }
};

class TLoopClock::TDriver : public aircon::ITimerDriver {
  public:
    explicit TDriver(std::shared_ptr<TState> State) : FState(std::move(State)) {
        FId = ++FState->NextId;
        FState->Timers[FId].OnFire = &OnFire;
    }
    ~TDriver() override { FState->Timers.erase(FId); }

    void Start(Millis Interval) override {
        auto& rec = FState->Timers[FId];
        rec.Running = true;
        rec.Interval = std::max(Interval, Millis(1));
        rec.Due = std::chrono::steady_clock::now() + rec.Interval;
        rec.Order = ++FState->NextOrder;
    }
    void Stop() override { FState->Timers[FId].Running = false; }

  private:
    std::shared_ptr<TState> FState;
    std::uint64_t FId = 0;
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
    return std::make_unique<TDriver>(FState);
}

std::optional<SteadyTime> TLoopClock::NextDue() const {
    if (const auto* rec = FState->NextDueBy(SteadyTime::max())) return rec->Due;
    return std::nullopt;
}

std::size_t TLoopClock::RunningTimers() const {
    return static_cast<std::size_t>(std::count_if(FState->Timers.begin(), FState->Timers.end(),
                                                  [](const auto& t) { return t.second.Running; }));
}

int TLoopClock::FireDue(SteadyTime Now) {
    const std::shared_ptr<TState> keep = FState;  // a tick may destroy the clock's owner
    int fired = 0;
    // Every re-armed deadline lies after Now, so each timer fires at most once here.
    while (TState::TTimerRec* rec = keep->NextDueBy(Now)) {
        SteadyTime next = rec->Due + rec->Interval;
        if (next <= Now) next = Now + rec->Interval;  // fell behind: keep the cadence from now
        rec->Due = next;
        rec->Order = ++keep->NextOrder;
        // Through a copy: the tick may destroy the timer or rebind its handler.
        const std::function<void()> fire = *rec->OnFire;
        ++fired;
        if (fire) fire();
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
