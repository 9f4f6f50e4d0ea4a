// The program AirConPoll against the simulator on a pseudo-terminal: a one-shot read that
// prints the simulator's values, a silent controller and a one-unit controller told
// apart, the port reopened after it vanished, and SIGTERM, SIGINT and SIGHUP ending it cleanly
// within a second with the metrics file left consistent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Exposition.h"
#include "SimHarness.h"

namespace {

using namespace simharness;
using namespace std::chrono_literals;

// The metrics file as a scraper reads it; empty text when it is not there yet.
exposition::TParsed Metrics(const fs::path& file) {
    const std::string text = ReadFile(file);
    auto p = exposition::Parse(text);
    EXPECT_EQ(p.Error, "") << text;
    return p;
}

std::optional<std::string> JsonField(const std::string& line, const std::string& key) {
    const std::regex re("\"" + key + "\":(\"(?:[^\"\\\\]|\\\\.)*\"|[^,}]*)");
    std::smatch m;
    if (!std::regex_search(line, m, re)) return std::nullopt;
    return m[1].str();
}

std::int32_t Word(const std::vector<std::uint8_t>& info, std::size_t at, bool isSigned) {
    const auto w = static_cast<std::uint16_t>(info.at(at) << 8 | info.at(at + 1));
    return isSigned ? static_cast<std::int16_t>(w) : w;
}

// The simulator on its link, its frames logged.
struct TSimOnPty : SimOnLink {
    explicit TSimOnPty(std::vector<std::string> extra)
        : SimOnLink(std::move(extra), {.log = true}) {}
};

TEST(PollProgram, OnceReadsBothUnitsAndPrintsTheSimulatorsValuesAsJson) {
    TSimOnPty s({});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--once", "--json"});
    ASSERT_EQ(poll.Wait(60s), 0) << poll.Err();
    EXPECT_EQ(poll.Err(), "") << "a one-shot read that succeeds says nothing on standard error";

    const auto replies = ParseReplies(ReadFile(s.log));
    const auto lines = Lines(poll.Out());
    // Every reply decoded, in the order the simulator sent them (the program may end
    // before the reply to its last command).
    ASSERT_GE(lines.size(), 10u) << poll.Out();
    ASSERT_LE(lines.size(), replies.size()) << poll.Out();
    std::set<std::pair<int, std::string>> seen;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const auto& r = replies[i];
        SCOPED_TRACE(line);
        const auto info = acsim::ReplyInfo(r.frame);
        char cid2[8];
        std::snprintf(cid2, sizeof cid2, "\"0x%02X\"", r.cid2);
        EXPECT_EQ(JsonField(line, "cid2"), cid2);
        const auto reply = JsonField(line, "reply");
        ASSERT_TRUE(reply);
        if (r.cid2 >= 0x42 && r.cid2 <= 0x44) {
            EXPECT_EQ(JsonField(line, "unit"), std::to_string(r.unit + 1));
            seen.insert({r.unit, *reply});
        }
        if (r.cid2 == 0x42) {
            EXPECT_EQ(JsonField(line, "voltage_ab"), std::to_string(Word(info, 1, false)));
            EXPECT_EQ(JsonField(line, "return_air_temp"), std::to_string(Word(info, 15, true)));
            EXPECT_EQ(JsonField(line, "discharge_temp"), std::to_string(Word(info, 28, true)));
            EXPECT_EQ(JsonField(line, "unit_run_time"), std::to_string(Word(info, 36, false)));
            // The second unit has no supply-air humidity sensor.
            if (r.unit == 1) {
                EXPECT_EQ(JsonField(line, "supply_air_humidity"), "null");
            }
        }
        if (r.cid2 == 0x44) {
            EXPECT_EQ(JsonField(line, "phase_loss"), std::to_string(info.at(26)));
        }
        if (r.cid2 == 0x47) {
            EXPECT_EQ(JsonField(line, "temp_set_point"), "25");
        }
        if (r.cid2 == 0x4F) {
            EXPECT_EQ(JsonField(line, "version"), "\"1.0\"");
        }
        if (r.cid2 == 0x50) {
            EXPECT_EQ(JsonField(line, "address"), "1");
        }
        if (r.cid2 == 0x51) {
            EXPECT_EQ(JsonField(line, "device_name"), "\"ACSIM-2 split AC controller\"");
            EXPECT_EQ(JsonField(line, "vendor_name"), "\"Simulated Climate\"");
            EXPECT_EQ(JsonField(line, "vendor_name_raw"), "\"Simulated Climate   \"");
        }
    }
    EXPECT_EQ(seen.size(), 6u) << "0x42, 0x43 and 0x44 of both units";
}

