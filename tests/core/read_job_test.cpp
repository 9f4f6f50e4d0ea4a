// The reads a site report needs before it is written: identity and parameters the
// session has not had since the link last opened, read one at a time beside the polling
// on the fake clock; none while the tool only listens or the link is closed.
#include <gtest/gtest.h>

#include <set>

#include "CoreTestSupport.h"
#include "History.h"
#include "ReadJob.h"

namespace coretest {
namespace {

using aircon::ReadsBeforeReport;
using aircon::TReadJob;
using aircon::TReadOutcome;
using aircon::TSessionMode;

// 0x47 with seven readings and no items.
Bytes ParamInfo() {
    Bytes b;
    for (int i = 0; i < 7; ++i) {
        b.push_back(0);
        b.push_back(static_cast<std::uint8_t>(20 + i));
    }
    b.push_back(0);
    return b;
}

struct TReadRig {
    TReadRig() {
        Monitor.AddObserver(History);
        Monitor.AddObserver(Events);
        Responder.Answers = [this](std::uint8_t Cid2) -> std::string {
            Commands.push_back(Cid2);
            if (Silent.count(Cid2)) return {};
            if (Refuse.count(Cid2)) return Reply(4);
            if (Cid2 == 0x47) return Reply(0, ParamInfo());
            if (Cid2 == 0x51) return Reply(0, Bytes(70, 0x41));
            return NormalAnswer(Cid2);
        };
    }
    ~TReadRig() {
        Monitor.RemoveObserver(Events);
        Monitor.RemoveObserver(History);
    }
    void Open() {
        Link.Open = true;
        Monitor.LinkOpened("ttyV0");
    }
    void Close() {
        Link.Open = false;
        Monitor.LinkClosed();
    }

    TFakeClock Clock;
    TFakeLink Link{Clock};
    TInputs Inputs;
    TMonitor Monitor{Clock, Link, Inputs};
    TResponder Responder{Clock, Link, Monitor};
    aircon::THistory History;
    TRecorder Events{Clock};
    std::vector<std::uint8_t> Commands;
    std::set<std::uint8_t> Silent, Refuse;
};

std::vector<std::uint8_t> All() {
    return {0x4F, 0x50, 0x51, 0x47};
}

TEST(ReadJob, ReadsWhatTheSessionLacksBesideThePolling) {
    TReadRig rig;
    rig.Open();
    rig.Clock.Advance(Millis(2000));
    EXPECT_EQ(ReadsBeforeReport(rig.History, TSessionMode::PollOne, true), All());
    // Nothing is written while the tool only listens, nor on a closed link.
    EXPECT_TRUE(ReadsBeforeReport(rig.History, TSessionMode::Listen, true).empty());
    EXPECT_TRUE(ReadsBeforeReport(rig.History, TSessionMode::PollOne, false).empty());

    TReadJob job(rig.Monitor, All());
    int done = 0;
    job.OnDone = [&] { ++done; };
    rig.Commands.clear();
    job.Start();
    rig.Clock.Advance(Millis(5000));
    ASSERT_TRUE(job.Done());
    EXPECT_EQ(done, 1);
    for (const auto& r : job.Results())
        EXPECT_EQ(r.Outcome, TReadOutcome::Read) << int(r.CID2);
    // The reads went out in turn, the polling going on between them.
    std::vector<std::uint8_t> reads;
    for (std::uint8_t c : rig.Commands)
        if (c != 0x42 && c != 0x43 && c != 0x44) reads.push_back(c);
    EXPECT_EQ(reads, All());
    EXPECT_GT(rig.Commands.size(), reads.size());
    // The history holds them now: nothing more to read in this session.
    EXPECT_TRUE(rig.History.Latest().Params);
    EXPECT_TRUE(rig.History.Latest().Vendor);
    EXPECT_TRUE(ReadsBeforeReport(rig.History, TSessionMode::PollOne, true).empty());

    // Reopened, what was read before belongs to the earlier session.
    rig.Close();
    rig.Clock.Advance(Millis(1000));
    rig.Open();
    EXPECT_EQ(ReadsBeforeReport(rig.History, TSessionMode::PollOne, true), All());
}

TEST(ReadJob, RefusedUnansweredAndAClosedLinkConcludeEachRead) {
    TReadRig rig;
    rig.Refuse = {0x50};
    rig.Silent = {0x51};
    rig.Open();
    TReadJob job(rig.Monitor, All());
    job.Start();
    rig.Clock.Advance(Millis(4000));
    ASSERT_TRUE(job.Done());
    const auto& r = job.Results();
    EXPECT_EQ(r[0].Outcome, TReadOutcome::Read);
    EXPECT_EQ(r[1].Outcome, TReadOutcome::Refused);
    EXPECT_EQ(r[1].Rtn, 4);
    EXPECT_EQ(r[2].Outcome, TReadOutcome::NoReply);
    EXPECT_EQ(r[3].Outcome, TReadOutcome::Read);
    // Refused and unanswered ones are still needed.
    EXPECT_EQ(ReadsBeforeReport(rig.History, TSessionMode::PollOne, true),
              (std::vector<std::uint8_t>{0x50, 0x51}));

    // The link closes while reads wait: each of them ends unanswered, once.
    TReadJob second(rig.Monitor, All());
    int done = 0;
    second.OnDone = [&] { ++done; };
    second.Start();
    rig.Close();
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(done, 1);
    for (const auto& x : second.Results())
        EXPECT_EQ(x.Outcome, TReadOutcome::NoReply);
    rig.Clock.Advance(Millis(2000));
    EXPECT_EQ(done, 1);
}

}  // namespace
}  // namespace coretest
