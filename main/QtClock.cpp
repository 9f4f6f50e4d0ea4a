#include "QtClock.h"

#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <chrono>

namespace aircon {

namespace {

class TQtTimerDriver : public ITimerDriver {
  public:
    TQtTimerDriver(QObject* Parent, const QString& Name) : FTimer(new QTimer(Parent)) {
        FTimer->setObjectName(Name);
        // Coarse timers may fire up to 5 % early or late; the poll time-line needs
        // its ticks where they were asked for.
        FTimer->setTimerType(Qt::PreciseTimer);
        QObject::connect(FTimer, &QTimer::timeout, [this] {
            if (OnFire) OnFire();
        });
    }
    ~TQtTimerDriver() override { delete FTimer.data(); }
    TQtTimerDriver(const TQtTimerDriver&) = delete;
    TQtTimerDriver& operator=(const TQtTimerDriver&) = delete;

    void Start(Millis Interval) override {
        if (FTimer) FTimer->start(static_cast<int>(std::max<Millis::rep>(1, Interval.count())));
    }
    void Stop() override {
        if (FTimer) FTimer->stop();
    }

  private:
    // Deleted with the driver; a parent that went first has taken it along.
    QPointer<QTimer> FTimer;
};

}  // namespace

SteadyTime TQtClock::Now() const {
    return std::chrono::steady_clock::now();
}

WallTime TQtClock::WallNow() const {
    return std::chrono::system_clock::now();
}

std::unique_ptr<ITimerDriver> TQtClock::CreateTimer() {
    return CreateNamedTimer(QString());
}

std::unique_ptr<ITimerDriver> TQtClock::CreateNamedTimer(const QString& Name) {
    return std::make_unique<TQtTimerDriver>(FParent, Name);
}

}  // namespace aircon