TEST(PollProgram, OnceWithoutOutputOptionsPrintsTheMetrics) {
    TSimOnPty s({"--no-pace"});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--once"});
    ASSERT_EQ(poll.Wait(60s), 0) << poll.Err();
    const auto p = exposition::Parse(poll.Out());
    ASSERT_EQ(p.Error, "") << poll.Out();
    EXPECT_EQ(p.Value("aircon_up"), "1");
    EXPECT_EQ(p.Value("aircon_parameter", {{"name", "on_temp"}}), "28");
    EXPECT_EQ(p.Value("aircon_analog", {{"unit", "2"}, {"name", "compressor_run_time"}}), "7311");
    EXPECT_TRUE(p.Find("aircon_analog", {{"unit", "2"}, {"name", "supply_air_humidity"}}).empty());
    const auto info = p.Find("aircon_info");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].Labels.at("name"), "ACSIM-2 split AC controller");
    EXPECT_EQ(info[0].Labels.at("software"), "V1.0.3 2026-12-01");
}

TEST(PollProgram, ASilentControllerFailsWithAClearMessage) {
    TSimOnPty s({"--drop", "1.0"});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    const auto start = Clock::now();
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--once", "--json"});
    EXPECT_EQ(poll.Wait(60s), 1);
    EXPECT_LT(Clock::now() - start, 15s) << "given up after one unanswered cycle";
    EXPECT_EQ(poll.Out(), "");
    EXPECT_EQ(poll.Err(),
              "AirConPoll: no reply from the controller at address 1 on " + s.link.string() +
                  ": 8 commands sent, none answered within 350 ms (check the cable, the "
                  "address and the line settings)\n");
}

TEST(PollProgram, AControllerAtAnotherAddressIsSilentToo) {
    TSimOnPty s({"--addr", "7", "--no-pace"});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--once", "--addr", "8"});
    EXPECT_EQ(poll.Wait(60s), 1);
    EXPECT_NE(poll.Err().find("no reply from the controller at address 8 on "), std::string::npos)
        << poll.Err();
}

