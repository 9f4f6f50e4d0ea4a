#include "Timer.h"

TTimer::TTimer(QObject* Owner) : QObject(Owner) {
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setSingleShot(false);
    connect(&FTimer, &QTimer::timeout, this, [this] {
        if (OnTimer) OnTimer();
    });
    UpdateTimer();
}

void TTimer::SetInterval(int Value) {
    if (Value == FInterval) return;
    FInterval = Value;
    UpdateTimer();
}

void TTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    FTimer.stop();
    if (FEnabled && FInterval > 0) FTimer.start(FInterval);
}
