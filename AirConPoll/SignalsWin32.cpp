#include <fcntl.h>
#include <io.h>
#include <windows.h>
// (after windows.h)
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>

#include "Signals.h"
#include "Win32Text.h"

namespace airconpoll {

namespace {

// The system calls the handler on a thread of its own; it finds the watcher here.
std::mutex WatcherLock;
std::condition_variable WatcherGone;
TEventLoop* WatchedLoop = nullptr;
std::atomic<int>* WatchedReceived = nullptr;

// How long a closing console or a shutdown waits for the program to finish: the system gives
// a console program 5 s after a close before it ends it anyway.
constexpr auto LongestFinish = std::chrono::milliseconds(4500);

}  // namespace

bool HandleConsoleControl(unsigned long Event) {
    int sig = 0;
    switch (Event) {
        case CTRL_C_EVENT:
            sig = SIGINT;
            break;
        case CTRL_BREAK_EVENT:
            sig = SIGBREAK;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            sig = SIGTERM;
            break;
        case CTRL_LOGOFF_EVENT:
            return true;  // some user logged off: a service goes on
        default:
            return false;
    }
    std::unique_lock lock(WatcherLock);
    if (!WatchedLoop) return false;  // none watches: the system's own handling
    int none = 0;
    WatchedReceived->compare_exchange_strong(none, sig);
    WatchedLoop->RequestStop();
    if (sig == SIGTERM) {
        // The process ends when this returns: let the program finish first.
        WatcherGone.wait_for(lock, LongestFinish, [] { return WatchedLoop == nullptr; });
    }
    return true;
}

namespace {

BOOL WINAPI OnConsoleControl(DWORD Event) {
    return HandleConsoleControl(Event) ? TRUE : FALSE;
}

}  // namespace

struct TSignalWatcher::TState {
    std::atomic<int> Received{0};
};

void TSignalWatcher::BlockSignals() {}

TSignalWatcher::TSignalWatcher(TEventLoop& Loop) : FState(std::make_unique<TState>()) {
    {
        std::lock_guard lock(WatcherLock);
        WatchedLoop = &Loop;
        WatchedReceived = &FState->Received;
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TSignalWatcher::~TSignalWatcher() {
    {
        std::lock_guard lock(WatcherLock);
        WatchedLoop = nullptr;
        WatchedReceived = nullptr;
    }
    WatcherGone.notify_all();
    // A handler that runs now finds no watcher and leaves the event to the system; the
    // handler stays registered, as the system may call it on its thread at any moment.
}

int TSignalWatcher::Received() const {
    return FState->Received.load();
}

void PrepareStandardStreams() {
    // Chinese texts read right on the console, and the output is the same bytes as elsewhere.
    ::SetConsoleOutputCP(CP_UTF8);
    std::fflush(stdout);
    std::fflush(stderr);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

std::vector<std::string> ProgramArguments(int Argc, char** Argv) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(Argv + (Argc > 0 ? 1 : 0), Argv + Argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
        args.push_back(platform::Narrow(wide[i]));
    }
    ::LocalFree(wide);
    return args;
}

}  // namespace airconpoll
