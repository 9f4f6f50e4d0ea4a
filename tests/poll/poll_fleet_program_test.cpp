// AirConPoll --addr with several controllers against the simulator with several on one line,
// as processes: a one-shot read of every controller, one missing from the line named, and a
// running poller whose metrics keep each controller's own while the simulator's control pipe
// makes one answer at another address, late, or at an address not polled.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Exposition.h"
#include "SimHarness.h"

namespace {

using namespace simharness;
using namespace std::chrono_literals;

std::string Value(const exposition::TParsed& p, const std::string& name,
                  std::map<std::string, std::string> labels) {
    const auto found = p.Find(name, labels);
    return found.size() == 1 ? found[0].Value : "";
}

TEST(PollFleetProgram, OnceReadsEveryControllerAndNamesTheOneMissing) {
    SimOnLink s({"--addr", "1,2", "--alarm-every", "0", "--no-pace"}, {.control = true});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    const struct {
        std::string addr;
        int status;
        std::set<std::string> inJson;
    } cases[] = {{"1,2", 0, {"1", "2"}}, {"1-3", 1, {"1", "2"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        PollerProcess poll(s.dir.path(),
                           {"--port", s.link.string(), "--addr", c.addr, "--once", "--json"});
        ASSERT_EQ(poll.Wait(90s), c.status) << poll.Err();
        std::set<std::string> addrs, kinds;
        std::istringstream out(poll.Out());
        for (std::string line; std::getline(out, line);) {
            const auto a = line.find("\"addr\":");
            ASSERT_NE(a, std::string::npos) << line;
            addrs.insert(line.substr(a + 7, line.find(',', a) - a - 7));
            const auto u = line.find("\"unit\":");
            if (u != std::string::npos)
                kinds.insert(addrs.empty() ? "" : line.substr(a + 7, 1) + line.substr(u, 8));
        }
        EXPECT_EQ(addrs, c.inJson);
        for (const auto& a : c.inJson) {
            EXPECT_TRUE(kinds.count(a + "\"unit\":1")) << a;
            EXPECT_TRUE(kinds.count(a + "\"unit\":2")) << a;
        }
        if (c.status == 0) {
            EXPECT_EQ(poll.Err(), "");
        } else {
            const std::string err = poll.Err();
            EXPECT_TRUE(
                err.starts_with("AirConPoll: no reply from the controller at address 3 on " +
                                s.link.string() + ": "))
                << err;
            EXPECT_NE(err.find(" commands sent, none answered within 350 ms (check the cable, the "
                               "address and the line settings)\n"),
                      std::string::npos)
                << err;
            EXPECT_EQ(err.find("address 1"), std::string::npos) << err;
            EXPECT_EQ(err.find("address 2"), std::string::npos) << err;
        }
    }
}

TEST(PollFleetProgram, RepliesOfAControllerAtTheWrongAddressOrLateAreNeverBookedToAnother) {
    SimOnLink s({"--addr", "1,2", "--alarm-every", "0"}, {.control = true});
    ASSERT_TRUE(s.ready) << s.sim->Err();
    const fs::path file = s.dir.path() / "m.prom";
    PollerProcess poll(s.dir.path(),
                       {"--port", s.link.string(), "--addr", "1,2", "--textfile", file.string()});
    auto metrics = [&] { return exposition::Parse(ReadFile(file)); };
    auto up = [&](const std::string& a) { return Value(metrics(), "aircon_up", {{"addr", a}}); };
    ASSERT_TRUE(WaitFor([&] { return up("1") == "1" && up("2") == "1"; }, 30s)) << poll.Err();

    const struct {
        std::string command;
        std::string reason;  // of aircon_stray_replies_total that must grow
    } cases[] = {
        {"reply-as 2 1", "other_address"},
        {"late 2 500", "late"},
        {"reply-as 2 9", "not_polled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const auto before = metrics();
        const double strays =
            std::stod("0" + Value(before, "aircon_stray_replies_total", {{"reason", c.reason}}));
        const std::string replies1 = Value(before, "aircon_replies_total", {{"addr", "1"}});
        ASSERT_EQ(s.Control("normal"), "");
        ASSERT_EQ(s.Control(c.command), "");
        ASSERT_TRUE(WaitFor([&] { return up("2") == "0"; }, 30s)) << "its replies are not its own";
        ASSERT_TRUE(WaitFor(
            [&] {
                return std::stod("0" + Value(metrics(), "aircon_stray_replies_total",
                                             {{"reason", c.reason}})) > strays + 2;
            },
            30s));
        const auto after = metrics();
        EXPECT_EQ(Value(after, "aircon_up", {{"addr", "1"}}), "1");
        // Controller 1 got no more replies than it was sent commands: none of 2's.
        const double commands1 = std::stod(Value(after, "aircon_commands_total", {{"addr", "1"}}));
        const double replies1After =
            std::stod(Value(after, "aircon_replies_total", {{"addr", "1"}}));
        EXPECT_LE(replies1After, commands1);
        EXPECT_GT(replies1After, std::stod(replies1));
        // Nothing of 2 is shown while no reply is its own.
        EXPECT_TRUE(after.Find("aircon_analog", {{"addr", "2"}}).empty());
    }
    ASSERT_EQ(s.Control("normal"), "");
    EXPECT_TRUE(WaitFor([&] { return up("2") == "1"; }, 30s));
    EXPECT_EQ(poll.Stop(SIGTERM), 0);
}

}  // namespace
