#include "Clock.h"

namespace aircon {

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
