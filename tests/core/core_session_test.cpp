// The monitoring session and what it carries for every host: why an opening failed, the
// reopening pauses, the answering rule and the reply's verdict.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "Answering.h"
#include "CoreTestSupport.h"
#include "FakeComPlatform.h"
#include "Session.h"

namespace coretest {
namespace {

// ---------------------------------------------------------------------------
// Opening

TEST(Session, OpeningTellsWhyItFailed) {
    struct TCase {
        const char* what;
        std::function<void(TFakeComPlatform&)> fail;
        TOpenReason reason;
        int error;
    };
    const TCase cases[] = {
        {"opens", [](TFakeComPlatform&) {}, TOpenReason::Opened, 0},
        {"held by another program", [](TFakeComPlatform& p) { p.SetBusy("ttyV0"); },
         TOpenReason::InUse, EBUSY},
        {"no permission", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::Open, EACCES); },
         TOpenReason::NoPermission, EACCES},
        {"no such file", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::Open, ENOENT); },
         TOpenReason::Gone, ENOENT},
        {"device gone", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::Open, ENODEV); },
         TOpenReason::Gone, ENODEV},
        {"not a terminal", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::Open, ENOTTY); },
         TOpenReason::NotSerial, ENOTTY},
        {"other error", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::Open, EIO); },
         TOpenReason::Failed, EIO},
        {"line settings refused", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::SetState, EINVAL); },
         TOpenReason::SettingsRefused, 0},
        {"time-outs refused", [](TFakeComPlatform& p) { p.FailOn(TFakeOp::SetTimeouts, EINVAL); },
         TOpenReason::SettingsRefused, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TFakeClock clock;
        auto platform = std::make_shared<TFakeComPlatform>();
        c.fail(*platform);
        TSessionSettings settings;
        settings.Line.Port = "ttyV0";
        TSession session(clock, settings, platform);
        std::vector<TPortFailure> failures;
        session.OnPortFailure = [&](const TPortFailure& f) { failures.push_back(f); };
        TRecorder events(clock);
        session.Monitor().AddObserver(events);

        const TOpenResult result = session.Open();
        EXPECT_EQ(result.Reason, c.reason);
        EXPECT_EQ(result.Error, c.error);
        EXPECT_EQ(result.Opened(), session.IsOpen());
        if (result.Opened()) {
            EXPECT_TRUE(failures.empty());
            EXPECT_EQ(events.Take(), std::vector<std::string>{"0 opened ttyV0"});
            session.Close();
            EXPECT_EQ(events.Take(), std::vector<std::string>{"0 closed"});
        } else {
            ASSERT_FALSE(failures.empty());
            EXPECT_FALSE(failures.front().WhileOpen) << "an opening is not a lost link";
            EXPECT_TRUE(events.Take().empty()) << "the monitor never started";
            EXPECT_EQ(session.FailedOpens(), 1);
        }
        EXPECT_EQ(platform->OpenDevices(), 0);
    }
}

TEST(Session, SetsTheLineFromItsRecord) {
    TFakeClock clock;
    auto platform = std::make_shared<TFakeComPlatform>();
    TSessionSettings settings;
    settings.Line = TLineSettings{"ttyV3", TBaudRate::Br19200, TDataBits::DbSeven,
                                  TParityBits::PrEven, TStopBits::SbTwoStopBits};
    TSession session(clock, settings, platform);
    ASSERT_TRUE(session.Open().Opened());
    const TComControlBlock block = platform->LastState();
    EXPECT_EQ(block.BaudRate, 19200);
    EXPECT_EQ(block.ByteSize, 7);
    EXPECT_FALSE(block.OutxCtsFlow);
    EXPECT_FALSE(block.OutX);
    EXPECT_EQ(block.DtrControl, 0);
    EXPECT_EQ(block.RtsControl, 0);
    EXPECT_EQ(block.Parity, 2);
    EXPECT_EQ(block.StopBits, 2);
    EXPECT_EQ(session.Line().Parity, TParityBits::PrEven);
    EXPECT_EQ(session.Port().FlowControl().ControlDTR(), TDTRFlowControl::DtrDisable);
    EXPECT_EQ(session.Port().FlowControl().ControlRTS(), TRTSFlowControl::RtsDisable);
    EXPECT_FALSE(session.Port().FlowControl().XonXoffOut());
}

