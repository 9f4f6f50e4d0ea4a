// The monitoring core's clock and timers on Qt: steady and calendar time from the
// standard clocks, countdowns as precise QTimers on the thread that creates them.
// Qt Core only, so that a program without a window can drive the core with it too.
#pragma once

#include <QObject>

#include "Clock.h"

class QTimer;

namespace aircon {

class TQtClock : public IClock {
  public:
    // Timers are owned by whoever creates them; Parent only names their QObjects'
    // parent, so that they can be found by name (Name given to CreateTimer).
    explicit TQtClock(QObject* Parent = nullptr) : FParent(Parent) {}

    SteadyTime Now() const override;
    WallTime WallNow() const override;
    std::unique_ptr<ITimerDriver> CreateTimer() override;
    // A timer whose QTimer carries Name as its object name ("Timer1", "Timer2").
    std::unique_ptr<ITimerDriver> CreateNamedTimer(const QString& Name);

  private:
    QObject* FParent;
};

}  // namespace aircon
