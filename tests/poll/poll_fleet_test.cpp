// Several controllers on one line: the poll plan and the booking of replies over real
// monitoring cores on the fake clock, with simulated controllers that fall silent, answer
// late, answer at another address, and a line with noise and damaged frames.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Controller.h"
#include "Exposition.h"
#include "FakeClock.h"
#include "Fleet.h"
#include "Frame.h"
#include "LinkCounters.h"
#include "Metrics.h"
#include "Monitor.h"
#include "MultiPoll.h"
#include "SimFrame.h"

namespace {

using namespace aircon;
using airconpoll::TFleet;
using airconpoll::TPollOptions;

TEST(FleetAddressList, ParsesListsAndRanges) {
    const struct {
        std::string text;
        std::vector<std::uint8_t> want;
        std::string error;  // the start of the error, when the list is bad
    } cases[] = {
        {"1", {1}, ""},
        {"1,2,7", {1, 2, 7}, ""},
        {"1-3,7", {1, 2, 3, 7}, ""},
        {"7,1-2", {7, 1, 2}, ""},
        {"0,255", {0, 255}, ""},
        {"254-255", {254, 255}, ""},
        {"", {}, "'' is not a whole number from 0 to 255"},
        {"1,,2", {}, "'' is not a whole number"},
        {"1,", {}, "'' is not a whole number"},
        {"256", {}, "'256' is not a whole number from 0 to 255"},
        {"3-1", {}, "'3-1': the range ends before it begins"},
        {"1-2,2", {}, "address 2 is given twice"},
        {"1-x", {}, "'1-x' is not"},
        {"-1", {}, "'-1' is not"},
        {" 1", {}, "' 1' is not"},
        {"0x10", {}, "'0x10' is not"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto list = ParseAddressList(c.text, error);
        if (c.error.empty()) {
            ASSERT_TRUE(list) << error;
            EXPECT_EQ(*list, c.want);
        } else {
            EXPECT_FALSE(list);
            EXPECT_TRUE(error.starts_with(c.error)) << error;
        }
    }
}

// What a controller on the line does with its replies.
struct TFault {
    bool Silent = false;
    std::optional<std::uint8_t> ReplyAs;  // its replies carry this address
    Millis Delay{60};                     // turnaround
};

// A line of several simulated controllers: each command frame goes to the controller of
// its address, which answers after its delay (unless silent).
class TLine : public ILink {
  public:
    TLine(TFakeClock& Clock, const std::vector<std::uint8_t>& Addresses) : FClock(Clock) {
        for (std::uint8_t a : Addresses) {
            acsim::ControllerConfig config;
            config.address = a;
            config.seed = a;
            config.alarmEventSeconds = 0;
            FControllers.emplace(a, acsim::Controller(config));
        }
    }
    bool Connected() const override { return true; }
    std::int32_t Write(std::span<const std::uint8_t> Frame) override {
        const acsim::CommandFrame c = acsim::ParseCommand(Frame);
        Sent.push_back({c.addr.value_or(0), c.cid2, FClock.Now()});
        const auto it = c.addr ? FControllers.find(*c.addr) : FControllers.end();
        if (it == FControllers.end()) return static_cast<std::int32_t>(Frame.size());
        const TFault& fault = Faults[*c.addr];
        if (fault.Silent) return static_cast<std::int32_t>(Frame.size());
        const auto reply = it->second.Handle(Frame);
        if (!reply) return static_cast<std::int32_t>(Frame.size());
        std::string bytes = reply->frame;
        if (fault.ReplyAs) {
            const auto f =
                BuildCommand(TDH_Header{0x10, *fault.ReplyAs, 0x60, reply->rtn}, reply->info);
            bytes.assign(f.begin(), f.end());
        }
        FPending.push_back({FClock.Now() + fault.Delay, std::move(bytes)});
        return static_cast<std::int32_t>(Frame.size());
    }
    std::vector<std::string> TakeDue() {
        std::vector<std::string> out;
        for (auto it = FPending.begin(); it != FPending.end();) {
            if (it->Due <= FClock.Now()) {
                out.push_back(std::move(it->Bytes));
                it = FPending.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }
    void Inject(std::string Bytes) { FPending.push_back({FClock.Now(), std::move(Bytes)}); }

    struct TSent {
        std::uint8_t Addr;
        std::uint8_t CID2;
        SteadyTime At;
    };
    std::vector<TSent> Sent;
    std::map<std::uint8_t, TFault> Faults;

  private:
    struct TPending {
        SteadyTime Due;
        std::string Bytes;
    };
    TFakeClock& FClock;
    std::map<std::uint8_t, acsim::Controller> FControllers;
    std::deque<TPending> FPending;
};

// The poller's fleet on a monitor over the line, polling automatically off, as the poller
// sets it up; the line's counters beside it.
struct TFleetRig {
    explicit TFleetRig(std::vector<std::uint8_t> Addresses, std::vector<std::uint8_t> OnLine = {})
        : Line(Clock, OnLine.empty() ? Addresses : OnLine),
          Settings(TPollSettings{Addresses.front(), 500, 350, false}),
          Monitor(Clock, Line, Settings),
          Fleet(Clock, Monitor, Options(Addresses)) {
        Monitor.AddObserver(LineCounters);
        Monitor.LinkOpened("line");
        Fleet.QueueReads(airconpoll::TOnceCheck::Reads);
    }
    static TPollOptions Options(std::vector<std::uint8_t> Addresses) {
        TPollOptions o;
        o.Port = "line";
        o.Addresses = std::move(Addresses);
        o.Addr = o.Addresses.front();
        o.TimeoutMs = 350;
        return o;
    }
    void Run(Millis Span) {
        const auto end = Clock.Now() + Span;
        while (Clock.Now() < end) {
            Clock.Advance(Millis(10));
            for (const auto& r : Line.TakeDue())
                Monitor.ReceiveData(
                    std::span(reinterpret_cast<const std::uint8_t*>(r.data()), r.size()));
        }
    }
    airconpoll::TMetricsData Of(std::uint8_t Addr) const {
        for (const auto& m : Fleet.Metrics())
            if (m.Addr == Addr) return m;
        ADD_FAILURE() << "no controller " << int(Addr);
        return {};
    }
    // Commands sent to Addr, and how many of them.
    std::size_t CommandsTo(std::uint8_t Addr) const {
        std::size_t n = 0;
        for (const auto& s : Line.Sent)
            n += s.Addr == Addr;
        return n;
    }

    TFakeClock Clock;
    TLine Line;
    TFixedPollSettings Settings;
    TMonitor Monitor;
    TFleet Fleet;
    TLinkCounters LineCounters;
};

TEST(FleetPlan, ControllersTakeTurnsCommandByCommandOneCommandPerTimeOut) {
    TFleetRig rig({1, 2, 7});
    rig.Run(Millis(10000));  // the identity reads are done
    std::map<std::uint8_t, std::uint64_t> before;
    for (const auto& m : rig.Fleet.Metrics())
        before[*m.Addr] = m.Commands;
    rig.Line.Sent.clear();
    rig.Run(Millis(60000));
    const auto& sent = rig.Line.Sent;
    ASSERT_GT(sent.size(), 150u);
    const std::vector<std::uint8_t> order{1, 2, 7};
    std::map<std::uint8_t, std::vector<std::uint8_t>> polls;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE("command " + std::to_string(i));
        // One command per reply time-out, never two within it.
        if (i > 0) {
            ASSERT_EQ(sent[i].At - sent[i - 1].At, Millis(350));
        }
        // The addresses in the order given, one command each: a late reply falls into
        // another address's slot.
        if (i > 0) {
            const auto pos =
                std::find(order.begin(), order.end(), sent[i - 1].Addr) - order.begin();
            EXPECT_EQ(sent[i].Addr, order[static_cast<std::size_t>(pos + 1) % order.size()]);
        }
        polls[sent[i].Addr].push_back(sent[i].CID2);
    }
    for (std::uint8_t a : order) {
        SCOPED_TRACE(int(a));
        const auto& p = polls[a];
        for (std::size_t k = 1; k < p.size(); ++k)
            ASSERT_EQ(p[k], 0x42 + (p[k - 1] - 0x42 + 1) % 3) << "poll steps in order";
        const auto m = rig.Of(a);
        EXPECT_TRUE(m.Up);
        EXPECT_EQ(m.Commands - before[a], rig.CommandsTo(a));
        EXPECT_EQ(m.RepliesMissing, 0u);
        // Both units of every poll reply, and the identity read at the start.
        for (std::size_t u = 0; u < 2; ++u) {
            EXPECT_TRUE(m.Analog[u]);
            EXPECT_TRUE(m.Switches[u]);
            EXPECT_TRUE(m.Alarms[u]);
        }
        ASSERT_TRUE(m.Address);
        EXPECT_EQ(m.Address->Addr, a);
    }
    const auto strays = rig.Fleet.Plan().Strays();
    EXPECT_EQ(strays.Late + strays.OtherAddress + strays.NotPolled, 0u);
}

TEST(FleetPlan, ReadsQueuedForOneControllerGoOnlyToIt) {
    TFleetRig rig({1, 2});
    rig.Run(Millis(5000));
    rig.Line.Sent.clear();
    rig.Fleet.Plan().QueueReads(2, std::vector<std::uint8_t>{0x4F, 0x47, 0x4F});
    rig.Run(Millis(10000));
    std::vector<std::uint8_t> reads;
    for (const auto& s : rig.Line.Sent)
        if (s.CID2 == 0x4F || s.CID2 == 0x47) {
            EXPECT_EQ(s.Addr, 2);
            reads.push_back(s.CID2);
        }
    EXPECT_EQ(reads, (std::vector<std::uint8_t>{0x4F, 0x47}));
}

// The faults of one controller: never booked to another, counted where they belong.
TEST(FleetBooking, FaultsOfOneControllerAreCountedAndNeverBookedToAnother) {
    const struct {
        std::string name;
        TFault fault;                      // of controller 2; 1 and 3 answer well
        std::vector<std::uint8_t> onLine;  // empty: the polled ones
        TStrayCounts strays;               // which counter grows (non-zero: grows)
        bool secondUp;
    } cases[] = {
        {"silent", {true, std::nullopt, Millis(60)}, {}, {}, false},
        // Its reply leaves after the next command (to another controller) was sent.
        {"late", {false, std::nullopt, Millis(400)}, {}, {1, 0, 0}, false},
        // It answers as if it were controller 3 (polled too).
        {"as another polled address", {false, 3, Millis(60)}, {}, {0, 1, 0}, false},
        // It answers as controller 1, whose command went just before and was answered.
        {"as the address of the command before", {false, 1, Millis(60)}, {}, {0, 1, 0}, false},
        // It answers as address 9, which is not polled.
        {"as an address not polled", {false, 9, Millis(60)}, {}, {0, 0, 1}, false},
        {"well", {}, {}, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFleetRig rig({1, 2, 3});
        rig.Line.Faults[2] = c.fault;
        rig.Run(Millis(120000));
        const auto strays = rig.Fleet.Plan().Strays();
        EXPECT_EQ(strays.Late > 0, c.strays.Late > 0) << strays.Late;
        EXPECT_EQ(strays.OtherAddress > 0, c.strays.OtherAddress > 0) << strays.OtherAddress;
        EXPECT_EQ(strays.NotPolled > 0, c.strays.NotPolled > 0) << strays.NotPolled;

        for (std::uint8_t a : {1, 3}) {
            SCOPED_TRACE(int(a));
            const auto m = rig.Of(a);
            EXPECT_TRUE(m.Up);
            EXPECT_EQ(m.Commands, rig.CommandsTo(a));
            // Every command of a well controller got exactly its own reply: nothing more
            // was booked to it (the last one may still be under way).
            EXPECT_LE(m.Replies, m.Commands);
            EXPECT_GE(m.Replies + 1, m.Commands);
            EXPECT_EQ(m.RepliesMissing, 0u);
            ASSERT_TRUE(m.Address);
            EXPECT_EQ(m.Address->Addr, a) << "the identity read is its own";
        }
        const auto m2 = rig.Of(2);
        EXPECT_EQ(m2.Up, c.secondUp);
        EXPECT_EQ(m2.Commands, rig.CommandsTo(2));
        if (!c.secondUp) {
            EXPECT_EQ(m2.Replies, 0u);
            EXPECT_GE(m2.RepliesMissing + 1, m2.Commands);
            EXPECT_FALSE(m2.Analog[0] || m2.Analog[1] || m2.Address);
            // Known silent: probed once a round, so the others are polled far more.
            EXPECT_LT(rig.CommandsTo(2) * 3, rig.CommandsTo(1));
        }
        // Frames that passed the check all reached the line; none failed it.
        EXPECT_EQ(rig.LineCounters.Data().ErrorFrames, 0u);
    }
}

TEST(FleetBooking, DamagedFramesAndNoiseBelongToTheLine) {
    TFleetRig rig({1, 2});
    rig.Run(Millis(3000));
    rig.Line.Inject("\x01\x02 junk");
    rig.Line.Inject("~10016000A000FFFF\r");  // checksum wrong
    rig.Run(Millis(3000));
    EXPECT_EQ(rig.LineCounters.Data().ErrorFrames, 1u);
    EXPECT_GT(rig.LineCounters.Data().NoiseBytes, 0u);
    for (std::uint8_t a : {1, 2}) {
        const auto m = rig.Of(a);
        EXPECT_EQ(m.ErrorFrames, 0u);
        EXPECT_TRUE(m.Up);
    }
}

TEST(FleetPlan, ASilentControllerCostsTheOthersOneTimeOutARound) {
    // Three answering controllers: each read every 6 x 3 time-outs. The same with the third
    // silent: the other two are read every 6 x 2 + 1 time-outs.
    const struct {
        bool thirdSilent;
        Millis period;
    } cases[] = {{false, Millis(18 * 350)}, {true, Millis(13 * 350)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.thirdSilent);
        TFleetRig rig({1, 2, 3});
        rig.Line.Faults[3].Silent = c.thirdSilent;
        rig.Run(Millis(60000));
        rig.Line.Sent.clear();
        rig.Run(Millis(60000));
        // Controller 1's full read (six poll commands) takes one round.
        std::vector<SteadyTime> ones;
        for (const auto& x : rig.Line.Sent)
            if (x.Addr == 1) ones.push_back(x.At);
        ASSERT_GT(ones.size(), 30u);
        for (std::size_t i = 6; i < ones.size(); ++i)
            EXPECT_EQ(ones[i] - ones[i - 6], c.period) << i;
    }
}

TEST(FleetPlan, AControllerThatAnswersAgainGetsFullTurnsAndItsIdentityRead) {
    TFleetRig rig({1, 2});
    rig.Line.Faults[2].Silent = true;
    rig.Run(Millis(30000));
    EXPECT_FALSE(rig.Of(2).Up);
    rig.Line.Faults[2].Silent = false;
    // The reads queued at the opening waited for its first reply.
    rig.Run(Millis(10000));
    const auto m = rig.Of(2);
    EXPECT_TRUE(m.Up);
    ASSERT_TRUE(m.Address);
    EXPECT_EQ(m.Address->Addr, 2);
    EXPECT_TRUE(m.Analog[0] && m.Analog[1]);
}

TEST(FleetMetrics, ControllersCarryAddrTheLineOnlyItsPort) {
    TFleetRig rig({1, 2});
    rig.Line.Faults[2].Silent = true;
    rig.Run(Millis(20000));
    airconpoll::TMetricsData line;
    line.Port = "line";
    line.PortOpen = true;
    line.ErrorFrames = 4;
    const auto controllers = rig.Fleet.Metrics();
    const std::string text =
        airconpoll::FormatFleetMetrics(line, controllers, rig.Fleet.Plan().Strays());
    const auto p = exposition::Parse(text);
    ASSERT_EQ(p.Error, "") << text;
    const auto up1 = p.Find("aircon_up", {{"addr", "1"}});
    const auto up2 = p.Find("aircon_up", {{"addr", "2"}});
    ASSERT_EQ(up1.size(), 1u);
    ASSERT_EQ(up2.size(), 1u);
    EXPECT_EQ(up1[0].Value, "1");
    EXPECT_EQ(up2[0].Value, "0");
    EXPECT_FALSE(p.Find("aircon_analog", {{"addr", "1"}}).empty());
    EXPECT_TRUE(p.Find("aircon_analog", {{"addr", "2"}}).empty());
    for (const std::string name : {"aircon_port_open", "aircon_error_frames_total",
                                   "aircon_reconnects_total", "aircon_stray_replies_total"}) {
        const auto samples = p.Find(name, {});
        ASSERT_FALSE(samples.empty()) << name;
        for (const auto& s : samples)
            EXPECT_EQ(s.Labels.count("addr"), 0u) << name;
    }
    EXPECT_EQ(p.Find("aircon_error_frames_total", {})[0].Value, "4");
    EXPECT_EQ(p.Find("aircon_stray_replies_total", {}).size(), 3u);
    for (const auto& s : p.Samples)
        if (s.Name != "aircon_port_open" && s.Name != "aircon_error_frames_total" &&
            s.Name != "aircon_reconnects_total" && s.Name != "aircon_stray_replies_total") {
            EXPECT_EQ(s.Labels.count("addr"), 1u) << s.Name;
        }
}

}  // namespace