// The pauses before each new attempt double from 1 s to at most 30 s, and start again at
// 1 s once the controller has replied on a link.
TEST(Session, ReopensWithGrowingPauses) {
    TFakeClock clock;
    auto platform = std::make_shared<TFakeComPlatform>();
    TSessionSettings settings;
    settings.Line.Port = "ttyV0";
    settings.Poll = TPollSettings{1, 500, 350, true};
    TSession session(clock, settings, platform);
    session.SetReopen(true);
    struct TPlanned {
        long long At;
        bool Lost;
        long long Pause;
        int Failed;
        bool operator==(const TPlanned&) const = default;
    };
    std::vector<TPlanned> plans;
    session.OnReopenPlanned = [&](const TReopenPlan& p) {
        plans.push_back({clock.Elapsed().count(), p.Lost, p.Pause.count(), p.FailedOpens});
    };
    int opened = 0;
    session.OnOpened = [&] { ++opened; };

    platform->FailOn(TFakeOp::Open, ENOENT);
    EXPECT_EQ(session.Open().Reason, TOpenReason::Gone);
    clock.AdvanceTo(clock.Start() + Millis(60999));
    EXPECT_EQ(plans, (std::vector<TPlanned>{{0, false, 1000, 1},
                                            {1000, false, 2000, 2},
                                            {3000, false, 4000, 3},
                                            {7000, false, 8000, 4},
                                            {15000, false, 16000, 5},
                                            {31000, false, 30000, 6}}));
    clock.AdvanceTo(clock.Start() + Millis(61000));
    EXPECT_EQ(plans.back(), (TPlanned{61000, false, 30000, 7}));

    // The device is back: opened at the next attempt, and polled.
    platform->ClearFailure(TFakeOp::Open);
    plans.clear();
    clock.AdvanceTo(clock.Start() + Millis(91000));
    ASSERT_TRUE(session.IsOpen());
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(session.FailedOpens(), 0);
    EXPECT_EQ(session.NextPause(), Millis(30000)) << "nothing has replied yet";
    clock.AdvanceTo(clock.Start() + Millis(91850));
    ASSERT_FALSE(platform->Written().empty());
    session.Monitor().ReceiveData(AsBytes(Reply(4)));  // even a refusal is a reply
    EXPECT_EQ(session.NextPause(), Millis(1000));

    // Lost while open (a write fails): closed at once, tried again after 1 s.
    platform->FailOn(TFakeOp::Write, EIO);
    clock.AdvanceTo(clock.Start() + Millis(93000));
    EXPECT_FALSE(session.IsOpen());
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_TRUE(plans[0].Lost);
    EXPECT_EQ(plans[0].Pause, 1000);
    EXPECT_EQ(platform->OpenDevices(), 0);
    platform->ClearFailure(TFakeOp::Write);
    clock.AdvanceTo(clock.Start() + Millis(plans[0].At + 1000));
    EXPECT_TRUE(session.IsOpen());
    EXPECT_EQ(opened, 2);

    // Switched off: no more attempts.
    session.SetReopen(false);
    session.Close();
    clock.AdvanceTo(clock.Start() + Millis(200000));
    EXPECT_FALSE(session.IsOpen());
}

// ---------------------------------------------------------------------------
// The answering rule

enum class TPhase { Answer, Refuse, Silent, Garble, RefuseSwitches };

std::string Answer(TPhase Phase, std::uint8_t Cid2) {
    switch (Phase) {
        case TPhase::Answer:
            return NormalAnswer(Cid2);
        case TPhase::Refuse:
            return Reply(0x04);
        case TPhase::Silent:
            return {};
        case TPhase::Garble: {
            std::string f = NormalAnswer(Cid2);
            f[f.size() - 2] = f[f.size() - 2] == '0' ? '1' : '0';  // CHKSUM no longer fits
            return f;
        }
        case TPhase::RefuseSwitches:
            return Cid2 == 0x43 ? Reply(0x04) : NormalAnswer(Cid2);
    }
    return {};
}

