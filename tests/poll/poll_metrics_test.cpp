// The metrics text: the readings of a table of decoded replies as samples with the
// right names, labels and values, not-detected readings left out, hostile controller
// texts escaped so that they can neither break a line nor forge one, and the whole file
// readable by a strict reader of the format.
#include "Metrics.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Controller.h"
#include "Exposition.h"

namespace airconpoll {
namespace {

using namespace aircon;
using Bytes = std::vector<std::uint8_t>;

std::int32_t WordAt(const Bytes& b, std::size_t at, bool Signed) {
    const auto w = static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
    return Signed ? static_cast<std::int16_t>(w) : w;
}
bool NotDetectedWord(const Bytes& b, std::size_t at) {
    return b[at] == 0x20 && b[at + 1] == 0x20;
}

// The simulator's controller after a minute of running, with some alarms up.
acsim::Controller Plant() {
    acsim::ControllerConfig cfg;
    cfg.seed = 7;
    acsim::Controller c(cfg);
    c.Advance(95.0);
    return c;
}

exposition::TParsed Format(const TMetricsData& d) {
    const std::string text = FormatMetrics(d);
    exposition::TParsed p = exposition::Parse(text);
    EXPECT_EQ(p.Error, "") << text;
    return p;
}

TEST(Metrics, AnalogReadingsOfBothUnitsWithNotDetectedLeftOut) {
    const auto plant = Plant();
    TMetricsData d;
    d.Port = "ttyUSB0";
    d.Up = true;
    std::array<Bytes, 2> infos{plant.AnalogInfo(0), plant.AnalogInfo(1)};
    for (const auto& info : infos)
        d.Apply(*ParseAnalog(info));
    const auto p = Format(d);

    int absent = 0;
    for (int unit = 0; unit < 2; ++unit) {
        const Bytes& info = infos[static_cast<std::size_t>(unit)];
        for (std::size_t i = 0; i < AnalogFieldCount; ++i) {
            const std::size_t at =
                i < AnalogFixedCount ? 1 + 2 * i : 26 + 2 * (i - AnalogFixedCount);
            const std::map<std::string, std::string> labels{
                {"port", "ttyUSB0"},
                {"unit", std::to_string(unit + 1)},
                {"name", std::string(AnalogFields[i].Key)}};
            SCOPED_TRACE(std::string(AnalogFields[i].Key) + " of unit " + std::to_string(unit + 1));
            if (NotDetectedWord(info, at)) {
                EXPECT_TRUE(p.Find("aircon_analog", labels).empty());
                ++absent;
            } else {
                EXPECT_EQ(p.Value("aircon_analog", labels),
                          std::to_string(WordAt(info, at, AnalogFields[i].Signed)));
            }
        }
    }
    EXPECT_GT(absent, 0) << "the simulator reports some sensors as not detected";
    EXPECT_EQ(p.Find("aircon_analog").size(),
              2 * AnalogFieldCount - static_cast<std::size_t>(absent));
    EXPECT_EQ(p.Types.at("aircon_analog"), "gauge");
}

TEST(Metrics, ShortRepliesCarryOnlyTheirFields) {
    TMetricsData d;
    d.Port = "p";
    Bytes analog(26, 0);
    analog[1] = 0x01;  // voltage_ab 256
    analog[2] = 0x00;
    d.Apply(*ParseAnalog(analog));
    d.Apply(*ParseSwitches(Bytes{0x02, 0x00, 0x09}));  // unit 2: power on, no items
    Bytes alarms(13, 0);
    alarms[0] = 0x02;
    alarms[3] = 0x20;  // voltage_ca not detected
    d.Apply(*ParseAlarms(alarms));
    const auto p = Format(d);
    EXPECT_EQ(p.Find("aircon_analog").size(), 12u);
    EXPECT_EQ(p.Value("aircon_analog", {{"unit", "1"}, {"name", "voltage_ab"}}), "256");
    EXPECT_TRUE(p.Find("aircon_analog", {{"name", "outdoor_temp"}}).empty());
    EXPECT_EQ(p.Find("aircon_switch").size(), 1u);
    EXPECT_EQ(p.Value("aircon_switch", {{"unit", "2"}, {"name", "power"}}), "0");
    EXPECT_EQ(p.Find("aircon_alarm", {{"unit", "2"}}).size(), 10u);
    EXPECT_TRUE(p.Find("aircon_alarm", {{"name", "voltage_ca"}}).empty());
}

TEST(Metrics, SwitchesAlarmsAndParametersOfTheSimulator) {
    const auto plant = Plant();
    TMetricsData d;
    d.Port = "ttyS0";
    const Bytes sw = plant.SwitchInfo(1), al = plant.AlarmInfo(0), pa = plant.ParamInfo();
    d.Apply(*ParseSwitches(sw));
    d.Apply(*ParseAlarms(al));
    d.Apply(*ParseUserParams(pa));
    const auto p = Format(d);

    // Switches of unit 2: power at offset 1, items from offset 3.
    EXPECT_EQ(p.Value("aircon_switch", {{"unit", "2"}, {"name", "power"}}), std::to_string(sw[1]));
    for (std::size_t i = 0; i < SwitchItemCount; ++i) {
        const std::map<std::string, std::string> labels{{"unit", "2"},
                                                        {"name", std::string(SwitchFields[i].Key)}};
        if (sw[3 + i] == 0x20)
            EXPECT_TRUE(p.Find("aircon_switch", labels).empty()) << SwitchFields[i].Key;
        else
            EXPECT_EQ(p.Value("aircon_switch", labels), std::to_string(sw[3 + i]))
                << SwitchFields[i].Key;
    }
    // Alarms of unit 1: eleven fixed at offsets 1..11, items from 13.
    for (std::size_t i = 0; i < AlarmFieldCount; ++i) {
        const std::uint8_t code = al[i < AlarmFixedCount ? 1 + i : 13 + (i - AlarmFixedCount)];
        const std::map<std::string, std::string> labels{{"unit", "1"},
                                                        {"name", std::string(AlarmFields[i].Key)}};
        if (code == 0x20)
            EXPECT_TRUE(p.Find("aircon_alarm", labels).empty()) << AlarmFields[i].Key;
        else
            EXPECT_EQ(p.Value("aircon_alarm", labels), std::to_string(code)) << AlarmFields[i].Key;
    }
    // Parameters: seven words, the count byte, nine items.
    for (std::size_t i = 0; i < ParamFields.size(); ++i) {
        const std::size_t at = i < ParamReadingCount ? 2 * i : 15 + 2 * (i - ParamReadingCount);
        const bool isSigned = i < ParamReadingCount && ParamFields[i].Signed;
        EXPECT_EQ(p.Value("aircon_parameter", {{"name", std::string(ParamFields[i].Key)}}),
                  std::to_string(WordAt(pa, at, isSigned)))
            << ParamFields[i].Key;
    }
    EXPECT_EQ(p.Value("aircon_parameter", {{"name", "temp_set_point"}}), "25");
    EXPECT_TRUE(p.Find("aircon_parameter", {{"unit", "1"}}).empty()) << "parameters have no unit";
}

TEST(Metrics, ParameterNotDetectedLeftOutAndNegativeKept) {
    Bytes pa(15, 0);
    pa[0] = 0x20, pa[1] = 0x20;  // on_temp not detected
    pa[6] = 0xFF, pa[7] = 0xF6;  // return_air_temp_low -10
    TMetricsData d;
    d.Apply(*ParseUserParams(pa));
    const auto p = Format(d);
    EXPECT_TRUE(p.Find("aircon_parameter", {{"name", "on_temp"}}).empty());
    EXPECT_EQ(p.Value("aircon_parameter", {{"name", "return_air_temp_low"}}), "-10");
    EXPECT_EQ(p.Find("aircon_parameter").size(), 6u);
}

TEST(Metrics, LinkStateAndCounters) {
    TMetricsData d;
    d.Port = "ttyUSB1";
    d.Up = false;
    d.PortOpen = true;
    d.Reconnects = 3;
    d.Commands = 120;
    d.Replies = 110;
    d.RepliesMissing = 7;
    d.ErrorFrames = 2;
    d.RtnErrors = 1;
    d.LastReply = WallTime(std::chrono::milliseconds(1700000000123LL));
    const auto p = Format(d);
    const std::vector<std::pair<std::string, std::string>> want{
        {"aircon_up", "0"},
        {"aircon_port_open", "1"},
        {"aircon_reconnects_total", "3"},
        {"aircon_commands_total", "120"},
        {"aircon_replies_total", "110"},
        {"aircon_replies_missing_total", "7"},
        {"aircon_error_frames_total", "2"},
        {"aircon_rtn_errors_total", "1"},
        {"aircon_last_reply_timestamp_seconds", "1700000000.123"},
    };
    for (const auto& [name, value] : want) {
        EXPECT_EQ(p.Value(name, {{"port", "ttyUSB1"}}), value) << name;
        EXPECT_EQ(p.Types.at(name), name.ends_with("_total") ? "counter" : "gauge") << name;
    }
    // Before any reply there is no time of the last one, and no readings at all.
    TMetricsData fresh;
    const auto q = Format(fresh);
    EXPECT_TRUE(q.Find("aircon_last_reply_timestamp_seconds").empty());
    EXPECT_TRUE(q.Find("aircon_info").empty());
    EXPECT_EQ(q.Samples.size(), 8u);
}

TEST(Metrics, ClearReadingsForgetsEverythingOfTheController) {
    const auto plant = Plant();
    TMetricsData d;
    d.Apply(*ParseAnalog(plant.AnalogInfo(0)));
    d.Apply(*ParseUserParams(plant.ParamInfo()));
    d.Apply(TProtocolVersion{0x10});
    d.ClearReadings();
    const auto p = Format(d);
    for (const char* name : {"aircon_analog", "aircon_parameter", "aircon_info"})
        EXPECT_TRUE(p.Find(name).empty()) << name;
}

// Refusals by their code, and when the identity and the parameters were read: each
// written only once there is something to say, and the read times go with what they
// date when the controller stops answering.
TEST(Metrics, RefusalsByCodeAndReadTimes) {
    const auto plant = Plant();
    TMetricsData d;
    d.Port = "ttyUSB1";
    d.RtnErrors = 5;
    d.RtnCounts = {{4, 3}, {1, 2}};
    const WallTime at(std::chrono::milliseconds(1700000000123LL));
    const WallTime later(std::chrono::milliseconds(1700000300456LL));
    d.Apply(TProtocolVersion{0x10}, at);
    d.Apply(*ParseVendorInfo(plant.VendorInfo()), later);  // the latest of the three
    d.Apply(*ParseUserParams(plant.ParamInfo()), at);
    d.Apply(*ParseAnalog(plant.AnalogInfo(0)), later);  // readings have no read time
    const std::string text = FormatMetrics(d);
    const auto p = exposition::Parse(text);
    ASSERT_EQ(p.Error, "") << text;
    EXPECT_EQ(p.Value("aircon_rtn_replies_total", {{"port", "ttyUSB1"}, {"rtn", "4"}}), "3");
    EXPECT_EQ(p.Value("aircon_rtn_replies_total", {{"rtn", "1"}}), "2");
    EXPECT_EQ(p.Find("aircon_rtn_replies_total").size(), 2u);
    EXPECT_EQ(p.Types.at("aircon_rtn_replies_total"), "counter");
    EXPECT_EQ(p.Value("aircon_info_read_timestamp_seconds"), "1700000300.456");
    EXPECT_EQ(p.Value("aircon_parameters_read_timestamp_seconds"), "1700000000.123");
    EXPECT_EQ(p.Types.at("aircon_info_read_timestamp_seconds"), "gauge");
    // Each read time right after the family it dates.
    EXPECT_LT(text.find("aircon_parameter{"), text.find("aircon_parameters_read_timestamp"));
    EXPECT_LT(text.find("aircon_info{"), text.find("aircon_info_read_timestamp"));

    d.ClearReadings();
    const auto q = Format(d);
    EXPECT_TRUE(q.Find("aircon_info_read_timestamp_seconds").empty());
    EXPECT_TRUE(q.Find("aircon_parameters_read_timestamp_seconds").empty());
    EXPECT_EQ(q.Find("aircon_rtn_replies_total").size(), 2u) << "counters stay";

    // Taken without a time (as a test or a file does), a reply dates nothing.
    TMetricsData undated;
    undated.Apply(TProtocolVersion{0x10});
    EXPECT_TRUE(Format(undated).Find("aircon_info_read_timestamp_seconds").empty());
    EXPECT_TRUE(Format(undated).Find("aircon_rtn_replies_total").empty());
}

TVendorInfo Vendor(const std::string& Name, const std::string& Soft, const std::string& Maker) {
    TVendorInfo v;
    v.Fields = {Name, Soft, Maker};
    return v;
}

TEST(Metrics, IdentityWithHostileVendorTexts) {
    using namespace std::string_literals;
    const struct {
        std::string raw;    // Latin-1 bytes as the controller sent them
        std::string label;  // the label value a scraper reads (UTF-8, unescaped)
    } cases[] = {
        {"ACSIM-2 split AC controller   ", "ACSIM-2 split AC controller"},
        {"a\"b\\c\nd", "a\"b\\c\nd"},
        {"x\x00\x7F\xFF"s + "y\x00\x00 "s, "x\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xBFy"},
        {"\x80\x9F\xA0\xB0\xE9", "\xEF\xBF\xBD\xEF\xBF\xBD\xC2\xA0\xC2\xB0\xC3\xA9"},
        {"\r\tTAB", "\xEF\xBF\xBD\xEF\xBF\xBDTAB"},
        // An attempt to end the label and the line and forge a sample of its own.
        {"x\"} 1\naircon_up{port=\"ttyUSB0\"} 1\n#", "x\"} 1\naircon_up{port=\"ttyUSB0\"} 1\n#"},
        {"", ""},
        {"       ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TMetricsData d;
        d.Port = "ttyUSB0";
        d.Up = true;
        d.Version = TProtocolVersion{0x21};
        d.Address = TDeviceAddress{12};
        d.Vendor = Vendor(c.raw, "V" + c.raw, c.raw + "Z");
        const std::string text = FormatMetrics(d);
        const auto p = exposition::Parse(text);
        ASSERT_EQ(p.Error, "") << text;
        // Exactly one line per sample: the text cannot add one.
        ASSERT_EQ(p.Find("aircon_up").size(), 1u) << text;
        EXPECT_EQ(p.Value("aircon_up"), "1");
        const auto info = p.Find("aircon_info");
        ASSERT_EQ(info.size(), 1u) << text;
        EXPECT_EQ(info[0].Value, "1");
        EXPECT_EQ(info[0].Labels.at("name"), c.label);
        EXPECT_EQ(info[0].Labels.at("vendor"), ControllerLabelText(c.raw + "Z"));
        EXPECT_EQ(info[0].Labels.at("software"), ControllerLabelText("V" + c.raw));
        EXPECT_EQ(info[0].Labels.at("version"), "2.1");
        EXPECT_EQ(info[0].Labels.at("address"), "12");
        EXPECT_EQ(info[0].Labels.at("port"), "ttyUSB0");
        // Nothing but printable text and the line feeds between lines.
        for (unsigned char ch : text)
            EXPECT_TRUE(ch == '\n' || ch >= 0x20) << "control byte " << int(ch);
    }
}

TEST(Metrics, NoVendorTextBreaksTheFile) {
    // Random bytes of every value in all three texts, by a fixed draw: the file always reads
    // back with one aircon_up and one aircon_info whose labels are the texts as cleaned.
    std::mt19937 draw(17);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 30);
    auto text = [&] {
        std::string t(static_cast<std::size_t>(length(draw)), '\0');
        for (char& c : t)
            c = static_cast<char>(byte(draw));
        return t;
    };
    for (int i = 0; i < 3000; ++i) {
        TMetricsData d;
        d.Port = text();
        d.Up = true;
        d.Vendor = Vendor(text(), text(), text());
        const std::string out = FormatMetrics(d);
        const auto p = exposition::Parse(out);
        ASSERT_EQ(p.Error, "") << out;
        ASSERT_EQ(p.Find("aircon_up").size(), 1u) << out;
        const auto info = p.Find("aircon_info");
        ASSERT_EQ(info.size(), 1u) << out;
        EXPECT_EQ(info[0].Labels.at("name"), ControllerLabelText(*d.Vendor->Fields[0]));
        EXPECT_EQ(info[0].Labels.at("software"), ControllerLabelText(*d.Vendor->Fields[1]));
        EXPECT_EQ(info[0].Labels.at("vendor"), ControllerLabelText(*d.Vendor->Fields[2]));
        EXPECT_EQ(info[0].Labels.at("port"), Utf8LabelText(d.Port));
        for (const auto& [k, v] : info[0].Labels) {
            for (unsigned char c : v)
                ASSERT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F)) << "control byte in " << k;
        }
    }
}

