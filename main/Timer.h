// A window timer with the semantics the poll and send cycle rely on.
//
// Setting the interval or the enabled flag to the value it already has changes
// nothing; a new interval, or switching from off to on, restarts the countdown
// from that moment; switching off stops it; an interval of 0 never fires.
// A plain QTimer restarts its countdown on every start()/setInterval(), and an
// interval of 0 makes it fire on every pass of the event loop, hence this wrapper.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

class TTimer : public QObject {
    Q_OBJECT
  public:
    explicit TTimer(QObject* Owner = nullptr);

    int Interval() const { return FInterval; }
    void SetInterval(int Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    // True while a countdown is actually running (enabled with a non-zero interval).
    bool Running() const { return FTimer.isActive(); }

    // Called on every tick, on the thread that owns the timer.
    std::function<void()> OnTimer;

  private:
    void UpdateTimer();

    QTimer FTimer;
    int FInterval = 1000;
    bool FEnabled = true;
};
