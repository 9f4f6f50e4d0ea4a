#include "FakeClock.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace aircon {

struct TFakeClock::TState {
    struct TTimerRec {
        bool Running = false;
        Millis Interval{};
        SteadyTime Due{};
        std::uint64_t Order = 0;  // when its countdown started: breaks ties of Due
        std::function<void()>* OnFire = nullptr;
    };

    SteadyTime Start{};
    SteadyTime Now{};
    WallTime WallStart{};
    std::map<std::uint64_t, TTimerRec> Timers;
    std::uint64_t NextId = 0;
    std::uint64_t NextOrder = 0;
    bool Advancing = false;

    // The running timer that falls due first, at or before Limit.
    TTimerRec* NextDueBy(SteadyTime Limit, std::uint64_t& Id) {
        TTimerRec* best = nullptr;
        for (auto& [id, rec] : Timers) {
            if (!rec.Running || rec.Due > Limit) continue;
            if (!best || rec.Due < best->Due || (rec.Due == best->Due && rec.Order < best->Order)) {
                best = &rec;
                Id = id;
            }
        }
        return best;
    }
};

class TFakeClock::TDriver : public ITimerDriver {
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
        rec.Due = FState->Now + rec.Interval;
        rec.Order = ++FState->NextOrder;
    }
    void Stop() override { FState->Timers[FId].Running = false; }

  private:
    std::shared_ptr<TState> FState;
    std::uint64_t FId = 0;
};

TFakeClock::TFakeClock(WallTime WallStart) : FState(std::make_shared<TState>()) {
    // An hour past the epoch of the steady clock, so that no time point of a test is
    // the default-constructed one.
    FState->Start = SteadyTime(std::chrono::hours(1));
    FState->Now = FState->Start;
    FState->WallStart = WallStart;
}

TFakeClock::~TFakeClock() = default;

WallTime TFakeClock::DefaultWallStart() {
    using namespace std::chrono;
    return sys_days(year(2024) / January / 1);
}

SteadyTime TFakeClock::Now() const {
    return FState->Now;
}

WallTime TFakeClock::WallNow() const {
    return FState->WallStart +
           std::chrono::duration_cast<WallTime::duration>(FState->Now - FState->Start);
}

std::unique_ptr<ITimerDriver> TFakeClock::CreateTimer() {
    return std::make_unique<TDriver>(FState);
}

void TFakeClock::Advance(Millis Span) {
    AdvanceTo(FState->Now + Span);
}

void TFakeClock::AdvanceTo(SteadyTime When) {
    TState& s = *FState;
    if (s.Advancing) throw std::logic_error("TFakeClock::Advance called from a timer's tick");
    s.Advancing = true;
    struct TReset {
        TState& s;
        ~TReset() { s.Advancing = false; }
    } reset{s};
    const std::shared_ptr<TState> keep = FState;  // a tick may destroy the clock's owner
    std::uint64_t id = 0;
    while (TState::TTimerRec* rec = s.NextDueBy(When, id)) {
        // A timer that fell due during a Block fires late, at the present moment.
        s.Now = std::max(s.Now, rec->Due);
        rec->Due = s.Now + rec->Interval;
        rec->Order = ++s.NextOrder;
        // Through a copy: the tick may destroy the timer or rebind its handler.
        const std::function<void()> fire = *rec->OnFire;
        if (fire) fire();
    }
    s.Now = std::max(s.Now, When);
}

void TFakeClock::Block(Millis Span) {
    FState->Now += Span;
}

SteadyTime TFakeClock::Start() const {
    return FState->Start;
}

Millis TFakeClock::Elapsed() const {
    return std::chrono::duration_cast<Millis>(FState->Now - FState->Start);
}

std::optional<SteadyTime> TFakeClock::NextDue() const {
    std::uint64_t id = 0;
    if (const auto* rec = FState->NextDueBy(SteadyTime::max(), id)) return rec->Due;
    return std::nullopt;
}

std::size_t TFakeClock::RunningTimers() const {
    return static_cast<std::size_t>(std::count_if(FState->Timers.begin(), FState->Timers.end(),
                                                  [](const auto& t) { return t.second.Running; }));
}

}  // namespace aircon
