// Listening to a line another master polls: which frame is a command and which a reply,
// the pairing and its time-out, what is counted and never decoded, a listening session
// that writes nothing whatever is called, and the speed found by listening.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "FakeComPlatform.h"
#include "HexText.h"
#include "Listen.h"
#include "Session.h"

namespace coretest {
namespace {

using namespace std::chrono_literals;

// A frame of any header and INFO, as a master or a device writes it.
std::string AnyFrame(std::uint8_t Addr, std::uint8_t Cid1, std::uint8_t Code, const Bytes& Info) {
    const auto lenid = static_cast<std::uint16_t>((2 * Info.size()) & 0x0FFF);
    const auto length = static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
    std::string f =
        "~10" + Hex2(Addr) + Hex2(Cid1) + Hex2(Code) + Hex2(length >> 8) + Hex2(length & 0xFF);
    for (std::uint8_t b : Info)
        f += Hex2(b);
    const std::uint16_t sum = TDH::CalcChkSum(AsBytes(f));
    return f + Hex2(sum >> 8) + Hex2(sum & 0xFF) + "\r";
}
std::string Cmd(std::uint8_t Cid2, std::uint8_t Addr = 1, const Bytes& Info = {},
                std::uint8_t Cid1 = 0x60) {
    return AnyFrame(Addr, Cid1, Cid2, Info);
}

// Every listen event as one line: "<ms> <what>".
class TListenLog : public IListenObserver, public IMonitorObserver {
  public:
    explicit TListenLog(TFakeClock& Clock) : FClock(Clock) {}
    std::vector<std::string> Log;
    std::vector<TDecodedReply> Decoded;

    void OnCommandSeen(const TCommandSeen& e) override {
        Add(e.At, "command " + Hex2(e.Header.CID2) + " addr " + std::to_string(e.Header.Addr) +
                      (e.Known ? "" : " unknown") + (e.Overlap ? " overlap" : ""));
    }
    void OnListenMissing(const TListenMissing& e) override {
        Add(e.At, "missing " + Hex2(e.Header.CID2) + " addr " + std::to_string(e.Header.Addr));
    }
    void OnUnpairedReply(const TUnpairedReply& e) override {
        static const char* const why[] = {"none", "other", "late"};
        Add(e.At, "unpaired addr " + std::to_string(e.Header.Addr) + " " +
                      why[static_cast<int>(e.Reason)]);
    }
    void OnErrorFrame(const TErrorFrame& e) override {
        Add(e.At, std::string("error ") + TRecorder::CheckName(e.Check) +
                      (e.Addr ? " addr " + std::to_string(*e.Addr) : ""));
    }
    void OnForeignReply(const TForeignReply& e) override {
        Add(e.At, "foreign reply " + Hex2(e.Header.CID1) + " to " + Hex2(e.CID2));
    }
    void OnReplyReceived(const TReplyReceived& e) override {
        Add(e.At, "reply rtn " + Hex2(e.Rtn) + " to " + Hex2(e.LastCID2) + " addr " +
                      std::to_string(e.Header.Addr));
    }
    void OnReplyDecoded(const TDecodedReply& e) override {
        Add(e.At, "decoded " + Hex2(e.CID2) + " addr " + std::to_string(e.Header.Addr));
        Decoded.push_back(e);
    }
    void OnNoise(const TNoise& e) override {
        Add(e.At, "noise " + std::to_string(e.Count) + " " + util::SpacedHex(e.Bytes));
    }

