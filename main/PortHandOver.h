// Hands the serial port's events from its event thread to the GUI thread: the
// event thread wakes this object, and the GUI thread takes and handles the event
// from its event loop, one event at a time and in the order they were handed over.
#pragma once

#include <QObject>

#include "CPort.h"

class TPortHandOver : public QObject, public IComHandOver {
    Q_OBJECT
  public:
    explicit TPortHandOver(QObject* Owner = nullptr);

    // Event thread: queue a call of Port.ProcessHandOver() on this object's thread.
    void Wake(TCustomComPort& Port) override;

    // Number of events handled through this object so far.
    std::uint64_t Delivered() const { return FDelivered; }

  private:
    void Deliver(TCustomComPort* Port);

    bool FBusy = false;
    int FDeferred = 0;
    std::uint64_t FDelivered = 0;
};
