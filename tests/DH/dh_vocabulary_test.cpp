// Names of device types, commands, the DATAFLAG byte and the standard channels.
#include "DH.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

std::string Fallback(int index) {
    return "通道" + std::to_string(index) + ":";
}

TEST(DHVocabulary, DeviceTypeOfEveryCode) {
    const std::map<int, std::string> listed{
        {0x20, "进线柜(高压配电设备)"},
        {0x21, "出线柜(高压配电设备)"},
        {0x22, "母联柜(高压配电设备)"},
        {0x23, "直流操作电源柜(高压配电设备)"},
        {0x24, "进线柜(低压配电设备)"},
        {0x25, "配电柜(低压配电设备)"},
        {0x26, "稳压器(低压配电设备)"},
        {0x27, "预留"},
        {0x28, "柴油发电机组"},
        {0x29, "燃气发电机组"},
        {0x2A, "不间断电源(UPS)"},
        {0x2B, "逆变器"},
        {0x40, "开关电源系统(交流配电)"},
        {0x41, "开关电源系统(整流器)"},
        {0x42, "开关电源系统(直流配电)"},
        {0x43, "太阳能供电设备"},
        {0x44, "直流-直流变换器"},
        {0x45, "风力发电设备"},
        {0x46, "蓄电池监测装置"},
        {0x60, "分散空调"},
        {0x61, "集中空调设备(冷冻系统)"},
        {0x62, "集中空调设备(空调系统)"},
        {0x63, "集中空调设备(配电系统)"},
        {0x80, "环境"},
        {0x90, "通用采集器"},
    };
    for (int cid1 = 0; cid1 < 256; ++cid1) {
        const auto it = listed.find(cid1);
        const std::string expected = it != listed.end() ? it->second
                                     : cid1 >= 0xD0     ? "自定义设备"
                                                        : "预留";
        EXPECT_EQ(TDH::CID1ToString(static_cast<std::uint8_t>(cid1)), expected) << cid1;
    }
    // Spot checks at the borders of the ranges.
    for (int reserved : {0x2C, 0x47, 0x64, 0x81, 0xCF})
        EXPECT_EQ(TDH::CID1ToString(static_cast<std::uint8_t>(reserved)), "预留");
    EXPECT_EQ(TDH::CID1ToString(0xD0), "自定义设备");
    EXPECT_EQ(TDH::CID1ToString(0xFF), "自定义设备");
}

TEST(DHVocabulary, CommandOfEveryCode) {
    const std::map<int, std::string> listed{
        {0x41, "获取模拟量量化后的数据(浮点数)"},
        {0x42, "获取模拟量量化后的数据(定点数)"},
        {0x43, "获取开关输入状态"},
        {0x44, "获取告警状态"},
        {0x45, "遥控"},
        {0x46, "获取系统参数(浮点数)"},
        {0x47, "获取系统参数(定点数)"},
        {0x48, "设定系统参数(浮点数)"},
        {0x49, "设定系统参数(定点数)"},
        {0x4A, "获取系统历史数据(浮点数)"},
        {0x4B, "获取系统历史数据(定点数)"},
        {0x4C, "获取历史告警"},
        {0x4D, "获取检测模块时间"},
        {0x4E, "设定检测模块时间"},
        {0x4F, "获取通信协议版本号"},
        {0x50, "获取设备地址"},
        {0x51, "获取设备厂商信息"},
    };
    for (int cid2 = 0; cid2 < 256; ++cid2) {
        const auto it = listed.find(cid2);
        const std::string expected = it != listed.end()               ? it->second
                                     : (cid2 >= 0x80 && cid2 <= 0xEF) ? "用户自定义"
                                                                      : "无效的CID2";
        EXPECT_EQ(TDH::CID2ToString(static_cast<std::uint8_t>(cid2)), expected) << cid2;
    }
}

TEST(DHVocabulary, DataFlagNamesAlarmSwitchAndSubUnit) {
    struct {
        std::uint8_t flag;
        std::string text;
    } const cases[] = {
        {0x00, "\t告警：0\t开关：1\t子机号：1"},
        {0x13, "\t告警：1\t开关：0\t子机号：2"},
        {0x0E, "\t告警：0\t开关：1\t子机号：8"},
        {0xE0, "\t告警：0\t开关：1\t子机号：1"},  // bits 5..7 play no part
        {0xFF, "\t告警：1\t开关：0\t子机号：8"},
        {0x04, "\t告警：0\t开关：1\t子机号：3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TDH::DataFlagToString(c.flag), c.text) << +c.flag;
    // The colons are full width (U+FF1A, EF BC 9A in UTF-8).
    EXPECT_NE(TDH::DataFlagToString(0).find("\xE5\x91\x8A\xE8\xAD\xA6\xEF\xBC\x9A"),
              std::string::npos);
}

TEST(DHVocabulary, StandardChannelNamesOfTheSplitAirConditioner) {
    using Fn = std::string (*)(std::uint8_t, std::int32_t);
    struct {
        const char* what;
        Fn fn;
        std::vector<std::string> names;
    } const tables[] = {
        {"analog",
         &TDH::GetStandAiString,
         {"主机工作线/相电压AB/A", "主机工作线/相电压BC/B", "主机工作线/相电压CA/C",
          "主机工作电流A相", "主机工作电流B相", "主机工作电流C相", "送风温度", "回风温度",
          "送风湿度", "回风湿度", "压缩机吸气压力", "压缩机排气压力"}},
        {"alarm",
         &TDH::GetStandAlarmString,
         {"主机工作线/相电压AB/A", "主机工作线/相电压BC/B", "主机工作线/相电压CA/C",
          "主机工作电流A相", "主机工作电流B相", "主机工作电流C相", "回风温度", "回风湿度", "过滤器",
          "压缩机", "风机"}},
        {"parameter",
         &TDH::GetStandParamString,
         {"空调开机温度", "空调关机温度", "回风温度上限", "回风温度下限", "回风湿度上限",
          "回风湿度下限", "温度设定值"}},
        {"switch", &TDH::GetStandDiString, {"空调状态"}},
    };
    for (const auto& t : tables) {
        SCOPED_TRACE(t.what);
        const int count = static_cast<int>(t.names.size());
        for (int i = 1; i <= count; ++i) {
            EXPECT_EQ(t.fn(0x60, i), t.names[i - 1]) << i;
            EXPECT_EQ(t.fn(0x61, i), Fallback(i)) << i;  // other devices: channel numbers
            EXPECT_EQ(t.fn(0x00, i), Fallback(i)) << i;
        }
        for (int i : {0, -1, count + 1, 100, INT32_MIN, INT32_MAX})
            EXPECT_EQ(t.fn(0x60, i), Fallback(i)) << i;
    }
    EXPECT_EQ(TDH::GetStandAiString(0x60, 13), "通道13:");
    EXPECT_EQ(TDH::GetStandParamString(0x60, -1), "通道-1:");
}

}  // namespace