TEST(AnswerRule, Transitions) {
    using enum TAnswering;
    struct TCase {
        const char* what;
        std::vector<std::pair<TPhase, long long>> phases;  // answer so, for so many ms
        std::vector<TAnswering> changes;
    };
    const TCase cases[] = {
        {"answers", {{TPhase::Answer, 3000}}, {Answering}},
        {"refuses from the start", {{TPhase::Refuse, 3000}}, {Refusing}},
        {"silent from the start", {{TPhase::Silent, 5000}}, {}},
        {"only frames that fail the check", {{TPhase::Garble, 5000}}, {}},
        {"answers, then falls silent",
         {{TPhase::Answer, 3000}, {TPhase::Silent, 5000}},
         {Answering, Silent}},
        {"answers, then refuses",
         {{TPhase::Answer, 3000}, {TPhase::Refuse, 5000}},
         {Answering, Refusing}},
        {"answers, then garbles",
         {{TPhase::Answer, 3000}, {TPhase::Garble, 5000}},
         {Answering, Silent}},
        {"refuses, then falls silent",
         {{TPhase::Refuse, 3000}, {TPhase::Silent, 5000}},
         {Refusing, Silent}},
        {"refuses, then answers",
         {{TPhase::Refuse, 3000}, {TPhase::Answer, 3000}},
         {Refusing, Answering}},
        {"silent, then answers", {{TPhase::Silent, 3000}, {TPhase::Answer, 3000}}, {Answering}},
        {"one poll command refused in every cycle", {{TPhase::RefuseSwitches, 8000}}, {Answering}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TRig rig;
        TAnswerRule rule;
        rig.Monitor.AddObserver(rule);
        std::vector<TAnswering> changes;
        rule.OnChanged = [&](TAnswering s) { changes.push_back(s); };
        TResponder responder(rig.Clock, rig.Link, rig.Monitor);
        TPhase phase = TPhase::Answer;
        responder.Answers = [&](std::uint8_t Cid2) { return Answer(phase, Cid2); };
        rig.Open();
        long long at = 0;
        for (const auto& [p, span] : c.phases) {
            phase = p;
            at += span;
            rig.RunTo(at);
        }
        EXPECT_EQ(changes, c.changes);
        EXPECT_EQ(rule.State(), c.changes.empty() ? Silent : c.changes.back());
        rig.Close();
        EXPECT_EQ(rule.State(), Silent) << "a closed link starts again";
    }
}

// The state falls only when the third poll command of a cycle went without an answer.
TEST(AnswerRule, FallsAtTheEndOfAWholeCycle) {
    TRig rig;
    TAnswerRule rule;
    rig.Monitor.AddObserver(rule);
    TResponder responder(rig.Clock, rig.Link, rig.Monitor);
    bool silent = false;
    responder.Answers = [&](std::uint8_t Cid2) { return silent ? "" : NormalAnswer(Cid2); };
    rig.Open();
    rig.RunTo(3000);
    ASSERT_EQ(rule.State(), TAnswering::Answering);
    silent = true;
    rig.Rec.Take();
    int missing = 0;
    for (long long t = 3001; t < 10000 && missing < 3; ++t) {
        rig.RunTo(t);
        for (const auto& line : rig.Rec.Take()) {
            if (line.find(" missing ") == std::string::npos) continue;
            ++missing;
            EXPECT_EQ(rule.State(), missing < 3 ? TAnswering::Answering : TAnswering::Silent)
                << line;
        }
    }
    EXPECT_EQ(missing, 3);
    EXPECT_TRUE(rule.Replied());
}

// ---------------------------------------------------------------------------
// The verdict of a reply

TEST(ReplyVerdict, AddressAndTime) {
    class TProbe : public IMonitorObserver {
      public:
        void OnReplyReceived(const TReplyReceived& e) override { Verdicts.push_back(e.Verdict); }
        std::vector<TReplyVerdict> Verdicts;
    };
    TRig rig;
    rig.Inputs.Auto = false;
    TProbe probe;
    rig.Monitor.AddObserver(probe);
    rig.Open();

    rig.Feed(Reply(0, {}, 1));  // nothing asked yet
    rig.Monitor.SendNoDataCmd(1, 0x4F);
    rig.Feed(Reply(0, {}, 1));  // as asked, in time
    rig.Feed(Reply(0, {}, 1));  // a second frame for the same command
    rig.Monitor.SendNoDataCmd(1, 0x4F);
    rig.Feed(Reply(0, {}, 2));  // another address
    rig.Monitor.SendNoDataCmd(7, 0x4F);
    rig.Monitor.SendTick();     // reported missing
    rig.Feed(Reply(0, {}, 7));  // late
    const std::vector<TReplyVerdict> expected{
        {false, false}, {true, true}, {true, false}, {false, true}, {true, false}};
    EXPECT_EQ(probe.Verdicts, expected);
    EXPECT_EQ(rig.Monitor.LastCID2(), 0x4F) << "every one read as the answer all the same";
}

}  // namespace
}  // namespace coretest
