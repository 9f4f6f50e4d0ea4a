// ac_sim as a process: a client on the pseudo-terminal it makes, as the tool
// would be, and the process's start, signals, vanishing and exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <DH.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimHarness.h"

using namespace simharness;

namespace {

using Sim = SimProcess;

// The tool's side of the line.
class Client {
  public:
    explicit Client(const fs::path& port) {
        fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void Send(std::uint8_t cid2, std::uint8_t addr = 1) {
        std::string f(TDH::GetCmdPacketLen(cid2), '\0');
        TDH::GenCmdPacket(TDH_Header{0x10, addr, 0x60, cid2},
                          {reinterpret_cast<std::uint8_t*>(f.data()), f.size()}, {});
        ASSERT_EQ(write(fd_, f.data(), f.size()), static_cast<ssize_t>(f.size()));
    }
    // Reads up to and including a carriage return; empty when none came in time.
    std::string ReadFrame(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        std::string got;
        while (Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            if (p.revents & POLLHUP) return got;
            char c;
            while (read(fd_, &c, 1) == 1) {
                got.push_back(c);
                if (c == '\r')
                    return got.substr(got.find('~') == std::string::npos ? 0 : got.find('~'));
            }
        }
        return "";
    }
    bool HungUp(std::chrono::milliseconds limit) {
        return WaitFor(
            [&] {
                pollfd p{fd_, POLLIN, 0};
                return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
            },
            limit);
    }

  private:
    int fd_ = -1;
};

bool Valid(const std::string& frame) {
    return TDH::CheckFrame({reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()});
}

}  // namespace

TEST(SimProcess, AnswersAtLineSpeedIgnoresOtherAddressesAndStopsCleanly) {
    TempDir dir;
    const fs::path link = dir.path() / "ttyAC0";
    const fs::path log = dir.path() / "log";
    Sim sim(dir.path(), {"--link", link.string(), "--log", log.string(), "-v"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link); }, 10s)) << sim.Err();
    EXPECT_NE(sim.Out().find(fs::read_symlink(link).string()), std::string::npos)
        << "the port path is printed";
    // And the window's command line for it.
    ASSERT_TRUE(
        WaitFor([&] { return sim.Out().find("AirConTool --port") != std::string::npos; }, 5s));
    EXPECT_NE(sim.Out().find("ac_sim: open it with: AirConTool --port " + link.string() + "\n"),
              std::string::npos)
        << sim.Out();

    Client tool(link);
    ASSERT_TRUE(tool.ok());
    const auto t0 = Clock::now();
    tool.Send(0x42);
    const std::string reply = tool.ReadFrame(5s);
    const auto took = Clock::now() - t0;
    ASSERT_EQ(reply.size(), 18u + 2 * 38) << reply;
    EXPECT_TRUE(Valid(reply));
    // 94 characters at 9600 baud, ten bit times each, take at least 97 ms.
    EXPECT_GE(took, 90ms);
    EXPECT_LE(took, 3s);

    tool.Send(0x42, 2);
    EXPECT_EQ(tool.ReadFrame(400ms), "") << "a reply to another address";

    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_FALSE(fs::is_symlink(link)) << "the link stays behind";
    const std::string out = sim.Out();
    EXPECT_NE(out.find("commands=2 ignored=1 intact=1"), std::string::npos) << out;
    // The frame log goes to the file and, with -v, to standard output too.
    const std::string entry =
        "reply cid2=42 rtn=00 unit=0 fate=intact frame=" + reply.substr(0, reply.size() - 1) +
        "\\r";
    const std::string lines = ReadFile(log);
    EXPECT_NE(lines.find(entry), std::string::npos) << lines;
    EXPECT_NE(out.find(entry), std::string::npos) << out;
}

TEST(SimProcess, FaultsAreCountedAndLogged) {
    TempDir dir;
    const fs::path link = dir.path() / "port";
    Sim sim(dir.path(), {"--link", link.string(), "--no-pace", "--drop", "0.5", "--corrupt", "0.5",
                         "--seed", "5", "-v"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link); }, 10s)) << sim.Err();
    Client tool(link);
    ASSERT_TRUE(tool.ok());
    int good = 0, bad = 0, none = 0;
    for (std::size_t i = 0; i < 20; ++i) {
        tool.Send(0x43);
        // The simulator logs each reply's fate as it decides it; a reply that is
        // on its way is then waited for as long as a busy machine may need, so
        // a slow one is never taken for a dropped one and read as the next.
        std::vector<LoggedReply> logged;
        ASSERT_TRUE(WaitFor(
            [&] {
                logged = ParseReplies(sim.Out());
                return logged.size() > i;
            },
            10s))
            << sim.Out();
        const LoggedReply& fate = logged[i];
        const std::string r = tool.ReadFrame(fate.fate == "dropped" ? 300ms : 10s);
        if (r.empty())
            ++none;
        else if (Valid(r))
            ++good;
        else
            ++bad;
        if (fate.fate == "intact") {
            EXPECT_EQ(r, fate.frame);
        }
        if (fate.fate == "corrupted") {
            EXPECT_EQ(r.size(), fate.frame.size());
            EXPECT_NE(r, fate.frame);
        }
    }
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    const std::string out = sim.Out();
    std::ostringstream expect;
    expect << "intact=" << good << " corrupted=" << bad << " delayed=0 dropped=" << none;
    EXPECT_NE(out.find(expect.str()), std::string::npos) << expect.str() << "\n" << out;
    EXPECT_GT(good, 0);
    EXPECT_GT(bad, 0);
    EXPECT_GT(none, 0);
}

