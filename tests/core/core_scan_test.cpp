// The scan of rates and addresses on the fake clock: a line of stand-in controllers, each
// at its own rate and address, answering after a delay of its own.
#include <gtest/gtest.h>

#include <map>

#include "CoreTestSupport.h"
#include "FakeComPlatform.h"
#include "Scan.h"

using namespace coretest;

namespace {

// A controller on the fake line: answers only at its own rate.
struct TStandIn {
    std::int32_t Rate = 9600;
    std::uint8_t Rtn = 0;  // of every reply
    std::uint8_t Ver = 0x10;
    Millis Delay{10};  // from the command's write to its whole reply
    std::string Name = "AC-CTRL";
    std::uint8_t ReplyAddr = 0;  // 0: its own address
    bool Silent = false;         // found by 0x4F, then silent
};

Bytes VendorInfo(const std::string& Name) {
    Bytes b(70, ' ');
    std::copy(Name.begin(), Name.end(), b.begin());
    b[30] = '1';
    b[31] = '2';
    const std::string vendor = "ACME";
    std::copy(vendor.begin(), vendor.end(), b.begin() + 50);
    return b;
}

// The line: the rig's monitor, line settings as a record, and the controllers.
class TFakeScanLine : public IScanLine {
  public:
    explicit TFakeScanLine(TRig& Rig) : FRig(Rig) {
        Rig.Link.OnWrite = [this](std::span<const std::uint8_t> Frame) { Written(Frame); };
    }
    TMonitor& Monitor() override { return FRig.Monitor; }
    bool IsOpen() const override { return FRig.Link.Open; }
    TLineSettings Line() const override { return Settings; }
    void SetLine(const TLineSettings& Line) override {
        Settings = Line;
        Changes.push_back(BaudRateValue(Line.BaudRate));
    }

    TLineSettings Settings;
    std::map<std::uint8_t, TStandIn> Controllers;
    std::vector<std::int32_t> Changes;
    std::vector<std::string> Asked;  // "9600:5:4F"

  private:
    void Written(std::span<const std::uint8_t> Frame) {
        const TFrameAnatomy cmd = DissectFrame(Frame);
        const std::uint8_t addr = *cmd.Addr;
        const std::uint8_t cid2 = *cmd.Cid2OrRtn;
        const std::int32_t rate = BaudRateValue(Settings.BaudRate);
        Asked.push_back(std::to_string(rate) + ":" + std::to_string(addr) + ":" + Hex2(cid2));
        const auto it = Controllers.find(addr);
        if (it == Controllers.end() || it->second.Rate != rate) return;
        const TStandIn& c = it->second;
        if (c.Silent && cid2 != 0x4F) return;
        const std::uint8_t from = c.ReplyAddr ? c.ReplyAddr : addr;
        const Bytes info = cid2 == 0x51 && c.Rtn == 0 ? VendorInfo(c.Name) : Bytes{};
        Later(c.Delay, Reply(c.Rtn, info, from, c.Ver));
    }
    void Later(Millis Delay, std::string Frame) {
        auto timer = FRig.Clock.CreateTimer();
        ITimerDriver* t = timer.get();
        t->OnFire = [this, t, Frame] {
            t->Stop();
            FRig.Feed(Frame);
        };
        t->Start(Delay);
        FTimers.push_back(std::move(timer));
    }
    TRig& FRig;
    std::vector<std::unique_ptr<ITimerDriver>> FTimers;
};

struct TScanRig {
    TRig Rig;
    TFakeScanLine Line{Rig};
    std::optional<TScanEnd> End;
    std::vector<TScanProgress> Progress;
    // What was written and asked when the scan ended (polling goes on after it).
    std::size_t WritesAtEnd = 0;
    std::vector<std::string> AskedAtEnd;

