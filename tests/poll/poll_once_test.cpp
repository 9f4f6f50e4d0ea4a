// The one-shot read through a real monitoring core on the fake clock, against the
// simulator's controller: done when both units and the identity are in, a unit that
// never answers named after a bounded number of cycles, a silent controller given up
// after one unanswered cycle, refused and lost reads asked again.
#include "OnceCheck.h"

#include <gtest/gtest.h>

#include <random>

#include "SimRig.h"

namespace airconpoll {
namespace {

using namespace simrig;
using namespace std::chrono_literals;
using TVerdict = TOnceCheck::TVerdict;

// The poller's part of a one-shot read: the reads queued at opening, and what is
// missing asked again at the start of each poll cycle.
struct TOnceRig : TRig {
    explicit TOnceRig(acsim::ControllerConfig Config = {}) : TRig(std::move(Config)) {
        Monitor.AddObserver(Check);
    }
    TVerdict Read(Millis Limit = 60s) {
        Open();
        QueueUnlessQueued(Monitor, TOnceCheck::Reads);
        Run(Limit, [&] {
            if (Check.TakeCycleStarted()) QueueUnlessQueued(Monitor, Check.MissingReads());
            return Check.Verdict() != TVerdict::Pending;
        });
        return Check.Verdict();
    }
    TOnceCheck Check;
};

std::string Joined(const std::vector<std::string>& Lines) {
    std::string out;
    for (const auto& l : Lines)
        out += l + "\n";
    return out;
}

TEST(OnceCheck, BothUnitsAndTheIdentityInTwoCycles) {
    TOnceRig rig;
    EXPECT_EQ(rig.Read(), TVerdict::Done);
    EXPECT_EQ(rig.Check.Cycles(), 2) << "the simulator alternates the units";
    EXPECT_TRUE(rig.Check.Shortfalls().empty()) << Joined(rig.Check.Shortfalls());
    // Four reads, then 0x42, 0x43, 0x44 twice, one reply time-out apart at least.
    EXPECT_EQ(rig.Link.Frames.size(), 10u);
    EXPECT_LT(rig.Clock.Elapsed(), 8s);
}

TEST(OnceCheck, AUnitThatNeverAnswersIsNamedAfterTheBound) {
    acsim::ControllerConfig cfg;
    cfg.units = acsim::UnitChoice::Unit0;
    TOnceRig rig(cfg);
    EXPECT_EQ(rig.Read(), TVerdict::Incomplete);
    EXPECT_EQ(rig.Check.Cycles(), 6);
    const auto lines = rig.Check.Shortfalls();
    ASSERT_EQ(lines.size(), 1u) << Joined(lines);
    EXPECT_EQ(lines[0],
              "unit 2 (空调2) never answered 0x42 (analog values), 0x43 (switch states), 0x44 "
              "(alarm states) in 6 poll cycles: the controller answered for unit 1 only");
}

TEST(OnceCheck, ASilentControllerIsGivenUpAfterOneUnansweredCycle) {
    TOnceRig rig;
    rig.Link.Fate = [](std::uint8_t) { return TFate::Drop; };
    EXPECT_EQ(rig.Read(), TVerdict::Silent);
    // Four reads and the three poll commands, each given its reply time-out; the next
    // 0x42 leaves in the tick that finds 0x44 unanswered.
    EXPECT_EQ(rig.Check.CommandsSent(), 8u);
    EXPECT_LT(rig.Clock.Elapsed(), 4s);
    const auto lines = rig.Check.Shortfalls();
    EXPECT_NE(Joined(lines).find("0x51 (vendor information): last attempt: no reply within 350 ms"),
              std::string::npos)
        << Joined(lines);
}

TEST(OnceCheck, GarbledRepliesAreNotSilenceButFailAfterTheBound) {
    TOnceRig rig;
    rig.Link.Fate = [](std::uint8_t) { return TFate::Corrupt; };
    EXPECT_EQ(rig.Read(), TVerdict::Incomplete);
    const std::string text = Joined(rig.Check.Shortfalls());
    EXPECT_NE(text.find("unit 1 (空调1): no reply read to 0x42 (analog values) (last attempt: a "
                        "frame that failed the check (CHKSUM))"),
              std::string::npos)
        << text;
}

TEST(OnceCheck, ARefusedReadIsAskedAgainAndReported) {
    TOnceRig rig;
    rig.Link.Fate = [](std::uint8_t CID2) { return CID2 == 0x51 ? TFate::Refuse : TFate::Answer; };
    EXPECT_EQ(rig.Read(), TVerdict::Incomplete);
    const auto lines = rig.Check.Shortfalls();
    ASSERT_EQ(lines.size(), 1u) << Joined(lines);
    EXPECT_TRUE(
        lines[0].starts_with("0x51 (vendor information): last attempt: refused with RTN 0x04"))
        << lines[0];
    // Asked at the opening and again at the start of every later cycle.
    std::size_t asked = 0;
    for (const auto& f : rig.Link.Frames)
        asked += acsim::ParseCommand(f).cid2 == 0x51;
    EXPECT_EQ(asked, 6u);
}

TEST(OnceCheck, LostRepliesAreMadeUpInLaterCycles) {
    // A third of the replies lost, by a fixed draw: still a complete read.
    TOnceRig rig;
    std::mt19937 draw(5);
    rig.Link.Fate = [&draw](std::uint8_t) {
        return std::uniform_int_distribution<int>(0, 2)(draw) == 0 ? TFate::Drop : TFate::Answer;
    };
    EXPECT_EQ(rig.Read(), TVerdict::Done) << Joined(rig.Check.Shortfalls());
    EXPECT_GT(rig.Check.Cycles(), 2);
}

TEST(OnceCheck, AReplyForAUnitOutsideBothPanelsCountsForNeither) {
    // The controller answers every 0x42 for unit index 2 (DATAFLAG 0x04), which no panel
    // shows; everything else as usual.
    TOnceRig rig;
    rig.Link.Fate = [](std::uint8_t CID2) { return CID2 == 0x42 ? TFate::Drop : TFate::Answer; };
    rig.Open();
    QueueUnlessQueued(rig.Monitor, TOnceCheck::Reads);
    std::size_t answered = 0;
    rig.Run(60s, [&] {
        if (rig.Check.TakeCycleStarted()) QueueUnlessQueued(rig.Monitor, rig.Check.MissingReads());
        const auto& frames = rig.Link.Frames;
        if (frames.size() > answered) {
            answered = frames.size();
            if (acsim::ParseCommand(frames.back()).cid2 == 0x42) {
                std::vector<std::uint8_t> info = rig.Link.Controller().AnalogInfo(0);
                info[0] = 0x04;
                const std::string reply = acsim::BuildReply(0x10, 1, 0x60, 0, info);
                rig.Monitor.ReceiveData(
                    std::span(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size()));
            }
        }
        return rig.Check.Verdict() != TVerdict::Pending;
    });
    EXPECT_EQ(rig.Check.Verdict(), TVerdict::Incomplete);
    const std::string text = Joined(rig.Check.Shortfalls());
    for (const char* unit : {"unit 1 (空调1)", "unit 2 (空调2)"})
        EXPECT_NE(text.find(std::string(unit) +
                            ": no reply read to 0x42 (analog values) (last attempt: a reply of 38 "
                            "INFO bytes that could not be read)"),
                  std::string::npos)
            << text;
}

}  // namespace
}  // namespace airconpoll
