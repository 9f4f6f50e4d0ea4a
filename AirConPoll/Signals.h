// SIGTERM, SIGINT and SIGHUP as a request to stop the loop.
//
// The signals are blocked in every thread (the mask is set before any thread is made,
// so the serial component's event thread inherits it) and taken by one watcher thread
// with sigwait, which asks the loop to stop. No system call of another thread is ever
// interrupted by them.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "EventLoop.h"

namespace airconpoll {

class TSignalWatcher {
  public:
    // Blocks the signals in the calling thread; call before any other thread starts.
    static void BlockSignals();

    explicit TSignalWatcher(TEventLoop& Loop);
    ~TSignalWatcher();
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

    // The signal that asked to stop, 0 while none came.
    int Received() const { return FReceived.load(); }

  private:
    static sigset_t Set();
    TEventLoop& FLoop;
    std::atomic<int> FReceived{0};
    std::atomic<bool> FQuit{false};
    std::thread FThread;
};

}  // namespace airconpoll