  private:
    void Add(const TStamp& At, const std::string& What) {
        Log.push_back(
            std::to_string(std::chrono::duration_cast<Millis>(At.Time - FClock.Start()).count()) +
            " " + What);
    }
    TFakeClock& FClock;
};

TEST(ListenRule, ByContent) {
    struct TCase {
        std::uint8_t code;
        std::size_t info;
        TFrameKind kind;
    };
    const TCase cases[] = {
        {0x00, 38, TFrameKind::Reply},          {0x00, 0, TFrameKind::Reply},
        {0x04, 0, TFrameKind::Reply},           {0x06, 0, TFrameKind::Reply},
        {0x42, 0, TFrameKind::Command},         {0x42, 1, TFrameKind::Command},
        {0x43, 1, TFrameKind::Command},         {0x44, 1, TFrameKind::Command},
        {0x42, 38, TFrameKind::UnknownCommand}, {0x45, 1, TFrameKind::Command},
        {0x45, 0, TFrameKind::UnknownCommand},  {0x49, 3, TFrameKind::Command},
        {0x49, 1, TFrameKind::UnknownCommand},  {0x4F, 0, TFrameKind::Command},
        {0x80, 1, TFrameKind::Command},         {0x80, 0, TFrameKind::UnknownCommand},
        {0x90, 0, TFrameKind::UnknownCommand},  {0xEF, 4, TFrameKind::UnknownCommand},
        {0x07, 0, TFrameKind::UnknownCommand},  {0xFF, 0, TFrameKind::UnknownCommand},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(ClassifyByContent(c.code, c.info), c.kind)
            << Hex2(c.code) << " with " << c.info << " INFO bytes";
    }
}

// One step of a script: advance the clock, then feed bytes (none: only time passes).
struct TStep {
    long long at;
    std::string bytes;
};

struct TExchangeCase {
    const char* what;
    std::vector<TStep> steps;
    std::vector<std::string> log;
    TListenCounts totals;
};

TEST(Listener, Exchanges) {
    const std::string analog = Reply(0, AnalogInfo(), 1);
    std::string damaged = analog;
    damaged[damaged.size() - 3] = damaged[damaged.size() - 3] == '0' ? '1' : '0';
    const TExchangeCase cases[] = {
        {"a command and its reply, decoded with the address",
         {{0, Cmd(0x42, 1, {0})}, {60, analog}},
         {"0 command 42 addr 1", "60 reply rtn 00 to 42 addr 1", "60 decoded 42 addr 1"},
         {.Commands = 1, .Replies = 1, .Decoded = 1}},
        {"two controllers told apart by address",
         {{0, Cmd(0x43, 2)},
          {50, Reply(0, SwitchInfo(), 2)},
          {500, Cmd(0x43, 3)},
          {550, Reply(0, SwitchInfo(), 3)}},
         {"0 command 43 addr 2", "50 reply rtn 00 to 43 addr 2", "50 decoded 43 addr 2",
          "500 command 43 addr 3", "550 reply rtn 00 to 43 addr 3", "550 decoded 43 addr 3"},
         {.Commands = 2, .Replies = 2, .Decoded = 2}},
        {"the reply split over blocks",
         {{0, Cmd(0x44)},
          {40, Reply(0, AlarmInfo()).substr(0, 30)},
          {70, Reply(0, AlarmInfo()).substr(30)}},
         {"0 command 44 addr 1", "70 reply rtn 00 to 44 addr 1", "70 decoded 44 addr 1"},
         {.Commands = 1, .Replies = 1, .Decoded = 1}},
        {"no reply: missing at the pairing time-out",
         {{0, Cmd(0x42)}, {999, ""}, {1000, ""}},
         {"0 command 42 addr 1", "1000 missing 42 addr 1"},
         {.Commands = 1, .Missing = 1}},
        {"a reply after the time-out is late, not decoded",
         {{0, Cmd(0x42)}, {1200, analog}},
         {"0 command 42 addr 1", "1000 missing 42 addr 1", "1200 unpaired addr 1 late"},
         {.Commands = 1, .Missing = 1, .Unpaired = 1}},
        {"a reply with no command", {{0, analog}}, {"0 unpaired addr 1 none"}, {.Unpaired = 1}},
        {"a reply from another address than asked",
         {{0, Cmd(0x42, 1)}, {50, Reply(0, AnalogInfo(), 2)}, {1000, ""}},
         {"0 command 42 addr 1", "50 unpaired addr 2 other", "1000 missing 42 addr 1"},
         {.Commands = 1, .Missing = 1, .Unpaired = 1}},
        {"a damaged reply: counted with its address, the command missing",
         {{0, Cmd(0x42)}, {60, damaged}, {1000, ""}},
         {"0 command 42 addr 1", "60 error chksum addr 1", "1000 missing 42 addr 1"},
         {.Commands = 1, .Missing = 1, .ErrorFrames = 1}},
        {"the master asks again: the first command missing",
         {{0, Cmd(0x42)}, {500, Cmd(0x42)}, {540, analog}},
         {"0 command 42 addr 1", "500 missing 42 addr 1", "500 command 42 addr 1",
          "540 reply rtn 00 to 42 addr 1", "540 decoded 42 addr 1"},
         {.Commands = 2, .Replies = 1, .Decoded = 1, .Missing = 1}},
        {"two masters at once",
         {{0, Cmd(0x42, 1)}, {20, Cmd(0x4F, 2)}, {60, Reply(0, {}, 2)}},
         {"0 command 42 addr 1", "20 missing 42 addr 1", "20 command 4F addr 2 overlap",
          "60 reply rtn 00 to 4F addr 2", "60 decoded 4F addr 2"},
         {.Commands = 2, .Replies = 1, .Decoded = 1, .Missing = 1, .Overlaps = 1}},
        {"another device type: paired and counted, never decoded",
         {{0, Cmd(0x42, 1, {}, 0x41)}, {50, AnyFrame(1, 0x41, 0x00, AnalogInfo())}},
         {"0 command 42 addr 1", "50 foreign reply 41 to 42"},
         {.Commands = 1, .Replies = 1, .Foreign = 2}},
        {"a user-defined code: command alone, reply after a command by place",
         {{0, Cmd(0x80, 1, {5})}, {40, AnyFrame(1, 0x60, 0x80, {})}, {500, Cmd(0x90, 1)}},
         {"0 command 80 addr 1", "40 reply rtn 80 to 80 addr 1", "500 command 90 addr 1 unknown"},
         {.Commands = 2, .UnknownCommands = 1, .Replies = 1, .Refused = 1}},
        {"a parameter write and its bare reply: no decoder",
         {{0, Cmd(0x49, 1, {0x80, 0x00, 0x1A})}, {30, Reply(0, {}, 1)}},
         {"0 command 49 addr 1", "30 reply rtn 00 to 49 addr 1"},
         {.Commands = 1, .Replies = 1}},
        {"a refused command",
         {{0, Cmd(0x42)}, {30, Reply(4, {}, 1)}},
         {"0 command 42 addr 1", "30 reply rtn 04 to 42 addr 1"},
         {.Commands = 1, .Replies = 1, .Refused = 1}},
        {"noise between frames",
         {{0, "xx" + Cmd(0x42) + "\x01\x02\x03"}, {40, analog}},
         // Noise is told with its bytes, in its place on the line.
         {"0 noise 2 78 78", "0 command 42 addr 1", "0 noise 3 01 02 03",
          "40 reply rtn 00 to 42 addr 1", "40 decoded 42 addr 1"},
         {.Commands = 1, .Replies = 1, .Decoded = 1}},
    };
    for (const TExchangeCase& c : cases) {
        SCOPED_TRACE(c.what);
        TFakeClock clock;
        TListener listener(clock);
        TListenLog log(clock);
        listener.AddObserver(log);
        listener.AddListenObserver(log);
        listener.LinkOpened("ttyV0");
        for (const TStep& s : c.steps) {
            clock.AdvanceTo(clock.Start() + Millis(s.at));
            if (!s.bytes.empty()) listener.ReceiveData(AsBytes(s.bytes));
        }
        EXPECT_EQ(log.Log, c.log);
        EXPECT_EQ(listener.Totals(), c.totals);
        // What is counted by address adds up to the line's totals.
        TListenCounts sum;
        for (const auto& [addr, n] : listener.ByAddress()) {
            sum.Commands += n.Commands;
            sum.Replies += n.Replies;
            sum.Decoded += n.Decoded;
            sum.Missing += n.Missing;
            sum.Unpaired += n.Unpaired;
        }
        EXPECT_EQ(sum.Commands, c.totals.Commands);
        EXPECT_EQ(sum.Replies, c.totals.Replies);
        EXPECT_EQ(sum.Decoded, c.totals.Decoded);
        EXPECT_EQ(sum.Missing, c.totals.Missing);
        EXPECT_EQ(sum.Unpaired, c.totals.Unpaired);
    }
}

TEST(Listener, DecodesAsTheMasterDoes) {
    // The same reply read by a master that asked and by a listener that heard the
    // question: the same record.
    TRig rig;
    rig.Inputs.Auto = false;
    rig.Open();
    rig.Monitor.SendNoDataCmd(1, CID2::Analog);
    rig.Feed(Reply(0, AnalogInfo(), 1));
    ASSERT_EQ(rig.Rec.Decoded.size(), 1u);

    TFakeClock clock;
    TListener listener(clock);
    TListenLog log(clock);
    listener.AddObserver(log);
    listener.LinkOpened("ttyV0");
    listener.ReceiveData(AsBytes(BuildCommandText(CID2::Analog)));
    listener.ReceiveData(AsBytes(Reply(0, AnalogInfo(), 1)));
    ASSERT_EQ(log.Decoded.size(), 1u);
    EXPECT_EQ(log.Decoded[0].Data, rig.Rec.Decoded[0]);
    EXPECT_EQ(log.Decoded[0].Header.Addr, 1);
}

// ---------------------------------------------------------------------------
// A listening session on the fake platform

class ListenSessionTest : public ::testing::Test {
  protected:
    ListenSessionTest() {
        TSessionSettings settings;
        settings.Line.Port = "ttyV0";
        settings.Mode = TSessionMode::Listen;
        Session = std::make_unique<TSession>(Clock, settings, Fake);
    }
    bool PumpUntil(const std::function<bool()>& Done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Session->Port().PumpHandOver(20ms);
        }
        return true;
    }
    std::shared_ptr<TFakeComPlatform> Fake = std::make_shared<TFakeComPlatform>();
    TFakeClock Clock;
    std::unique_ptr<TSession> Session;
};

TEST_F(ListenSessionTest, WritesNothingWhateverIsCalled) {
    // A settings file that asked for both lines raised changes nothing.
    Session->Port().FlowControl().SetControlDTR(TDTRFlowControl::DtrEnable);
    Session->Port().FlowControl().SetControlRTS(TRTSFlowControl::RtsEnable);
    ASSERT_TRUE(Session->Open().Opened());
    EXPECT_EQ(Fake->LastState().DtrControl, 0);
    EXPECT_EQ(Fake->LastState().RtsControl, 0);
    ASSERT_NE(Session->Listener(), nullptr);
    TListenLog log(Clock);
    Session->Listener()->AddObserver(log);

    // Every sender, the queue and its timers, for a while.
    TMonitor& m = Session->Monitor();
    m.SendNoDataCmd(1, CID2::Analog);
    m.SendRemoteCmd(1, 0x10);
    m.SendSetParamsCmd(1, 0x80, 26);
    m.QueueCommand(TIntCMD{CID2::Switches, 0, 0});
    m.PollTick();
    m.SendTick();
    m.SetAutoQuery(true);
    Clock.Advance(5000ms);
    // And the line speaks: heard and decoded.
    Fake->Feed(BuildCommandText(CID2::Analog) + Reply(0, AnalogInfo(), 1));
    ASSERT_TRUE(PumpUntil([&] { return log.Decoded.size() == 1; }));
    Session->Close();

    EXPECT_TRUE(Fake->Written().empty());
    for (const std::string& call : Fake->Calls())
        EXPECT_NE(call.rfind("Write", 0), 0u) << call;
}

TEST_F(ListenSessionTest, FindsTheSpeedByListening) {
    ASSERT_TRUE(Session->Open().Opened());
    TListener& listener = *Session->Listener();
    std::vector<TBaudRate> tried;
    TSpeedFinder finder(
        Clock, listener,
        [&](TBaudRate Rate) {
            tried.push_back(Rate);
            Session->Port().SetBaudRate(Rate);
        },
        {}, 1000ms);
    std::optional<TBaudRate> done;
    bool called = false;
    finder.OnDone = [&](std::optional<TBaudRate> Rate) {
        called = true;
        done = Rate;
    };
    finder.Start();
    const std::string good = BuildCommandText(CID2::Analog) + Reply(0, AnalogInfo(), 1);
    std::string garbled = good;
    for (std::size_t i = 1; i < garbled.size(); i += 3)
        garbled[i] = 'Q';
    // The line runs at 4800: bytes heard at any other rate are garbled.
    for (int tick = 0; tick < 40 && !called; ++tick) {
        const bool right = Session->Port().BaudRate() == TBaudRate::Br4800;
        listener.ReceiveData(AsBytes(right ? good : garbled));
        Clock.Advance(300ms);
    }
    ASSERT_TRUE(called);
    EXPECT_EQ(done, TBaudRate::Br4800);
    EXPECT_EQ(Fake->LastState().BaudRate, 4800);
    const std::vector<TBaudRate> expected{TBaudRate::Br9600, TBaudRate::Br19200, TBaudRate::Br4800,
                                          TBaudRate::Br4800};
    EXPECT_EQ(tried, expected);
    EXPECT_TRUE(Fake->Written().empty());
}

TEST_F(ListenSessionTest, NoSpeedWhenNothingPasses) {
    ASSERT_TRUE(Session->Open().Opened());
    TSpeedFinder finder(
        Clock, *Session->Listener(), [&](TBaudRate Rate) { Session->Port().SetBaudRate(Rate); },
        {TBaudRate::Br9600, TBaudRate::Br2400}, 500ms);
    bool called = false;
    finder.OnDone = [&](std::optional<TBaudRate> Rate) {
        called = true;
        EXPECT_FALSE(Rate);
    };
    finder.Start();
    Clock.Advance(499ms);
    EXPECT_FALSE(called);
    Clock.Advance(501ms);
    EXPECT_TRUE(called);
    EXPECT_FALSE(finder.Running());
}

// What the monitor's observers (the views of a polling link) are told while listening.
class TMonitorSide : public IMonitorObserver {
  public:
    explicit TMonitorSide(TFakeClock& Clock) : FClock(Clock) {}
    std::vector<std::string> Log;

