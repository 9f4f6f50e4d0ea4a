// JSON lines: one object per decoded reply, fields by name in reply order, not-detected
// readings as null, fields a short reply did not carry left out, controller texts as
// exact UTF-8 strings with control characters escaped.
#include "JsonLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Controller.h"

namespace airconpoll {
namespace {

using namespace aircon;
using Bytes = std::vector<std::uint8_t>;

TDecodedReply Reply(std::uint8_t CID2, TReplyData Data, std::uint8_t Addr = 1) {
    TDecodedReply r;
    r.At.Wall = WallTime(std::chrono::milliseconds(1704067200000LL + 45));  // 2024-01-01
    r.Header = TDH_Header{0x10, Addr, 0x60, CID2};
    r.CID2 = CID2;
    r.Data = std::move(Data);
    return r;
}

TEST(JsonLines, TableOfReplies) {
    Bytes analog(26, 0);
    analog[0] = 0x02;                      // unit 2
    analog[1] = 0x00, analog[2] = 220;     // voltage_ab 220
    analog[13] = 0xFF, analog[14] = 0xF6;  // supply_air_temp -10
    analog[15] = 0x20, analog[16] = 0x20;  // return_air_temp not detected
    analog[25] = 6;
    Bytes analogLong = analog;
    analogLong.insert(analogLong.end(), {0x00, 0x11, 0x20, 0x20});  // outdoor 17, discharge n/d
    Bytes params(17, 0);
    params[12] = 0, params[13] = 25;  // set point
    params[14] = 9;
    params[15] = 0x00, params[16] = 0x01;  // run mode 1
    params[0] = 0x20, params[1] = 0x20;    // on_temp not detected

    const std::string time = R"({"time":"2024-01-01T00:00:00.045Z","addr":1,)";
    const struct {
        TDecodedReply reply;
        std::string json;
    } cases[] = {
        {Reply(0x42, *ParseAnalog(analog)),
         time + R"("cid2":"0x42","reply":"analog","unit":2,"data_flag":2,"voltage_ab":220,)"
                R"("voltage_bc":0,"voltage_ca":0,"current_a":0,"current_b":0,"current_c":0,)"
                R"("supply_air_temp":-10,"return_air_temp":null,"supply_air_humidity":0,)"
                R"("return_air_humidity":0,"compressor_suction_pressure":0,)"
                R"("compressor_discharge_pressure":0,"user_defined_count":6})"},
        {Reply(0x42, *ParseAnalog(analogLong)),
         time + R"("cid2":"0x42","reply":"analog","unit":2,"data_flag":2,"voltage_ab":220,)"
                R"("voltage_bc":0,"voltage_ca":0,"current_a":0,"current_b":0,"current_c":0,)"
                R"("supply_air_temp":-10,"return_air_temp":null,"supply_air_humidity":0,)"
                R"("return_air_humidity":0,"compressor_suction_pressure":0,)"
                R"("compressor_discharge_pressure":0,"user_defined_count":6,"outdoor_temp":17,)"
                R"("discharge_temp":null})"},
        {Reply(0x43, *ParseSwitches(Bytes{0x01, 0x20, 0x02, 0x04, 0x20})),
         time + R"("cid2":"0x43","reply":"switches","unit":1,"data_flag":1,"power":null,)"
                R"("user_defined_count":2,"run_mode":4,"indoor_fan":null})"},
        {Reply(0x44, *ParseAlarms(
                         Bytes{0x00, 0x00, 0x01, 0x02, 0xF0, 0x20, 0x03, 0, 0, 0, 0, 0, 25, 0xF0})),
         time + R"("cid2":"0x44","reply":"alarms","unit":1,"data_flag":0,"voltage_ab":0,)"
                R"("voltage_bc":1,"voltage_ca":2,"current_a":240,"current_b":null,"current_c":3,)"
                R"("return_air_temp":0,"return_air_humidity":0,"filter":0,)"
                R"("compressor_overload":0,"indoor_fan_overload":0,"user_defined_count":25,)"
                R"("high_pressure":240})"},
        {Reply(0x47, *ParseUserParams(params)),
         time + R"("cid2":"0x47","reply":"parameters","on_temp":null,"off_temp":0,)"
                R"("return_air_temp_high":0,"return_air_temp_low":0,"return_air_humidity_high":0,)"
                R"("return_air_humidity_low":0,"temp_set_point":25,"user_defined_count":9,)"
                R"("run_mode":1})"},
        {Reply(0x4F, TProtocolVersion{0x21}),
         time + R"("cid2":"0x4F","reply":"protocol_version","version":"2.1","ver":33})"},
        {Reply(0x50, TDeviceAddress{200}, 200),
         R"({"time":"2024-01-01T00:00:00.045Z","addr":200,"cid2":"0x50",)"
         R"("reply":"device_address","address":200})"},
        {Reply(0x51, TVendorInfo{{std::string("AB  "),
                                  std::string("a\"b\\c\nd\x00\x7F\xFF\x80", 11), std::nullopt}}),
         time +
             R"("cid2":"0x51","reply":"vendor_info","device_name":"AB","device_name_raw":"AB  ",)"
             R"("software_version":"a\"b\\c\nd\u0000\u007F\u00FF\u0080",)"
             R"("software_version_raw":"a\"b\\c\nd\u0000\u007F\u00FF\u0080"})"},
        // Padding is trailing blanks and zero bytes; inner ones stay.
        {Reply(0x51,
               TVendorInfo{{std::string("A B\0 \0", 6), std::string(" ", 1), std::string("X")}}),
         time + R"("cid2":"0x51","reply":"vendor_info","device_name":"A B",)"
                R"("device_name_raw":"A B\u0000 \u0000","software_version":"",)"
                R"("software_version_raw":" ","vendor_name":"X","vendor_name_raw":"X"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const std::string line = JsonLine(c.reply);
        // 0xFF is the letter ÿ (U+00FF): written as UTF-8, not escaped.
        std::string want = c.json;
        for (auto at = want.find("\\u00FF"); at != std::string::npos; at = want.find("\\u00FF"))
            want.replace(at, 6, "\xC3\xBF");
        EXPECT_EQ(line, want);
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}

TEST(JsonLines, EveryFieldOfTheSimulatorsRepliesByName) {
    acsim::ControllerConfig cfg;
    acsim::Controller plant(cfg);
    plant.Advance(30);
    const std::string analog = JsonLine(Reply(0x42, *ParseAnalog(plant.AnalogInfo(1))));
    for (const auto& f : AnalogFields)
        EXPECT_NE(analog.find("\"" + std::string(f.Key) + "\":"), std::string::npos) << f.Key;
    // The simulator's second unit has no supply-air humidity sensor.
    EXPECT_NE(analog.find(R"("supply_air_humidity":null)"), std::string::npos) << analog;
    const std::string alarms = JsonLine(Reply(0x44, *ParseAlarms(plant.AlarmInfo(0))));
    for (const auto& f : AlarmFields)
        EXPECT_NE(alarms.find("\"" + std::string(f.Key) + "\":"), std::string::npos) << f.Key;
    const std::string vendor = JsonLine(Reply(0x51, *ParseVendorInfo(plant.VendorInfo())));
    EXPECT_NE(vendor.find(R"("device_name":"ACSIM-2 split AC controller",)"), std::string::npos)
        << vendor;
    EXPECT_NE(vendor.find(R"("vendor_name":"Simulated Climate",)"), std::string::npos) << vendor;
    EXPECT_NE(vendor.find(R"("vendor_name_raw":"Simulated Climate   ")"), std::string::npos)
        << vendor;
}

TEST(JsonLines, IsoTime) {
    using namespace std::chrono;
    EXPECT_EQ(IsoTime(WallTime(milliseconds(0))), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(IsoTime(WallTime(sys_days(year(2026) / December / 31)) + hours(23) + minutes(59) +
                      seconds(59) + milliseconds(999)),
              "2026-12-31T23:59:59.999Z");
}

}  // namespace
}  // namespace airconpoll
