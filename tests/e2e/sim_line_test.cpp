// ac_sim as a process with several controllers on its line: control commands
// while it runs, a line speed the controllers keep, and the tap a listener
// hears the line on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <DH.h>

#include <array>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "SimHarness.h"

using namespace simharness;

namespace {

speed_t Speed(int baud) {
    switch (baud) {
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        default:
            return B1200;
    }
}

std::string Command(std::uint8_t cid2, std::uint8_t addr, std::vector<std::uint8_t> info = {}) {
    std::string f(18 + 2 * info.size(), '\0');
    TDH::GenCmdPacket(TDH_Header{0x10, addr, 0x60, cid2},
                      {reinterpret_cast<std::uint8_t*>(f.data()), f.size()}, info);
    return f;
}

bool Valid(const std::string& frame) {
    return TDH::CheckFrame({reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()});
}

// One end of a pseudo-terminal the simulator made, opened as a tool opens its
// port: raw, at a chosen speed.
class Port {
  public:
    explicit Port(const fs::path& path, int baud = 9600) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) SetBaud(baud);
    }
    ~Port() {
        if (fd_ >= 0) close(fd_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    bool ok() const { return fd_ >= 0; }

    void SetBaud(int baud) {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, Speed(baud));
        cfsetospeed(&t, Speed(baud));
        tcsetattr(fd_, TCSANOW, &t);
    }
    void Write(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until `until` holds or the time is up.
    template <class Until>
    std::string ReadUntil(Until until, std::chrono::milliseconds limit) {
        std::string got;
        WaitFor(
            [&] {
                Drain(got);
                return until(got);
            },
            limit,
            [&] {
                pollfd p{fd_, POLLIN, 0};
                poll(&p, 1, 20);
            });
        return got;
    }
    // Up to the first carriage return; empty when none came in time.
    std::string ReadFrame(std::chrono::milliseconds limit) {
        const std::string got = ReadUntil(
            [](const std::string& s) { return s.find('\r') != std::string::npos; }, limit);
        return got.find('\r') == std::string::npos ? "" : got;
    }
    // Every byte that arrives within `quiet`, read with the time of the last one.
    std::string ReadAll(std::chrono::milliseconds quiet) {
        return ReadUntil([](const std::string&) { return false; }, quiet);
    }
    // Bytes with the time each arrived.
    void Drain(std::string& got, std::vector<Clock::time_point>* when = nullptr) {
        char buf[256];
        for (;;) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            got.append(buf, static_cast<std::size_t>(n));
            if (when) when->insert(when->end(), static_cast<std::size_t>(n), Clock::now());
        }
    }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Writes one command to the simulator's control pipe and waits until it has
// been carried out.
void Control(SimProcess& sim, const fs::path& pipe, const std::string& cmd) {
    ASSERT_TRUE(SendControl(sim, pipe, cmd)) << cmd << "\n" << sim.Out() << sim.Err();
}

}  // namespace

TEST(SimLine, SeveralControllersAnswerEachWithItsOwnIdentity) {
    TempDir dir;
    const fs::path link = dir.path() / "port";
    SimProcess sim(dir.path(), {"--link", link.string(), "--addr", "1,7,200", "--no-pace", "-v"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link); }, 10s)) << sim.Err();
    EXPECT_NE(sim.Out().find("controllers at addresses 1,7,200 on /dev/pts/"), std::string::npos)
        << sim.Out();
    Port tool(link);
    ASSERT_TRUE(tool.ok());
    for (std::uint8_t a : {1, 7, 200}) {
        SCOPED_TRACE(int{a});
        tool.Write(Command(0x51, a));
        const std::string r = tool.ReadFrame(5s);
        ASSERT_TRUE(Valid(r)) << r;
        const auto info = acsim::ReplyInfo(r);
        ASSERT_EQ(info.size(), 70u);
        const std::string suffix = " #" + std::to_string(a);
        const std::string name(info.begin(), info.begin() + 30);
        const std::string vendor(info.begin() + 50, info.end());
        EXPECT_NE(name.find(suffix), std::string::npos) << name;
        EXPECT_NE(vendor.find(suffix), std::string::npos) << vendor;
        EXPECT_EQ(TDH::DeCodeFrame({reinterpret_cast<const std::uint8_t*>(r.data()), r.size()})[1],
                  a);
    }
    for (std::uint8_t a : {0, 2, 8, 201}) {
        tool.Write(Command(0x50, a));
        EXPECT_EQ(tool.ReadFrame(300ms), "") << "an answer from address " << int{a};
    }
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    const std::string out = sim.Out();
    EXPECT_NE(out.find("commands=7 ignored=4 intact=3"), std::string::npos) << out;
    EXPECT_NE(out.find("ignored (no controller at address 201)"), std::string::npos) << out;
    EXPECT_NE(out.find("reply addr=7 cid2=51 rtn=00"), std::string::npos) << out;
}

