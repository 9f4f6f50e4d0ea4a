// The controller simulator's parts on their own: reply frames, the device
// model, faults, line timing and the command line.
#include <gtest/gtest.h>

#include <DH.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "Bus.h"
#include "Control.h"
#include "Controller.h"
#include "Faults.h"
#include "Options.h"
#include "SimFrame.h"
#include "Uart.h"

using namespace acsim;

namespace {

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A command frame as the tool's codec builds it.
std::string Command(std::uint8_t cid2, std::vector<std::uint8_t> info = {}, std::uint8_t addr = 1,
                    std::uint8_t ver = 0x10, std::uint8_t cid1 = 0x60) {
    // Commands outside the codec's table (a poll with a unit byte) are built
    // with a LENID that fits their INFO.
    if (info.size() != TDH::GetCmdInfoLen(cid2)) return BuildReply(ver, addr, cid1, cid2, info);
    std::string f(18 + 2 * info.size(), '\0');
    TDH::GenCmdPacket(TDH_Header{ver, addr, cid1, cid2},
                      std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(f.data()), f.size()),
                      info);
    return f;
}

// Runs a frame through the receiving codec and returns the correct frames.
std::vector<std::string> Receive(const std::vector<std::string>& blocks) {
    TDH dh;
    std::vector<std::string> good;
    dh.OnRecDHCorrectFrame = [&](TDH&, std::span<const std::uint8_t> f) {
        good.emplace_back(f.begin(), f.end());
    };
    for (const auto& b : blocks)
        dh.ReceiveData(Bytes(b));
    return good;
}

// Recomputes the CHKSUM of a frame whose other characters were edited.
std::string Resealed(std::string frame) {
    frame.resize(frame.size() - 5);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", TDH::CalcChkSum(Bytes(frame)));
    return frame + buf + "\r";
}

std::uint16_t Word(const std::vector<std::uint8_t>& v, std::size_t at) {
    return static_cast<std::uint16_t>(v[at] << 8 | v[at + 1]);
}

int Signed(std::uint16_t w) {
    return static_cast<std::int16_t>(w);
}

}  // namespace

// ---------------------------------------------------------------------------
// Frames

TEST(SimFrame, RepliesMatchTheProtocolAndPassTheToolsCheck) {
    EXPECT_EQ(BuildReply(0x10, 1, 0x60, 0, {}), "~100160000000FDB8\r");
    EXPECT_EQ(BuildReply(0x10, 1, 0x60, 2, {}), "~100160020000FDB6\r");
    for (std::size_t len : {0u, 1u, 3u, 12u, 38u, 70u}) {
        std::vector<std::uint8_t> info(len);
        for (std::size_t i = 0; i < len; ++i)
            info[i] = static_cast<std::uint8_t>(i * 37 + 5);
        const std::string f = BuildReply(0x21, 0xC8, 0x60, 0, info);
        SCOPED_TRACE(f);
        ASSERT_EQ(f.size(), 18 + 2 * len);
        EXPECT_TRUE(TDH::CheckFrame(Bytes(f)));
        const auto decoded = TDH::DeCodeFrame(Bytes(f));
        EXPECT_EQ(decoded[0], 0x21);
        EXPECT_EQ(decoded[1], 0xC8);
        // LENID counts the INFO characters actually present.
        EXPECT_EQ((decoded[4] & 0x0F) << 8 | decoded[5], static_cast<int>(2 * len));
        EXPECT_EQ(std::vector<std::uint8_t>(decoded.begin() + 6, decoded.end() - 2), info);
        EXPECT_EQ(ReplyInfo(f), info);
    }
}