    void OnLinkOpened(const TLinkOpened& e) override { Add(e.At, "opened " + e.Port); }
    void OnLinkClosed(const TLinkClosed& e) override { Add(e.At, "closed"); }
    void OnCommandSent(const TCommandSent& e) override {
        Add(e.At, std::string(e.Heard ? "heard " : "sent ") + Hex2(e.CID2) + " addr " +
                      std::to_string(e.Addr) + " " + std::to_string(e.Written) + "/" +
                      std::to_string(e.Frame.size()));
    }
    void OnFrameReceived(const TFrameReceived& e) override {
        Add(e.At,
            std::string("frame ") + (e.Check == TFrameCheck::Ok ? "ok" : "bad") +
                (e.ResponseTime ? " " + std::to_string(e.ResponseTime->count()) + " ms" : "") +
                (e.Late ? " late" : ""));
    }
    void OnReplyReceived(const TReplyReceived& e) override {
        Add(e.At, "reply " + Hex2(e.Rtn) + " to " + Hex2(e.LastCID2) + " addr " +
                      std::to_string(e.Header.Addr) + (e.Data ? " record" : "") +
                      (e.Verdict.AddressAsAsked ? " asked" : "") +
                      (e.Verdict.InTime ? " in-time" : "") + " info " +
                      std::to_string(e.Info.size()));
    }
    void OnReplyDecoded(const TDecodedReply& e) override {
        Add(e.At, "decoded " + Hex2(e.CID2) + " addr " + std::to_string(e.Header.Addr));
    }
    void OnReplyMissing(const TReplyMissing& e) override {
        Add(e.At,
            "missing " + Hex2(e.CID2) + " after " + std::to_string(e.Timeout.count()) + " ms");
    }
    void OnNoise(const TNoise& e) override { Add(e.At, "noise " + std::to_string(e.Count)); }

