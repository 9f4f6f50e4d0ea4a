// The system's requests to stop as a request to stop the loop.
//
// POSIX (Signals.cpp): SIGTERM, SIGINT and SIGHUP. The signals are blocked in every thread (the
// mask is set before any thread is made, so the serial component's event thread inherits it) and
// taken by one watcher thread with sigwait, which asks the loop to stop. No system call of another
// thread is ever interrupted by them. From then on a closed standard output is noticed by the
// failed write, not by SIGPIPE.
//
// Windows (SignalsWin32.cpp): the console's control events. Ctrl+C and Ctrl+Break (also what a
// service wrapper sends to stop a console program) ask the loop to stop; closing the console
// window, and the system shutting down, ask it too and wait until the program has finished
// (the watcher is destroyed), since the system ends the process once the handler returns. A
// user logging off does not stop it.
#pragma once

#include <memory>
#include <string>
#include <vector>

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

    // The signal that asked to stop (on Windows SIGINT for Ctrl+C, SIGBREAK for Ctrl+Break,
    // SIGTERM for a closed console or a shutdown), 0 while none came.
    int Received() const;

  private:
    struct TState;
    std::unique_ptr<TState> FState;
};

#ifdef _WIN32
// What the console's control handler does with an event (CTRL_C_EVENT and the others): true
// when it is taken care of. The system calls it on a thread of its own; tests call it directly.
bool HandleConsoleControl(unsigned long Event);
#endif

// Prepares the standard streams before anything is written: on Windows the console shows UTF-8
// (the Chinese texts) and the streams carry the same bytes as elsewhere, lines ending in a line
// feed; elsewhere nothing needs doing.
void PrepareStandardStreams();

// The program's arguments after its name, in UTF-8 (on Windows read from the system's UTF-16
// command line, so that a path with Chinese letters arrives whole whatever the code page).
std::vector<std::string> ProgramArguments(int Argc, char** Argv);

}  // namespace airconpoll