TEST(SimFrame, CommandChecks) {
    using V = CommandFrame::Verdict;
    const std::string good = Command(0x49, {0x80, 0x00, 0x19});
    std::string badSum = good;
    badSum[good.size() - 2] = badSum[good.size() - 2] == '0' ? '1' : '0';
    std::string badLch = good;
    badLch[9] = 'B';  // correct LCHKSUM is A
    badLch = Resealed(badLch);
    // A frame whose LENID claims 4 characters but carries 6, with both sums fixed up.
    const std::string badLen = Resealed("~10016049C0048000190000\r");
    struct Case {
        std::string frame;
        V verdict;
        std::optional<std::uint8_t> addr;
    } cases[] = {
        {good, V::Ok, 1},
        {Command(0x42, {}, 0xC8), V::Ok, 0xC8},
        {badSum, V::BadChkSum, 1},
        {badLch, V::BadLChkSum, 1},
        {badLen, V::BadLength, 1},
        {good.substr(0, 16) + "\r", V::Malformed, 1},
        {"~1001604200000FDB2\r", V::Malformed, 1},  // odd length
        {"~1\r", V::Malformed, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        const auto got = ParseCommand(Bytes(c.frame));
        EXPECT_EQ(got.verdict, c.verdict);
        EXPECT_EQ(got.addr, c.addr);
    }
    EXPECT_EQ(ParseCommand(Bytes(good)).info, (std::vector<std::uint8_t>{0x80, 0x00, 0x19}));
}

// ---------------------------------------------------------------------------
// Device model

class SimController : public ::testing::Test {
  protected:
    Reply Ask(const std::string& frame) {
        auto r = ctl.Handle(Bytes(frame));
        EXPECT_TRUE(r.has_value()) << frame;
        if (!r) return {};
        // Every reply carries the controller's header and passes the tool's check.
        EXPECT_TRUE(TDH::CheckFrame(Bytes(r->frame))) << r->frame;
        const auto d = TDH::DeCodeFrame(Bytes(r->frame));
        EXPECT_EQ(d[0], ctl.Config().protocolVersion);
        EXPECT_EQ(d[1], ctl.Config().address);
        EXPECT_EQ(d[2], 0x60);
        EXPECT_EQ(d[3], r->rtn);
        EXPECT_EQ(ReplyInfo(r->frame), r->info);
        return *r;
    }
    Controller ctl{ControllerConfig{}};
};

TEST_F(SimController, AnswersEveryCommandWithTheRightCodeAndLength) {
    std::string badSum = Command(0x42);
    badSum[14] = 'F';
    std::string badLch = Command(0x45, {0x10});
    badLch[9] = 'D';
    badLch = Resealed(badLch);
    struct Case {
        const char* what;
        std::string frame;
        std::uint8_t rtn;
        std::size_t infoLen;
    } cases[] = {
        {"analog", Command(0x42), 0, 38},
        {"switches", Command(0x43), 0, 12},
        {"alarms", Command(0x44), 0, 38},
        {"remote on", Command(0x45, {0x10}), 0, 0},
        {"remote, unknown code", Command(0x45, {0x33}), 6, 0},
        {"parameters", Command(0x47), 0, 33},
        {"set a parameter", Command(0x49, {0x86, 0x00, 0x18}), 0, 0},
        {"set a code outside the sixteen", Command(0x49, {0x87, 0x00, 0x01}), 6, 0},
        {"set the run mode to no mode", Command(0x49, {0xC0, 0x00, 0x07}), 6, 0},
        {"protocol version", Command(0x4F), 0, 0},
        {"address", Command(0x50), 0, 0},
        {"vendor", Command(0x51), 0, 70},
        {"unknown CID2", Command(0x4D), 4, 0},
        {"another device type", Command(0x42, {}, 1, 0x10, 0x61), 4, 0},
        {"wrong VER", Command(0x42, {}, 1, 0x20), 1, 0},
        {"CHKSUM", badSum, 2, 0},
        {"LCHKSUM", badLch, 3, 0},
        {"poll with two INFO bytes",
         BuildReply(0x10, 1, 0x60, 0x42, std::vector<std::uint8_t>{0, 1}), 5, 0},
        {"too short", "~10016042\r", 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Reply r = Ask(c.frame);
        EXPECT_EQ(r.rtn, c.rtn);
        EXPECT_EQ(r.info.size(), c.infoLen);
    }
}

TEST_F(SimController, StaysSilentForOtherAddressesAndUnreadableFrames) {
    EXPECT_FALSE(ctl.Handle(Bytes(Command(0x42, {}, 2))).has_value());
    EXPECT_FALSE(ctl.Handle(Bytes(Command(0x42, {}, 0))).has_value());
    EXPECT_FALSE(ctl.Handle(Bytes(std::string("~1\r"))).has_value());
}

TEST_F(SimController, ParameterStoreIsReadBackAfterASet) {
    ASSERT_EQ(Ask(Command(0x49, {0x80, 0x01, 0x2C})).rtn, 0);  // on temperature 300
    ASSERT_EQ(Ask(Command(0x49, {0x83, 0xFF, 0xF6})).rtn, 0);  // lower limit -10
    ASSERT_EQ(Ask(Command(0x49, {0xC0, 0x00, 0x04})).rtn, 0);  // heating
    ASSERT_EQ(Ask(Command(0x49, {0xC8, 0x00, 0x07})).rtn, 0);  // last item
    EXPECT_EQ(Ask(Command(0x49, {0xC1, 0x00, 0x04})).rtn, 6);  // fan speed 4 does not exist
    const auto p = Ask(Command(0x47)).info;
    ASSERT_EQ(p.size(), 33u);
    EXPECT_EQ(Word(p, 0), 300);
    EXPECT_EQ(Signed(Word(p, 6)), -10);
    EXPECT_EQ(p[14], 9);        // nine items follow
    EXPECT_EQ(Word(p, 15), 4);  // run mode
    EXPECT_EQ(Word(p, 17), 3);  // fan speed unchanged by the refused set
    EXPECT_EQ(Word(p, 31), 7);
    // The switch states follow the stored run mode: heating runs the four-way valve.
    const auto s = Ask(Command(0x43, {0})).info;
    EXPECT_EQ(s[3], 4);
    EXPECT_EQ(s[5], 1);
    EXPECT_EQ(s[6], 1);
}

TEST_F(SimController, RemoteControlSwitchesThePowerStateOfBothUnits) {
    for (auto [code, power, compressor] : {std::tuple{0x1F, 1, 0}, std::tuple{0x10, 0, 1}}) {
        ASSERT_EQ(Ask(Command(0x45, {static_cast<std::uint8_t>(code)})).rtn, 0);
        EXPECT_EQ(ctl.PoweredOn(), code == 0x10);
        for (std::uint8_t unit : {0, 1}) {
            const auto s = Ask(Command(0x43, {unit})).info;
            EXPECT_EQ(s[0] >> 1 & 7, unit);
            EXPECT_EQ(s[1], power) << "code " << code;
            EXPECT_EQ(s[6], compressor) << "code " << code;
        }
    }
}

TEST_F(SimController, ARefusedCommandIsNotCarriedOut) {
    // A forced return code stands for a controller that turns the command down:
    // the reply carries it and no INFO, and the device stays as it was.
    struct Case {
        const char* what;
        std::string frame;
    } cases[] = {
        {"set a parameter", Command(0x49, {0x80, 0x00, 0x2A})},
        {"switch off", Command(0x45, {0x1F})},
        {"read analog values", Command(0x42)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = ctl.Handle(Bytes(c.frame), std::uint8_t{6});
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->refused);
        EXPECT_EQ(r->rtn, 6);
        EXPECT_TRUE(r->info.empty());
        EXPECT_TRUE(TDH::CheckFrame(Bytes(r->frame)));
    }
    EXPECT_EQ(ctl.Param(0), 28) << "the refused set was stored";
    EXPECT_TRUE(ctl.PoweredOn()) << "the refused switch-off took effect";
    // The refused poll did not take unit 0's turn.
    EXPECT_EQ(Ask(Command(0x42)).unit, 0);

    // Frames that fail a check keep their own return code; other addresses
    // stay silent.
    std::string badSum = Command(0x47);
    badSum[14] = 'F';
    const auto bad = ctl.Handle(Bytes(badSum), std::uint8_t{6});
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->rtn, 2);
    EXPECT_FALSE(bad->refused);
    EXPECT_FALSE(ctl.Handle(Bytes(Command(0x42, {}, 9)), std::uint8_t{6}).has_value());
    const auto wrongVer = ctl.Handle(Bytes(Command(0x42, {}, 1, 0x20)), std::uint8_t{6});
    ASSERT_TRUE(wrongVer);
    EXPECT_EQ(wrongVer->rtn, 1);
    EXPECT_FALSE(wrongVer->refused);
}

TEST_F(SimController, PollRepliesAlternateUnitsPerCommand) {
    std::vector<int> units;
    for (std::uint8_t cid2 : {0x42, 0x43, 0x44, 0x42, 0x43, 0x44, 0x42}) {
        const Reply r = Ask(Command(cid2));
        EXPECT_EQ(r.info[0] >> 1 & 7, r.unit);
        units.push_back(r.unit);
    }
    EXPECT_EQ(units, (std::vector<int>{0, 0, 0, 1, 1, 1, 0}));
    EXPECT_EQ(Ask(Command(0x42, {1})).unit, 1);
    EXPECT_EQ(Ask(Command(0x42, {5})).rtn, 6);

    ControllerConfig cfg;
    cfg.units = UnitChoice::Unit1;
    Controller fixed(cfg);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(fixed.Handle(Bytes(Command(0x44)))->unit, 1);
}

TEST(SimControllerConfig, DefaultIdentityFitsItsFields) {
    const Identity id;
    EXPECT_LE(id.name.size(), 30u);
    EXPECT_LE(id.softVersion.size(), 20u);
    EXPECT_LE(id.vendor.size(), 20u);
    const auto info = Controller(ControllerConfig{}).VendorInfo();
    ASSERT_EQ(info.size(), 70u);
    EXPECT_EQ(std::string(info.begin() + 50, info.begin() + 50 + id.vendor.size()), id.vendor);
}

TEST(SimControllerConfig, IdentityAddressAndVersionAreThoseConfigured) {
    ControllerConfig cfg;
    cfg.address = 12;
    cfg.protocolVersion = 0x21;
    cfg.identity = {"ABC", "V2", "Vendor X"};
    Controller ctl(cfg);
    const auto ver = ctl.Handle(Bytes(Command(0x4F, {}, 12, 0x21)));
    ASSERT_TRUE(ver);
    EXPECT_EQ(ver->frame.substr(1, 4), "210C");
    // The version query is answered whatever VER it carries; other commands are not.
    const auto asked = ctl.Handle(Bytes(Command(0x4F, {}, 12, 0x10)));
    EXPECT_EQ(asked->rtn, 0);
    EXPECT_EQ(asked->frame.substr(1, 2), "21");
    EXPECT_EQ(ctl.Handle(Bytes(Command(0x50, {}, 12, 0x10)))->rtn, 1);
    const auto info = ctl.Handle(Bytes(Command(0x51, {}, 12, 0x21)))->info;
    const std::string text(info.begin(), info.end());
    EXPECT_EQ(text, "ABC" + std::string(27, ' ') + "V2" + std::string(18, ' ') + "Vendor X" +
                        std::string(12, ' '));
}

TEST(SimControllerPlant, ReadingsArePlausibleAndDriftOverTime) {
    ControllerConfig cfg;
    cfg.seed = 7;
    Controller ctl(cfg);
    std::set<std::uint8_t> codes;
    bool belowZero = false, cleared = false;
    std::array<std::set<std::uint16_t>, 2> volts;
    std::array<std::uint16_t, 2> lastHours{};
    std::array<int, 2> lastVoltAlarm{};
    for (int s = 0; s <= 600; ++s) {
        ctl.Advance(s);
        for (int u = 0; u < 2; ++u) {
            const auto a = ctl.AnalogInfo(u);
            ASSERT_EQ(a.size(), 38u);
            EXPECT_EQ(a[0] >> 1 & 7, u);
            // A voltage alarm moves its reading; ten seconds after it the line is back.
            if (ctl.Alarm(u, 0) || ctl.Alarm(u, 1) || ctl.Alarm(u, 2))
                lastVoltAlarm[static_cast<std::size_t>(u)] = s;
            if (s - lastVoltAlarm[static_cast<std::size_t>(u)] > 10) {
                for (int p = 0; p < 3; ++p) {
                    EXPECT_NEAR(Word(a, 1 + 2 * p), 220, 15) << "t=" << s;
                }
            }
            volts[static_cast<std::size_t>(u)].insert(Word(a, 1));
            EXPECT_EQ(a[25], 6);
            const int oat = Signed(Word(a, 26));
            EXPECT_GE(oat, -10);
            EXPECT_LE(oat, 35);
            belowZero |= oat < 0;
            const std::uint16_t hours = Word(a, 36);
            EXPECT_GE(hours, lastHours[static_cast<std::size_t>(u)]);
            lastHours[static_cast<std::size_t>(u)] = hours;

            const auto al = ctl.AlarmInfo(u);
            int active = 0;
            for (std::size_t i = 1; i < al.size(); ++i) {
                if (i == 12) continue;  // the count
                if (al[i] != 0 && al[i] != 0x20) ++active;
                codes.insert(al[i]);
            }
            if (s > 60 && active == 0) cleared = true;
        }
    }
    EXPECT_TRUE(belowZero) << "the outdoor temperature never went below zero";
    EXPECT_TRUE(cleared) << "alarms never cleared";
    EXPECT_EQ(codes, (std::set<std::uint8_t>{0x00, 0x01, 0x02, 0x20, 0xF0}));
    for (const auto& v : volts)
        EXPECT_GT(v.size(), 5u) << "voltages do not drift";
    // 600 s of running at 10 s per hour.
    const auto a = ctl.AnalogInfo(0);
    EXPECT_NEAR(Word(a, 36) - 12873, 60, 1);
}

TEST(SimControllerPlant, SomeSensorsAreReportedNotDetected) {
    Controller ctl{ControllerConfig{}};
    const auto a0 = ctl.AnalogInfo(0), a1 = ctl.AnalogInfo(1);
    EXPECT_EQ(Word(a0, 30), 0x2020);  // unit 0: outdoor humidity
    EXPECT_NE(Word(a0, 17), 0x2020);
    EXPECT_EQ(Word(a1, 17), 0x2020);  // unit 1: supply-air humidity and coil temperature
    EXPECT_EQ(Word(a1, 32), 0x2020);
    EXPECT_EQ(ctl.SwitchInfo(1)[8], 0x20);  // unit 1 has no swing
    EXPECT_EQ(ctl.AlarmInfo(0)[31], 0x20);  // unit 0: outdoor humidity sensor
}

TEST(SimControllerPlant, AlarmsStayQuietWhenSwitchedOff) {
    ControllerConfig cfg;
    cfg.alarmEventSeconds = 0;
    Controller ctl(cfg);
    for (int s = 0; s <= 300; s += 5)
        ctl.Advance(s);
    for (int u = 0; u < 2; ++u)
        for (std::size_t i = 0; i < Controller::kAlarmSlots; ++i)
            EXPECT_TRUE(ctl.Alarm(u, i) == 0 || ctl.Alarm(u, i) == 0x20);
}

// ---------------------------------------------------------------------------
// Several controllers on one line, and the control commands

namespace {
std::vector<ControllerConfig> Line(std::vector<std::uint8_t> addrs) {
    Options o;
    o.addresses = std::move(addrs);
    o.controller.alarmEventSeconds = 0;
    return ControllerConfigs(o);
}
}  // namespace

TEST(SimBus, OnlyTheAddressedControllerAnswersAndASilentOneHearsWithoutAnswering) {
    Bus bus(Line({1, 7, 200}));
    for (std::uint8_t a : {1, 7, 200}) {
        const Outcome o = bus.Handle(Bytes(Command(0x50, {}, a)));
        ASSERT_EQ(o.kind, Outcome::Kind::Answered) << int{a};
        EXPECT_EQ(TDH::DeCodeFrame(Bytes(o.reply->frame))[1], a);
    }
    EXPECT_EQ(bus.Handle(Bytes(Command(0x50, {}, 2))).kind, Outcome::Kind::NotOnLine);
    EXPECT_EQ(bus.Handle(Bytes(std::string("~1\r"))).kind, Outcome::Kind::NotOnLine);

    // A silent controller still hears: a set reaches none, but time goes on for it.
    ASSERT_TRUE(bus.SetSilent(7, true));
    EXPECT_EQ(bus.Handle(Bytes(Command(0x49, {0x86, 0x00, 0x11}, 7))).kind, Outcome::Kind::Silent);
    EXPECT_EQ(bus.Find(7)->Param(6), 25) << "a silent controller carried out a set";
    EXPECT_EQ(bus.Handle(Bytes(Command(0x50, {}, 1))).kind, Outcome::Kind::Answered);
    EXPECT_FALSE(bus.SetSilent(9, true));
    EXPECT_THROW(Bus(std::vector<ControllerConfig>(2)), std::invalid_argument);
}

TEST(SimBus, EachControllerHasItsOwnIdentityAndPlant) {
    Bus bus(Line({1, 7, 200}));
    std::set<std::string> names, versions, vendors;
    for (auto& c : bus.Controllers()) {
        const Identity& id = c.Config().identity;
        const std::string suffix = " #" + std::to_string(c.Config().address);
        EXPECT_TRUE(id.name.ends_with(suffix) && id.softVersion.ends_with(suffix) &&
                    id.vendor.ends_with(suffix))
            << id.name << " / " << id.softVersion << " / " << id.vendor;
        EXPECT_LE(id.name.size(), 30u);
        EXPECT_LE(id.softVersion.size(), 20u);
        EXPECT_LE(id.vendor.size(), 20u);
        names.insert(id.name);
        versions.insert(id.softVersion);
        vendors.insert(id.vendor);
    }
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(versions.size(), 3u);
    EXPECT_EQ(vendors.size(), 3u);
    // Set on one, seen on that one only.
    ASSERT_EQ(bus.Handle(Bytes(Command(0x49, {0x86, 0x00, 0x11}, 7))).reply->rtn, 0);
    EXPECT_EQ(bus.Find(7)->Param(6), 0x11);
    EXPECT_EQ(bus.Find(1)->Param(6), 25);
    // The plants drift apart.
    bus.Advance(30);
    EXPECT_NE(bus.Find(1)->AnalogInfo(0), bus.Find(200)->AnalogInfo(0));

    // A single controller is exactly the one configured.
    Options one;
    one.controller.identity.name = "Shelter west";
    one.controller.seed = 9;
    const auto cfgs = ControllerConfigs(one);
    ASSERT_EQ(cfgs.size(), 1u);
    EXPECT_EQ(cfgs[0].identity.name, "Shelter west");
    EXPECT_EQ(cfgs[0].identity.vendor, Identity{}.vendor);
    EXPECT_EQ(cfgs[0].seed, 9u);
}

TEST(SimControl, CommandsChangeTheNamedControllersOnly) {
    Bus bus(Line({1, 2, 3}));
    auto alarm = [&](std::uint8_t a, int unit, std::size_t slot) {
        return bus.Find(a)->Alarm(unit, slot);
    };
    struct Step {
        const char* line;
        std::string error;  // a part of the reason, empty when carried out
    } steps[] = {
        {"silent 2", ""},
        {"  # a comment", ""},
        {"", ""},
        {"alarm 1 1 return_air_temp high", ""},
        {"alarm 3 2 9 fault", ""},            // compressor overload by position
        {"alarm 1-3 1 water_leak 0x01", ""},  // a range of controllers, a code
        {"power 3 off", ""},
        {"late 3 250", ""},
        {"reply-as 1 9", ""},
        {"param 2 0x86 -3", ""},
        {"param 2 0xC0 4", ""},
        {"version 3 0x21", ""},
        {"late 1 70000", "70000"},
        {"reply-as 1 256", "256"},
        {"param 1 0x87 1", "0x87"},
        {"param 1 0x80 70000", "70000"},
        {"version 1 x", "'x'"},
        {"alarm 1 2 indoor_coil_inlet_temp_sensor fault", "unit 2 has no"},
        {"alarm 1 3 filter fault", "unit 1 or 2"},
        {"alarm 1 1 no_such_alarm fault", "no_such_alarm"},
        {"alarm 1 1 filter 300", "300"},
        {"alarm 1 1 filter", "usage"},
        {"silent 9", "no controller at address 9"},
        {"silent x", "'x'"},
        {"power 1 maybe", "maybe"},
        {"reboot 1", "unknown command"},
    };
    for (const auto& s : steps) {
        const std::string why = ApplyControl(bus, s.line);
        if (s.error.empty())
            EXPECT_EQ(why, "") << s.line;
        else
            EXPECT_NE(why.find(s.error), std::string::npos) << s.line << ": " << why;
    }
    EXPECT_TRUE(bus.Silent(2));
    EXPECT_FALSE(bus.Silent(1) || bus.Silent(3));
    EXPECT_EQ(alarm(1, 0, 6), 0x02);
    EXPECT_EQ(alarm(2, 0, 6), 0x00);
    EXPECT_EQ(alarm(3, 1, 9), 0xF0);
    for (std::uint8_t a : {1, 2, 3})
        EXPECT_EQ(alarm(a, 0, 31), 0x01);
    EXPECT_FALSE(bus.Find(3)->PoweredOn());
    EXPECT_EQ(alarm(1, 1, 16), 0x20) << "a refused alarm changed the slot";
    EXPECT_EQ(bus.Find(2)->Param(6), 0xFFFD);
    EXPECT_EQ(bus.Find(2)->Param(7), 4);
    EXPECT_EQ(bus.Find(1)->Param(6), 25);
    {
        // Controller 1 answers as 9; controller 3 late, at its new version.
        const Outcome as = bus.Handle(Bytes(Command(0x50, {}, 1)));
        ASSERT_EQ(as.kind, Outcome::Kind::Answered);
        EXPECT_EQ(as.reply->frame, BuildReply(0x10, 9, 0x60, 0, {}));
        EXPECT_EQ(as.lateMs, 0);
        const Outcome late = bus.Handle(Bytes(Command(0x50, {}, 3, 0x21)));
        ASSERT_EQ(late.kind, Outcome::Kind::Answered);
        EXPECT_EQ(late.reply->frame, BuildReply(0x21, 3, 0x60, 0, {}));
        EXPECT_EQ(late.lateMs, 250);
        EXPECT_EQ(bus.Handle(Bytes(Command(0x50, {}, 3, 0x10))).reply->rtn, 1) << "old version";
    }

    // Held alarms outlast the plant's own alarm events and are in reply 0x44.
    bus.Advance(600);
    EXPECT_EQ(alarm(1, 0, 6), 0x02);
    const Outcome o = bus.Handle(Bytes(Command(0x44, {0}, 1)));
    ASSERT_EQ(o.kind, Outcome::Kind::Answered);
    EXPECT_EQ(o.reply->info[1 + 6], 0x02);

    EXPECT_EQ(ApplyControl(bus, "answer all"), "");
    EXPECT_FALSE(bus.Silent(2));
    EXPECT_EQ(ApplyControl(bus, "silent all"), "");
    EXPECT_EQ(ApplyControl(bus, "normal"), "");
    EXPECT_EQ(bus.Handle(Bytes(Command(0x50, {}, 1))).reply->frame,
              BuildReply(0x10, 1, 0x60, 0, {}));
    EXPECT_EQ(bus.Handle(Bytes(Command(0x50, {}, 3, 0x21))).lateMs, 0);
    EXPECT_EQ(bus.Find(2)->Param(7), 4) << "normal undoes faults, not settings";
    for (std::uint8_t a : {1, 2, 3}) {
        EXPECT_FALSE(bus.Silent(a));
        EXPECT_TRUE(bus.Find(a)->PoweredOn());
        for (int u = 0; u < 2; ++u)
            for (std::size_t i = 0; i < Controller::kAlarmSlots; ++i)
                EXPECT_TRUE(alarm(a, u, i) == 0 || alarm(a, u, i) == 0x20) << int{a} << " " << i;
    }
}

// A controller that lacks some choices refuses a set of one of them with RTN 6 and keeps
// what it held; "any" gives back the built-in rule.
TEST(SimControl, ChoicesLimitWhatASetMayCarry) {
    Bus bus(Line({1, 2}));
    for (const auto& [line, error] : std::vector<std::pair<const char*, const char*>>{
             {"choices 1 0xC0 0-4", ""},
             {"choices 1 0xC1 1,3", ""},
             {"choices 1 0x87 0-4", "0x87"},
             {"choices 1 0xC0 4-0", "ends before it begins"},
             {"choices 1 0xC0", "usage"},
             {"choices 9 0xC0 any", "no controller at address 9"}}) {
        const std::string why = ApplyControl(bus, line);
        if (*error == 0)
            EXPECT_EQ(why, "") << line;
        else
            EXPECT_NE(why.find(error), std::string::npos) << line << ": " << why;
    }
    auto set = [&](std::uint8_t Addr, std::uint8_t Code, std::uint16_t Value) {
        return bus
            .Handle(Bytes(Command(0x49,
                                  {Code, static_cast<std::uint8_t>(Value >> 8),
                                   static_cast<std::uint8_t>(Value & 0xFF)},
                                  Addr)))
            .reply->rtn;
    };
    EXPECT_EQ(set(1, 0xC0, 6), 6) << "空调 is not among 0-4";
    EXPECT_EQ(bus.Find(1)->Param(7), 1) << "a refused set changes nothing";
    EXPECT_EQ(set(1, 0xC0, 4), 0);
    EXPECT_EQ(bus.Find(1)->Param(7), 4);
    EXPECT_EQ(set(1, 0xC1, 2), 6);
    EXPECT_EQ(set(1, 0xC1, 3), 0);
    EXPECT_EQ(set(2, 0xC0, 6), 0) << "the other controller keeps every choice";
    EXPECT_EQ(ApplyControl(bus, "choices 1 0xC0 any"), "");
    EXPECT_EQ(set(1, 0xC0, 6), 0);
}

// ---------------------------------------------------------------------------
// A receiver at another speed than the sender

TEST(SimUart, AReceiverAtTheSendersSpeedOrCloseToItGetsEveryByte) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::string frame = Command(0x42);
    struct Case {
        long sender, receiver;
    } cases[] = {{9600, 9600},     {9600, 9700}, {9600, 9450}, {1200, 1210},
                 {115200, 113000}, {9600, 9888}, {9600, 9312}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sender) + " -> " + std::to_string(c.receiver));
        EXPECT_EQ(Resample(all, c.sender, c.receiver), all);
        EXPECT_EQ(Resample(frame, c.sender, c.receiver), frame);
    }
}

