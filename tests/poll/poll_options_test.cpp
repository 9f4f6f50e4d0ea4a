// The command line: what each good line sets, what each bad line is told, and the
// program's exit status and messages for them.
#include "Options.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SimHarness.h"

namespace airconpoll {
namespace {

using Args = std::vector<std::string>;

TEST(PollOptions, Defaults) {
    const Args args{"--port", "ttyUSB0", "--textfile", "/tmp/a.prom"};
    const auto r = ParseOptions(args);
    ASSERT_TRUE(r.Options) << r.Error;
    const TPollOptions& o = *r.Options;
    EXPECT_EQ(o.Port, "ttyUSB0");
    EXPECT_EQ(o.BaudRate, TBaudRate::Br9600);
    EXPECT_EQ(o.DataBits, TDataBits::DbEight);
    EXPECT_EQ(o.Parity, TParityBits::PrNone);
    EXPECT_EQ(o.StopBits, TStopBits::SbOneStopBit);
    EXPECT_EQ(o.Addr, 1);
    EXPECT_EQ(o.IntervalMs, 500);
    EXPECT_EQ(o.TimeoutMs, 350);
    EXPECT_EQ(o.ParamsIntervalS, 300);
    EXPECT_FALSE(o.Once);
    EXPECT_FALSE(o.Json);
    EXPECT_EQ(o.TextFile, "/tmp/a.prom");
}

TEST(PollOptions, GoodLines) {
    const struct {
        Args args;
        void (*check)(const TPollOptions&);
    } cases[] = {
        {{"--port=/dev/ttyS1", "--json"},
         [](const TPollOptions& o) { EXPECT_EQ(o.Port, "/dev/ttyS1"); }},
        {{"--port", "x", "--once"}, [](const TPollOptions& o) { EXPECT_TRUE(o.Once); }},
        {{"--port", "x", "--json", "--baud", "115200"},
         [](const TPollOptions& o) { EXPECT_EQ(o.BaudRate, TBaudRate::Br115200); }},
        {{"--port", "x", "--json", "--baud=110"},
         [](const TPollOptions& o) { EXPECT_EQ(o.BaudRate, TBaudRate::Br110); }},
        {{"--port", "x", "--json", "--data-bits", "7", "--parity", "even", "--stop-bits", "2"},
         [](const TPollOptions& o) {
             EXPECT_EQ(o.DataBits, TDataBits::DbSeven);
             EXPECT_EQ(o.Parity, TParityBits::PrEven);
             EXPECT_EQ(o.StopBits, TStopBits::SbTwoStopBits);
         }},
        {{"--port", "x", "--json", "--data-bits=5", "--parity=space", "--stop-bits=1.5"},
         [](const TPollOptions& o) {
             EXPECT_EQ(o.DataBits, TDataBits::DbFive);
             EXPECT_EQ(o.Parity, TParityBits::PrSpace);
             EXPECT_EQ(o.StopBits, TStopBits::SbOne5StopBits);
         }},
        {{"--port", "x", "--json", "--addr", "0"},
         [](const TPollOptions& o) { EXPECT_EQ(o.Addr, 0); }},
        {{"--port", "x", "--json", "--addr", "255"},
         [](const TPollOptions& o) { EXPECT_EQ(o.Addr, 255); }},
        {{"--port", "x", "--json", "--interval", "2000", "--timeout", "800"},
         [](const TPollOptions& o) {
             EXPECT_EQ(o.IntervalMs, 2000);
             EXPECT_EQ(o.TimeoutMs, 800);
         }},
        {{"--port", "x", "--json", "--params-interval", "0"},
         [](const TPollOptions& o) { EXPECT_EQ(o.ParamsIntervalS, 0); }},
        {{"--port", "a", "--port", "b", "--json"},
         [](const TPollOptions& o) { EXPECT_EQ(o.Port, "b"); }},
        {{"--help"}, [](const TPollOptions& o) { EXPECT_TRUE(o.Help); }},
        {{"-h", "--bogus-is-not-read-after-help"}, nullptr},
        {{"--version"}, [](const TPollOptions& o) { EXPECT_TRUE(o.Version); }},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const auto r = ParseOptions(c.args);
        if (!c.check) {
            // An unknown option is refused even beside --help.
            EXPECT_FALSE(r.Options);
            continue;
        }
        ASSERT_TRUE(r.Options) << r.Error;
        EXPECT_EQ(r.Error, "");
        c.check(*r.Options);
    }
}

TEST(PollOptions, BadLines) {
    const struct {
        Args args;
        std::string error;
    } cases[] = {
        {{}, "--port is missing: which serial port to poll"},
        {{"--json"}, "--port is missing: which serial port to poll"},
        {{"--port", "x"}, "nothing to do: give --textfile PATH, --json or --once (see --help)"},
        {{"--port"}, "--port: a value is missing"},
        {{"--port="}, "--port: the port name is empty"},
        {{"--port", "x", "--json", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--port", "x", "--json", "-x"}, "unknown option '-x'"},
        {{"--port", "x", "--json", "ttyUSB0"}, "unexpected argument 'ttyUSB0'"},
        {{"--port", "x", "--json", "--baud", "9601"},
         "--baud: '9601' is not one of 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, "
         "38400, 56000, 57600, 115200, 128000, 256000"},
        {{"--port", "x", "--json", "--baud", "fast"}, "--baud: 'fast' is not one of"},
        {{"--port", "x", "--json", "--data-bits", "9"}, "--data-bits: '9' is not 5, 6, 7 or 8"},
        {{"--port", "x", "--json", "--parity", "N"},
         "--parity: 'N' is not one of none, odd, even, mark, space"},
        {{"--port", "x", "--json", "--stop-bits", "3"}, "--stop-bits: '3' is not 1, 1.5 or 2"},
        {{"--port", "x", "--json", "--addr", "256"},
         "--addr: '256' is not a whole number from 0 to 255"},
        {{"--port", "x", "--json", "--addr", "-1"},
         "--addr: '-1' is not a whole number from 0 to 255"},
        {{"--port", "x", "--json", "--addr", "0x10"},
         "--addr: '0x10' is not a whole number from 0 to 255"},
        {{"--port", "x", "--json", "--addr", " 1"}, "--addr: ' 1' is not a whole number"},
        {{"--port", "x", "--json", "--addr", "99999999999999999999"},
         "--addr: '99999999999999999999' is not"},
        {{"--port", "x", "--json", "--interval", "0"},
         "--interval: '0' is not a whole number from 10 to 3600000"},
        {{"--port", "x", "--json", "--timeout", ""},
         "--timeout: '' is not a whole number from 10 to 600000"},
        {{"--port", "x", "--json", "--timeout"}, "--timeout: a value is missing"},
        {{"--port", "x", "--json", "--params-interval", "1.5"}, "--params-interval: '1.5' is not"},
        {{"--port", "x", "--textfile", ""}, "--textfile: the path is empty"},
        {{"--port", "x", "--textfile", "/var/lib/prometheus/"},
         "--textfile: '/var/lib/prometheus/' names a folder, not a file"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const auto r = ParseOptions(c.args);
        EXPECT_FALSE(r.Options);
        EXPECT_TRUE(r.Error.starts_with(c.error)) << r.Error;
        EXPECT_EQ(r.Error.find('\n'), std::string::npos) << "one line";
    }
}

// The program itself: exit status and what it prints.
struct TRun {
    int status = -1;
    std::string out, err;
};

TRun RunPoller(const Args& args) {
    simharness::TempDir dir;
    std::string command = std::string(AIRCONPOLL);
    for (const auto& a : args)
        command += " '" + a + "'";
    command += " >" + (dir.path() / "out").string() + " 2>" + (dir.path() / "err").string() +
               " </dev/null";
    TRun r;
    const int st = std::system(command.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = simharness::ReadFile(dir.path() / "out");
    r.err = simharness::ReadFile(dir.path() / "err");
    return r;
}

TEST(PollProgram, BadOptionsExitWithStatusTwoAndAClearMessage) {
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{}, "AirConPoll: --port is missing: which serial port to poll\n"},
        {{"--port", "ttyUSB0", "--addr", "300", "--json"},
         "AirConPoll: --addr: '300' is not a whole number from 0 to 255\n"},
        {{"--port", "ttyUSB0", "--speed", "9600"}, "AirConPoll: unknown option '--speed'\n"},
        {{"--port", "ttyUSB0"}, "AirConPoll: nothing to do"},
    };
    for (const auto& c : cases) {
        const TRun r = RunPoller(c.args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(r.err.starts_with(c.message)) << r.err;
        EXPECT_NE(r.err.find("Try 'AirConPoll --help'."), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(PollProgram, HelpAndVersion) {
    const TRun help = RunPoller({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: AirConPoll --port PORT [OPTION]...\n")) << help.out;
    for (const char* option :
         {"--baud", "--data-bits", "--parity", "--stop-bits", "--addr", "--interval", "--timeout",
          "--once", "--json", "--textfile", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(help.err, "");

    const TRun version = RunPoller({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("AirConPoll ")) << version.out;
    EXPECT_EQ(version.out, VersionText());
}

// --help and the manual page name the same signals: the three that end the program
// cleanly (each one's ending is tried in the program's tests), and no other.
TEST(PollOptions, HelpAndManualPageNameTheSignalsThatEndIt) {
    std::ifstream in(AIRCON_SOURCE_DIR "/packaging/man/AirConPoll.1");
    ASSERT_TRUE(in) << "the manual page";
    std::stringstream page;
    page << in.rdbuf();
    const std::string help = HelpText();
    const struct {
        const char* name;
        bool ends;
    } signals[] = {{"SIGTERM", true},  {"SIGINT", true},   {"SIGHUP", true},
                   {"SIGQUIT", false}, {"SIGUSR1", false}, {"SIGUSR2", false}};
    for (const auto& s : signals) {
        EXPECT_EQ(help.find(s.name) != std::string::npos, s.ends) << s.name << " in --help";
        EXPECT_EQ(page.str().find(s.name) != std::string::npos, s.ends) << s.name << " in the page";
    }
}

}  // namespace
}  // namespace airconpoll
