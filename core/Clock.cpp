#include "Clock.h"

namespace aircon {

TTableTimer::TTableTimer(std::shared_ptr<util::TTimerTable> Table, std::function<SteadyTime()> Now)
    : FTable(std::move(Table)), FNow(std::move(Now)), FId(FTable->Add(&OnFire)) {}

TTableTimer::~TTableTimer() {
    FTable->Remove(FId);
}

void TTableTimer::Start(Millis Interval) {
    FTable->Start(FId, Interval, FNow());
}

void TTableTimer::Stop() {
    FTable->Stop(FId);
}

TTimer::TTimer(IClock& Clock, int Interval, bool Enabled)
    : FDriver(Clock.CreateTimer()), FInterval(Interval), FEnabled(Enabled) {
    // Called through a copy, so a tick may rebind OnTimer or destroy the timer.
    FDriver->OnFire = [this] {
        if (const std::function<void()> handler = OnTimer) handler();
    };
    Update();
}

void TTimer::SetInterval(int Value) {
    if (Value == FInterval) return;
    FInterval = Value;
    Update();
}

void TTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    Update();
}

void TTimer::Update() {
    FDriver->Stop();
    FRunning = FEnabled && FInterval > 0;
    if (FRunning) FDriver->Start(Millis(FInterval));
}

}  // namespace aircon