TEST(SimUart, AReceiverAtAnotherSpeedGetsGarbleThatNoFrameSurvives) {
    const std::string frame = Command(0x51) + Command(0x42, {1});
    for (long receiver : {1200L, 2400L, 4800L, 14400L, 19200L, 38400L, 115200L}) {
        SCOPED_TRACE(receiver);
        const std::string got = Resample(frame, 9600, receiver);
        EXPECT_NE(got, frame);
        EXPECT_TRUE(Receive({got}).empty()) << "a frame passed the check";
    }
    // Worked by hand: at twice the receiver's speed a NUL is a start bit of
    // two receiver bits' length... (low for 4.5 of its bits, then high) and
    // 0xFF only a glitch of half a bit, which no receiver takes for a start.
    EXPECT_EQ(Resample(std::string(1, '\0'), 19200, 9600), "\xF8");
    EXPECT_EQ(Resample("\xFF", 19200, 9600), "");
    EXPECT_EQ(Resample(std::string(1, '\0'), 4800, 9600), std::string(1, '\0'));
}

TEST(SimUart, WhatIsHeardDoesNotDependOnHowTheBytesArrive) {
    const std::string reply = BuildReply(0x10, 1, 0x60, 0, std::vector<std::uint8_t>(38, 0x5A));
    for (long receiver : {4800L, 9600L, 19200L, 2400L}) {
        const std::string whole = Resample(reply, 9600, receiver);
        for (std::size_t piece : {1u, 2u, 7u, 40u}) {
            UartListener rx(9600, receiver);
            std::string got;
            for (std::size_t i = 0; i < reply.size(); i += piece)
                got += rx.Feed(std::string_view(reply).substr(i, piece));
            got += rx.End();
            EXPECT_EQ(got, whole) << receiver << " in pieces of " << piece;
        }
    }
}

