#include "PortHandOver.h"

#include <QMetaObject>

TPortHandOver::TPortHandOver(QObject* Owner) : QObject(Owner) {}

void TPortHandOver::Wake(TCustomComPort& Port) {
    // Queued calls die with this object, so a late wake after the window is gone
    // never reaches a destroyed component.
    TCustomComPort* port = &Port;
    QMetaObject::invokeMethod(
        this, [this, port] { Deliver(port); }, Qt::QueuedConnection);
}

void TPortHandOver::Deliver(TCustomComPort* Port) {
    // A handler that runs a local event loop (a modal box) must not have a second
    // event handled inside it: remember the wake and handle it afterwards.
    if (FBusy) {
        ++FDeferred;
        return;
    }
    FBusy = true;
    if (Port->ProcessHandOver()) ++FDelivered;
    while (FDeferred > 0) {
        --FDeferred;
        if (Port->ProcessHandOver()) ++FDelivered;
    }
    FBusy = false;
}
