// Decoded replies: the parsers of every reply kind over exactly the INFO bytes that
// arrived, the dispatch by CID2, the field tables and the words of the codes.
#include "Model.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace aircon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An exact-size heap copy of the INFO, so that a read beyond it shows under ASan.
class TInfo {
  public:
    explicit TInfo(const Bytes& b)
        : FData(std::make_unique<std::uint8_t[]>(b.size())), FSize(b.size()) {
        std::copy(b.begin(), b.end(), FData.get());
    }
    std::span<const std::uint8_t> Span() const { return {FData.get(), FSize}; }

  private:
    std::unique_ptr<std::uint8_t[]> FData;
    std::size_t FSize;
};

template <class F>
auto Parse(F f, const Bytes& b) {
    TInfo info(b);
    return f(info.Span());
}

// A monitor reply INFO of Size bytes: DATAFLAG, then bytes 1, 2, 3, ... (mod 256)
// except where Patch says otherwise.
Bytes Info(std::size_t Size, std::uint8_t DataFlag = 0x00,
           std::initializer_list<std::pair<std::size_t, std::uint8_t>> Patch = {}) {
    Bytes b(Size);
    for (std::size_t i = 0; i < Size; ++i)
        b[i] = static_cast<std::uint8_t>(i);
    if (Size > 0) b[0] = DataFlag;
    for (auto [at, v] : Patch)
        b.at(at) = v;
    return b;
}

std::int32_t Word(std::size_t Offset) {  // the word at Offset of Info()
    return static_cast<std::int32_t>(Offset << 8 | (Offset + 1));
}

// ---------------------------------------------------------------------------
// 0x42

TEST(ParseAnalog, HowManyFieldsByInfoLength) {
    const struct {
        std::size_t size;
        bool parsed;
        std::size_t count;
    } cases[] = {
        {0, false, 0},  {25, false, 0},  {26, true, 12}, {27, true, 12},  // a lone byte is no word
        {28, true, 13}, {29, true, 13},  {36, true, 17}, {38, true, 18},
        {40, true, 18}, {503, true, 18},  // words past the sixth trailing one are ignored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto v = Parse(ParseAnalog, Info(c.size));
        ASSERT_EQ(v.has_value(), c.parsed);
        if (!v) continue;
        EXPECT_EQ(v->Count, c.count);
        EXPECT_EQ(v->UserDefinedCount, 25);
        for (std::size_t i = 0; i < AnalogFieldCount; ++i) {
            if (i >= c.count) {
                EXPECT_FALSE(v->Values[i].has_value()) << i;
                continue;
            }
            const std::size_t offset = i < 12 ? 1 + 2 * i : 26 + 2 * (i - 12);
            EXPECT_EQ(v->Values[i], Word(offset)) << i;  // all positive here
        }
    }
}

TEST(ParseAnalog, ReadingsSignedOrUnsignedByFieldAndTheSentinel) {
    // Field 0 (voltage AB) is unsigned at offset 1; field 6 (supply-air temperature)
    // is signed at offset 13; field 12 (outdoor temperature) is signed at offset 26.
    const struct {
        std::uint8_t hi, lo;
        TReading unsignedField, signedField;
    } cases[] = {
        {0x20, 0x20, std::nullopt, std::nullopt},  // not detected, whatever the signedness
        {0x20, 0x21, 8225, 8225},
        {0x01, 0x2C, 300, 300},
        {0xFF, 0xFF, 65535, -1},
        {0x80, 0x00, 32768, -32768},
        {0x00, 0x00, 0, 0},
        {0xFF, 0xF6, 65526, -10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << +c.hi << " " << +c.lo);
        const auto v = Parse(
            ParseAnalog,
            Info(28, 0, {{1, c.hi}, {2, c.lo}, {13, c.hi}, {14, c.lo}, {26, c.hi}, {27, c.lo}}));
        ASSERT_TRUE(v);
        EXPECT_EQ(v->Values[0], c.unsignedField);
        EXPECT_EQ(v->Values[6], c.signedField);
        EXPECT_EQ(v->Values[12], c.signedField);
    }
}

