// The timer rule the poll and send cycle rely on, and the fake clock that drives it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "FakeClock.h"

namespace aircon {
namespace {

struct TTicks {
    TFakeClock& clock;
    std::vector<long long> at;
    std::function<void()> Recorder() {
        return [this] { at.push_back(clock.Elapsed().count()); };
    }
};

void RunTo(TFakeClock& c, long long ms) {
    c.AdvanceTo(c.Start() + Millis(ms));
}

// Each case: changes made at given times, then the ticks up to 2000 ms.
TEST(TimerRule, WhatRestartsTheCountdown) {
    struct TChange {
        long long at;
        std::optional<int> interval;
        std::optional<bool> enabled;
    };
    const struct {
        const char* what;
        int interval;
        bool enabled;
        std::vector<TChange> changes;
        std::vector<long long> ticks;
    } cases[] = {
        {"plain", 500, true, {}, {500, 1000, 1500, 2000}},
        {"starts off", 500, false, {}, {}},
        {"same interval changes nothing", 500, true, {{700, 500, {}}}, {500, 1000, 1500, 2000}},
        {"enabling a running timer changes nothing",
         500,
         true,
         {{700, {}, true}},
         {500, 1000, 1500, 2000}},
        {"new interval restarts", 500, true, {{700, 400, {}}}, {500, 1100, 1500, 1900}},
        {"off and on restarts", 500, true, {{700, {}, false}, {800, {}, true}}, {500, 1300, 1800}},
        {"off stops", 500, true, {{1200, {}, false}}, {500, 1000}},
        {"interval 0 never fires", 0, true, {}, {}},
        {"negative interval never fires", -5, true, {}, {}},
        {"a positive interval starts an enabled timer", 0, true, {{300, 600, {}}}, {900, 1500}},
        {"interval 0 stops a running one", 500, true, {{1100, 0, {}}}, {500, 1000}},
        {"disabled timer keeps a new interval for later",
         500,
         false,
         {{100, 300, {}}, {1000, {}, true}},
         {1300, 1600, 1900}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TFakeClock clock;
        TTicks ticks{clock, {}};
        TTimer timer(clock, c.interval, c.enabled);
        timer.OnTimer = ticks.Recorder();
        EXPECT_EQ(timer.Running(), c.enabled && c.interval > 0);
        for (const TChange& ch : c.changes) {
            RunTo(clock, ch.at);
            if (ch.interval) timer.SetInterval(*ch.interval);
            if (ch.enabled) timer.SetEnabled(*ch.enabled);
        }
        RunTo(clock, 2000);
        EXPECT_EQ(ticks.at, c.ticks);
        EXPECT_EQ(timer.Running(), timer.Enabled() && timer.Interval() > 0);
    }
}

TEST(TimerRule, ATickMayChangeItsOwnTimer) {
    TFakeClock clock;
    TTimer timer(clock, 100, true);
    std::vector<long long> at;
    timer.OnTimer = [&] {
        at.push_back(clock.Elapsed().count());
        timer.SetEnabled(false);  // like the send tick: off, then on again
        if (at.size() < 3) {
            timer.SetInterval(static_cast<int>(at.size()) * 250);
            timer.SetEnabled(true);
        }
    };
    RunTo(clock, 5000);
    EXPECT_EQ(at, (std::vector<long long>{100, 350, 850}));
    EXPECT_FALSE(timer.Running());
}

TEST(FakeClock, TimersFireInTimeOrderAndTiesInStartOrder) {
    TFakeClock clock;
    std::vector<std::string> log;
    TTimer a(clock, 300, true);
    TTimer b(clock, 200, true);
    TTimer c(clock, 600, true);
    a.OnTimer = [&] { log.push_back("a" + std::to_string(clock.Elapsed().count())); };
    b.OnTimer = [&] { log.push_back("b" + std::to_string(clock.Elapsed().count())); };
    c.OnTimer = [&] { log.push_back("c" + std::to_string(clock.Elapsed().count())); };
    RunTo(clock, 600);
    // At 600 all three fall due, in the order their countdowns started: c at 0, a at
    // 300, b at 400.
    EXPECT_EQ(log, (std::vector<std::string>{"b200", "a300", "b400", "c600", "a600", "b600"}));
}

TEST(FakeClock, ATickStoppingOrRestartingAnotherTimerIsHonoured) {
    TFakeClock clock;
    std::vector<std::string> log;
    TTimer first(clock, 500, true);
    TTimer second(clock, 500, true);  // due at the same moment, started later
    TTimer third(clock, 500, true);
    first.OnTimer = [&] {
        log.push_back("first" + std::to_string(clock.Elapsed().count()));
        second.SetEnabled(false);
        third.SetInterval(50);  // restarted from now
    };
    second.OnTimer = [&] { log.push_back("second"); };
    third.OnTimer = [&] {
        log.push_back("third" + std::to_string(clock.Elapsed().count()));
        third.SetEnabled(false);
    };
    RunTo(clock, 560);
    EXPECT_EQ(log, (std::vector<std::string>{"first500", "third550"}));
}

TEST(FakeClock, ATickMayDestroyATimer) {
    TFakeClock clock;
    auto victim = std::make_unique<TTimer>(clock, 100, true);
    int victimTicks = 0;
    victim->OnTimer = [&] { ++victimTicks; };
    TTimer killer(clock, 100, true);  // due with the victim, fires after it
    killer.OnTimer = [&] { victim.reset(); };
    RunTo(clock, 1000);
    EXPECT_EQ(victimTicks, 1);
    EXPECT_EQ(clock.RunningTimers(), 1u);
    // And a timer may destroy itself.
    auto self = std::make_unique<TTimer>(clock, 10, true);
    self->OnTimer = [&] { self.reset(); };
    RunTo(clock, 2000);
    EXPECT_FALSE(self);
}

TEST(FakeClock, BlockDelaysTimersWhichThenFireOnceLate) {
    TFakeClock clock;
    TTicks ticks{clock, {}};
    TTimer timer(clock, 100, true);
    timer.OnTimer = ticks.Recorder();
    RunTo(clock, 150);
    clock.Block(Millis(330));  // 480: the ticks of 200, 300 and 400 are missed
    EXPECT_EQ(clock.Elapsed().count(), 480);
    EXPECT_TRUE(ticks.at == std::vector<long long>{100});
    RunTo(clock, 700);
    EXPECT_EQ(ticks.at, (std::vector<long long>{100, 480, 580, 680}));
}

TEST(FakeClock, TimeAndCalendarMoveTogether) {
    using namespace std::chrono;
    const WallTime start = sys_days(year(2025) / March / 4) + hours(8);
    TFakeClock clock(start);
    EXPECT_EQ(clock.Now(), clock.Start());
    EXPECT_EQ(clock.WallNow(), start);
    clock.Advance(Millis(1500));
    clock.Block(Millis(250));
    EXPECT_EQ(clock.Now() - clock.Start(), milliseconds(1750));
    EXPECT_EQ(clock.WallNow() - start, milliseconds(1750));
    EXPECT_NE(clock.Start(), SteadyTime{});
    EXPECT_EQ(TFakeClock().WallNow(), sys_days(year(2024) / January / 1));
}

TEST(FakeClock, AdvanceFromATickIsRefused) {
    TFakeClock clock;
    TTimer timer(clock, 100, true);
    bool refused = false;
    timer.OnTimer = [&] {
        try {
            clock.Advance(Millis(10));
        } catch (const std::logic_error&) {
            refused = true;
        }
        timer.SetEnabled(false);
    };
    RunTo(clock, 100);
    EXPECT_TRUE(refused);
    EXPECT_EQ(clock.Elapsed().count(), 100);
    RunTo(clock, 300);  // usable again afterwards
    EXPECT_EQ(clock.Elapsed().count(), 300);
}

TEST(FakeClock, NextDueAndRunningTimers) {
    TFakeClock clock;
    EXPECT_FALSE(clock.NextDue());
    TTimer a(clock, 300, true);
    TTimer b(clock, 0, true);
    EXPECT_EQ(clock.RunningTimers(), 1u);
    EXPECT_EQ(clock.NextDue(), clock.Start() + Millis(300));
    b.SetInterval(100);
    EXPECT_EQ(clock.NextDue(), clock.Start() + Millis(100));
    a.SetEnabled(false);
    b.SetEnabled(false);
    EXPECT_FALSE(clock.NextDue());
}

TEST(FakeClock, TimersMayOutliveTheClock) {
    auto clock = std::make_unique<TFakeClock>();
    TTimer timer(*clock, 100, true);
    clock.reset();
    timer.SetInterval(200);  // still safe: the driver keeps what it needs
    EXPECT_TRUE(timer.Running());
}

}  // namespace
}  // namespace aircon
