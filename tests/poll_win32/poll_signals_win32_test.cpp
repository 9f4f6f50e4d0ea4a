// The poller's stop requests on Windows: a console control event ends the loop's wait at once
// and is remembered as the signal it stands for; without a watcher nothing is asked of the loop.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include "EventLoop.h"
#include "Signals.h"

namespace airconpoll {
namespace {

using namespace std::chrono_literals;

// Ctrl+C and Ctrl+Break reach every process of the console's group, this one too. A process
// started without a console gets none: the system cannot send the event then.
bool SendControl(DWORD Event) {
    return ::GenerateConsoleCtrlEvent(Event, 0) != 0;
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

TEST(ConsoleControl, OnlyTheFirstRequestIsNamed) {
    TEventLoop loop;
    TSignalWatcher watcher(loop);
    if (!SendControl(CTRL_BREAK_EVENT)) GTEST_SKIP() << "no console to send the event on";
    const auto start = std::chrono::steady_clock::now();
    while (!loop.StopRequested() && std::chrono::steady_clock::now() - start < 10s)
        loop.RunOnce(aircon::Millis(1000));
    ASSERT_TRUE(SendControl(CTRL_C_EVENT));
    // The second event is handled on the system's thread; give it time to arrive.
    const auto until = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < until)
        loop.RunOnce(aircon::Millis(50));
    EXPECT_EQ(watcher.Received(), SIGBREAK);
}

}  // namespace
}  // namespace airconpoll