TEST(MonitorReplies, UnitIndexFromDataFlag) {
    const struct {
        std::uint8_t flag;
        std::optional<int> unit;
    } cases[] = {{0x00, 0},
                 {0x01, 0},
                 {0x02, 1},
                 {0x12, 1},
                 {0xF3, 1},
                 {0x04, std::nullopt},
                 {0x0E, std::nullopt},
                 {0x05, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(+c.flag);
        const auto a = Parse(ParseAnalog, Info(26, c.flag));
        const auto s = Parse(ParseSwitches, Info(3, c.flag));
        const auto l = Parse(ParseAlarms, Info(13, c.flag));
        ASSERT_EQ(a.has_value(), c.unit.has_value());
        ASSERT_EQ(s.has_value(), c.unit.has_value());
        ASSERT_EQ(l.has_value(), c.unit.has_value());
        if (!c.unit) continue;
        EXPECT_EQ(a->Unit, *c.unit);
        EXPECT_EQ(s->Unit, *c.unit);
        EXPECT_EQ(l->Unit, *c.unit);
        EXPECT_EQ(a->DataFlag, c.flag);
    }
}

TEST(MonitorReplies, CountBytesHaveNoSentinel) {
    EXPECT_EQ(Parse(ParseAnalog, Info(26, 0, {{25, 0x20}}))->UserDefinedCount, 32);
    EXPECT_EQ(Parse(ParseSwitches, Info(3, 0, {{2, 0x20}}))->UserDefinedCount, 32);
    EXPECT_EQ(Parse(ParseAlarms, Info(13, 0, {{12, 0x20}}))->UserDefinedCount, 32);
    EXPECT_EQ(Parse(ParseUserParams, Info(15, 0, {{14, 0x20}}))->UserDefinedCount, 32);
    // The count does not bound the fields: 6 announced, 2 trailing words carried.
    EXPECT_EQ(Parse(ParseAnalog, Info(30, 0, {{25, 6}}))->Count, 14u);
}

// ---------------------------------------------------------------------------
// 0x43

TEST(ParseSwitches, ItemsByInfoLength) {
    const struct {
        std::size_t size;
        bool parsed;
        std::size_t count;
    } cases[] = {{2, false, 0}, {3, true, 0},  {4, true, 1},
                 {11, true, 8}, {12, true, 9}, {14, true, 9}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto s = Parse(ParseSwitches, Info(c.size, 0x00, {{1, 0x00}}));
        ASSERT_EQ(s.has_value(), c.parsed);
        if (!s) continue;
        EXPECT_EQ(s->Count, c.count);
        EXPECT_EQ(s->Power, 0);
        for (std::size_t i = 0; i < SwitchItemCount; ++i) {
            if (i < c.count) {
                EXPECT_EQ(s->Items[i], static_cast<std::uint8_t>(3 + i));
            } else {
                EXPECT_FALSE(s->Items[i].has_value());
            }
        }
    }
}

TEST(ParseSwitches, WordsAndColoursOfTheStates) {
    // Power state: its own rule.
    EXPECT_EQ(UnitPowerWord(Parse(ParseSwitches, Info(3, 0, {{1, 0x00}}))->Power), "开机");
    EXPECT_EQ(UnitPowerWord(Parse(ParseSwitches, Info(3, 0, {{1, 0x05}}))->Power), "关机");
    EXPECT_EQ(UnitPowerWord(Parse(ParseSwitches, Info(3, 0, {{1, 0x20}}))->Power), "未注册");

    const struct {
        std::size_t item;
        std::uint8_t code;
        std::string_view word;
        TValueColour colour;
    } cases[] = {
        {0, 0x20, "未检测", TValueColour::NotDetected},
        {0, 0x05, "", TValueColour::Ordinary},  // run mode 5 has no monitor word
        {0, 0x04, "制热", TValueColour::Ordinary},
        {1, 0x00, "停", TValueColour::Ordinary},    // indoor fan
        {2, 0x00, "停止", TValueColour::Ordinary},  // four-way valve
        {3, 0x01, "运转", TValueColour::Ordinary},
        {4, 0x03, "高风", TValueColour::Ordinary},
        {5, 0x02, "", TValueColour::Ordinary},
        {6, 0x01, "开启", TValueColour::Ordinary},
        {7, 0x00, "关闭", TValueColour::Ordinary},
        {8, 0x20, "未检测", TValueColour::NotDetected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.item << " " << +c.code);
        const auto s = Parse(ParseSwitches, Info(12, 0, {{3 + c.item, c.code}}));
        ASSERT_TRUE(s);
        EXPECT_EQ(SwitchItemWord(c.item, s->Items[c.item]), c.word);
        EXPECT_EQ(StateColour(s->Items[c.item]), c.colour);
    }
}

// ---------------------------------------------------------------------------
// 0x44

TEST(ParseAlarms, FieldsByInfoLength) {
    const struct {
        std::size_t size;
        bool parsed;
        std::size_t count;
    } cases[] = {{12, false, 0}, {13, true, 11}, {14, true, 12},
                 {37, true, 35}, {38, true, 36}, {40, true, 36}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto a = Parse(ParseAlarms, Info(c.size));
        ASSERT_EQ(a.has_value(), c.parsed);
        if (!a) continue;
        EXPECT_EQ(a->Count, c.count);
        EXPECT_EQ(a->UserDefinedCount, 12);
        for (std::size_t i = 0; i < AlarmFieldCount; ++i) {
            const std::size_t offset = i < 11 ? 1 + i : 13 + (i - 11);
            if (i < c.count && offset != 0x20) {
                EXPECT_EQ(a->Codes[i], static_cast<std::uint8_t>(offset)) << i;
            } else {
                EXPECT_FALSE(a->Codes[i].has_value()) << i;  // absent, or 0x20 at offset 32
            }
        }
    }
}

TEST(ParseAlarms, CodeWordsAndColours) {
    const struct {
        std::uint8_t code;
        std::string_view text;
        TValueColour colour;
    } cases[] = {
        {0x00, "正常", TValueColour::Normal},
        {0x01, "低于下限", TValueColour::BelowLowerLimit},
        {0x02, "高于上限", TValueColour::AboveUpperLimit},
        {0x20, "未检测", TValueColour::NotDetected},
        {0xF0, "故障", TValueColour::Fault},
        {0x03, "", TValueColour::Unchanged},
        {0x21, "", TValueColour::Unchanged},
        {0xFF, "", TValueColour::Unchanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(+c.code);
        const auto a = Parse(ParseAlarms, Info(13, 0, {{1, c.code}}));
        ASSERT_TRUE(a);
        EXPECT_EQ(AlarmText(a->Codes[0]), c.text);
        EXPECT_EQ(AlarmColour(a->Codes[0]), c.colour);
        EXPECT_EQ(AlarmCodeText(c.code), c.text);
    }
}

// ---------------------------------------------------------------------------
// 0x47

TEST(ParseUserParams, ItemsByInfoLength) {
    const struct {
        std::size_t size;
        bool parsed;
        std::size_t items;
    } cases[] = {{14, false, 0}, {15, true, 0}, {16, true, 0},  // a lone byte is no item
                 {17, true, 1},  {32, true, 8}, {33, true, 9}, {35, true, 9}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        Bytes b(c.size);
        for (std::size_t i = 0; i < c.size; ++i)
            b[i] = static_cast<std::uint8_t>(i + 1);
        const auto p = Parse(ParseUserParams, b);
        ASSERT_EQ(p.has_value(), c.parsed);
        if (!p) continue;
        EXPECT_EQ(p->ItemCount, c.items);
        EXPECT_EQ(p->UserDefinedCount, 15);
        for (std::size_t i = 0; i < ParamReadingCount; ++i)
            EXPECT_EQ(p->Readings[i], static_cast<std::int32_t>((2 * i + 1) << 8 | (2 * i + 2)));
        for (std::size_t i = 0; i < ParamItemCount; ++i) {
            const std::size_t at = 15 + 2 * i;
            EXPECT_EQ(p->Items[i], i < c.items ? (at + 1) << 8 | (at + 2) : 0u) << i;
        }
    }
}

TEST(ParseUserParams, ReadingsAndItemTexts) {
    Bytes b(33, 0);
    b[0] = b[1] = 0x20;  // on temperature not detected
    b[6] = 0xFF;         // lower return-air limit -10, signed
    b[7] = 0xF6;
    b[4] = 0xFF;  // upper limit 0xFFF6, unsigned
    b[5] = 0xF6;
    const auto p = Parse(ParseUserParams, b);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Readings[0], std::nullopt);
    EXPECT_EQ(ReadingText(p->Readings[0]), "未检测");
    EXPECT_EQ(ReadingColour(p->Readings[0]), TValueColour::NotDetected);
    EXPECT_EQ(p->Readings[3], -10);
    EXPECT_EQ(ReadingText(p->Readings[3]), "-10");
    EXPECT_EQ(p->Readings[2], 65526);

    const struct {
        std::size_t item;
        std::uint16_t code;
        std::string text;
    } cases[] = {
        {0, 0x0001, "制冷"},  {0, 0x0006, "空调"},   {0, 0x0007, ""},       {0, 0x0101, ""},
        {1, 0x0000, "停止"},  {1, 0x0007, "未检测"}, {2, 0x0001, "运转"},   {2, 0x0002, "未检测"},
        {3, 0x0001, "屏蔽"},  {3, 0x0000, "允许"},   {3, 0x2020, "未检测"}, {4, 0x2020, "8224"},
        {8, 0xFFFF, "65535"}, {5, 0, "0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParamItemText(c.item, c.code), c.text) << c.item << " " << c.code;
}

// ---------------------------------------------------------------------------
// 0x4F, 0x50, 0x51 and the dispatch

TEST(DecodeReply, IdentityFromTheReplyHeader) {
    const struct {
        std::uint8_t ver;
        std::string text;
    } versions[] = {{0x10, "1.0"}, {0x21, "2.1"}, {0x0A, "0.10"}, {0xAB, "10.11"}, {0x00, "0.0"}};
    for (const auto& v : versions) {
        const auto d = DecodeReply(CID2::Version, TDH_Header{v.ver, 1, 0x60, 0x4F}, Bytes{1, 2});
        ASSERT_TRUE(d);
        EXPECT_EQ(std::get<TProtocolVersion>(*d).Ver, v.ver);
        EXPECT_EQ(ProtocolVersionText(v.ver), v.text);
    }
    const auto a = DecodeReply(CID2::Address, TDH_Header{0x10, 0x0C, 0x60, 0x50}, {});
    ASSERT_TRUE(a);
    EXPECT_EQ(std::get<TDeviceAddress>(*a).Addr, 12);
}

TEST(ParseVendorInfo, FieldsWithTheBytesThatArrived) {
    Bytes full(75, ' ');
    full[0] = 'A';
    full[1] = 'B';
    full[2] = 'C';
    full[30] = 'V';
    full[31] = 0x00;  // zero bytes stay
    full[50] = 0xB0;
    full[70] = 'X';  // past the 70th byte: ignored
    const struct {
        std::size_t size;
        std::array<std::optional<std::size_t>, 3> lengths;
    } cases[] = {
        {0, {}},
        {1, {1, std::nullopt, std::nullopt}},
        {30, {30, std::nullopt, std::nullopt}},
        {31, {30, 1, std::nullopt}},
        {50, {30, 20, std::nullopt}},
        {69, {30, 20, 19}},
        {70, {30, 20, 20}},
        {75, {30, 20, 20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto v = Parse(ParseVendorInfo, Bytes(full.begin(), full.begin() + c.size));
        ASSERT_TRUE(v);
        for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(v->Fields[i].has_value(), c.lengths[i].has_value()) << i;
            if (v->Fields[i]) {
                EXPECT_EQ(v->Fields[i]->size(), *c.lengths[i]) << i;
            }
        }
    }
    const auto v = Parse(ParseVendorInfo, full);
    EXPECT_EQ(*v->Fields[0], "ABC" + std::string(27, ' '));
    EXPECT_EQ(v->Fields[1]->substr(0, 3), std::string("V\0 ", 3));
    EXPECT_EQ(Latin1ToUtf8(v->Fields[2]->substr(0, 2)), "\xC2\xB0 ");
    EXPECT_EQ(Latin1ToUtf8(std::string("A\0\xFF", 3)), std::string("A\0\xC3\xBF", 4));
}

TEST(DecodeReply, DispatchByTheLastCommandSent) {
    const std::set<int> decoders{0x42, 0x43, 0x44, 0x47, 0x4F, 0x50, 0x51};
    const Bytes info = Info(38);
    for (int cid2 = 0; cid2 < 256; ++cid2) {
        SCOPED_TRACE(cid2);
        const auto c = static_cast<std::uint8_t>(cid2);
        EXPECT_EQ(HasDecoder(c), decoders.count(cid2) == 1);
        const auto d = DecodeReply(c, TDH_Header{0x10, 1, 0x60, c}, info);
        EXPECT_EQ(d.has_value(), decoders.count(cid2) == 1);
    }
    const TDH_Header h{0x10, 1, 0x60, 0};
    EXPECT_TRUE(std::holds_alternative<TAnalogValues>(*DecodeReply(0x42, h, info)));
    EXPECT_TRUE(std::holds_alternative<TSwitchStates>(*DecodeReply(0x43, h, info)));
    EXPECT_TRUE(std::holds_alternative<TAlarmStates>(*DecodeReply(0x44, h, info)));
    EXPECT_TRUE(std::holds_alternative<TUserParams>(*DecodeReply(0x47, h, info)));
    EXPECT_TRUE(std::holds_alternative<TVendorInfo>(*DecodeReply(0x51, h, info)));
    // A decoder that cannot read the INFO gives nothing.
    EXPECT_FALSE(DecodeReply(0x42, h, Info(25)).has_value());
    EXPECT_FALSE(DecodeReply(0x44, h, Info(20, 0x04)).has_value());
    EXPECT_FALSE(DecodeReply(0x47, h, Info(14)).has_value());
    // Version and address read no INFO at all.
    EXPECT_TRUE(DecodeReply(0x4F, h, {}).has_value());
    EXPECT_TRUE(DecodeReply(0x50, h, {}).has_value());
}

// ---------------------------------------------------------------------------
// Field tables

TEST(FieldTables, KeysCaptionsAndHiddenFields) {
    const std::regex snake("[a-z][a-z0-9]*(_[a-z0-9]+)*");
    auto check = [&](std::span<const TFieldInfo> fields, const char* table) {
        SCOPED_TRACE(table);
        std::set<std::string_view> keys, captions;
        std::vector<std::string_view> hidden;
        for (const TFieldInfo& f : fields) {
            EXPECT_TRUE(std::regex_match(std::string(f.Key), snake)) << f.Key;
            EXPECT_TRUE(keys.insert(f.Key).second) << "duplicate key " << f.Key;
            EXPECT_FALSE(f.Caption.empty());
            EXPECT_EQ(f.Caption.find("："), std::string_view::npos) << f.Caption;
            if (f.Hidden) hidden.push_back(f.Key);
        }
        return hidden;
    };
    EXPECT_TRUE(check(AnalogFields, "analog").empty());
    EXPECT_EQ(check(SwitchFields, "switches"),
              (std::vector<std::string_view>{"exhaust_fan", "water_pump"}));
    EXPECT_EQ(check(AlarmFields, "alarms"),
              (std::vector<std::string_view>{"outdoor_coil_inlet_temp_sensor", "water_level",
                                             "water_pump"}));
    EXPECT_TRUE(check(ParamFields, "parameters").empty());
    EXPECT_TRUE(check(VendorFields, "vendor").empty());

    // Captions as the panels show them, spot checks at both ends of each table.
    EXPECT_EQ(AnalogFields[0].Caption, "主机工作线/相电压AB/A");
    EXPECT_EQ(AnalogFields[6].Caption, "送风温度");
    EXPECT_EQ(AnalogFields[17].Caption, "机组运行时间");
    EXPECT_EQ(SwitchPowerField.Key, "power");
    EXPECT_EQ(SwitchPowerField.Caption, "空调状态");
    EXPECT_EQ(SwitchFields[2].Caption, "四通阀");
    EXPECT_EQ(AlarmFields[10].Caption, "内风机过载");
    EXPECT_EQ(AlarmFields[11].Caption, "高压压力保护");
    EXPECT_EQ(AlarmFields[35].Caption, "水泵故障");
    EXPECT_EQ(ParamFields[7].Caption, "运行模式设定");
    EXPECT_EQ(ParamFields[15].Caption, "制热温控精度");
    EXPECT_EQ(VendorFields[0].Caption, "采集器名称");
    // Signed readings: the temperatures of 0x42 and the lower return-air limit of 0x47.
    std::vector<std::size_t> signedAnalog;
    for (std::size_t i = 0; i < AnalogFields.size(); ++i)
        if (AnalogFields[i].Signed) signedAnalog.push_back(i);
    EXPECT_EQ(signedAnalog, (std::vector<std::size_t>{6, 7, 12, 13, 15}));
    for (std::size_t i = 0; i < ParamFields.size(); ++i)
        EXPECT_EQ(ParamFields[i].Signed, i == 3) << i;
}

}  // namespace
}  // namespace aircon
