#include "Signals.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

namespace airconpoll {

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

struct TSignalWatcher::TState {
    std::atomic<int> Received{0};
    std::atomic<bool> Quit{false};
    std::thread Thread;
};

void TSignalWatcher::BlockSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatcher::TSignalWatcher(TEventLoop& Loop) : FState(std::make_unique<TState>()) {
    signal(SIGPIPE, SIG_IGN);
    BlockSignals();
    FState->Thread = std::thread([State = FState.get(), &Loop] {
        const sigset_t set = StopSignals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (State->Quit.load()) return;
            int none = 0;
            State->Received.compare_exchange_strong(none, sig);
            Loop.RequestStop();
        }
    });
}

TSignalWatcher::~TSignalWatcher() {
    FState->Quit.store(true);
    // Wakes the watcher; the signal is blocked everywhere, so it goes nowhere else.
    pthread_kill(FState->Thread.native_handle(), SIGTERM);
    FState->Thread.join();
}

int TSignalWatcher::Received() const {
    return FState->Received.load();
}

void PrepareStandardStreams() {}

std::vector<std::string> ProgramArguments(int Argc, char** Argv) {
    return std::vector<std::string>(Argv + (Argc > 0 ? 1 : 0), Argv + Argc);
}

}  // namespace airconpoll