// ---------------------------------------------------------------------------
// Faults

namespace {
std::string Join(const Plan& p) {
    std::string s;
    for (const auto& piece : p.pieces)
        s += piece.bytes;
    return s;
}
const std::string kReply = BuildReply(0x10, 1, 0x60, 0, std::vector<std::uint8_t>(38, 0x41));
}  // namespace

TEST(SimFaults, EachFaultDoesWhatItSays) {
    auto with = [](auto set) {
        FaultConfig c;
        set(c);
        return FaultInjector(c);
    };
    {
        auto f = with([](FaultConfig&) {});
        const Plan p = f.Decide(kReply);
        EXPECT_EQ(p.fate, Fate::Intact);
        ASSERT_EQ(p.pieces.size(), 1u);
        EXPECT_EQ(p.pieces[0].bytes, kReply);
        EXPECT_FALSE(f.ForceRtn());
    }
    EXPECT_EQ(with([](FaultConfig& c) { c.drop = 1; }).Decide(kReply).fate, Fate::Dropped);
    {
        const Plan p = with([](FaultConfig& c) {
                           c.delay = 1;
                           c.delayMs = 700;
                       }).Decide(kReply);
        EXPECT_EQ(p.fate, Fate::Delayed);
        EXPECT_DOUBLE_EQ(p.extraDelay, 0.7);
        EXPECT_EQ(Join(p), kReply);
    }
    for (std::uint32_t seed = 1; seed < 40; ++seed) {
        auto f = with([&](FaultConfig& c) {
            c.corrupt = 1;
            c.seed = seed;
        });
        const Plan p = f.Decide(kReply);
        const std::string s = Join(p);
        EXPECT_EQ(p.fate, Fate::Corrupted);
        ASSERT_EQ(s.size(), kReply.size());
        EXPECT_FALSE(TDH::CheckFrame(Bytes(s)));
        EXPECT_EQ(s.substr(0, s.size() - 5), kReply.substr(0, kReply.size() - 5));
        EXPECT_TRUE(Receive({s}).empty());
    }
    {
        auto f = with([](FaultConfig& c) {
            c.rtn = 6;
            c.rtnRate = 1;
        });
        EXPECT_TRUE(f.ForceRtn());
    }
}