TEST(SimProcess, VanishesLikeAnUnpluggedAdapterAndComesBackBehindTheLink) {
    TempDir dir;
    const fs::path link = dir.path() / "port";
    Sim sim(dir.path(),
            {"--link", link.string(), "--no-pace", "--vanish-after", "1", "--back-after", "0.5"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link); }, 10s)) << sim.Err();
    {
        Client tool(link);
        ASSERT_TRUE(tool.ok());
        tool.Send(0x4F);
        EXPECT_TRUE(Valid(tool.ReadFrame(3s)));
        EXPECT_TRUE(tool.HungUp(10s)) << "the line did not go away";
    }
    ASSERT_TRUE(WaitFor([&] { return sim.Out().find("vanished") != std::string::npos; }, 5s));
    ASSERT_TRUE(WaitFor(
        [&] {
            Client again(link);
            return again.ok();
        },
        10s))
        << "the line did not come back";
    Client tool(link);
    tool.Send(0x50);
    EXPECT_TRUE(Valid(tool.ReadFrame(3s)));
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST(SimProcess, VanishingForGoodEndsTheProcess) {
    TempDir dir;
    const fs::path link = dir.path() / "port";
    Sim sim(dir.path(), {"--link", link.string(), "--vanish-after", "0.3"});
    EXPECT_EQ(sim.Wait(10s), 0);
    EXPECT_FALSE(fs::is_symlink(link));
}

TEST(SimProcess, RefusesBadCommandLinesAndForeignFiles) {
    TempDir dir;
    {
        Sim sim(dir.path(), {"--corrupt", "7"});
        EXPECT_EQ(sim.Wait(10s), 2);
        EXPECT_NE(sim.Err().find("--corrupt"), std::string::npos);
        EXPECT_NE(sim.Err().find("--help"), std::string::npos);
    }
    {
        const fs::path file = dir.path() / "precious";
        std::ofstream(file) << "keep me";
        Sim sim(dir.path(), {"--link", file.string()});
        EXPECT_EQ(sim.Wait(10s), 1);
        EXPECT_EQ(ReadFile(file), "keep me");
    }
    {
        Sim sim(dir.path(), {"--help"});
        EXPECT_EQ(sim.Wait(10s), 0);
        EXPECT_NE(sim.Out().find("--vanish-after"), std::string::npos);
    }
}

TEST(SimProcess, AnswersOnAnExistingSerialDevice) {
    // A pseudo-terminal slave stands in for the USB adapter; the test holds the
    // master, the far end of the cable.
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    TempDir dir;
    Sim sim(dir.path(), {"--device", name, "--baud", "19200", "--addr", "3"});
    ASSERT_TRUE(WaitFor([&] { return sim.Out().find(name) != std::string::npos; }, 10s))
        << sim.Err();
    std::string cmd(18, '\0');
    TDH::GenCmdPacket(TDH_Header{0x10, 3, 0x60, 0x50},
                      {reinterpret_cast<std::uint8_t*>(cmd.data()), cmd.size()}, {});
    ASSERT_EQ(write(master, cmd.data(), cmd.size()), 18);
    std::string got;
    WaitFor(
        [&] {
            char buf[64];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            return got.find('\r') != std::string::npos;
        },
        10s);
    EXPECT_EQ(got, "~100360000000FDB6\r");
    EXPECT_TRUE(Valid(got));
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_NE(sim.Out().find("commands=1 ignored=0 intact=1"), std::string::npos) << sim.Out();
    close(master);
}

TEST(SimProcess, ForcedReturnCodeAndLateReplies) {
    struct Case {
        std::vector<std::string> args;
        std::string reply;                     // expected reply to 0x50
        std::chrono::milliseconds minLatency;  // at the earliest after the command
    } cases[] = {
        {{"--rtn", "6"}, "~100160060000FDB2\r", 0ms},
        {{"--rtn", "0x80", "--rtn-rate", "1"}, "~100160800000FDB0\r", 0ms},
        {{"--delay", "1", "--delay-ms", "400"}, "~100160000000FDB8\r", 390ms},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir dir;
        const fs::path link = dir.path() / "port";
        std::vector<std::string> args{"--link", link.string(), "--no-pace"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Sim sim(dir.path(), args);
        ASSERT_TRUE(WaitFor([&] { return Exists(link); }, 10s)) << sim.Err();
        Client tool(link);
        ASSERT_TRUE(tool.ok());
        const auto t0 = Clock::now();
        tool.Send(0x50);
        EXPECT_EQ(tool.ReadFrame(5s), c.reply);
        EXPECT_GE(Clock::now() - t0, c.minLatency);
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
}