TEST(Metrics, IdentityInPartsAndAHostilePortName) {
    TMetricsData d;
    d.Port = "/dev/serial/by-id/usb-\"odd\"\\name";
    d.Address = TDeviceAddress{200};
    const auto p = Format(d);
    const auto info = p.Find("aircon_info");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].Labels.at("address"), "200");
    EXPECT_EQ(info[0].Labels.at("version"), "");
    EXPECT_EQ(info[0].Labels.at("name"), "");
    EXPECT_EQ(info[0].Labels.at("port"), d.Port);
    EXPECT_EQ(p.Value("aircon_up", {{"port", d.Port}}), "0");
}

TEST(Metrics, PortNamesThatAreNotUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"ttyUSB0", "ttyUSB0"},
        {"/dev/serial/by-id/usb-空调", "/dev/serial/by-id/usb-空调"},
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},                                                     // a stray byte
        {"\xC3", "\xEF\xBF\xBD"},                                  // cut short
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong "/"
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xC2\x85", "\xEF\xBF\xBD"},                              // C1 control NEL
        {"t\rty\x01\x7F",
         "t\xEF\xBF\xBD"
         "ty\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"two\nlines", "two\nlines"},  // escaped by the label writer
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8LabelText(c.in), c.out) << c.in;
        TMetricsData d;
        d.Port = c.in;
        const auto p = Format(d);
        EXPECT_EQ(p.Value("aircon_up", {{"port", c.out}}), "0") << c.in;
    }
}

TEST(Metrics, EscapeLabelValue) {
    EXPECT_EQ(EscapeLabelValue("plain text"), "plain text");
    EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(EscapeLabelValue("\\n"), "\\\\n");
    EXPECT_EQ(EscapeLabelValue("空调"), "空调");
}

TEST(Metrics, UnitsAreNumberedAsTheTabs) {
    EXPECT_EQ(UnitLabel(0), "1");
    EXPECT_EQ(UnitLabel(1), "2");
    TMetricsData d;
    TAnalogValues a;
    a.Unit = 5;  // never from the parser; kept out all the same
    a.Count = 12;
    a.Values[0] = 1;
    d.Apply(a);
    EXPECT_TRUE(exposition::Parse(FormatMetrics(d)).Find("aircon_analog").empty());
}

}  // namespace
}  // namespace airconpoll