TEST(SimFaults, NoiseStrayAndSplitLeaveEveryReplyReadable) {
    FaultConfig c;
    c.noise = 1;
    c.stray = 1;
    c.split = 1;
    c.splitMax = 3;
    c.splitGapMs = 5;
    c.seed = 3;
    FaultInjector f(c);
    std::vector<std::string> blocks;
    for (int i = 0; i < 200; ++i) {
        const Plan p = f.Decide(kReply);
        ASSERT_TRUE(p.noise && p.stray && p.split);
        ASSERT_EQ(p.fate, Fate::Intact);
        ASSERT_GE(p.pieces.size(), 3u);
        EXPECT_EQ(p.pieces[0].bytes.find('~'), std::string::npos);
        EXPECT_EQ(p.pieces[1].bytes[0], '~');
        EXPECT_EQ(p.pieces[1].bytes.find('\r'), std::string::npos);
        std::string body;
        for (std::size_t k = 2; k < p.pieces.size(); ++k) {
            EXPECT_LE(p.pieces[k].bytes.size(), 3u);
            EXPECT_DOUBLE_EQ(p.pieces[k].gapBefore, 0.005);
            body += p.pieces[k].bytes;
        }
        EXPECT_EQ(body, kReply);
        for (const auto& piece : p.pieces)
            blocks.push_back(piece.bytes);
    }
    // A receiver that restarts a frame at every "~" gets every reply back.
    const auto got = Receive(blocks);
    EXPECT_EQ(got.size(), 200u);
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](const auto& g) { return g == kReply; }));
}

