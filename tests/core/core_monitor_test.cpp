// The monitoring core on a fake clock: the poll and send cycle, the senders, the
// link lifecycle and the reply intake, as tables of (time, what happens) -> (frames
// sent, events raised).
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "CoreTestSupport.h"

namespace coretest {
namespace {

// One step of a sequence: at At ms the clock has run (firing the timers due on the
// way), then Do runs; Events are the events raised since the previous step.
struct TStep {
    long long At;
    std::function<void(TRig&)> Do;
    std::vector<std::string> Events;
    std::optional<std::vector<std::uint8_t>> Queue = std::nullopt;  // the queue afterwards
};

void RunSteps(TRig& Rig, const std::vector<TStep>& Steps) {
    for (const TStep& s : Steps) {
        Rig.RunTo(s.At);
        if (s.Do) s.Do(Rig);
        EXPECT_EQ(Rig.Rec.Take(), s.Events) << "at " << s.At;
        if (s.Queue) {
            EXPECT_EQ(Rig.QueuedCid2(), *s.Queue) << "at " << s.At;
        }
    }
}

std::function<void(TRig&)> Press(std::uint8_t Cid2, std::uint8_t Param = 0,
                                 std::uint16_t Value = 0) {
    return [=](TRig& r) { r.Monitor.QueueCommand(TIntCMD{Cid2, Param, Value}); };
}

const std::string kAnalog = Reply(0, AnalogInfo());    // 94 characters
const std::string kSwitches = Reply(0, SwitchInfo());  // 42 characters
const std::string kAlarms = Reply(0, AlarmInfo());     // 94 characters

// ---------------------------------------------------------------------------
// Poll and send cycle

// The poll timer runs from the start, so the first poll tick after opening at 0 comes
// at 500; each poll command leaves one reply time-out later, or when the send timer
// next fires.
TEST(MonitorCycle, DefaultTimeLine) {
    TRig rig;
    TResponder controller(rig.Clock, rig.Link, rig.Monitor);
    controller.Answers = NormalAnswer;
    RunSteps(
        rig,
        {
            {0, [](TRig& r) { r.Open(); }, {"0 opened ttyV0"}, std::vector<std::uint8_t>{}},
            {500, {}, {}, std::vector<std::uint8_t>{0x42}},
            {849, {}, {}, std::vector<std::uint8_t>{0x42}},
            {850, {}, {"850 sent 42 addr 1"}, std::vector<std::uint8_t>{}},
            {870,
             {},
             {"870 frame ok 94 rt 20", "870 reply rtn 00 to 42 info 38", "870 decoded 42 analog"}},
            {1000, {}, {}, std::vector<std::uint8_t>{0x43}},
            {1200, {}, {"1200 sent 43 addr 1"}, std::vector<std::uint8_t>{}},
            {1220,
             {},
             {"1220 frame ok 42 rt 20", "1220 reply rtn 00 to 43 info 12",
              "1220 decoded 43 switches"}},
            {1500, {}, {}, std::vector<std::uint8_t>{0x44}},
            {1550, {}, {"1550 sent 44 addr 1"}, std::vector<std::uint8_t>{}},
            {1570,
             {},
             {"1570 frame ok 94 rt 20", "1570 reply rtn 00 to 44 info 38",
              "1570 decoded 44 alarms"}},
            // 1900: the send tick finds the queue empty and the send timer stops.
            {1900, {}, {}, std::vector<std::uint8_t>{}},
            {1901, [](TRig& r) { EXPECT_FALSE(r.Monitor.SendTimer().Running()); }, {}},
            {2000, {}, {}, std::vector<std::uint8_t>{0x42}},
            {2350, {}, {"2350 sent 42 addr 1"}, std::vector<std::uint8_t>{}},
        });
}

TEST(MonitorCycle, DefaultTimeLineRepeatsEvery1500Ms) {
    TRig rig;
    rig.Open();
    rig.RunTo(10000);
    // Poll ticks at 500, 1000, ...; the command of the tick at t leaves at t + 350,
    // t + 200 or t + 50 by its place in the cycle.
    std::vector<std::pair<long long, std::string>> expected;
    for (long long tick = 500; tick + 350 <= 10000; tick += 1500) {
        expected.push_back({tick + 350, BuildCommandText(0x42)});
        if (tick + 700 <= 10000) expected.push_back({tick + 700, BuildCommandText(0x43)});
        if (tick + 1050 <= 10000) expected.push_back({tick + 1050, BuildCommandText(0x44)});
    }
    std::vector<std::pair<long long, std::string>> got;
    for (const auto& w : rig.Link.Writes)
        got.push_back({w.At, w.Frame});
    EXPECT_EQ(got, expected);
}

TEST(MonitorCycle, ShortPollIntervalKeepsOnePollCommandWaiting) {
    TRig rig;
    rig.Inputs.Interval = 200;
    rig.Open();
    rig.RunTo(1);  // the first poll tick sets the interval to 200 at 500
    std::size_t longest = 0;
    for (long long t = 2; t <= 6000; ++t) {
        rig.RunTo(t);
        longest = std::max(longest, rig.Monitor.Queue().size());
    }
    EXPECT_EQ(longest, 1u);
    // Five poll ticks a second, fewer than three sends: the poll commands still go
    // out in turn, one reply time-out apart.
    ASSERT_GE(rig.Link.Writes.size(), 10u);
    for (std::size_t i = 0; i < rig.Link.Writes.size(); ++i) {
        static const std::uint8_t order[] = {0x42, 0x43, 0x44};
        EXPECT_EQ(rig.Link.Writes[i].Frame, BuildCommandText(order[i % 3])) << i;
        if (i > 0) {
            EXPECT_GE(rig.Link.Writes[i].At - rig.Link.Writes[i - 1].At, 350) << i;
        }
    }
    // Closing the link releases what waits.
    rig.Close();
    EXPECT_TRUE(rig.Monitor.Queue().empty());
}

TEST(MonitorCycle, ButtonCommandsQueueBehindPollCommands) {
    TRig rig;
    RunSteps(
        rig,
        {
            {0, [](TRig& r) { r.Open(); }, {"0 opened ttyV0"}},
            {500, {}, {}, std::vector<std::uint8_t>{0x42}},
            {600, Press(0x45, 0x10), {}, std::vector<std::uint8_t>{0x42, 0x45}},
            {700,
             [](TRig& r) {
                 for (int i = 0; i < 5; ++i)
                     r.Monitor.QueueCommand(TIntCMD{0x47, 0, 0});
             },
             {},
             std::vector<std::uint8_t>{0x42, 0x45, 0x47, 0x47, 0x47, 0x47, 0x47}},
            {850, {}, {"850 sent 42 addr 1"}},
            // The poll tick at 1000 finds no poll command waiting and queues 0x43 last.
            {1000, {}, {}, std::vector<std::uint8_t>{0x45, 0x47, 0x47, 0x47, 0x47, 0x47, 0x43}},
            {1200,
             {},
             {"1200 missing 42 sent 850 timeout 350", "1200 sent 45 addr 1 param 10 value 0"}},
            // While a poll command waits, the poll ticks add nothing: 0x43 waits behind
            // the button commands until 2950.
            {2999, [](TRig& r) { r.Rec.Take(); }, {}, std::vector<std::uint8_t>{0x43}},
        });
    const auto q = rig.QueuedCid2();
    EXPECT_EQ(std::count(q.begin(), q.end(), 0x43) + std::count(q.begin(), q.end(), 0x44), 1);
    EXPECT_EQ(rig.Link.Writes[1].Frame, "~10016045E00210FD37\r");
}

TEST(MonitorCycle, ReadButtonBeforeAnyPollTickLeavesAfter500Ms) {
    TRig rig;
    rig.Inputs.Auto = false;
    rig.RunTo(100);
    rig.Open();
    rig.Monitor.QueueCommand(TIntCMD{0x43, 0, 0});
    rig.RunTo(599);
    EXPECT_TRUE(rig.Link.Writes.empty());
    rig.RunTo(600);
    ASSERT_EQ(rig.Link.Writes.size(), 1u);
    EXPECT_EQ(rig.Link.Writes[0].Frame, BuildCommandText(0x43));
    // With automatic polling off nothing is polled.
    rig.RunTo(5000);
    EXPECT_EQ(rig.Link.Writes.size(), 1u);
}

TEST(MonitorCycle, ReplyTimeOutZeroStopsSendingUntilCorrected) {
    TRig rig;
    rig.Inputs.Timeout = 0;
    RunSteps(rig, {
                      {0, [](TRig& r) { r.Open(); }, {"0 opened ttyV0"}},
                      {500, {}, {}, std::vector<std::uint8_t>{0x42}},
                      {1000,
                       [](TRig& r) {
                           EXPECT_TRUE(r.Monitor.SendTimer().Enabled());
                           EXPECT_FALSE(r.Monitor.SendTimer().Running());
                       },
                       {},
                       std::vector<std::uint8_t>{0x42}},
                      {1200, [](TRig& r) { r.Inputs.Timeout = 350; }, {}},
                      // The next poll tick appends nothing (0x42 still waits) but sets the
                      // reply time-out, which restarts the send timer.
                      {1500, {}, {}, std::vector<std::uint8_t>{0x42}},
                      {1850, {}, {"1850 sent 42 addr 1"}, std::vector<std::uint8_t>{}},
                      {2000, {}, {}, std::vector<std::uint8_t>{0x43}},
                      {2200, {}, {"2200 missing 42 sent 1850 timeout 350", "2200 sent 43 addr 1"}},
                  });
}

TEST(MonitorCycle, PollIntervalZeroStopsPolling) {
    TRig rig;
    rig.Open();
    rig.RunTo(600);
    rig.Inputs.Interval = 0;
    rig.RunTo(1000);  // this tick sets the interval to 0
    EXPECT_FALSE(rig.Monitor.PollTimer().Running());
    rig.RunTo(10000);
    EXPECT_EQ(rig.Link.Writes.size(), 2u);  // 0x42 and 0x43, then nothing
    // Reopening with a non-zero interval resumes.
    rig.Close();
    rig.Inputs.Interval = 500;
    rig.Open();
    rig.RunTo(10500);
    EXPECT_EQ(rig.QueuedCid2(), std::vector<std::uint8_t>{0x42});
}

// Settings the host has no value for (a box whose text does not convert): the cycle
// stops where the window shows its error box, with the same consequences, and asks
// again at the next tick.
TEST(MonitorCycle, SettingsWithoutValue) {
    struct TCase {
        const char* what;
        std::function<void(TInputs&)> set;
        int refused;  // reads without a value up to 1900 ms
    };
    const TCase cases[] = {
        // At each send tick (850, 1350, 1850): nothing is sent, 0x42 stays queued.
        {"no address", [](TInputs& i) { i.Addr.reset(); }, 3},
        // At each poll tick (500, 1000, 1500): the command is queued, the tick stops
        // before the send timer; the poll timer keeps its interval.
        {"no poll interval", [](TInputs& i) { i.Interval.reset(); }, 3},
        {"no reply time-out", [](TInputs& i) { i.Timeout.reset(); }, 3},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TRig rig;
        rig.Open();
        rig.Rec.Take();
        c.set(rig.Inputs);
        rig.RunTo(1900);
        EXPECT_EQ(rig.Inputs.Refused, c.refused);
        EXPECT_EQ(rig.Rec.Take(), std::vector<std::string>{});
        EXPECT_EQ(rig.QueuedCid2(), std::vector<std::uint8_t>{0x42});
        EXPECT_TRUE(rig.Link.Writes.empty());
        EXPECT_FALSE(rig.Monitor.SendTimer().Running());
        EXPECT_EQ(rig.Monitor.PollTimer().Interval(), 500);
    }
}

TEST(MonitorCycle, AddressTakesEffectAtEachSend) {
    TRig rig;
    rig.Inputs.Addr.reset();
    rig.Open();
    rig.RunTo(850);  // the send tick fails and leaves 0x42 queued, the send timer off
    rig.Inputs.Addr = 200;
    rig.RunTo(1350);  // the poll tick at 1000 enabled it again
    ASSERT_EQ(rig.Link.Writes.size(), 1u);
    EXPECT_EQ(rig.Link.Writes[0].At, 1350);
    EXPECT_EQ(rig.Link.Writes[0].Frame.substr(3, 2), "C8");
    rig.Inputs.Addr = 0;
    rig.RunTo(1700);
    EXPECT_EQ(rig.Link.Writes.back().Frame.substr(3, 2), "00");
}

TEST(MonitorCycle, BadReplyTimeOutAfterASendStopsTheSendTimer) {
    TRig rig;
    rig.Open();
    rig.RunTo(700);
    rig.Rec.Take();
    rig.Inputs.Timeout.reset();
    RunSteps(rig, {{850, {}, {"850 sent 42 addr 1"}}});
    EXPECT_EQ(rig.Inputs.Refused, 1);
    EXPECT_FALSE(rig.Monitor.SendTimer().Enabled());
    rig.Inputs.Timeout = 350;
    // The next poll tick enables it again; 0x42's missing reply is found at its tick.
    // Its write was not followed by a re-arm: the interval the send timer has then counts.
    RunSteps(rig, {{1000, {}, {}},
                   {1350, {}, {"1350 missing 42 sent 850 timeout 350", "1350 sent 43 addr 1"}}});
}

TEST(MonitorCycle, BadPollIntervalAtOpeningLeavesPollingOff) {
    TRig rig;
    rig.Inputs.Interval.reset();
    rig.Link.Open = true;
    EXPECT_FALSE(rig.Monitor.LinkOpened("ttyV0"));
    EXPECT_EQ(rig.Rec.Take(), std::vector<std::string>{"0 opened ttyV0"});
    EXPECT_EQ(rig.Inputs.Refused, 1);
    EXPECT_FALSE(rig.Monitor.PollTimer().Enabled());
    rig.RunTo(3000);
    EXPECT_TRUE(rig.Link.Writes.empty());
    // Corrected and switched on again, polling runs.
    rig.Inputs.Interval = 500;
    rig.Monitor.SetAutoQuery(true);
    rig.RunTo(3850);
    EXPECT_EQ(rig.Link.Writes.size(), 1u);
}

TEST(MonitorCycle, AutomaticPollingSwitchedOffKeepsQueuedPollCommands) {
    TRig rig;
    rig.Open();
    rig.RunTo(600);
    rig.Inputs.Auto = false;
    rig.Monitor.SetAutoQuery(false);
    rig.RunTo(5000);
    ASSERT_EQ(rig.Link.Writes.size(), 1u);  // the waiting 0x42 still leaves
    EXPECT_EQ(rig.Link.Writes[0].At, 850);
}

// ---------------------------------------------------------------------------
// Link lifecycle

TEST(MonitorLink, ClosingInsideAWriteEndsTheSendTick) {
    TRig rig;
    rig.Open();
    rig.RunTo(600);
    rig.Monitor.QueueCommand(TIntCMD{0x45, 0x1F, 0});
    // The port reports the failed write and the view closes the link before Write returns.
    rig.Link.OnWrite = [&](std::span<const std::uint8_t>) { rig.Close(); };
    rig.Link.WrittenReport = 0;
    // An observer of the close queues a command at once: it must survive the tick.
    struct TQueueOnClose : IMonitorObserver {
        TMonitor& m;
        explicit TQueueOnClose(TMonitor& M) : m(M) {}
        void OnLinkClosed(const TLinkClosed&) override { m.QueueCommand(TIntCMD{0x4F, 0, 0}); }
    } queuer(rig.Monitor);
    rig.Monitor.AddObserver(queuer);
    RunSteps(rig, {{850, {}, {"0 opened ttyV0", "850 closed", "850 sent 42 addr 1 written 0"}}});
    EXPECT_EQ(rig.QueuedCid2(), std::vector<std::uint8_t>{0x4F});
    EXPECT_FALSE(rig.Monitor.PollTimer().Enabled());
    EXPECT_EQ(rig.Monitor.LastCID2(), 0x42);
    rig.Monitor.RemoveObserver(queuer);
    rig.Link.OnWrite = nullptr;
    rig.Link.WrittenReport.reset();
    // No reply is missed for a command whose link closed.
    rig.Monitor.SendTick();
    EXPECT_EQ(rig.Rec.Take(), std::vector<std::string>{"850 sent 4F addr 1"});
}

TEST(MonitorLink, ReopeningStartsAtTheFirstPollStepWithAnEmptyQueue) {
    TRig rig;
    RunSteps(rig,
             {
                 {0, [](TRig& r) { r.Open(); }, {"0 opened ttyV0"}},
                 {850, {}, {"850 sent 42 addr 1"}},
                 {1000, Press(0x47), {}, std::vector<std::uint8_t>{0x43, 0x47}},
                 {1100, [](TRig& r) { r.Close(); }, {"1100 closed"}, std::vector<std::uint8_t>{}},
                 {3000, {}, {}},
                 {3010, [](TRig& r) { r.Open("ttyV1"); }, {"3010 opened ttyV1"}},
                 // The poll timer restarted from 3010 (it was off); the send timer
                 // keeps its last interval, 350.
                 {3510, {}, {}, std::vector<std::uint8_t>{0x42}},
                 {3860, {}, {"3860 sent 42 addr 1"}},
             });
    EXPECT_EQ(rig.Monitor.QueryStep(), 1);
}

TEST(MonitorLink, LastCommandSurvivesClosingAndReopening) {
    TRig rig;
    rig.Open();
    rig.Monitor.SendNoDataCmd(1, 0x50);
    rig.Close();
    rig.Open();
    rig.Rec.Take();
    rig.Feed(Reply(0, {}, 0x0C));
    EXPECT_EQ(rig.Rec.Take(),
              (std::vector<std::string>{"0 frame ok 18", "0 reply rtn 00 to 50 info 0",
                                        "0 decoded 50 address"}));
    EXPECT_EQ(std::get<TDeviceAddress>(rig.Rec.Decoded.back()).Addr, 12);
}

TEST(MonitorLink, ClosingTwiceReportsOnce) {
    TRig rig;
    rig.Open();
    struct TCloser : IMonitorObserver {
        TMonitor& m;
        explicit TCloser(TMonitor& M) : m(M) {}
        void OnLinkClosed(const TLinkClosed&) override { m.LinkClosed(); }  // re-entry
    } closer(rig.Monitor);
    rig.Monitor.AddObserver(closer);
    rig.Close();
    rig.Close();
    EXPECT_EQ(rig.Rec.Take(), (std::vector<std::string>{"0 opened ttyV0", "0 closed"}));
}

// ---------------------------------------------------------------------------
// Senders

TEST(MonitorSenders, FramesOfTheThreeSenders) {
    TRig rig;
    rig.Open();
    rig.Monitor.SendNoDataCmd(1, 0x42);
    EXPECT_EQ(rig.Monitor.LastCID2(), 0x42);
    rig.Monitor.SendRemoteCmd(1, 0x10);
    EXPECT_EQ(rig.Monitor.LastCID2(), 0x45);
    rig.Monitor.SendSetParamsCmd(1, 0x80, 32);
    EXPECT_EQ(rig.Monitor.LastCID2(), 0x49);
    rig.Monitor.SendSetParamsCmd(200, 0x81, 300);
    rig.Monitor.SendNoDataCmd(1, 0x42);
    std::vector<std::string> frames;
    for (const auto& w : rig.Link.Writes)
        frames.push_back(w.Frame);
    EXPECT_EQ(frames, (std::vector<std::string>{"~100160420000FDB2\r", "~10016045E00210FD37\r",
                                                "~10016049A006800020FC6A\r", frames[3],
                                                "~100160420000FDB2\r"}));
    EXPECT_EQ(frames[3].substr(3, 2), "C8");
    EXPECT_EQ(frames[3].substr(13, 6), "81012C");
    EXPECT_TRUE(TDH::CheckFrame(AsBytes(frames[3])));
}

TEST(MonitorSenders, QueuedItemsGoToTheirSender) {
    TRig rig;
    rig.Inputs.Auto = false;
    rig.Open();
    rig.Monitor.QueueCommand(TIntCMD{0x45, 0x1F, 0});
    rig.Monitor.QueueCommand(TIntCMD{0x49, 0xC0, 1});
    rig.Monitor.QueueCommand(TIntCMD{0x51, 0x33, 7});  // Param and Value not read
    rig.RunTo(1500);
    ASSERT_EQ(rig.Link.Writes.size(), 3u);
    EXPECT_EQ(rig.Link.Writes[0].Frame.substr(7, 8), "45E0021F");
    EXPECT_EQ(rig.Link.Writes[1].Frame.substr(7, 12), "49A006C00001");
    EXPECT_EQ(rig.Link.Writes[2].Frame, BuildCommandText(0x51));
    EXPECT_EQ(rig.Link.Writes[0].At, 500);
    EXPECT_EQ(rig.Link.Writes[1].At, 850);
    EXPECT_EQ(rig.Link.Writes[2].At, 1200);
}

// Response times count from the end of the write.
TEST(MonitorSenders, ResponseTimeCountsFromTheEndOfTheWrite) {
    TRig rig;
    rig.Open();
    rig.Link.OnWrite = [&](std::span<const std::uint8_t>) { rig.Clock.Block(Millis(15)); };
    rig.RunTo(850);
    EXPECT_EQ(rig.Rec.Take(), (std::vector<std::string>{"0 opened ttyV0", "865 sent 42 addr 1"}));
    rig.RunTo(900);
    rig.Feed(kAnalog);
    EXPECT_EQ(rig.Rec.Take().at(0), "900 frame ok 94 rt 35");
}

// ---------------------------------------------------------------------------
// Intake

// Each case: the last command sent at 0 (none when 0), then blocks fed at the times
// given, then the events.
TEST(MonitorIntake, Cases) {
    std::string badSum = kSwitches;
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    std::string badLSum = Reply(0, {0x01, 0x02});
    badLSum[9] = 'D';  // C is right for LENID 4
    {
        const std::string body = badLSum.substr(0, badLSum.size() - 5);
        badLSum = body + Hex2(TDH::CalcChkSum(AsBytes(body)) >> 8) +
                  Hex2(TDH::CalcChkSum(AsBytes(body)) & 0xFF) + "\r";
    }
    struct TCase {
        const char* what;
        std::uint8_t sent;  // 0: nothing sent
        std::vector<std::pair<long long, std::string>> blocks;
        std::vector<std::string> events;
    };
    const TCase cases[] = {
        {"good reply",
         0x43,
         {{30, kSwitches}},
         {"30 frame ok 42 rt 30", "30 reply rtn 00 to 43 info 12", "30 decoded 43 switches"}},
        {"bad CHKSUM", 0x43, {{30, badSum}}, {"30 frame chksum 42 rt 30"}},
        {"bad LCHKSUM", 0x43, {{30, badLSum}}, {"30 frame lchksum 22 rt 30"}},
        {"too short", 0x43, {{30, "~\r"}}, {"30 frame short 2 rt 30"}},
        {"odd length", 0x42, {{30, "~1001604200000FDB2\r"}}, {"30 frame odd 19 rt 30"}},
        {"split reply",
         0x44,
         {{10, kAlarms.substr(0, 40)}, {45, kAlarms.substr(40)}},
         {"45 frame ok 94 rt 45", "45 reply rtn 00 to 44 info 38", "45 decoded 44 alarms"}},
        {"noise between frames",
         0x43,
         {{30, "\r\nxx" + kSwitches + "yyy\r" + kSwitches + "zz"}},
         {"30 noise 4", "30 frame ok 42 rt 30", "30 reply rtn 00 to 43 info 12",
          "30 decoded 43 switches", "30 noise 4", "30 frame ok 42", "30 reply rtn 00 to 43 info 12",
          "30 decoded 43 switches", "30 noise 2"}},
        {"stray SOI before a reply",
         0x43,
         {{30, "~10016" + kSwitches}},
         {"30 noise 6", "30 frame ok 42 rt 30", "30 reply rtn 00 to 43 info 12",
          "30 decoded 43 switches"}},
        {"RTN 2", 0x43, {{30, Reply(2)}}, {"30 frame ok 18 rt 30", "30 reply rtn 02 to 43 info 0"}},
        {"RTN 0x80",
         0x43,
         {{30, Reply(0x80)}},
         {"30 frame ok 18 rt 30", "30 reply rtn 80 to 43 info 0"}},
        {"reply to a remote command",
         0x45,
         {{30, Reply(0)}},
         {"30 frame ok 18 rt 30", "30 reply rtn 00 to 45 info 0 undecoded"}},
        {"two frames in one block",
         0x42,
         {{30, Reply(2) + kAnalog}},
         {"30 frame ok 18 rt 30", "30 reply rtn 02 to 42 info 0", "30 frame ok 94",
          "30 reply rtn 00 to 42 info 38", "30 decoded 42 analog"}},
        {"reply before any command",
         0,
         {{30, kAnalog}},
         {"30 frame ok 94", "30 reply rtn 00 to FF info 38 undecoded"}},
        {"reply the decoder cannot read",
         0x42,
         {{30, kSwitches}},
         {"30 frame ok 42 rt 30", "30 reply rtn 00 to 42 info 12"}},
        {"reply of another address, other version",
         0x4F,
         {{30, Reply(0, {}, 7, 0x21)}},
         {"30 frame ok 18 rt 30", "30 reply rtn 00 to 4F info 0", "30 decoded 4F version"}},
        // Held bytes dropped by the next block count as its noise, before its frame.
        {"frame that outgrows the buffer",
         0x42,
         {{30, "~" + std::string(1000, '1')}, {40, std::string(100, '1') + kAnalog}},
         {"40 noise 1101", "40 frame ok 94 rt 40", "40 reply rtn 00 to 42 info 38",
          "40 decoded 42 analog"}},
        {"block too long for any frame",
         0x42,
         {{30, "~" + std::string(1100, '1')}},
         {"30 noise 1101"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TRig rig;
        rig.Link.Open = true;
        if (c.sent) rig.Monitor.SendNoDataCmd(1, c.sent);
        rig.Rec.Take();
        for (const auto& [at, block] : c.blocks) {
            rig.RunTo(at);
            rig.Feed(block);
        }
        EXPECT_EQ(rig.Rec.Take(), c.events);
        EXPECT_EQ(rig.Monitor.Codec().HeldSize(), 0u);
    }
}

TEST(MonitorIntake, LateReplyToAnEarlierCommandIsReadByTheLastOne) {
    TRig rig;
    rig.Open();
    RunSteps(rig, {
                      {850, {}, {"0 opened ttyV0", "850 sent 42 addr 1"}},
                      // 0x42 has no answer by the next send tick: reported, then 0x43 goes.
                      {1200, {}, {"1200 missing 42 sent 850 timeout 350", "1200 sent 43 addr 1"}},
                      // The answer to 0x42 arrives now and is read by the 0x43 decoder.
                      {1250,
                       [](TRig& r) { r.Feed(kAnalog); },
                       {"1250 frame ok 94 rt 50", "1250 reply rtn 00 to 43 info 38",
                        "1250 decoded 43 switches"}},
                  });
    const auto& s = std::get<TSwitchStates>(rig.Rec.Decoded.back());
    EXPECT_EQ(s.Count, 9u);  // the analog bytes read as switch states
}

TEST(MonitorIntake, MissingAndLateReplies) {
    TRig rig;
    rig.Open();
    TResponder controller(rig.Clock, rig.Link, rig.Monitor);
    controller.Answers = [](std::uint8_t cid2) { return cid2 == 0x44 ? "" : NormalAnswer(cid2); };
    RunSteps(
        rig,
        {
            {0, {}, {"0 opened ttyV0"}},
            {1550, [](TRig& r) { r.Rec.Take(); }, {}},
            // 0x44 got nothing: its send tick at 1900 finds the queue empty and
            // reports it, one reply time-out after its write.
            {1900, {}, {"1900 missing 44 sent 1550 timeout 350"}},
            // An answer after that is late.
            {1950,
             [](TRig& r) { r.Feed(kAlarms); },
             {"1950 frame ok 94 rt 400 late", "1950 reply rtn 00 to 44 info 38",
              "1950 decoded 44 alarms"}},
            // Only once per command.
            {2349,
             [](TRig& r) { r.Feed(kAlarms); },
             {"2349 frame ok 94", "2349 reply rtn 00 to 44 info 38", "2349 decoded 44 alarms"}},
            {2350, {}, {"2350 sent 42 addr 1"}},
            {2370,
             {},
             {"2370 frame ok 94 rt 20", "2370 reply rtn 00 to 42 info 38",
              "2370 decoded 42 analog"}},
        });
}

TEST(MonitorIntake, AnErrorFrameCountsAsAnAnswer) {
    TRig rig;
    rig.Open();
    rig.RunTo(860);
    rig.Feed("~\r");
    rig.RunTo(1200);
    const auto log = rig.Rec.Take();
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](const std::string& l) { return l.find("missing") != std::string::npos; }),
        0);
}

TEST(MonitorIntake, HeldBytesAcrossBlocksAreNoNoise) {
    TRig rig;
    rig.Link.Open = true;
    rig.Monitor.SendNoDataCmd(1, 0x43);
    rig.Rec.Take();
    // Byte by byte: the frame bytes are held, then reported; only the junk is noise.
    const std::string stream = "ab" + kSwitches + "c";
    for (char ch : stream)
        rig.Feed(std::string(1, ch));
    const auto log = rig.Rec.Take();
    EXPECT_EQ(log, (std::vector<std::string>{"0 noise 1", "0 noise 1", "0 frame ok 42 rt 0",
                                             "0 reply rtn 00 to 43 info 12",
                                             "0 decoded 43 switches", "0 noise 1"}));
}

// An observer that throws costs only the frame it threw on: the rest of the block is
// still reported, the noise too, and the first failure reaches the caller.
TEST(MonitorIntake, ThrowingObserverDoesNotLoseTheRestOfTheBlock) {
    TRig rig;
    rig.Link.Open = true;
    rig.Monitor.SendNoDataCmd(1, 0x42);
    rig.Rec.Take();
    struct TThrower : IMonitorObserver {
        int calls = 0;
        void OnFrameReceived(const TFrameReceived&) override {
            if (++calls == 1) throw std::runtime_error("view failed");
        }
    } thrower;
    rig.Monitor.RemoveObserver(rig.Rec);
    rig.Monitor.AddObserver(thrower);  // first in the list
    rig.Monitor.AddObserver(rig.Rec);
    EXPECT_THROW(rig.Feed(kAnalog + "xy" + kAnalog + "~1001"), std::runtime_error);
    EXPECT_EQ(thrower.calls, 2);
    EXPECT_EQ(rig.Rec.Take(),
              (std::vector<std::string>{"0 noise 2", "0 frame ok 94",
                                        "0 reply rtn 00 to 42 info 38", "0 decoded 42 analog"}));
    EXPECT_EQ(rig.Monitor.Codec().HeldSize(), 5u);
}

// Noise reaches the observers with its bytes, in its place among the frames of a block:
// a view lists the line as it was.
TEST(MonitorIntake, NoiseInLineOrderWithItsBytes) {
    TRig rig;
    rig.Link.Open = true;
    rig.Monitor.SendNoDataCmd(1, 0x43);
    struct TLine : IMonitorObserver {
        std::vector<std::string> Events;
        void OnFrameReceived(const TFrameReceived& e) override {
            Events.push_back("frame " + std::to_string(e.Frame.size()));
        }
        void OnNoise(const TNoise& e) override {
            EXPECT_EQ(e.Count, e.Bytes.size());
            Events.push_back("noise " + std::string(e.Bytes.begin(), e.Bytes.end()));
        }
    } line;
    rig.Monitor.AddObserver(line);
    rig.Feed("#!" + kSwitches + "\n" + kSwitches.substr(0, 5));
    rig.Feed("~" + kSwitches + "@");
    EXPECT_EQ(line.Events, (std::vector<std::string>{"noise #!", "frame 42", "noise \n",
                                                     "noise " + kSwitches.substr(0, 5) + "~",
                                                     "frame 42", "noise @"}));
    rig.Monitor.RemoveObserver(line);
}

TEST(MonitorIntake, ObserverMayNotFeedTheMonitor) {
    TRig rig;
    struct TFeeder : IMonitorObserver {
        TMonitor& m;
        explicit TFeeder(TMonitor& M) : m(M) {}
        void OnFrameReceived(const TFrameReceived& e) override { m.ReceiveData(e.Frame); }
    } feeder(rig.Monitor);
    rig.Monitor.AddObserver(feeder);
    EXPECT_THROW(rig.Feed(kAnalog), std::logic_error);
    rig.Monitor.RemoveObserver(feeder);
    rig.Rec.Take();
    rig.Feed(kAnalog);
    EXPECT_EQ(rig.Rec.Take().size(), 2u);  // frame and reply: no decoder before any command
}

// ---------------------------------------------------------------------------
// Observers

TEST(MonitorObservers, AddedAndRemovedDuringAnEvent) {
    TRig rig;
    TRecorder late(rig.Clock);
    TRecorder victim(rig.Clock);
    struct TSwapper : IMonitorObserver {
        TMonitor& m;
        IMonitorObserver& add;
        IMonitorObserver& remove;
        int sent = 0;
        TSwapper(TMonitor& M, IMonitorObserver& A, IMonitorObserver& R) : m(M), add(A), remove(R) {}
        void OnCommandSent(const TCommandSent&) override {
            ++sent;
            m.RemoveObserver(*this);   // itself
            m.RemoveObserver(remove);  // one later in the list
            m.AddObserver(add);
        }
    } swapper(rig.Monitor, late, victim);
    rig.Monitor.AddObserver(swapper);
    rig.Monitor.AddObserver(victim);
    rig.Monitor.AddObserver(swapper);  // a second add changes nothing
    rig.Link.Open = true;
    rig.Monitor.SendNoDataCmd(1, 0x42);
    EXPECT_EQ(swapper.sent, 1);
    EXPECT_TRUE(victim.Log.empty());  // removed before its turn
    EXPECT_TRUE(late.Log.empty());    // added during the event: hears the next one
    rig.Monitor.SendNoDataCmd(1, 0x43);
    EXPECT_EQ(swapper.sent, 1);
    EXPECT_TRUE(victim.Log.empty());
    EXPECT_EQ(late.Log,
              (std::vector<std::string>{"0 missing 42 sent 0 timeout 500", "0 sent 43 addr 1"}));
    EXPECT_EQ(rig.Rec.Log.size(), 3u);
}

TEST(MonitorObservers, RemovedObserverHearsNothingMore) {
    TRig rig;
    rig.Monitor.RemoveObserver(rig.Rec);
    rig.Monitor.RemoveObserver(rig.Rec);  // not there: nothing happens
    rig.Open();
    rig.RunTo(2000);
    EXPECT_TRUE(rig.Rec.Log.empty());
}

}  // namespace
}  // namespace coretest
