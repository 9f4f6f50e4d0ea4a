// AirConPoll --params-save, --params-check, --params-apply and --params-reference: the
// command line, and the program against the simulator: a set saved, one value changed on
// the controller, the difference found, written and verified; a choice the controller does
// not take refused while the rest is written; bad files, dead ports and silent controllers
// with their own exit statuses; the drift metric while polling.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Options.h"
#include "ParamsRun.h"
#include "SimHarness.h"

namespace {

using namespace simharness;
using namespace std::chrono_literals;
using airconpoll::ParseOptions;

// One controller at address 1 with a control pipe; no alarms of its own.
struct TSim : SimOnLink {
    TSim() : SimOnLink({"--alarm-every", "0", "--no-pace", "-v"}, {.control = true}) {}
    // Runs the poller with Args after the port and waits for its exit status.
    int Run(std::vector<std::string> Args, std::string* Out = nullptr, std::string* Err = nullptr) {
        Args.insert(Args.begin(), {"--port", link.string(), "--timeout", "150"});
        PollerProcess p(dir.path(), Args);
        const auto rc = p.Wait(60s);
        if (Out) *Out = p.Out();
        if (Err) *Err = p.Err();
        return rc ? *rc : -1;
    }
};

TEST(ParamsOptions, GoodAndBadLines) {
    const std::vector<std::string> good{"--port", "ttyUSB0", "--params-apply", "std.ini"};
    const auto g = ParseOptions(good);
    ASSERT_TRUE(g.Options) << g.Error;
    EXPECT_EQ(g.Options->ParamsApply, "std.ini");
    const std::vector<std::string> ref{
        "--port", "ttyUSB0", "--textfile", "/tmp/a.prom", "--params-reference", "std.ini"};
    ASSERT_TRUE(ParseOptions(ref).Options);
    struct Case {
        std::vector<std::string> args;
        const char* mention;
    } cases[] = {
        {{"--port", "p", "--params-save", "a", "--params-check", "b"}, "one of them"},
        {{"--port", "p", "--params-check", "a", "--textfile", "m.prom"}, "--textfile"},
        {{"--port", "p", "--params-apply", "a", "--once"}, "--once"},
        {{"--port", "p", "--params-save", "a", "--addr", "1,2"}, "one controller"},
        {{"--port", "p", "--params-save", ""}, "empty"},
        {{"--port", "p", "--params-check"}, "missing"},
        {{"--port", "p", "--listen", "--params-reference", "a"}, "--listen"},
        {{"--params-save", "a"}, "--port"},
    };
    for (const Case& c : cases) {
        const auto r = ParseOptions(c.args);
        EXPECT_FALSE(r.Options) << c.args.back();
        EXPECT_NE(r.Error.find(c.mention), std::string::npos) << r.Error;
    }
    const std::string help = airconpoll::HelpText();
    for (const char* opt : {"--params-save", "--params-check", "--params-apply",
                            "--params-reference", "aircon_parameter_drift"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

// Save, change one value on the controller, the check finds exactly that one, the write
// puts it back and the read-back verifies it; then the controller holds the file.
TEST(ParamsProgram, ASetRoundTrips) {
    TSim s;
    ASSERT_TRUE(s.ready);
    const std::string file = (s.dir.path() / "site.ini").string();
    std::string out, err;
    ASSERT_EQ(s.Run({"--params-save", file}, &out, &err), 0) << err;
    const std::string saved = ReadFile(file);
    EXPECT_NE(saved.find("run_mode = 制冷"), std::string::npos) << saved;
    EXPECT_NE(saved.find("device_name = ACSIM-2 split AC controller\n"), std::string::npos);
    EXPECT_NE(err.find("saved 16 parameters"), std::string::npos) << err;

    ASSERT_EQ(s.Run({"--params-check", file}, &out, &err), 0) << err;
    EXPECT_EQ(out, "");

    ASSERT_EQ(s.Control("param 1 0xC1 1"), "");
    ASSERT_EQ(s.Run({"--params-check", file}, &out, &err), 1) << err;
    EXPECT_EQ(out, "indoor_fan_speed (内风机风速设定, 0xC1): file 高风, controller 低风\n");
    EXPECT_NE(err.find("1 of 16 parameters differ"), std::string::npos) << err;

    ASSERT_EQ(s.Run({"--params-apply", file}, &out, &err), 0) << err;
    EXPECT_EQ(out, "indoor_fan_speed (内风机风速设定, 0xC1): 低风 -> 高风: written and verified\n");
    ASSERT_EQ(s.Run({"--params-check", file}, &out, &err), 0) << err;
    // The simulator answered exactly one set.
    const std::string log = s.sim->Out();
    ASSERT_NE(log.find("cid2=49"), std::string::npos) << log;
    EXPECT_EQ(log.find("cid2=49"), log.rfind("cid2=49")) << log;
}

// A run mode the controller does not have is refused (RTN 6) and reported so; the other
// change is still written and verified.
TEST(ParamsProgram, ARefusedWriteIsReportedAndTheRestWritten) {
    TSim s;
    ASSERT_TRUE(s.ready);
    const fs::path file = s.dir.path() / "std.ini";
    std::ofstream(file) << "format_version = 1\n[parameters]\n"
                           "run_mode = 空调\ntemp_set_point = 23\n";
    ASSERT_EQ(s.Control("choices 1 0xC0 0-4"), "");
    std::string out, err;
    ASSERT_EQ(s.Run({"--params-apply", file.string()}, &out, &err), 1) << err;
    const auto lines = Lines(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(lines[0], "temp_set_point (温度设定值, 0x86): 25 -> 23: written and verified");
    EXPECT_TRUE(lines[1].starts_with(
        "run_mode (运行模式设定, 0xC0): 制冷 -> 空调: refused by the controller: RTN 6"))
        << lines[1];
    EXPECT_NE(err.find("holds 2 of the 16 parameters: only those are compared and written"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("1 of 2 parameters written and verified"), std::string::npos) << err;
    ASSERT_EQ(s.Run({"--params-check", file.string()}, &out, &err), 1) << err;
    EXPECT_EQ(out, "run_mode (运行模式设定, 0xC0): file 空调, controller 制冷\n");
}

TEST(ParamsProgram, BadFilesDeadPortsAndSilentControllersHaveTheirOwnStatus) {
    TSim s;
    ASSERT_TRUE(s.ready);
    const fs::path bad = s.dir.path() / "bad.ini";
    std::ofstream(bad) << "format_version = 1\n[parameters]\nrun_mode = 强冷\non_temp = 70000\n";
    std::string out, err;
    EXPECT_EQ(s.Run({"--params-apply", bad.string()}, &out, &err), 3);
    EXPECT_NE(err.find(bad.string() + ": line 3: run_mode: '强冷'"), std::string::npos) << err;
    EXPECT_NE(err.find(bad.string() + ": line 4: on_temp: '70000'"), std::string::npos) << err;
    EXPECT_EQ(s.sim->Out().find("cid2=49"), std::string::npos) << "nothing was written";
    EXPECT_EQ(s.Run({"--params-check", (s.dir.path() / "none.ini").string()}, &out, &err), 3);
    EXPECT_NE(err.find("cannot read it"), std::string::npos) << err;
    EXPECT_EQ(
        s.Run({"--params-save", (s.dir.path() / "no/such/folder/a.ini").string()}, &out, &err), 3)
        << err;
    // A reference with a mistake stops the poller before it polls.
    EXPECT_EQ(s.Run({"--textfile", (s.dir.path() / "m.prom").string(), "--params-reference",
                     bad.string()},
                    &out, &err),
              3);

    PollerProcess gone(s.dir.path(), {"--port", (s.dir.path() / "nothing").string(),
                                      "--params-save", (s.dir.path() / "a.ini").string()});
    EXPECT_EQ(gone.Wait(30s), 4) << gone.Err();
    ASSERT_EQ(s.Control("silent 1"), "");
    EXPECT_EQ(s.Run({"--params-save", (s.dir.path() / "a.ini").string()}, &out, &err), 4);
    EXPECT_NE(err.find("no reply from the controller to 0x47"), std::string::npos) << err;
    EXPECT_FALSE(Exists(s.dir.path() / "a.ini"));
    PollerProcess cmdline(s.dir.path(), {"--params-save"});
    EXPECT_EQ(cmdline.Wait(30s), 2);
}

// While polling, each parameter of the reference is 0 where the controller holds it and 1
// where it drifted.
TEST(ParamsProgram, DriftFromTheReferenceIsAMetric) {
    TSim s;
    ASSERT_TRUE(s.ready);
    const fs::path ref = s.dir.path() / "ref.ini";
    std::ofstream(ref) << "format_version = 1\n[parameters]\non_temp = 28\nrun_mode = 制热\n";
    const fs::path prom = s.dir.path() / "m.prom";
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--textfile", prom.string(),
                                      "--params-reference", ref.string()});
    const std::string drift = "aircon_parameter_drift{port=\"" + s.link.string() + "\",name=";
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(prom).find(drift + "\"run_mode\"} 1\n") != std::string::npos; }, 20s))
        << ReadFile(prom) << poll.Err();
    const std::string metrics = ReadFile(prom);
    EXPECT_NE(metrics.find(drift + "\"on_temp\"} 0\n"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find(drift + "\"off_temp\""), std::string::npos) << "not in the reference";
    poll.Signal(SIGTERM);
    EXPECT_EQ(poll.Wait(10s), 0);
}

}  // namespace
