#include "Signals.h"

namespace airconpoll {

sigset_t TSignalWatcher::Set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

void TSignalWatcher::BlockSignals() {
    const sigset_t set = Set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatcher::TSignalWatcher(TEventLoop& Loop) : FLoop(Loop) {
    BlockSignals();
    FThread = std::thread([this] {
        const sigset_t set = Set();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (FQuit.load()) return;
            int none = 0;
            FReceived.compare_exchange_strong(none, sig);
            FLoop.RequestStop();
        }
    });
}

TSignalWatcher::~TSignalWatcher() {
    FQuit.store(true);
    // Wakes the watcher; the signal is blocked everywhere, so it goes nowhere else.
    pthread_kill(FThread.native_handle(), SIGTERM);
    FThread.join();
}

}  // namespace airconpoll