TEST(SimFaults, RatesAreHonoured) {
    FaultConfig c;
    c.drop = 0.3;
    c.corrupt = 0.2;
    c.seed = 11;
    FaultInjector f(c);
    int dropped = 0, corrupted = 0;
    const int n = 4000;
    for (int i = 0; i < n; ++i) {
        const Fate fate = f.Decide(kReply).fate;
        dropped += fate == Fate::Dropped;
        corrupted += fate == Fate::Corrupted;
    }
    EXPECT_NEAR(dropped / double(n), 0.3, 0.04);
    EXPECT_NEAR(corrupted / double(n - dropped), 0.2, 0.04);
}

// ---------------------------------------------------------------------------
// Line timing

TEST(SimTransmitter, PacesBytesAtTheBaudRate) {
    Transmitter tx(9600);
    const double bt = 10.0 / 9600;
    tx.Enqueue(1.0, {{"ABCDEFGHIJ", 0}});
    EXPECT_EQ(tx.Due(0.999), "");
    ASSERT_TRUE(tx.NextWake());
    EXPECT_DOUBLE_EQ(*tx.NextWake(), 1.0);
    EXPECT_EQ(tx.Due(1.0), "A");
    EXPECT_NEAR(*tx.NextWake(), 1.0 + bt, 1e-9);
    EXPECT_EQ(tx.Due(1.0 + 3.5 * bt), "BCD");
    EXPECT_EQ(tx.Due(1.0 + 100 * bt), "EFGHIJ");
    EXPECT_TRUE(tx.Idle());
    EXPECT_FALSE(tx.NextWake());
}

