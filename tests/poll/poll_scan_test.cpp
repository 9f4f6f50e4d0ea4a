// AirConPoll --scan: its command line, and the program against the simulator with several
// controllers on a line that keeps its speed: found exactly where they were placed,
// nothing where they are not, and stopped cleanly halfway with the port's settings back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Options.h"
#include "ScanRun.h"
#include "SimHarness.h"

namespace {

using namespace simharness;
using namespace std::chrono_literals;
using airconpoll::ParseOptions;

// Controllers at 1, 7 and 200 on a line kept at 9600 bit/s.
struct TSimLine : SimOnLink {
    TSimLine() : SimOnLink({"--addr", "1,7,200", "--line-baud", "9600"}) {}
};

}  // namespace

TEST(ScanOptions, GoodAndBadLines) {
    struct TCase {
        std::vector<std::string> Args;
        std::string Error;  // empty: accepted
        std::vector<int> Rates;
        int First, Last;
    };
    const std::vector<TCase> cases{
        {{"--port", "p", "--scan"}, "", {}, 0, 255},
        {{"--port", "p", "--scan", "--baud-list", "9600,19200", "--addr-range", "1-32"},
         "",
         {9600, 19200},
         1,
         32},
        {{"--port", "p", "--scan", "--baud-list=1200", "--addr-range=7"}, "", {1200}, 7, 7},
        {{"--port", "p", "--scan", "--baud-list", "9600,9600"}, "", {9600}, 0, 255},
        {{"--port", "p", "--scan", "--baud-list", "9600,1234"},
         "--baud-list: '1234' is not a rate of --baud",
         {},
         0,
         0},
        {{"--port", "p", "--scan", "--baud-list", "9600,"},
         "--baud-list: '' is not a rate of --baud",
         {},
         0,
         0},
        {{"--port", "p", "--scan", "--addr-range", "32-1"},
         "--addr-range: '32-1' is not an address or a range FIRST-LAST from 0 to 255",
         {},
         0,
         0},
        {{"--port", "p", "--scan", "--addr-range", "0-256"},
         "--addr-range: '0-256' is not an address or a range FIRST-LAST from 0 to 255",
         {},
         0,
         0},
        {{"--port", "p", "--scan", "--scan-margin", "20"},
         "--scan-margin: '20' is not a whole number from 50 to 10000",
         {},
         0,
         0},
        {{"--port", "p", "--scan", "--once"},
         "--scan: give it alone (with --json at most), not with --once or --textfile",
         {},
         0,
         0},
        {{"--scan"}, "--port is missing: which serial port to poll", {}, 0, 0},
    };
    for (const TCase& c : cases) {
        std::string line;
        for (const auto& a : c.Args)
            line += a + " ";
        SCOPED_TRACE(line);
        const auto r = ParseOptions(c.Args);
        EXPECT_EQ(r.Error, c.Error);
        if (!c.Error.empty()) {
            EXPECT_FALSE(r.Options);
            continue;
        }
        ASSERT_TRUE(r.Options);
        EXPECT_TRUE(r.Options->Scan);
        std::vector<int> rates;
        for (TBaudRate b : r.Options->BaudList)
            rates.push_back(airconpoll::BaudRateNumber(b));
        EXPECT_EQ(rates, c.Rates);
        EXPECT_EQ(r.Options->AddrFirst, c.First);
        EXPECT_EQ(r.Options->AddrLast, c.Last);
    }
}

TEST(ScanOutput, OneLinePerController) {
    aircon::TScanFound f;
    f.Rate = 9600;
    f.Addr = 7;
    f.Ver = 0x10;
    f.Name = "AC \"7\"";
    f.Vendor = "ACME";
    EXPECT_EQ(airconpoll::ScanLine(f, "8N1"),
              "9600 bit/s 8N1, address 7, protocol 1.0, name \"AC \\\"7\\\"\", software -, vendor "
              "\"ACME\"");
    EXPECT_EQ(airconpoll::ScanJson(f, "8N1"),
              "{\"rate\":9600,\"format\":\"8N1\",\"addr\":7,\"rtn\":0,\"protocol_version\":\"1.0\","
              "\"device_name\":\"AC \\\"7\\\"\",\"software_version\":null,\"vendor_name\":"
              "\"ACME\",\"late\":false}");
    f.Rtn = 1;
    f.Ver = 0x21;
    f.Late = true;
    const std::string line = airconpoll::ScanLine(f, "7E1");
    EXPECT_NE(line.find("protocol 2.1, RTN 1 ("), std::string::npos) << line;
    EXPECT_TRUE(line.ends_with("(replied late)")) << line;
}