TEST(SimLine, ControlCommandsSilenceOneControllerRaiseAnAlarmOnAnotherAndReturnToNormal) {
    TempDir dir;
    const fs::path link = dir.path() / "port", pipe = dir.path() / "control";
    SimProcess sim(dir.path(), {"--link", link.string(), "--addr", "1-2", "--control",
                                pipe.string(), "--alarm-every", "0", "--units", "0", "--no-pace"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link) && Exists(pipe); }, 10s)) << sim.Err();
    Port tool(link);
    ASSERT_TRUE(tool.ok());
    // Alarm byte of return-air temperature (slot 6) in reply 0x44 of unit 1.
    auto returnAirAlarm = [&](std::uint8_t addr) -> int {
        tool.Write(Command(0x44, addr));
        const std::string r = tool.ReadFrame(5s);
        if (!Valid(r)) return -1;
        return acsim::ReplyInfo(r).at(7);
    };
    auto answers = [&](std::uint8_t addr) {
        tool.Write(Command(0x50, addr));
        return Valid(tool.ReadFrame(400ms));
    };
    EXPECT_EQ(returnAirAlarm(1), 0);
    EXPECT_TRUE(answers(2));

    Control(sim, pipe, "alarm 1 1 return_air_temp high");
    Control(sim, pipe, "silent 2");
    EXPECT_EQ(returnAirAlarm(1), 0x02);
    EXPECT_FALSE(answers(2));
    EXPECT_EQ(returnAirAlarm(1), 0x02) << "the alarm is held, poll after poll";

    // A bad command is refused with its reason and the simulator goes on.
    std::ofstream(pipe) << "alarm 1 3 filter fault\n";
    ASSERT_TRUE(WaitFor([&] { return sim.Err().find("unit 1 or 2") != std::string::npos; }, 10s))
        << sim.Err();
    EXPECT_FALSE(answers(2));

    // A late reply, and one carrying another address than asked.
    Control(sim, pipe, "late 1 300");
    Control(sim, pipe, "reply-as 2 9");
    const auto t0 = Clock::now();
    tool.Write(Command(0x50, 1));
    EXPECT_EQ(tool.ReadFrame(5s), "~100160000000FDB8\r");
    EXPECT_GE(Clock::now() - t0, 290ms);
    Control(sim, pipe, "answer 2");
    tool.Write(Command(0x50, 2));
    EXPECT_EQ(tool.ReadFrame(5s), acsim::BuildReply(0x10, 9, 0x60, 0, {}));

    Control(sim, pipe, "normal");
    EXPECT_EQ(returnAirAlarm(1), 0);
    EXPECT_TRUE(answers(2));
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_FALSE(Exists(pipe)) << "the named pipe stays behind";
    EXPECT_NE(sim.Out().find("silent=2"), std::string::npos) << sim.Out();
}

TEST(SimLine, AControllerKeepsItsLineSpeed) {
    TempDir dir;
    const fs::path link = dir.path() / "port";
    SimProcess sim(dir.path(), {"--link", link.string(), "--line-baud", "9600", "--no-pace", "-v"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link); }, 10s)) << sim.Err();
    Port tool(link);
    ASSERT_TRUE(tool.ok());
    struct Case {
        int baud;
        bool answered;
    } cases[] = {{9600, true},  {4800, false},  {19200, false},
                 {2400, false}, {38400, false}, {9600, true}};
    int garbled = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        tool.SetBaud(c.baud);
        tool.Write(Command(0x4F, 1));
        const std::string r = tool.ReadFrame(c.answered ? 5s : 500ms);
        EXPECT_EQ(Valid(r), c.answered) << r;
        garbled += !c.answered;
    }
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    const std::string out = sim.Out();
    EXPECT_NE(out.find("commands=2 ignored=0 intact=2"), std::string::npos) << out;
    EXPECT_NE(out.find("garbled=" + std::to_string(garbled)), std::string::npos) << out;
    EXPECT_NE(out.find("garbled 18 bytes at 4800 bit/s on a line at 9600"), std::string::npos)
        << out;
}

