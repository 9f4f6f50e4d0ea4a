// The poller's loop: timers that fire in deadline order on the main thread and follow the
// monitoring core's timer rule, a late timer that fires once and keeps its cadence, and a
// wait that ends at once for a port event or a request to stop from another thread.
#include "EventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace airconpoll {
namespace {

using namespace std::chrono_literals;
using aircon::TTimer;

TEST(LoopClock, TimersFireInDeadlineOrderAndMayStopOrDestroyTimers) {
    TLoopClock clock;
    std::vector<std::string> fired;
    auto a = std::make_unique<TTimer>(clock, 30, true);
    auto b = std::make_unique<TTimer>(clock, 10, true);
    TTimer c(clock, 20, true);
    a->OnTimer = [&] { fired.push_back("a"); };
    b->OnTimer = [&] {
        fired.push_back("b");
        a.reset();  // a tick destroys another timer
    };
    c.OnTimer = [&] {
        fired.push_back("c");
        c.SetEnabled(false);  // and stops itself
    };
    ASSERT_TRUE(clock.NextDue());
    const auto start = clock.Now();
    // All three are due 40 ms on: each fires once, earliest deadline first.
    EXPECT_EQ(clock.FireDue(start + 40ms), 2);
    EXPECT_EQ(fired, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(clock.RunningTimers(), 1u);  // b goes on
    EXPECT_GT(*clock.NextDue(), start + 40ms);
}

TEST(LoopClock, ALateTimerFiresOnceAndKeepsItsCadence) {
    TLoopClock clock;
    int ticks = 0;
    TTimer t(clock, 100, true);
    t.OnTimer = [&] { ++ticks; };
    const auto due = *clock.NextDue();
    // The loop was busy for 3.5 intervals: one tick, and the next one interval after it.
    EXPECT_EQ(clock.FireDue(due + 350ms), 1);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(*clock.NextDue(), due + 350ms + 100ms);
    // On time: the next deadline follows the last one, not the moment of firing.
    EXPECT_EQ(clock.FireDue(due + 450ms + 7ms), 1);
    EXPECT_EQ(*clock.NextDue(), due + 550ms);
}

TEST(LoopClock, TheTimerRuleOnThisClock) {
    TLoopClock clock;
    TTimer t(clock, 0, true);
    EXPECT_FALSE(clock.NextDue()) << "an interval of 0 never fires";
    t.SetInterval(200);
    const auto first = *clock.NextDue();
    t.SetInterval(200);
    t.SetEnabled(true);
    EXPECT_EQ(*clock.NextDue(), first) << "setting the same values changes nothing";
    std::this_thread::sleep_for(2ms);
    t.SetInterval(300);
    EXPECT_GT(*clock.NextDue(), first + 100ms) << "a new interval starts afresh";
    t.SetEnabled(false);
    EXPECT_FALSE(clock.NextDue());
}

TEST(EventLoop, RunOnceWaitsForTheNextTimer) {
    TEventLoop loop;
    int ticks = 0;
    TTimer t(loop.Clock(), 40, true);
    t.OnTimer = [&] { ++ticks; };
    const auto start = std::chrono::steady_clock::now();
    while (ticks < 3)
        loop.RunOnce(5s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 115ms);
    EXPECT_LT(took, 3s) << "generous: a busy machine";
}

TEST(EventLoop, AStopRequestFromAnotherThreadEndsTheWaitAtOnce) {
    TEventLoop loop;
    TTimer idle(loop.Clock(), 60000, true);  // nothing due for a minute
    std::thread other([&] {
        std::this_thread::sleep_for(50ms);
        loop.RequestStop();
    });
    const auto start = std::chrono::steady_clock::now();
    loop.RunOnce(60s);
    const auto took = std::chrono::steady_clock::now() - start;
    other.join();
    EXPECT_TRUE(loop.StopRequested());
    EXPECT_LT(took, 5s);
    // Once stopped, a wait returns at once.
    const auto again = std::chrono::steady_clock::now();
    loop.RunOnce(60s);
    EXPECT_LT(std::chrono::steady_clock::now() - again, 1s);
}

TEST(EventLoop, AWakeEndsTheWaitAndTheTimersStillFire) {
    TEventLoop loop;
    TCustomComPort port;  // never opened: a wake only ends the wait
    loop.SetPort(&port);
    TTimer idle(loop.Clock(), 60000, true);
    std::thread other([&] {
        std::this_thread::sleep_for(50ms);
        loop.Wake(port);
    });
    const auto start = std::chrono::steady_clock::now();
    loop.RunOnce(60s);
    other.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(loop.StopRequested());
    // A wake that came before the wait is not lost.
    loop.Wake(port);
    const auto again = std::chrono::steady_clock::now();
    loop.RunOnce(60s);
    EXPECT_LT(std::chrono::steady_clock::now() - again, 1s);
    loop.SetPort(nullptr);
}

}  // namespace
}  // namespace airconpoll
