// The poller as a listener: the metrics of what it heard, labelled by address, and the
// program on the simulator's tap while our own poller is the master on the line: the
// same readings in both JSON outputs, and not one byte from the listener on the line.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Capture.h"
#include "Exposition.h"
#include "FakeClock.h"
#include "Frame.h"
#include "Listen.h"
#include "SimHarness.h"

namespace {

using namespace std::chrono_literals;

std::string Frame(std::uint8_t Addr, std::uint8_t Code, const std::vector<std::uint8_t>& Info,
                  std::uint8_t Cid1 = 0x60) {
    const auto lenid = static_cast<std::uint16_t>((2 * Info.size()) & 0x0FFF);
    const auto length = static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
    std::vector<std::uint8_t> header{0x10,
                                     Addr,
                                     Cid1,
                                     Code,
                                     static_cast<std::uint8_t>(length >> 8),
                                     static_cast<std::uint8_t>(length)};
    std::string f = "~" + HexText(header) + HexText(Info);
    std::erase(f, ' ');
    const std::uint16_t sum =
        TDH::CalcChkSum(std::span(reinterpret_cast<const std::uint8_t*>(f.data()), f.size()));
    char tail[8];
    std::snprintf(tail, sizeof tail, "%04X\r", sum);
    return f + tail;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(ListenMetrics, ReadingsAndCountersByAddress) {
    aircon::TFakeClock clock;
    aircon::TListener listener(clock);
    std::ostringstream json;
    airconpoll::TListenOutput out("ttyS0", &json);
    listener.AddObserver(out);
    listener.AddListenObserver(out);
    listener.LinkOpened("ttyS0");

    std::vector<std::uint8_t> analog(38, 0x01);
    analog[0] = 0;
    analog[25] = 6;
    std::vector<std::uint8_t> analog2 = analog;
    analog2[0] = 0x02;  // the second unit
    for (std::uint8_t addr : {1, 2}) {
        listener.ReceiveData(Bytes(Frame(addr, 0x42, {})));
        clock.Advance(50ms);
        listener.ReceiveData(Bytes(Frame(addr, 0x00, addr == 1 ? analog : analog2)));
        clock.Advance(450ms);
    }
    listener.ReceiveData(Bytes(Frame(2, 0x43, {})));  // never answered
    clock.Advance(1500ms);
    listener.ReceiveData(Bytes(Frame(3, 0x00, analog)));  // nobody asked

    const auto m = exposition::Parse(out.Metrics(listener));
    ASSERT_EQ(m.Error, "");
    EXPECT_EQ(m.Value("aircon_listen_port_open", {{"port", "ttyS0"}}), "1");
    EXPECT_EQ(m.Value("aircon_listen_commands_total", {{"addr", "1"}}), "1");
    EXPECT_EQ(m.Value("aircon_listen_commands_total", {{"addr", "2"}}), "2");
    EXPECT_EQ(m.Value("aircon_listen_replies_total", {{"addr", "2"}}), "1");
    EXPECT_EQ(m.Value("aircon_listen_replies_missing_total", {{"addr", "2"}}), "1");
    EXPECT_EQ(m.Value("aircon_listen_unpaired_replies_total", {{"addr", "3"}}), "1");
    EXPECT_EQ(m.Value("aircon_analog", {{"addr", "1"}, {"unit", "1"}, {"name", "voltage_ab"}}),
              "257");
    EXPECT_EQ(m.Value("aircon_analog", {{"addr", "2"}, {"unit", "2"}, {"name", "voltage_ab"}}),
              "257");
    EXPECT_TRUE(m.Find("aircon_analog", {{"addr", "3"}}).empty()) << "an unpaired reply is read";
    EXPECT_TRUE(m.Find("aircon_up").empty()) << "the master's own families";
    EXPECT_TRUE(m.Find("aircon_commands_total").empty());
    // One JSON line per decoded reply, with its address.
    const std::string lines = json.str();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
    EXPECT_NE(lines.find("\"addr\":2,\"cid2\":\"0x42\""), std::string::npos) << lines;
}

TEST(ListenOptions, WhatGoesTogether) {
    struct TCase {
        std::vector<std::string> args;
        std::string error;  // empty: accepted
    };
    const TCase cases[] = {
        {{"--port", "ttyS0", "--listen", "--json"}, ""},
        {{"--port", "ttyS0", "--listen", "--find-speed", "--textfile", "/tmp/x.prom"}, ""},
        {{"--port", "ttyS0", "--listen", "--once"}, "--once polls: it does not go with --listen"},
        {{"--port", "ttyS0", "--find-speed", "--json"},
         "--find-speed listens: it goes with --listen"},
        {{"--port", "ttyS0", "--json", "--capture", "/tmp/c.pcap"}, ""},
        {{"--replay", "/tmp/c.pcap", "--json"}, ""},
        {{"--replay", "/tmp/c.pcap", "--json", "--replay-pace"}, ""},
        {{"--replay", "/tmp/c.pcap"},
         "nothing to do: give --textfile PATH or --json with --replay"},
        {{"--replay", "/tmp/c.pcap", "--json", "--port", "ttyS0"},
         "--replay reads a capture file: no --port, --listen, --once or --capture with it"},
        {{"--port", "ttyS0", "--json", "--replay-pace"}, "--replay-pace goes with --replay FILE"},
        {{"--port", "ttyS0", "--json", "--capture-size", "100"},
         "--capture-size: '100' is not a whole number of bytes from 4096 to 2^40"},
    };
    for (const TCase& c : cases) {
        const auto r = airconpoll::ParseOptions(c.args);
        EXPECT_EQ(r.Error, c.error) << c.args.back();
        EXPECT_EQ(r.Options.has_value(), c.error.empty()) << c.args.back();
    }
}

// ---------------------------------------------------------------------------
// End to end on the simulator

using namespace simharness;

std::size_t Count(const std::string& Text, char C) {
    return static_cast<std::size_t>(std::count(Text.begin(), Text.end(), C));
}

TEST(ListenProgram, HearsWhatTheMasterReadsAndWritesNothing) {
    SimOnLink s({"--addr", "1", "--seed", "5"}, {.tap = true});
    ASSERT_TRUE(s.ready) << s.sim->Err();

    const fs::path prom = s.dir.path() / "listen.prom";
    PollerProcess listener(s.dir.path(),
                           {"--port", s.tap.string(), "--listen", "--json", "--textfile",
                            prom.string(), "--capture", (s.dir.path() / "listen.pcap").string()},
                           "listen");
    ASSERT_TRUE(WaitFor(
        [&] {
            return ReadFile(s.dir.path() / "listen.err").find("listening on") != std::string::npos;
        },
        10s))
        << ReadFile(s.dir.path() / "listen.err");
    PollerProcess master(s.dir.path(), {"--port", s.link.string(), "--json", "--interval", "200",
                                        "--capture", (s.dir.path() / "poll.pcap").string()});
    // A full round: the identity, the parameters and every polled reply of both units.
    ASSERT_TRUE(WaitFor([&] { return Count(master.Out(), '\n') >= 14; }, 30s)) << master.Err();
    EXPECT_EQ(master.Stop(SIGTERM), 0);
    // The listener has heard the last exchange by the time the master has ended.
    ASSERT_TRUE(
        WaitFor([&] { return Count(listener.Out(), '\n') >= Count(master.Out(), '\n'); }, 5s));
    EXPECT_EQ(listener.Stop(SIGTERM), 0);
    EXPECT_EQ(s.sim->Stop(SIGTERM), 0);

    const auto heard = ReadingLines(listener.Out());
    const auto read = ReadingLines(master.Out());
    ASSERT_GE(read.size(), 14u);
    // The master's last command may have been answered after it stopped reading.
    ASSERT_GE(heard.size(), read.size());
    ASSERT_LE(heard.size(), read.size() + 1);
    for (std::size_t i = 0; i < read.size(); ++i)
        EXPECT_EQ(heard[i], read[i]) << i;

    // The line: every command the simulator took came from the master; the tap sent none.
    const std::string counts = s.sim->Out();
    EXPECT_NE(counts.find("tap_sent=0"), std::string::npos) << counts;
    const auto m = exposition::Parse(ReadFile(prom));
    ASSERT_EQ(m.Error, "");
    std::smatch c;
    ASSERT_TRUE(std::regex_search(counts, c, std::regex("commands=(\\d+)"))) << counts;
    EXPECT_EQ(m.Value("aircon_listen_commands_total", {{"addr", "1"}}), c[1].str());
    EXPECT_EQ(m.Value("aircon_listen_replies_missing_total", {{"addr", "1"}}).value_or("0"), "0");
    EXPECT_EQ(m.Value("aircon_listen_error_frames_total", {{"addr", "1"}}).value_or("0"), "0");

    // Both captures replayed give what was read live: the master's own (its commands and
    // the replies it read) and the listener's (the line as heard).
    auto replay = [&](const std::string& Name, std::vector<std::string> Extra = {}) {
        std::vector<std::string> args{"--replay", (s.dir.path() / Name).string(), "--json"};
        args.insert(args.end(), Extra.begin(), Extra.end());
        PollerProcess r(s.dir.path(), args, Name);
        EXPECT_EQ(r.Wait(60s), 0) << r.Err();
        return r.Out();
    };
    EXPECT_EQ(ReadingLines(replay("poll.pcap")), read);
    EXPECT_EQ(ReadingLines(replay("listen.pcap")), heard);
    // At the recorded pace it takes at least as long as the capture spans.
    const aircon::TCaptureFile file = aircon::ReadCapture((s.dir.path() / "listen.pcap").string());
    ASSERT_EQ(file.Error, "");
    ASSERT_GE(file.Records.size(), 2u);
    const auto span = file.Records.back().Time - file.Records.front().Time;
    EXPECT_GE(span, 1s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadingLines(replay("listen.pcap", {"--replay-pace"})), heard);
    EXPECT_GE(std::chrono::steady_clock::now() - start, span);
}

// The speed unknown: a controller that keeps its line at 4800 baud, polled by our poller
// at that speed; the listener on the tap hears garbage at 9600 and 19200, finds 4800
// with nothing written, and from then on hears what the master reads.
TEST(ListenProgram, FindsTheLineSpeedThroughTheTap) {
    SimOnLink s({"--addr", "1", "--seed", "5", "--line-baud", "4800"}, {.tap = true});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    PollerProcess master(
        s.dir.path(), {"--port", s.link.string(), "--baud", "4800", "--json", "--interval", "200"});
    ASSERT_TRUE(WaitFor([&] { return Count(master.Out(), '\n') >= 3; }, 20s)) << master.Err();
    PollerProcess listener(
        s.dir.path(), {"--port", s.tap.string(), "--listen", "--find-speed", "--json"}, "listen");
    ASSERT_TRUE(WaitFor(
        [&] {
            return ReadFile(s.dir.path() / "listen.err").find("the line runs at") !=
                   std::string::npos;
        },
        40s))
        << ReadFile(s.dir.path() / "listen.err");
    EXPECT_NE(ReadFile(s.dir.path() / "listen.err").find("the line runs at 4800 bit/s"),
              std::string::npos)
        << ReadFile(s.dir.path() / "listen.err");
    // Heard from then on: a few polled replies, each one the master read too.
    ASSERT_TRUE(WaitFor([&] { return Count(listener.Out(), '\n') >= 6; }, 20s)) << listener.Err();
    EXPECT_EQ(listener.Stop(SIGTERM), 0);
    EXPECT_EQ(master.Stop(SIGTERM), 0);
    EXPECT_EQ(s.sim->Stop(SIGTERM), 0);
    const auto heard = ReadingLines(listener.Out());
    const auto read = ReadingLines(master.Out());
    ASSERT_GE(heard.size(), 6u);
    // The master's last command may have been answered after it stopped reading.
    for (std::size_t i = 0; i + 1 < heard.size(); ++i)
        EXPECT_NE(std::find(read.begin(), read.end(), heard[i]), read.end()) << heard[i];
    EXPECT_NE(s.sim->Out().find("tap_sent=0"), std::string::npos) << s.sim->Out();
}

}  // namespace
