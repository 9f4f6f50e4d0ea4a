// Link counters: what the link did since it opened, as the status bar and the
// headless poller's metrics read it.
#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "LinkCounters.h"

namespace coretest {
namespace {

TEST(LinkCounters, CountWhatTheLinkDid) {
    TRig rig;
    rig.Inputs.Auto = false;
    TLinkCounters counters;
    rig.Monitor.AddObserver(counters);
    // Counts from before the opening go.
    rig.Link.Open = true;
    rig.Monitor.SendNoDataCmd(1, 0x42);
    rig.Feed("junk");
    rig.Link.Open = false;
    rig.Open();
    EXPECT_EQ(counters.Data().CommandsSent, 0u);
    EXPECT_EQ(counters.Data().NoiseBytes, 0u);

    struct TStep {
        long long at;
        std::function<void(TRig&)> act;
    };
    const TStep steps[] = {
        {0, [](TRig& r) { r.Monitor.SendNoDataCmd(1, 0x42); }},
        {20, [](TRig& r) { r.Feed(Reply(0, AnalogInfo())); }},  // answered in 20 ms
        {100, [](TRig& r) { r.Monitor.SendNoDataCmd(1, 0x43); }},
        {160, [](TRig& r) { r.Feed(Reply(2)); }},  // refused, in 60 ms
        {200, [](TRig& r) { r.Monitor.SendNoDataCmd(1, 0x44); }},
        {210, [](TRig& r) { r.Feed("xx~\r"); }},  // an error frame in 10 ms, 2 bytes noise
        {300, [](TRig& r) { r.Monitor.SendNoDataCmd(1, 0x42); }},
        {400, [](TRig& r) { r.Monitor.SendNoDataCmd(1, 0x43); }},         // 0x42 got nothing
        {500, [](TRig& r) { r.Feed(Reply(0, SwitchInfo()) + "\r\n"); }},  // 100 ms, 2 noise
    };
    for (const TStep& s : steps) {
        rig.RunTo(s.at);
        s.act(rig);
    }
    const TLinkCountersData& d = counters.Data();
    EXPECT_EQ(d.CommandsSent, 5u);
    EXPECT_EQ(d.Replies, 3u);
    EXPECT_EQ(d.ErrorFrames, 1u);
    EXPECT_EQ(d.RtnErrors, 1u);
    EXPECT_EQ(d.RepliesMissing, 1u);
    EXPECT_EQ(d.NoiseBytes, 4u);
    EXPECT_EQ(d.LastResponse, Millis(100));
    EXPECT_EQ(d.MinResponse, Millis(10));
    EXPECT_EQ(d.MaxResponse, Millis(100));
    EXPECT_EQ(d.MeanResponse, Millis(47));  // (20 + 60 + 10 + 100) / 4
    EXPECT_EQ(d.LastGoodReply, rig.Clock.Start() + Millis(500));
    EXPECT_EQ(d.LastGoodReplyWall, TFakeClock::DefaultWallStart() + Millis(500));

    // Reopening starts afresh; so does a reset.
    rig.Close();
    EXPECT_EQ(counters.Data().CommandsSent, 5u);  // closing keeps them for reading
    rig.Open();
    EXPECT_EQ(counters.Data().CommandsSent, 0u);
    EXPECT_FALSE(counters.Data().LastResponse);
    EXPECT_FALSE(counters.Data().LastGoodReply);
    rig.Monitor.SendNoDataCmd(1, 0x42);
    rig.RunTo(530);
    rig.Feed(Reply(0, AnalogInfo()));
    EXPECT_EQ(counters.Data().MeanResponse, Millis(30));
    counters.Reset();
    EXPECT_EQ(counters.Data().Replies, 0u);
    EXPECT_FALSE(counters.Data().MeanResponse);
}

TEST(LinkCounters, LateAnswerCountsAsMissingWithItsResponseTime) {
    TRig rig;
    TLinkCounters counters;
    rig.Monitor.AddObserver(counters);
    rig.Open();
    rig.RunTo(1550);  // 0x42, 0x43, 0x44 sent, none answered
    rig.RunTo(1900);  // 0x44's tick finds nothing left to send
    rig.RunTo(1950);
    rig.Feed(Reply(0, AlarmInfo()));
    const TLinkCountersData& d = counters.Data();
    EXPECT_EQ(d.CommandsSent, 3u);
    EXPECT_EQ(d.RepliesMissing, 3u);
    EXPECT_EQ(d.Replies, 1u);
    EXPECT_EQ(d.MaxResponse, Millis(400));
}

}  // namespace
}  // namespace coretest