TEST(SimLine, TheTapHearsEveryByteOfTheLineInOrderWithItsTiming) {
    TempDir dir;
    const fs::path link = dir.path() / "port", tapLink = dir.path() / "tap";
    SimProcess sim(dir.path(), {"--link", link.string(), "--tap", tapLink.string(), "--addr", "1,2",
                                "--split", "0.5", "--seed", "3", "-v"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link) && Exists(tapLink); }, 10s)) << sim.Err();
    Port tool(link), tap(tapLink);
    ASSERT_TRUE(tool.ok() && tap.ok());

    std::string expected, heard;
    std::vector<Clock::time_point> when;
    Clock::time_point firstWrite;
    // Commands to both controllers, to an address not on the line, and a
    // paced reply of 94 characters (about 98 ms at 9600 bit/s).
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> asks{
        {0x42, 1}, {0x50, 2}, {0x50, 9}, {0x51, 2}, {0x43, 1}};
    for (const auto& [cid2, addr] : asks) {
        const std::string cmd = Command(cid2, addr);
        if (expected.empty()) firstWrite = Clock::now();
        tool.Write(cmd);
        expected += cmd;
        // The tool's reply and the listener's copy of the exchange, read as
        // they come, with the time of every byte the listener hears.
        std::string reply;
        const auto end = Clock::now() + (addr == 9 ? 300ms : 5s);
        while (Clock::now() < end && (reply.find('\r') == std::string::npos ||
                                      heard.size() < expected.size() + reply.size())) {
            std::array<pollfd, 2> p{{{tool.fd(), POLLIN, 0}, {tap.fd(), POLLIN, 0}}};
            poll(p.data(), p.size(), 20);
            tool.Drain(reply);
            tap.Drain(heard, &when);
        }
        expected += reply;
    }
    EXPECT_EQ(heard, expected);
    // The first reply (0x42, 94 characters) reached the listener as it was
    // paced out: its last byte no sooner than its time on the line after the
    // command, and not in one piece.
    const std::size_t first = Command(0x42, 1).size();
    ASSERT_GE(when.size(), first + 94);
    EXPECT_GE(when[first + 93] - firstWrite, 90ms);
    EXPECT_GT(std::set<Clock::time_point>(when.begin() + first, when.begin() + first + 94).size(),
              1u);
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_FALSE(fs::is_symlink(tapLink)) << "the tap's link stays behind";
}

TEST(SimLine, AListenerAtAnotherSpeedHearsGarbleAndOneThatWritesIsHeardOnTheLine) {
    TempDir dir;
    const fs::path link = dir.path() / "port", tapLink = dir.path() / "tap";
    SimProcess sim(dir.path(), {"--link", link.string(), "--tap", tapLink.string(), "--line-baud",
                                "9600", "--no-pace", "-v"});
    ASSERT_TRUE(WaitFor([&] { return Exists(link) && Exists(tapLink); }, 10s)) << sim.Err();
    Port tool(link), tap(tapLink, 19200);
    ASSERT_TRUE(tool.ok() && tap.ok());
    const std::string cmd = Command(0x50, 1);
    tool.Write(cmd);
    const std::string reply = tool.ReadFrame(5s);
    ASSERT_TRUE(Valid(reply));
    const std::string garble = tap.ReadAll(500ms);
    EXPECT_FALSE(garble.empty()) << "a listener at another speed heard nothing";
    EXPECT_EQ(garble.find('\r'), std::string::npos) << "no frame survives the wrong speed";
    EXPECT_NE(garble, cmd + reply);

    // At the line's speed, what the listener writes goes on the line: the
    // controller answers it, and the tool hears both.
    tap.SetBaud(9600);
    const std::string other = Command(0x4F, 1);
    tap.Write(other);
    const std::string onLine =
        tool.ReadUntil([&](const std::string& s) { return s.size() >= other.size() + 18; }, 5s);
    EXPECT_EQ(onLine.substr(0, other.size()), other);
    EXPECT_TRUE(Valid(onLine.substr(other.size()))) << onLine;
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_NE(sim.Out().find("tap sent " + other.substr(0, other.size() - 1) + "\\r"),
              std::string::npos)
        << sim.Out();
    EXPECT_NE(sim.Out().find("tap_sent=18"), std::string::npos) << sim.Out();
}