    TScanRig() {
        Line.Settings = TLineSettings{"ttyV0", TBaudRate::Br2400, TDataBits::DbSeven,
                                      TParityBits::PrEven, TStopBits::SbTwoStopBits};
        Rig.Open();
    }
    std::unique_ptr<TScan> Make(TScanSettings Settings) {
        auto scan = std::make_unique<TScan>(Rig.Clock, Line, std::move(Settings));
        scan->OnFinished = [this](TScanEnd e) {
            End = e;
            WritesAtEnd = Rig.Link.Writes.size();
            AskedAtEnd = Line.Asked;
        };
        scan->OnProgress = [this](const TScanProgress& p) { Progress.push_back(p); };
        return scan;
    }
    void RunFor(long long Ms) { Rig.RunTo(Rig.Now() + Ms); }
};

TScanSettings Small(std::vector<TBaudRate> Rates, std::uint8_t First, std::uint8_t Last) {
    TScanSettings s;
    s.Rates = std::move(Rates);
    s.FirstAddr = First;
    s.LastAddr = Last;
    return s;
}

}  // namespace

// The waits per rate at 8N1 and the default margin, and what a frame format changes.
TEST(ScanWait, DerivesFromTheRate) {
    const double bits8N1 =
        BitsPerCharacter(TDataBits::DbEight, TParityBits::PrNone, TStopBits::SbOneStopBit);
    EXPECT_EQ(bits8N1, 10);
    EXPECT_EQ(BitsPerCharacter(TDataBits::DbSeven, TParityBits::PrEven, TStopBits::SbTwoStopBits),
              11);
    EXPECT_EQ(BitsPerCharacter(TDataBits::DbFive, TParityBits::PrNone, TStopBits::SbOne5StopBits),
              7.5);
    struct TCase {
        std::int32_t Rate;
        long long Wait;
    };
    // 18 characters of 10 bits, rounded up to the millisecond, plus 50 ms.
    for (const TCase c : {TCase{1200, 200}, {2400, 125}, {4800, 88}, {9600, 69}, {19200, 60}}) {
        SCOPED_TRACE(c.Rate);
        EXPECT_EQ(ProbeWait(c.Rate, bits8N1, Millis(50)).count(), c.Wait);
    }
    EXPECT_EQ(ProbeWait(9600, bits8N1, Millis(200)).count(), 219) << "the margin is settable";
    // The identity wait also holds the longest reply (0x51, 158 characters).
    EXPECT_EQ(IdentityWait(9600, bits8N1, Millis(50)).count(), 184 + 50);
}