// Three rates, eleven addresses: the controllers at 1 and 7 at 9600 bit/s, each with its
// own identity, and nothing else; the one at 200 in a range of its own, as JSON.
TEST(ScanProgram, FindsExactlyTheControllersPlaced) {
    TSimLine s;
    ASSERT_TRUE(s.ready);
    {
        PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--scan", "--baud-list",
                                          "4800,9600,19200", "--addr-range", "0-10"});
        ASSERT_EQ(poll.Wait(60s), 0) << poll.Err();
        const auto lines = Lines(poll.Out());
        ASSERT_EQ(lines.size(), 2u) << poll.Out();
        EXPECT_TRUE(lines[0].starts_with("9600 bit/s 8N1, address 1, protocol 1.0, name \""))
            << lines[0];
        EXPECT_NE(lines[0].find("#1\""), std::string::npos) << lines[0];
        EXPECT_TRUE(lines[1].starts_with("9600 bit/s 8N1, address 7, protocol 1.0, name \""))
            << lines[1];
        EXPECT_NE(lines[1].find("#7\""), std::string::npos) << lines[1];
        EXPECT_NE(poll.Err().find("2 controller(s) found"), std::string::npos) << poll.Err();
    }
    {
        PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--scan", "--baud-list",
                                          "9600", "--addr-range", "195-205", "--json"});
        ASSERT_EQ(poll.Wait(60s), 0) << poll.Err();
        const auto lines = Lines(poll.Out());
        ASSERT_EQ(lines.size(), 1u) << poll.Out();
        EXPECT_TRUE(
            lines[0].starts_with("{\"rate\":9600,\"format\":\"8N1\",\"addr\":200,\"rtn\":0,"))
            << lines[0];
        EXPECT_NE(lines[0].find("#200\",\"late\":false}"), std::string::npos) << lines[0];
    }
    {
        // At the wrong rates, or where nobody is: none found, exit status 1.
        PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--scan", "--baud-list",
                                          "4800,19200", "--addr-range", "0-8"});
        EXPECT_EQ(poll.Wait(60s), 1) << poll.Err();
        EXPECT_EQ(poll.Out(), "");
        EXPECT_NE(poll.Err().find("0 controller(s) found"), std::string::npos) << poll.Err();
    }
}

// SIGINT halfway through a full scan: it ends within a second, lists what it had found,
// and the port is left at the speed it had before the scan.
TEST(ScanProgram, StoppedCleanlyHalfway) {
    TSimLine s;
    ASSERT_TRUE(s.ready);
    PollerProcess poll(s.dir.path(), {"--port", s.link.string(), "--baud", "2400", "--scan",
                                      "--baud-list", "9600,19200", "--scan-listen", "0"});
    // Address 7 is found within the first second at 9600 (69 ms an address).
    ASSERT_TRUE(WaitFor([&] { return poll.Out().find("address 7,") != std::string::npos; }, 20s))
        << poll.Err();
    const auto sent = Clock::now();
    poll.Signal(SIGINT);
    EXPECT_EQ(poll.Wait(5s), 0) << poll.Err();
    EXPECT_LT(Clock::now() - sent, 1s);
    EXPECT_NE(poll.Err().find("stopped"), std::string::npos) << poll.Err();
    EXPECT_EQ(poll.Out().find("address 200,"), std::string::npos) << "stopped before 200";
    // The line settings the port had before the scan.
    const int fd = open(s.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B2400);
    close(fd);
}