  private:
    void Add(const TStamp& At, const std::string& What) {
        Log.push_back(
            std::to_string(std::chrono::duration_cast<Millis>(At.Time - FClock.Start()).count()) +
            " " + What);
    }
    TFakeClock& FClock;
};

// The other master polls addresses 1 and 2; the window shows address 1. Its commands
// reach the views as heard commands, replies with their response times, readings only of
// the address chosen, a reply with no command as a late frame without a record, a
// command without a reply as missing after the time it waited.
TEST_F(ListenSessionTest, MonitorObserversSeeTheOtherMaster) {
    Session->SetListenAddress(1);
    TMonitorSide side(Clock);
    Session->Monitor().AddObserver(side);
    ASSERT_TRUE(Session->Open().Opened());
    TListener& l = *Session->Listener();
    const std::string analog = Reply(0, AnalogInfo(), 1);
    std::string damaged = Reply(0, AnalogInfo(), 2);
    damaged[damaged.size() - 3] = damaged[damaged.size() - 3] == '0' ? '1' : '0';
    const auto at = [&](long long Ms, const std::string& Bytes) {
        Clock.Advance(Millis(Ms) - std::chrono::duration_cast<Millis>(Clock.Now() - Clock.Start()));
        if (!Bytes.empty()) l.ReceiveData(AsBytes(Bytes));
    };
    at(100, Cmd(CID2::Analog, 1));
    at(140, analog);
    at(600, Cmd(CID2::Analog, 2));
    at(650, Reply(0, AnalogInfo(), 2));
    at(1100, Cmd(CID2::Switches, 1));  // no reply: the next command ends its wait
    at(1500, Cmd(CID2::Alarms, 1));    // no reply: the time-out ends its wait
    at(2600, "");
    at(2700, Reply(0, {}, 1));  // no command waits
    at(2800, "xx" + damaged);
    Session->Close();

    const std::vector<std::string> expected{
        "0 opened ttyV0",
        "100 heard 42 addr 1 " + std::to_string(Cmd(CID2::Analog, 1).size()) + "/" +
            std::to_string(Cmd(CID2::Analog, 1).size()),
        "140 frame ok 40 ms",
        "140 reply 00 to 42 addr 1 record asked in-time info " +
            std::to_string(AnalogInfo().size()),
        "140 decoded 42 addr 1",
        "600 heard 42 addr 2 18/18",
        "650 frame ok 50 ms",
        "650 reply 00 to 42 addr 2 in-time info " + std::to_string(AnalogInfo().size()),
        "1100 heard 43 addr 1 18/18",
        "1500 missing 43 after 400 ms",
        "1500 heard 44 addr 1 18/18",
        "2500 missing 44 after 1000 ms",
        "2700 frame ok late",
        "2700 reply 00 to FF addr 1 info 0",
        // The two stray bytes came before the damaged frame, and are told first.
        "2800 noise 2",
        "2800 frame bad",
        "2800 closed",
    };
    EXPECT_EQ(side.Log, expected);

    // The link counters count what the other master sent and what came back.
    const TLinkCountersData& c = Session->Counters().Data();
    EXPECT_EQ(c.CommandsSent, 4u);
    EXPECT_EQ(c.Replies, 3u);
    EXPECT_EQ(c.RepliesMissing, 2u);
    EXPECT_EQ(c.ErrorFrames, 1u);
    EXPECT_EQ(c.NoiseBytes, 2u);
    EXPECT_EQ(c.MinResponse, Millis(40));
    EXPECT_EQ(c.MaxResponse, Millis(50));
    EXPECT_TRUE(Fake->Written().empty());
    Session->Monitor().RemoveObserver(side);
}

// The mode changes on a closed port only; back in the master mode the session polls
// and writes again, and listening again writes nothing.
TEST(ListenSessionMode, SwitchesWhileClosed) {
    auto fake = std::make_shared<TFakeComPlatform>();
    TFakeClock clock;
    TSessionSettings settings;
    settings.Line.Port = "ttyV0";
    settings.Poll = TPollSettings{1, 500, 300, true};
    TSession session(clock, settings, fake);
    EXPECT_TRUE(session.Writes());

    session.SetMode(TSessionMode::Listen);
    EXPECT_FALSE(session.Writes());
    ASSERT_NE(session.Listener(), nullptr);
    ASSERT_TRUE(session.Open().Opened());
    EXPECT_THROW(session.SetMode(TSessionMode::PollOne), std::logic_error);
    session.Monitor().SetAutoQuery(true);
    clock.Advance(3000ms);
    EXPECT_TRUE(fake->Written().empty());
    session.Close();

    session.SetMode(TSessionMode::PollOne);
    EXPECT_EQ(session.Listener(), nullptr);
    EXPECT_TRUE(session.Writes());
    ASSERT_TRUE(session.Open().Opened());
    clock.Advance(1000ms);
    EXPECT_FALSE(fake->Written().empty());
    session.Close();

    const std::size_t written = fake->Written().size();
    session.SetMode(TSessionMode::Listen);
    ASSERT_TRUE(session.Open().Opened());
    clock.Advance(3000ms);
    EXPECT_EQ(fake->Written().size(), written);
    session.Close();
}

}  // namespace
}  // namespace coretest