TEST(SimTransmitter, JobsNeverInterleaveAndPiecesKeepTheirGaps) {
    Transmitter tx(9600);
    const double bt = 10.0 / 9600;
    tx.Enqueue(0.0, {{"aaaa", 0}, {"bb", 0.010}});
    tx.Enqueue(0.001, {{"XY", 0}});  // ready while the first is still on the line
    std::string out;
    std::vector<double> times;
    for (double t = 0; t < 0.1; t += 0.0001) {
        const std::string d = tx.Due(t);
        for (char ch : d) {
            out.push_back(ch);
            times.push_back(t);
        }
    }
    EXPECT_EQ(out, "aaaabbXY");
    ASSERT_EQ(times.size(), 8u);
    EXPECT_NEAR(times[3] - times[0], 3 * bt, 0.0002);
    EXPECT_NEAR(times[4] - times[3], bt + 0.010, 0.0002);  // the gap after the last byte
    EXPECT_GE(times[6] - times[5], bt - 0.0001);           // the next job waits for the line
}

TEST(SimTransmitter, WithoutPacingAPieceLeavesAtOnceAndLateJobsFollowEarlyOnes) {
    Transmitter tx(0);
    tx.Enqueue(0.600, {{"late", 0}});
    tx.Enqueue(0.010, {{"early", 0}});
    EXPECT_EQ(tx.Due(0.010), "early");
    EXPECT_EQ(tx.Due(0.5), "");
    EXPECT_EQ(tx.Due(0.600), "late");
    tx.Enqueue(1.0, {{"x", 0}});
    tx.Clear();
    EXPECT_TRUE(tx.Idle());
    EXPECT_EQ(tx.Due(2.0), "");
}

// ---------------------------------------------------------------------------
// Command line