TEST(PollProgram, OneUnitOnlyIsReportedByName) {
    TSimOnPty s({"--units", "0", "--no-pace"});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--once"});
    EXPECT_EQ(poll.Wait(90s), 1);
    const std::string err = poll.Err();
    EXPECT_TRUE(err.starts_with("AirConPoll: the controller at address 1 on " + s.link.string() +
                                " did not answer everything in 6 poll cycles:\n"))
        << err;
    EXPECT_NE(err.find("\n  unit 2 (空调2) never answered 0x42 (analog values), 0x43 (switch "
                       "states), 0x44 (alarm states) in 6 poll cycles: the controller answered "
                       "for unit 1 only\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(poll.Out(), "") << "nothing printed for an incomplete read";
}

TEST(PollProgram, APortThatCannotBeOpened) {
    TempDir dir;
    PollerProcess poll(dir.path(), {"--port", (dir.path() / "nothing").string(), "--once"});
    EXPECT_EQ(poll.Wait(30s), 1);
    const std::string port = (dir.path() / "nothing").string();
    EXPECT_EQ(poll.Err(),
              "AirConPoll: cannot open " + port +
                  ": Unable to open com port (ENOENT: No such file or directory): there is no " +
                  port + " (is the adapter plugged in?)\n");
}

TEST(PollProgram, APortThatVanishesIsReopenedAndTheMetricsSaySo) {
    TSimOnPty s({"--no-pace", "--vanish-after", "3", "--back-after", "4"});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    const fs::path file = s.dir.path() / "metrics" / "aircon.prom";
    fs::create_directory(file.parent_path());
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--textfile", file.string()});
    auto value = [&](const std::string& name) { return Metrics(file).Value(name); };

    ASSERT_TRUE(WaitFor([&] { return value("aircon_up") == "1"; }, 20s)) << poll.Err();
    EXPECT_EQ(value("aircon_port_open"), "1");
    EXPECT_EQ(value("aircon_reconnects_total"), "0");
    ASSERT_TRUE(WaitFor([&] { return value("aircon_port_open") == "0"; }, 20s)) << poll.Err();
    {
        const auto p = Metrics(file);
        EXPECT_EQ(p.Value("aircon_up"), "0");
        EXPECT_TRUE(p.Find("aircon_analog").empty()) << "no readings from a port that is gone";
    }
    ASSERT_TRUE(WaitFor([&] { return value("aircon_up") == "1"; }, 40s)) << poll.Err();
    EXPECT_EQ(value("aircon_port_open"), "1");
    EXPECT_EQ(value("aircon_reconnects_total"), "1");
    EXPECT_TRUE(WaitFor([&] { return !Metrics(file).Find("aircon_info").empty(); }, 20s));

    poll.Signal(SIGTERM);
    EXPECT_EQ(poll.Wait(5s), 0);
    const std::string err = poll.Err();
    EXPECT_NE(err.find("AirConPoll: " + s.link.string() + " lost: ReadFile function failed"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("System Error"), std::string::npos) << "no Windows words: " << err;
    EXPECT_NE(err.find("; trying again in 1 s\n"), std::string::npos) << err;
    EXPECT_NE(err.find("; trying again in 2 s\n"), std::string::npos) << "the pause grows: " << err;
    EXPECT_NE(
        err.find("AirConPoll: cannot open " + s.link.string() +
                 ": Unable to open com port (ENOENT: No such file or directory): there is no " +
                 s.link.string() + " (is the adapter plugged in?); trying again in "),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("AirConPoll: stopped\n"), std::string::npos) << err;
}

// A controller that refuses every command (a protocol version it does not speak) is
// not up: its replies come, each with a return code other than 0, and the counters say
// which.
TEST(PollProgram, AControllerThatRefusesEverythingIsNotUp) {
    TSimOnPty s({"--no-pace", "--rtn", "4"});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    const fs::path file = s.dir.path() / "aircon.prom";
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--textfile", file.string()});
    bool everUp = false;
    auto replies = [&] {
        const auto p = Metrics(file);
        everUp = everUp || p.Value("aircon_up") == "1";
        const auto n = p.Value("aircon_replies_total");
        return n ? std::stoi(*n) : 0;
    };
    // Two whole poll cycles and the four reads.
    ASSERT_TRUE(WaitFor([&] { return replies() >= 10; }, 30s)) << poll.Err();
    const auto p = Metrics(file);
    EXPECT_FALSE(everUp);
    EXPECT_EQ(p.Value("aircon_up"), "0");
    EXPECT_EQ(p.Value("aircon_port_open"), "1");
    EXPECT_EQ(p.Value("aircon_rtn_errors_total"), p.Value("aircon_replies_total"));
    EXPECT_EQ(p.Value("aircon_rtn_replies_total", {{"rtn", "4"}}), p.Value("aircon_replies_total"));
    EXPECT_EQ(p.Types.at("aircon_rtn_replies_total"), "counter");
    EXPECT_FALSE(p.Value("aircon_last_reply_timestamp_seconds")) << "no reply with RTN 0";
    EXPECT_TRUE(p.Find("aircon_analog").empty());
    poll.Signal(SIGTERM);
    EXPECT_EQ(poll.Wait(5s), 0);
    const std::string err = poll.Err();
    EXPECT_NE(err.find("AirConPoll: the controller replies, but refuses every command (return "
                       "code other than 0)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("the controller answers"), std::string::npos) << err;
}

// Runs the poller against the simulator until it answers, then sends sig.
void EndsCleanlyOnSignal(int sig) {
    TSimOnPty s({});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    const fs::path file = s.dir.path() / "aircon.prom";
    PollerProcess poll(s.dir.path(),
                       {"--port", s.link.string(), "--textfile", file.string(), "--json"});
    ASSERT_TRUE(WaitFor([&] { return Metrics(file).Value("aircon_up") == "1"; }, 20s))
        << poll.Err();
    std::this_thread::sleep_for(700ms);  // somewhere inside a poll cycle
    const auto sent = Clock::now();
    poll.Signal(sig);
    const auto status = poll.Wait(5s);
    const auto took = Clock::now() - sent;
    ASSERT_EQ(status, 0) << poll.Err();
    EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                        << " ms";
    const auto p = Metrics(file);
    EXPECT_EQ(p.Value("aircon_up"), "0");
    EXPECT_EQ(p.Value("aircon_port_open"), "0");
    EXPECT_NE(p.Value("aircon_commands_total"), "0");
    EXPECT_TRUE(p.Find("aircon_analog").empty());
    // Every JSON line whole.
    const std::string out = poll.Out();
    EXPECT_TRUE(out.empty() || out.back() == '\n');
    for (const auto& line : Lines(out))
        EXPECT_TRUE(line.starts_with("{\"time\":") && line.ends_with("}")) << line;
    // No temporary left beside the file.
    for (const auto& e : fs::directory_iterator(s.dir.path()))
        EXPECT_FALSE(e.path().filename().string().starts_with(".aircon.prom.")) << e.path();
}

TEST(PollProgram, SigtermEndsItCleanlyWithinASecond) {
    EndsCleanlyOnSignal(SIGTERM);
}

TEST(PollProgram, SigintEndsItCleanlyWithinASecond) {
    EndsCleanlyOnSignal(SIGINT);
}

TEST(PollProgram, SighupEndsItCleanlyWithinASecond) {
    EndsCleanlyOnSignal(SIGHUP);
}

TEST(PollProgram, SigtermWhileWaitingToReopen) {
    TempDir dir;
    const fs::path file = dir.path() / "aircon.prom";
    PollerProcess poll(dir.path(),
                       {"--port", (dir.path() / "gone").string(), "--textfile", file.string()});
    ASSERT_TRUE(
        WaitFor([&] { return poll.Err().find("trying again in 1 s") != std::string::npos; }, 10s))
        << poll.Err();
    ASSERT_TRUE(
        WaitFor([&] { return poll.Err().find("trying again in 2 s") != std::string::npos; }, 10s))
        << "the pause grows: " << poll.Err();
    const auto sent = Clock::now();
    poll.Signal(SIGTERM);
    EXPECT_EQ(poll.Wait(5s), 0);
    EXPECT_LT(Clock::now() - sent, 1s);
    const auto p = Metrics(file);
    EXPECT_EQ(p.Value("aircon_port_open"), "0");
    EXPECT_EQ(p.Value("aircon_up"), "0");
}

TEST(PollProgram, AMetricsFileThatCannotBeWrittenIsAFailureAtTheStart) {
    TempDir dir;
    PollerProcess poll(
        dir.path(), {"--port", "ttyNONE", "--textfile", (dir.path() / "no" / "a.prom").string()});
    EXPECT_EQ(poll.Wait(10s), 1);
    EXPECT_EQ(poll.Err(), "AirConPoll: cannot create a file in " + (dir.path() / "no").string() +
                              ": No such file or directory\n");
}

}  // namespace
