#include "FakeClock.h"

#include <algorithm>
#include <stdexcept>

namespace aircon {

struct TFakeClock::TState {
    SteadyTime Start{};
    SteadyTime Now{};
    WallTime WallStart{};
    std::shared_ptr<util::TTimerTable> Timers = std::make_shared<util::TTimerTable>();
    bool Advancing = false;
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
    // The timer reads the time through its own share of the state: it may outlive the clock.
    return std::make_unique<TTableTimer>(FState->Timers, [state = FState] { return state->Now; });
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
    while (auto due = s.Timers->TakeDue(When, s.Now)) {
        // A timer that fell due during a Block fires late, at the present moment.
        s.Now = std::max(s.Now, due->Due);
        if (due->Fire) due->Fire();
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
    return FState->Timers->NextDue();
}

std::size_t TFakeClock::RunningTimers() const {
    return FState->Timers->Running();
}

}  // namespace aircon