TEST(SimOptions, GoodCommandLines) {
    auto r = ParseOptions({"--addr", "12", "--drop=0.25", "--rtn", "6", "--units", "1", "--link",
                           "/tmp/x", "--no-pace", "--vanish-after", "2", "--back-after", "1.5",
                           "--name", std::string(30, 'n')});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->controller.address, 12);
    EXPECT_DOUBLE_EQ(r.options->faults.drop, 0.25);
    EXPECT_EQ(r.options->faults.rtn, 6);
    EXPECT_EQ(r.options->controller.units, UnitChoice::Unit1);
    EXPECT_EQ(r.options->link, "/tmp/x");
    EXPECT_EQ(r.options->pace, 0);
    EXPECT_DOUBLE_EQ(r.options->backAfter, 1.5);

    auto d = ParseOptions({});
    ASSERT_TRUE(d.options);
    EXPECT_EQ(d.options->pace, 9600);  // a pseudo-terminal is paced like a 9600 baud line
    // A late reply lands after the tool's next command: with its default poll
    // interval (500 ms) and reply time-out (350 ms) two sends are at most
    // 800 ms apart (0x44, then the next cycle's 0x42).
    EXPECT_GT(d.options->faults.delayMs, 800);
    EXPECT_EQ(ParseOptions({"--device", "/dev/ttyUSB0"}).options->pace, 0);
    EXPECT_TRUE(ParseOptions({"--help"}).options->help);

    struct AddrCase {
        const char* text;
        std::vector<std::uint8_t> addrs;
    } addrCases[] = {
        {"7", {7}},         {"1,7,200", {1, 7, 200}},
        {"1-3", {1, 2, 3}}, {"16,3-4,255", {16, 3, 4, 255}},
        {"0-255", {}},
    };
    for (const auto& c : addrCases) {
        const auto r = ParseOptions({"--addr", c.text});
        ASSERT_TRUE(r.options) << c.text << ": " << r.error;
        if (std::string(c.text) == "0-255") {
            EXPECT_EQ(r.options->addresses.size(), 256u);
            continue;
        }
        EXPECT_EQ(r.options->addresses, c.addrs) << c.text;
        EXPECT_EQ(r.options->controller.address, c.addrs.front());
    }
    // A kept line speed paces the replies at that speed unless told otherwise.
    auto kept = ParseOptions({"--line-baud", "2400", "--tap", "/tmp/tap", "--control", "/tmp/c"});
    ASSERT_TRUE(kept.options) << kept.error;
    EXPECT_EQ(kept.options->lineBaud, 2400);
    EXPECT_EQ(kept.options->pace, 2400);
    EXPECT_EQ(kept.options->tap, "/tmp/tap");
    EXPECT_EQ(kept.options->control, "/tmp/c");
    EXPECT_EQ(ParseOptions({"--line-baud", "2400", "--pace", "9600"}).options->pace, 9600);
}

// Without pseudo-terminals and named pipes (Windows) the simulator serves an
// existing serial port only; what needs them is refused with the option named.
TEST(SimOptions, WithoutPseudoTerminalsOnlyASerialPortIsServed) {
    struct Case {
        std::vector<std::string> args;
        const char* mention;  // nullptr: accepted
    } cases[] = {
        {{"--device", "COM5"}, nullptr},
        {{"--device", "COM5", "--baud", "19200", "--addr", "1,2", "--vanish-after", "3",
          "--back-after", "1", "--log", "sim.log", "--drop", "0.1"},
         nullptr},
        {{}, "--device COMn"},
        {{"--addr", "3"}, "--device COMn"},
        {{"--link", "COM5"}, "--link"},
        {{"--device", "COM5", "--tap", "t"}, "--tap"},
        {{"--device", "COM5", "--line-baud", "9600"}, "--line-baud"},
        {{"--device", "COM5", "--control", "c"}, "--control"},
        {{"--device", "COM5", "--addr", "256"}, "--addr"},
    };
    for (const auto& c : cases) {
        const auto r = ParseOptions(c.args, false);
        const std::string line = c.args.empty() ? std::string("(none)") : c.args.back();
        if (!c.mention) {
            ASSERT_TRUE(r.options) << line << ": " << r.error;
            EXPECT_EQ(r.options->device, "COM5");
            EXPECT_EQ(r.options->pace, 0);  // the port's own line sets the pace
            continue;
        }
        EXPECT_FALSE(r.options) << line;
        EXPECT_NE(r.error.find(c.mention), std::string::npos) << r.error;
    }
    EXPECT_TRUE(ParseOptions({"--help"}, false).options->help);
    // With them every one of those is accepted.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"--link", "/tmp/l", "--tap", "/tmp/t", "--line-baud", "9600", "--control", "c"}})
        EXPECT_TRUE(ParseOptions(args, true).options);
}

TEST(SimOptions, BadCommandLinesAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* mention;
    } cases[] = {
        {{"--drop", "1.5"}, "--drop"},
        {{"--drop", "x"}, "--drop"},
        {{"--addr", "256"}, "--addr"},
        {{"--addr"}, "missing"},
        {{"--units", "2"}, "--units"},
        {{"--frobnicate"}, "unknown option"},
        {{"--name", std::string(31, 'n')}, "30"},
        {{"--back-after", "1"}, "--vanish-after"},
        {{"--device", "/dev/ttyS0", "--link", "/tmp/l"}, "--link"},
        {{"--split-max", "0"}, "--split-max"},
        {{"--addr", "3-1"}, "ends before it begins"},
        {{"--addr", "0x10"}, "'0x10'"},  // decimal, as the poller's
        {{"--addr", "1,7,1"}, "twice"},
        {{"--addr", "1-3,2"}, "twice"},
        {{"--addr", "1,,2"}, "''"},
        {{"--addr", "200-256"}, "0 to 255"},
        {{"--addr", "1-"}, "'1-'"},
        {{"--line-baud", "0"}, "--line-baud"},
        {{"--line-baud", "9600", "--device", "/dev/ttyS0"}, "--line-baud"},
        {{"--tap", "/tmp/t", "--device", "/dev/ttyS0"}, "--tap"},
        {{"--tap", "/tmp/t", "--link", "/tmp/t"}, "same path"},
        {{"--control", ""}, "--control"},
    };
    for (const auto& c : cases) {
        const auto r = ParseOptions(c.args);
        EXPECT_FALSE(r.options) << c.args[0];
        EXPECT_NE(r.error.find(c.mention), std::string::npos) << r.error;
    }
    const std::string help = HelpText();
    for (const char* opt :
         {"--drop",        "--delay",     "--corrupt",    "--noise",        "--stray",
          "--split",       "--pace",      "--rtn",        "--vanish-after", "--device",
          "--link",        "--addr",      "--line-baud",  "--tap",          "--control",
          "silent ADDR",   "answer ADDR", "alarm ADDR",   "power ADDR",     "late ADDR",
          "reply-as ADDR", "param ADDR",  "version ADDR", "normal",         "choices ADDR"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
}
