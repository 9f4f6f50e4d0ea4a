// The poller's stop requests on Windows: a console control event ends the loop's wait at once
// and is remembered as the signal it stands for; a closing console waits until the program has
// finished; a log-off is no request to stop; without a watcher the system's handling applies.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "EventLoop.h"
#include "Signals.h"

namespace airconpoll {
namespace {

using namespace std::chrono_literals;

// Ctrl+C and Ctrl+Break reach every process of the console's group, this one too: the way
// through the system. A process without a console gets none (so under Wine, which gives a test
// program no console of Windows' kind): the system cannot send the event then.
bool SendControl(DWORD Event) {
    return ::GenerateConsoleCtrlEvent(Event, 0) != 0;
}

// The handler as the system calls it: each event, what it asks of the loop and its name.
TEST(ConsoleControl, EachEventAsksWhatItMeans) {
    struct TCase {
        const char* What;
        DWORD Event;
        bool Stops;
        int Signal;
    };
    const TCase cases[] = {
        {"Ctrl+C", CTRL_C_EVENT, true, SIGINT},
        {"Ctrl+Break (a service wrapper's stop)", CTRL_BREAK_EVENT, true, SIGBREAK},
        {"some user logs off", CTRL_LOGOFF_EVENT, false, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TEventLoop loop;
        TSignalWatcher watcher(loop);
        EXPECT_TRUE(HandleConsoleControl(c.Event)) << "taken care of";
        EXPECT_EQ(loop.StopRequested(), c.Stops);
        EXPECT_EQ(watcher.Received(), c.Signal);
        EXPECT_TRUE(HandleConsoleControl(CTRL_C_EVENT));
        if (c.Stops) {
            EXPECT_EQ(watcher.Received(), c.Signal) << "the first request is named";
        }
    }
    // Nobody watching (before the poller starts, after it ended): the system's own handling.
    EXPECT_FALSE(HandleConsoleControl(CTRL_C_EVENT));
    EXPECT_FALSE(HandleConsoleControl(CTRL_CLOSE_EVENT));
}

// A closed console or a shutdown ends the process once the handler returns: the handler holds
// it until the program has finished (its watcher is gone), and no longer than the system waits.
TEST(ConsoleControl, AClosingConsoleWaitsForTheProgramToFinish) {
    for (const DWORD event : {DWORD{CTRL_CLOSE_EVENT}, DWORD{CTRL_SHUTDOWN_EVENT}}) {
        SCOPED_TRACE(event);
        TEventLoop loop;
        auto watcher = std::make_unique<TSignalWatcher>(loop);
        const auto start = std::chrono::steady_clock::now();
        auto handled =
            std::async(std::launch::async, [event] { return HandleConsoleControl(event); });
        // The program sees the request, finishes its work and destroys the watcher.
        while (!loop.StopRequested() && std::chrono::steady_clock::now() - start < 10s)
            loop.RunOnce(aircon::Millis(100));
        ASSERT_TRUE(loop.StopRequested());
        EXPECT_EQ(watcher->Received(), SIGTERM);
        EXPECT_EQ(handled.wait_for(200ms), std::future_status::timeout)
            << "the handler returned before the program finished";
        watcher.reset();
        ASSERT_EQ(handled.wait_for(4s), std::future_status::ready);
        EXPECT_TRUE(handled.get());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4500ms);
    }
}

TEST(ConsoleControl, CtrlCAndCtrlBreakEndTheLoopsWaitAndAreNamed) {
    struct TCase {
        DWORD Event;
        int Signal;
    };
    for (const TCase c : {TCase{CTRL_C_EVENT, SIGINT}, TCase{CTRL_BREAK_EVENT, SIGBREAK}}) {
        SCOPED_TRACE(c.Signal);
        TEventLoop loop;
        TSignalWatcher watcher(loop);
        EXPECT_EQ(watcher.Received(), 0);
        if (!SendControl(c.Event)) GTEST_SKIP() << "no console to send the event on";
        const auto start = std::chrono::steady_clock::now();
        while (!loop.StopRequested() && std::chrono::steady_clock::now() - start < 10s)
            loop.RunOnce(aircon::Millis(1000));
        EXPECT_TRUE(loop.StopRequested());
        EXPECT_EQ(watcher.Received(), c.Signal);
    }
}

}  // namespace
}  // namespace airconpoll
