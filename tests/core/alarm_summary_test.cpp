// The alarm summary through the monitoring core on the fake clock: which alarms stand,
// since when, in which order, which are serious, which are new, and the fields the
// panel hides.
#include <gtest/gtest.h>

#include <algorithm>

#include "Alarms.h"
#include "CoreTestSupport.h"

namespace coretest {
namespace {

// The position of an alarm field in its table, by key.
std::size_t FieldOf(std::string_view Key) {
    for (std::size_t i = 0; i < AlarmFields.size(); ++i)
        if (AlarmFields[i].Key == Key) return i;
    ADD_FAILURE() << "no alarm field " << Key;
    return 0;
}

// The INFO of a 0x44 reply of Unit with the given codes; every other field normal.
// Fields: how many the reply carries (11 to 36).
Bytes Alarms(int Unit, std::vector<std::pair<std::string_view, std::uint8_t>> Codes,
             std::size_t Fields = AlarmFieldCount) {
    Bytes info = AlarmInfo(static_cast<std::uint8_t>(Unit << 1));
    for (const auto& [key, code] : Codes) {
        const std::size_t f = FieldOf(key);
        info[f < AlarmFixedCount ? 1 + f : 2 + f] = code;
    }
    info.resize(Fields <= AlarmFixedCount ? 13 : 2 + Fields);
    return info;
}

// "unit|caption|word|since|before first read|serious"
std::string Line(const TActiveAlarm& A, const TFakeClock& Clock) {
    const auto since = std::chrono::duration_cast<Millis>(A.Since.Time - Clock.Start()).count();
    return UnitName(A.Unit) + "|" + std::string(A.Info().Caption) + "|" + AlarmStateText(A.Code) +
           "|" + std::to_string(since) + "|" + (A.BeforeFirstRead ? "before" : "") + "|" +
           (A.Serious ? "serious" : "");
}

std::vector<std::string> Lines(std::span<const TActiveAlarm> Alarms, const TFakeClock& Clock) {
    std::vector<std::string> out;
    for (const TActiveAlarm& a : Alarms)
        out.push_back(Line(a, Clock));
    return out;
}

struct TAlarmRig : TRig {
    TAlarmSummary Summary;
    std::vector<std::vector<std::string>> Appeared;  // per OnChanged call
    TAlarmRig() {
        Monitor.AddObserver(Summary);
        Summary.OnChanged = [this](std::span<const TActiveAlarm> New) {
            Appeared.push_back(Lines(New, Clock));
        };
        Open();
    }
    ~TAlarmRig() { Monitor.RemoveObserver(Summary); }
    // The controller answers a read of alarms at At ms.
    void AlarmReply(long long At, const Bytes& Info, std::uint8_t Rtn = 0) {
        RunTo(At);
        Monitor.SendNoDataCmd(1, 0x44);
        Feed(Reply(Rtn, Rtn == 0 ? Info : Bytes{}));
    }
};

TEST(AlarmSummary, StandingAlarmsSinceWhenNewestFirst) {
    TAlarmRig rig;
    const struct {
        long long at;
        Bytes info;
        std::vector<std::string> active;    // after the reply, newest first
        std::vector<std::string> appeared;  // told with the reply
    } steps[] = {
        // The first reply of unit 1: its alarms began before it. Serious first within it.
        {0,
         Alarms(0, {{"voltage_ab", 0x01}, {"water_leak", 0x01}}),
         {"空调1|水浸告警|低于下限|0|before|serious",
          "空调1|主机工作线/相电压AB/A|低于下限|0|before|"},
         {"空调1|水浸告警|低于下限|0|before|serious",
          "空调1|主机工作线/相电压AB/A|低于下限|0|before|"}},
        // Unit 2, a hidden field among them; newer than unit 1's.
        {1000,
         Alarms(1, {{"fire", 0x02}, {"water_pump", 0xF0}}),
         {"空调2|消防报警|高于上限|1000|before|serious", "空调2|水泵故障|故障|1000|before|serious",
          "空调1|水浸告警|低于下限|0|before|serious",
          "空调1|主机工作线/相电压AB/A|低于下限|0|before|"},
         {"空调2|消防报警|高于上限|1000|before|serious",
          "空调2|水泵故障|故障|1000|before|serious"}},
        // Unit 1 again: one alarm stays with its time, one clears, one appears.
        {2000,
         Alarms(0, {{"voltage_ab", 0x01}, {"return_air_temp", 0x02}}),
         {"空调1|回风温度|高于上限|2000||", "空调2|消防报警|高于上限|1000|before|serious",
          "空调2|水泵故障|故障|1000|before|serious",
          "空调1|主机工作线/相电压AB/A|低于下限|0|before|"},
         {"空调1|回风温度|高于上限|2000||"}},
        // A change of state is a new alarm; not detected is not an alarm; a code the
        // panel has no word for is one.
        {3000,
         Alarms(1, {{"fire", 0xF0}, {"water_pump", 0x20}, {"filter", 0x03}}),
         {"空调2|消防报警|故障|3000||serious", "空调2|过滤器|代码 0x03|3000||",
          "空调1|回风温度|高于上限|2000||", "空调1|主机工作线/相电压AB/A|低于下限|0|before|"},
         {"空调2|消防报警|故障|3000||serious", "空调2|过滤器|代码 0x03|3000||"}},
        // A short reply carries the eleven fixed fields only: the items it leaves out are
        // not known to stand.
        {4000,
         Alarms(1, {{"filter", 0x03}, {"fire", 0xF0}}, AlarmFixedCount),
         {"空调2|过滤器|代码 0x03|3000||", "空调1|回风温度|高于上限|2000||",
          "空调1|主机工作线/相电压AB/A|低于下限|0|before|"},
         {}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.at);
        rig.Appeared.clear();
        rig.AlarmReply(s.at, s.info);
        EXPECT_EQ(Lines(rig.Summary.Active(), rig.Clock), s.active);
        ASSERT_EQ(rig.Appeared.size(), 1u);
        EXPECT_EQ(rig.Appeared[0], s.appeared);
    }
    EXPECT_EQ(rig.Summary.SeriousCount(), 0u);
    ASSERT_TRUE(rig.Summary.LastRead(1));
    EXPECT_EQ(rig.Summary.LastRead(1)->Time - rig.Clock.Start(), Millis(4000));
    EXPECT_EQ(rig.Summary.LastRead(0)->Time - rig.Clock.Start(), Millis(2000));
}

// The summary stays as the controller last told it, and speaks only of change.
TEST(AlarmSummary, ChangesOnlyWhenTheControllerSaysSomethingNew) {
    TAlarmRig rig;
    const Bytes info = Alarms(0, {{"high_pressure", 0xF0}});
    rig.AlarmReply(0, info);
    const std::uint64_t revision = rig.Summary.Revision();
    rig.AlarmReply(500, info);                         // the same again
    rig.AlarmReply(600, {}, 4);                        // refused: not decoded
    rig.AlarmReply(700, Alarms(2, {{"fire", 0xF0}}));  // a unit index the tool has no tab for
    rig.Close();                                       // values stay after the link closes
    EXPECT_EQ(rig.Summary.Revision(), revision);
    EXPECT_EQ(rig.Appeared.size(), 1u);
    EXPECT_EQ(Lines(rig.Summary.Active(), rig.Clock),
              (std::vector<std::string>{"空调1|高压压力保护|故障|0|before|serious"}));
    EXPECT_EQ(rig.Summary.SeriousCount(), 1u);
    EXPECT_FALSE(rig.Summary.LastRead(1));
    // Opened again: an alarm that still stands keeps its time; a cleared one goes.
    rig.Open();
    rig.AlarmReply(9000, Alarms(0, {}));
    EXPECT_TRUE(rig.Summary.Active().empty());
    EXPECT_EQ(rig.Appeared.size(), 2u);
    EXPECT_TRUE(rig.Appeared.back().empty());
}

TEST(AlarmSummary, Seriousness) {
    const struct {
        std::string_view key;
        std::uint8_t code;
        bool serious;
    } cases[] = {
        {"filter", 0xF0, true},       {"filter", 0x02, false}, {"water_leak", 0x01, true},
        {"water_leak", 0x00, false},  {"fire", 0x02, true},    {"outdoor_unit_stolen", 0x03, true},
        {"water_level", 0x01, false}, {"eeprom", 0xF0, true},  {"voltage_ab", 0x01, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsSeriousAlarm(FieldOf(c.key), c.code), c.serious) << c.key << " " << int(c.code);
}

TEST(AlarmSummary, HiddenFieldsOfBothUnits) {
    TAlarmRig rig;
    Bytes sw = SwitchInfo();
    sw[10] = 1;     // exhaust fan on
    sw[11] = 0x20;  // water pump not detected
    rig.Monitor.SendNoDataCmd(1, 0x43);
    rig.Feed(Reply(0, sw));
    rig.AlarmReply(100, Alarms(0, {{"water_level", 0xF0}, {"outdoor_coil_inlet_temp_sensor", 0}}));
    std::vector<std::string> shown;
    for (const THiddenField& h : rig.Summary.Hidden())
        shown.push_back(UnitName(h.Unit) + "|" + std::string(h.Field->Caption) + "|" +
                        (h.Read ? h.Text : "-") + (h.Alarm ? "|alarm" : ""));
    EXPECT_EQ(shown,
              (std::vector<std::string>{
                  "空调1|排风机|开启", "空调1|水泵状态|未检测", "空调1|外机盘管进口温度传感器|正常",
                  "空调1|水位故障|故障|alarm", "空调1|水泵故障|正常", "空调2|排风机|-",
                  "空调2|水泵状态|-", "空调2|外机盘管进口温度传感器|-", "空调2|水位故障|-",
                  "空调2|水泵故障|-"}));
    // Every hidden field of the tables, and only those.
    std::size_t hidden = 0;
    for (const auto& f : SwitchFields)
        hidden += f.Hidden;
    for (const auto& f : AlarmFields)
        hidden += f.Hidden;
    EXPECT_EQ(rig.Summary.Hidden().size(), 2 * hidden);
    // A change of a shown switch state is none of the summary's business.
    const std::uint64_t revision = rig.Summary.Revision();
    sw[4] = 0;
    rig.Monitor.SendNoDataCmd(1, 0x43);
    rig.Feed(Reply(0, sw));
    EXPECT_EQ(rig.Summary.Revision(), revision);
    sw[11] = 1;
    rig.Monitor.SendNoDataCmd(1, 0x43);
    rig.Feed(Reply(0, sw));
    EXPECT_GT(rig.Summary.Revision(), revision);
}

}  // namespace
}  // namespace coretest