// Whom a scan finds, as a table of lines.
TEST(Scan, FindsWhatAnswersAtItsRateAndAddress) {
    struct TCase {
        const char* Name;
        std::map<std::uint8_t, TStandIn> Controllers;
        std::vector<std::string> Found;  // "rate addr rtn ver name late"
        int Stray;
    };
    const std::vector<TCase> cases{
        {"nobody", {}, {}, 0},
        {"one at 9600", {{3, {9600}}}, {"9600 3 0 10 AC-CTRL in time"}, 0},
        {"one at 2400 only", {{1, {2400}}}, {"2400 1 0 10 AC-CTRL in time"}, 0},
        {"two at two rates",
         {{0, {2400}}, {5, {9600}}},
         {"2400 0 0 10 AC-CTRL in time", "9600 5 0 10 AC-CTRL in time"},
         0},
        {"another protocol version answers RTN 1: found, no identity",
         {{2, TStandIn{9600, 1, 0x21}}},
         {"9600 2 1 21 - in time"},
         0},
        {"late: booked to the address asked before",
         {{2, TStandIn{9600, 0, 0x10, Millis(100)}}},
         {"9600 2 0 10 AC-CTRL late"},
         0},
        {"wrong address in the reply: not found, counted",
         {{4, TStandIn{9600, 0, 0x10, Millis(10), "X", 9}}},
         {},
         1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TScanRig r;
        r.Line.Controllers = c.Controllers;
        auto scan = r.Make(Small({TBaudRate::Br2400, TBaudRate::Br9600}, 0, 5));
        ASSERT_TRUE(scan->Start());
        r.RunFor(20000);
        ASSERT_EQ(r.End, TScanEnd::Completed);
        std::vector<std::string> found;
        for (const TScanFound& f : scan->Found()) {
            const std::string name = f.Name ? *f.Name : "-";
            found.push_back(std::to_string(f.Rate) + " " + std::to_string(f.Addr) + " " +
                            std::to_string(f.Rtn) + " " + Hex2(f.Ver) + " " + name + " " +
                            (f.Late ? "late" : "in time"));
        }
        EXPECT_EQ(found, c.Found);
        EXPECT_EQ(scan->StrayFrames(), c.Stray);
        // Every address at every rate asked 0x4F once, in order.
        int probes = 0;
        for (const std::string& a : r.AskedAtEnd)
            probes += a.ends_with(":4F");
        EXPECT_EQ(probes, 12);
    }
}

// A found controller is asked 0x50 and 0x51; the identity is listed with it.
TEST(Scan, AsksTheIdentityOfWhatItFinds) {
    TScanRig r;
    r.Line.Controllers = {{7, TStandIn{9600, 0, 0x10, Millis(15), "AC-7"}}};
    auto scan = r.Make(Small({TBaudRate::Br9600}, 6, 8));
    std::vector<std::string> events;
    scan->OnFound = [&](const TScanFound& f) {
        events.push_back("found " + std::to_string(f.Addr));
    };
    scan->OnIdentified = [&](const TScanFound& f) {
        events.push_back("identified " + std::to_string(f.Addr) + " " + f.Name.value_or("?"));
    };
    ASSERT_TRUE(scan->Start());
    r.RunFor(5000);
    ASSERT_EQ(r.End, TScanEnd::Completed);
    EXPECT_EQ(r.AskedAtEnd, (std::vector<std::string>{"9600:6:4F", "9600:7:4F", "9600:7:50",
                                                      "9600:7:51", "9600:8:4F"}));
    EXPECT_EQ(events, (std::vector<std::string>{"found 7", "identified 7 AC-7"}));
    ASSERT_EQ(scan->Found().size(), 1u);
    const TScanFound& f = scan->Found()[0];
    EXPECT_EQ(f.SoftwareVersion, "12");
    EXPECT_EQ(f.Vendor, "ACME");
    EXPECT_EQ(f.ReportedAddr, 7);
}

// A late reply from the address asked before is booked to that address, and its identity
// is asked after the address being asked; the address being asked is not taken for it.
TEST(Scan, BooksALateReplyToTheAddressAskedBefore) {
    TScanRig r;
    // Address 2 answers 100 ms after the command: the wait at 9600 is 69 ms.
    r.Line.Controllers = {{2, TStandIn{9600, 0, 0x10, Millis(100), "LATE"}}};
    auto scan = r.Make(Small({TBaudRate::Br9600}, 1, 4));
    ASSERT_TRUE(scan->Start());
    r.RunFor(5000);
    ASSERT_EQ(r.End, TScanEnd::Completed);
    ASSERT_EQ(scan->Found().size(), 1u);
    EXPECT_EQ(scan->Found()[0].Addr, 2);
    EXPECT_TRUE(scan->Found()[0].Late);
    EXPECT_EQ(scan->Found()[0].Name, "LATE");
    // Its identity is asked once the address being asked has had its wait.
    EXPECT_EQ(r.AskedAtEnd, (std::vector<std::string>{"9600:1:4F", "9600:2:4F", "9600:3:4F",
                                                      "9600:2:50", "9600:2:51", "9600:4:4F"}));
}

// The dead-address waits on the clock: one command every wait, and a reply on its way at
// the end of the wait stretches it once.
TEST(Scan, SpacesCommandsByTheWaitOfTheRate) {
    TScanRig r;
    auto scan = r.Make(Small({TBaudRate::Br9600, TBaudRate::Br19200}, 0, 2));
    scan->Start();
    r.RunFor(5000);
    ASSERT_EQ(r.End, TScanEnd::Completed);
    std::vector<long long> at;
    for (std::size_t i = 0; i < r.WritesAtEnd; ++i)
        at.push_back(r.Rig.Link.Writes[i].At);
    // Before each rate the line settles for the longest reply at the rate before (784 ms
    // at the line's 2400, 234 ms after 9600), then 500 ms listening; 69 ms per address at
    // 9600, 60 at 19200.
    const long long second = 1284 + 207 + 234 + 500;
    EXPECT_EQ(at, (std::vector<long long>{1284, 1284 + 69, 1284 + 138, second, second + 60,
                                          second + 120}));
    EXPECT_EQ(r.Progress.front().Total, 6);
    EXPECT_EQ(r.Progress.front().Left.count(), second + 3 * 60);
    EXPECT_EQ(scan->PlannedTime().count(), second + 3 * 60);
    EXPECT_EQ(r.Progress.back().Done, 6);
    EXPECT_EQ(r.Progress.back().Left.count(), 0);
    for (std::size_t i = 1; i < r.Progress.size(); ++i)
        EXPECT_LE(r.Progress[i].Left, r.Progress[i - 1].Left);

    // Half a frame is held when the wait ends: the rest comes within the stretch.
    TScanRig s;
    auto scan2 = s.Make(Small({TBaudRate::Br9600}, 0, 1));
    scan2->Start();
    s.RunFor(1284 + 60);  // the command to 0 went out at 1284
    const std::string reply = Reply(0, {}, 0);
    s.Rig.Feed(reply.substr(0, 9));
    s.RunFor(20);  // past the 69 ms wait
    EXPECT_EQ(s.Rig.Link.Writes.size(), 1u) << "still waiting for the frame on its way";
    s.Rig.Feed(reply.substr(9));
    ASSERT_EQ(scan2->Found().size(), 1u);
    EXPECT_EQ(scan2->Found()[0].Addr, 0);
}

// Stopped halfway, or ended: the line settings before the scan are back, and polling is
// as it was.
TEST(Scan, StopsCleanlyAndRestores) {
    struct TCase {
        const char* Name;
        long long StopAt;  // -1: runs to its end
        bool PollBefore;
        TScanEnd End;
    };
    for (const TCase c : {TCase{"stopped while listening", 100, true, TScanEnd::Stopped},
                          {"stopped halfway", 1600, true, TScanEnd::Stopped},
                          {"ended", -1, true, TScanEnd::Completed},
                          {"ended, polling was off", -1, false, TScanEnd::Completed}}) {
        SCOPED_TRACE(c.Name);
        TScanRig r;
        r.Rig.Monitor.PollTimer().SetEnabled(c.PollBefore);
        const TLineSettings before = r.Line.Settings;
        auto scan = r.Make(Small({TBaudRate::Br9600, TBaudRate::Br19200}, 0, 9));
        ASSERT_TRUE(scan->Start());
        EXPECT_FALSE(r.Rig.Monitor.PollTimer().Enabled()) << "polling pauses";
        EXPECT_EQ(r.Line.Settings.BaudRate, TBaudRate::Br9600);
        EXPECT_EQ(r.Line.Settings.DataBits, TDataBits::DbEight) << "8N1 unless chosen";
        // A command the host queues meanwhile waits for the scan.
        r.Rig.Monitor.QueueCommand(TIntCMD{0x47, 0, 0});
        if (c.StopAt >= 0) {
            r.RunFor(c.StopAt);
            scan->Stop();
        } else {
            r.RunFor(10000);
        }
        EXPECT_EQ(r.End, c.End);
        EXPECT_FALSE(scan->Running());
        const TLineSettings& after = r.Line.Settings;
        EXPECT_EQ(after.BaudRate, before.BaudRate);
        EXPECT_EQ(after.DataBits, before.DataBits);
        EXPECT_EQ(after.Parity, before.Parity);
        EXPECT_EQ(after.StopBits, before.StopBits);
        EXPECT_EQ(r.Rig.Monitor.PollTimer().Enabled(), c.PollBefore) << "polling as it was";
        const std::size_t writes = r.WritesAtEnd;
        for (std::size_t i = 0; i < writes; ++i)
            EXPECT_NE(r.Rig.Link.Writes[i].Frame, BuildCommandText(0x47, 1))
                << "nothing of the host during the scan";
        r.RunFor(1000);
        ASSERT_GT(r.Rig.Link.Writes.size(), writes) << "the host's command goes out after";
        EXPECT_EQ(r.Rig.Link.Writes[writes].Frame, BuildCommandText(0x47, 1));
        if (c.StopAt == 1600) {
            EXPECT_GT(r.Progress.back().Done, 0);
            EXPECT_LT(r.Progress.back().Done, 20);
        }
    }
}

// Another master heard while listening: the scan says so, writes nothing and waits for
// the host; going on does not ask again at the next rate.
TEST(Scan, AsksBeforeTalkingOverAnotherMaster) {
    TScanRig r;
    auto scan = r.Make(Small({TBaudRate::Br9600, TBaudRate::Br19200}, 0, 1));
    std::vector<TOtherMaster> heard;
    scan->OnOtherMaster = [&](const TOtherMaster& m) { heard.push_back(m); };
    ASSERT_TRUE(scan->Start());
    r.RunFor(100);
    r.Rig.Feed(Reply(0, {}, 1));  // settling: a late reply to the host's last poll
    r.RunFor(800);
    r.Rig.Feed(BuildCommandText(0x42, 1));  // the site's monitoring unit polls
    r.Rig.Feed("xx");
    r.RunFor(3000);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].Rate, 9600);
    EXPECT_EQ(heard[0].Frames, 1);
    EXPECT_EQ(heard[0].Noise, 2u);
    EXPECT_TRUE(scan->WaitingForConfirmation());
    EXPECT_TRUE(r.Rig.Link.Writes.empty()) << "nothing written while waiting";
    scan->Continue();
    r.RunFor(3000);
    EXPECT_EQ(r.End, TScanEnd::Completed);
    EXPECT_EQ(r.WritesAtEnd, 4u);
    EXPECT_EQ(heard.size(), 1u);

    // Stopped instead: nothing written at all.
    TScanRig s;
    auto scan2 = s.Make(Small({TBaudRate::Br9600}, 0, 1));
    scan2->OnOtherMaster = [&](const TOtherMaster&) { scan2->Stop(); };
    scan2->Start();
    s.RunFor(900);
    s.Rig.Feed(BuildCommandText(0x42, 1));
    s.RunFor(3000);
    EXPECT_EQ(s.End, TScanEnd::Stopped);
    EXPECT_EQ(s.WritesAtEnd, 0u);
}

TEST(Scan, RefusesToStartWithoutALineOrARange) {
    TScanRig r;
    EXPECT_FALSE(r.Make(Small({}, 0, 1))->Start());
    EXPECT_FALSE(r.Make(Small({TBaudRate::Br9600}, 5, 4))->Start());
    r.Rig.Close();
    EXPECT_FALSE(r.Make(Small({TBaudRate::Br9600}, 0, 1))->Start());
    EXPECT_TRUE(r.Line.Changes.empty());
}

// On a session over the fake platform: the port's own settings change per rate and are
// restored, and a link lost during the scan ends it.
TEST(Scan, OnASessionRestoresThePortSettings) {
    TFakeClock clock;
    auto platform = std::make_shared<TFakeComPlatform>();
    TSessionSettings settings;
    settings.Line = TLineSettings{"ttyV0", TBaudRate::Br4800, TDataBits::DbEight,
                                  TParityBits::PrOdd, TStopBits::SbOneStopBit};
    settings.Poll = TPollSettings{1, 500, 350, true};
    TSession session(clock, settings, platform);
    // The host closes a link that fails while open.
    session.OnPortFailure = [&](const TPortFailure& f) {
        if (f.WhileOpen) session.Close();
    };
    ASSERT_TRUE(session.Open().Opened());
    TSessionScanLine line(session);
    TScan scan(clock, line, Small({TBaudRate::Br1200, TBaudRate::Br19200}, 0, 3));
    std::vector<std::int32_t> rates;
    scan.OnProgress = [&](const TScanProgress&) {
        rates.push_back(platform->LastState().BaudRate);
    };
    std::optional<TScanEnd> end;
    scan.OnFinished = [&](TScanEnd e) { end = e; };
    ASSERT_TRUE(scan.Start());
    clock.Advance(Millis(10000));
    ASSERT_EQ(end, TScanEnd::Completed);
    EXPECT_EQ(rates.front(), 1200);
    EXPECT_EQ(rates.back(), 19200);
    EXPECT_EQ(platform->LastState().BaudRate, 4800);
    EXPECT_EQ(platform->LastState().Parity, 1) << "odd parity back";
    EXPECT_TRUE(session.Monitor().PollTimer().Enabled());

    // The link is lost halfway: the scan ends with it.
    TScan again(clock, line, Small({TBaudRate::Br9600}, 0, 200));
    again.OnFinished = [&](TScanEnd e) { end = e; };
    ASSERT_TRUE(again.Start());
    clock.Advance(Millis(1000));
    platform->FailOn(TFakeOp::Write, EIO);
    clock.Advance(Millis(1000));
    EXPECT_EQ(end, TScanEnd::LinkClosed);
    EXPECT_FALSE(again.Running());
}
