// The recording file layout: the header, one row per decoded reply of every kind with
// its cells where they belong, controller texts that a spreadsheet must not run, and the
// reader: back to the same decoded replies, damaged rows skipped and counted, a cut-off
// last line dropped, foreign files refused, long lines without growing memory.
#include "RecordingCsv.h"
#include "RecordingTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

namespace aircon {
namespace {

using namespace recordingtest;

// Full replies with recognisable values.
TAnalogValues Analog(int Unit) {
    TAnalogValues v;
    v.Unit = Unit;
    v.DataFlag = static_cast<std::uint8_t>(Unit << 1);
    for (std::size_t i = 0; i < AnalogFieldCount; ++i)
        v.Values[i] = static_cast<std::int32_t>(100 + i);
    v.Count = AnalogFieldCount;
    v.UserDefinedCount = 6;
    return v;
}

// ---------------------------------------------------------------------------
// Writing

TEST(RecordingCsv, HeaderNamesEveryFieldOnceAndStartsWithTheRowColumns) {
    const auto& names = RecordingColumns();
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[0], "时间");
    EXPECT_EQ(names[1], "类型");
    EXPECT_EQ(names[2], "空调");
    EXPECT_EQ(names[3], "字段数");
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size()) << "column names must be unique";
    // 18 readings + count; power and 9 items, word and code each, + count; 36 alarms,
    // word and code each, + count; 7 readings, 4 coded items, 5 numbers, count; version,
    // address, 3 vendor texts.
    EXPECT_EQ(names.size(), 4u + 19 + 21 + 73 + 21 + 1 + 1 + 3);
    for (const char* n : {"模拟量·送风温度", "告警状态·回风温度", "告警状态·回风温度·代码",
                          "开关量·压缩机启停", "开关量·压缩机启停·代码", "用户参数·运行模式设定",
                          "用户参数·制热温控精度", "协议版本号", "设备地址", "厂商信息·厂商名称"})
        EXPECT_TRUE(unique.count(n)) << n;
    const std::string header = RecordingHeader();
    EXPECT_TRUE(header.starts_with("时间,类型,空调,字段数,模拟量·主机工作线/相电压AB/A,"));
    EXPECT_TRUE(header.ends_with("厂商信息·厂商名称\r\n"));
}

TEST(RecordingCsv, OneRowPerReplyWithItsCellsWhereTheyBelong) {
    TAnalogValues shortAnalog = Analog(1);
    shortAnalog.Values[6] = -12;           // signed supply-air temperature
    shortAnalog.Values[7] = std::nullopt;  // return-air temperature not detected
    shortAnalog.Count = 13;                // one trailing word arrived
    for (std::size_t i = 13; i < AnalogFieldCount; ++i)
        shortAnalog.Values[i] = std::nullopt;

    TSwitchStates sw;
    sw.Unit = 0;
    sw.Power = 0;
    sw.UserDefinedCount = 9;
    sw.Items = {1, 3, std::nullopt, 1, 7, 0, 1, 0, 1};
    sw.Count = 9;

    TAlarmStates al;
    al.Unit = 1;
    al.Codes[0] = 0;
    al.Codes[1] = 1;
    al.Codes[2] = 2;
    al.Codes[3] = 0xF0;
    al.Codes[4] = std::nullopt;
    al.Codes[5] = 3;
    for (std::size_t i = 6; i < AlarmFixedCount; ++i)
        al.Codes[i] = 0;
    al.Count = AlarmFixedCount;
    al.UserDefinedCount = 0;

    TUserParams pa;
    pa.Readings = {32, 18, 35, std::nullopt, 80, -0, 25};
    pa.Readings[3] = -10;
    pa.Readings[5] = std::nullopt;
    pa.UserDefinedCount = 9;
    pa.Items = {7, 2, 1, 0, 8224, 30, 20, 1, 2};
    pa.ItemCount = 9;

    TVendorInfo ven;
    ven.Fields[0] = std::string("AC-Ctl", 6) + std::string(3, '\0');
    ven.Fields[1] = "V1.0";
    ven.Fields[2] = "Caf\xE9, \"Nord\"";

    const struct {
        const char* what;
        TRecordedRow row;
        TCells cells;
    } cases[] = {
        {"analog, short, signed, not detected",
         RowOf(At(), shortAnalog),
         {{"时间", "2026-12-10 14:03:07.123"},
          {"类型", "模拟量"},
          {"空调", "2"},
          {"字段数", "13"},
          {"模拟量·主机工作线/相电压AB/A", "100"},
          {"模拟量·主机工作线/相电压BC/B", "101"},
          {"模拟量·主机工作线/相电压CA/C", "102"},
          {"模拟量·主机工作电流A相", "103"},
          {"模拟量·主机工作电流B相", "104"},
          {"模拟量·主机工作电流C相", "105"},
          {"模拟量·送风温度", "-12"},
          {"模拟量·送风湿度", "108"},
          {"模拟量·回风湿度", "109"},
          {"模拟量·压缩机吸气压力", "110"},
          {"模拟量·压缩机排气压力", "111"},
          {"模拟量·室外环境温度", "112"},
          {"模拟量·用户自定义遥测数量", "6"}}},
        {"switch states: words and codes, code outside the table, not detected",
         RowOf(At(1), sw),
         {{"时间", "2026-12-10 14:03:07.124"},
          {"类型", "开关量"},
          {"空调", "1"},
          {"字段数", "10"},
          {"开关量·空调状态", "开机"},
          {"开关量·空调状态·代码", "0"},
          {"开关量·运行模式", "制冷"},
          {"开关量·运行模式·代码", "1"},
          {"开关量·内风机", "高风"},
          {"开关量·内风机·代码", "3"},
          {"开关量·四通阀", "未检测"},
          {"开关量·压缩机启停", "运转"},
          {"开关量·压缩机启停·代码", "1"},
          {"开关量·外风机·代码", "7"},
          {"开关量·摆风状态", "停止"},
          {"开关量·摆风状态·代码", "0"},
          {"开关量·电加热", "开启"},
          {"开关量·电加热·代码", "1"},
          {"开关量·排风机", "关闭"},
          {"开关量·排风机·代码", "0"},
          {"开关量·水泵状态", "开启"},
          {"开关量·水泵状态·代码", "1"},
          {"开关量·用户自定义状态数量", "9"}}},
        {"alarms with their text",
         RowOf(At(60000), al),
         {{"时间", "2026-12-10 14:04:07.123"},
          {"类型", "告警状态"},
          {"空调", "2"},
          {"字段数", "11"},
          {"告警状态·主机工作线/相电压AB/A", "正常"},
          {"告警状态·主机工作线/相电压AB/A·代码", "0"},
          {"告警状态·主机工作线/相电压BC/B", "低于下限"},
          {"告警状态·主机工作线/相电压BC/B·代码", "1"},
          {"告警状态·主机工作线/相电压CA/C", "高于上限"},
          {"告警状态·主机工作线/相电压CA/C·代码", "2"},
          {"告警状态·主机工作电流A相", "故障"},
          {"告警状态·主机工作电流A相·代码", "240"},
          {"告警状态·主机工作电流B相", "未检测"},
          {"告警状态·主机工作电流C相·代码", "3"},
          {"告警状态·回风温度", "正常"},
          {"告警状态·回风温度·代码", "0"},
          {"告警状态·回风湿度", "正常"},
          {"告警状态·回风湿度·代码", "0"},
          {"告警状态·过滤器", "正常"},
          {"告警状态·过滤器·代码", "0"},
          {"告警状态·压缩机过载", "正常"},
          {"告警状态·压缩机过载·代码", "0"},
          {"告警状态·内风机过载", "正常"},
          {"告警状态·内风机过载·代码", "0"},
          {"告警状态·用户自定义遥测数量", "0"}}},
        {"user parameters: readings, words, numbers without sentinel",
         RowOf(At(-3600000), pa),
         {{"时间", "2026-12-10 13:03:07.123"},
          {"类型", "用户参数"},
          {"字段数", "16"},
          {"用户参数·空调开机温度", "32"},
          {"用户参数·空调关机温度", "18"},
          {"用户参数·回风温度上限", "35"},
          {"用户参数·回风温度下限", "-10"},
          {"用户参数·回风湿度上限", "80"},
          {"用户参数·温度设定值", "25"},
          {"用户参数·运行模式设定", ""},
          {"用户参数·运行模式设定·代码", "7"},
          {"用户参数·内风机风速设定", "中风"},
          {"用户参数·内风机风速设定·代码", "2"},
          {"用户参数·摆风功能设定", "运转"},
          {"用户参数·摆风功能设定·代码", "1"},
          {"用户参数·屏蔽本地操作", "允许"},
          {"用户参数·屏蔽本地操作·代码", "0"},
          {"用户参数·双机备份切换时间", "8224"},
          {"用户参数·高温同开温度设定", "30"},
          {"用户参数·制热模式温度设定", "20"},
          {"用户参数·制冷温控精度", "1"},
          {"用户参数·制热温控精度", "2"},
          {"用户参数·用户自定义数量", "9"}}},
        {"protocol version",
         RowOf(At(), TProtocolVersion{0xAB}),
         {{"时间", "2026-12-10 14:03:07.123"},
          {"类型", "协议版本号"},
          {"字段数", "1"},
          {"协议版本号", "10.11"}}},
        {"address",
         RowOf(At(), TDeviceAddress{12}),
         {{"时间", "2026-12-10 14:03:07.123"},
          {"类型", "设备地址"},
          {"字段数", "1"},
          {"设备地址", "12"}}},
        {"vendor texts: zero bytes as pictures, Latin-1 as UTF-8, quoting",
         RowOf(At(), ven),
         {{"时间", "2026-12-10 14:03:07.123"},
          {"类型", "厂商信息"},
          {"字段数", "3"},
          {"厂商信息·采集器名称", "AC-Ctl\u2400\u2400\u2400"},
          {"厂商信息·厂商软件版本", "V1.0"},
          {"厂商信息·厂商名称", "Caf\u00E9, \"Nord\""}}},
        {"lost rows",
         LostRow(At(), 57),
         {{"时间", "2026-12-10 14:03:07.123"}, {"类型", "丢失行"}, {"字段数", "57"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectRow(RecordingRow(c.row), c.cells);
    }
    // A vendor text is always quoted, so that a spreadsheet keeps its blanks.
    EXPECT_NE(RecordingRow(RowOf(At(), ven)).find(",\"V1.0\","), std::string::npos);
}

TEST(RecordingCsv, ControllerTextsNeverRunAsFormulas) {
    const struct {
        std::string text;  // Latin-1 from the controller
        std::string cell;  // what the cell holds before CSV quoting
    } cases[] = {
        {"=HYPERLINK(\"http://x\")", "'=HYPERLINK(\"http://x\")"},
        {"+1+2", "'+1+2"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tcmd", "'\u2409cmd"},
        {"\rcmd", "'\u240Dcmd"},
        {"  =1+1", "'  =1+1"},    // blanks before the formula character
        {"'quoted", "''quoted"},  // an apostrophe of its own survives the reader
        {"A=1", "A=1"},           // not at the start: plain text
        {"Line\nBreak\x7F", "Line\u240ABreak\u2421"},
        {"", ""},
        {"   ", "   "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ControllerTextCell(c.text), c.cell);
        EXPECT_EQ(ControllerTextFromCell(c.cell), c.text);
    }
    // Characters no Latin-1 byte gives are not a controller text.
    EXPECT_EQ(ControllerTextFromCell("中"), std::nullopt);
    EXPECT_EQ(ControllerTextFromCell("a\rb"), std::nullopt);
    EXPECT_EQ(ControllerTextFromCell("\xC3"), std::nullopt);

    TVendorInfo v;
    v.Fields[0] = "=cmd|' /C calc'!A0";
    const std::string row = RecordingRow(RowOf(At(), v));
    EXPECT_NE(row.find(",\"'=cmd|' /C calc'!A0\""), std::string::npos) << row;
}

TEST(RecordingCsv, LocalTimeToTheMillisecondBothWays) {
    TLocalTimeText t;
    const struct {
        long long ms;
        const char* text;
    } cases[] = {
        {0, "2026-12-10 14:03:07.123"},
        {877, "2026-12-10 14:03:08.000"},
        {52876, "2026-12-10 14:03:59.999"},
        {52877, "2026-12-10 14:04:00.000"},
        {-1796882587123LL, "1970-01-01 08:00:00.000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(t.Format(At(c.ms)), c.text);
        EXPECT_EQ(t.Parse(c.text), At(c.ms)) << c.text;
    }
    for (const char* bad :
         {"2026-12-10 14:03:07", "2026-12-10T14:03:07.123", "2026-02-30 00:00:00.000",
          "2026-13-01 00:00:00.000", "2026-12-10 24:00:00.000", "２026-12-10 14:03:07.123",
          "2026-12-10 14:03:07.12x", "9999-12-31 23:59:59.999", "1969-12-31 23:59:59.999", ""})
        EXPECT_EQ(t.Parse(bad), std::nullopt) << bad;
}

// ---------------------------------------------------------------------------
// Reading

std::string File(const std::vector<TRecordedRow>& Rows, bool Bom = true) {
    std::string s = Bom ? std::string(Utf8Bom) : "";
    s += RecordingHeader();
    for (const auto& r : Rows)
        s += RecordingRow(r);
    return s;
}

std::vector<TRecordedRow> SampleRows() {
    TSwitchStates sw;
    sw.Unit = 1;
    sw.DataFlag = 2;
    sw.Power = std::nullopt;
    sw.Items[0] = 4;
    sw.Count = 1;
    TAlarmStates al;
    al.Codes.fill(0);
    al.Codes[10] = 0xF0;
    al.Codes[35] = std::nullopt;
    al.Count = AlarmFieldCount;
    TUserParams pa;
    pa.Readings[0] = 65535;
    pa.ItemCount = 2;
    pa.Items[0] = 0x0101;
    pa.Items[1] = 0;
    TVendorInfo ven;
    ven.Fields[0] = std::string("-1+2\0\x01\xFF", 7);
    ven.Fields[1] = "'";
    TAnalogValues an = Analog(0);
    an.Values[0] = std::nullopt;
    return {RowOf(At(), an),
            RowOf(At(1), sw),
            RowOf(At(2), al),
            RowOf(At(3), pa),
            RowOf(At(4), TProtocolVersion{0x10}),
            RowOf(At(5), TDeviceAddress{0}),
            RowOf(At(6), ven),
            RowOf(At(7), TVendorInfo{}),
            LostRow(At(8), 3)};
}

std::vector<TRecordedRow> ReadAll(TRecordingReader& R) {
    std::vector<TRecordedRow> rows;
    TRecordedRow row;
    while (R.Next(row))
        rows.push_back(row);
    return rows;
}

TEST(RecordingReader, ReadsBackEveryKindExactly) {
    const auto rows = SampleRows();
    for (bool bom : {true, false}) {
        std::istringstream in(File(rows, bom));
        TRecordingReader r(in);
        ASSERT_TRUE(r.Ok()) << static_cast<int>(r.Refusal().Kind);
        EXPECT_EQ(ReadAll(r), rows);
        EXPECT_EQ(r.RowsRead(), rows.size());
        EXPECT_EQ(r.DamagedRows(), 0u);
        EXPECT_FALSE(r.Truncated());
    }
    // Line feeds alone, as a text editor may leave them, read the same.
    std::string lf = File(rows);
    std::erase(lf, '\r');
    std::istringstream in(lf);
    TRecordingReader r(in);
    EXPECT_EQ(ReadAll(r), rows);
}

TEST(RecordingReader, ACutOffLastLineIsDroppedAndReported) {
    const auto rows = SampleRows();
    const std::string whole = File(rows);
    const std::string lastRow = RecordingRow(rows.back());
    // Cut anywhere inside the last row, also just before its CR or its LF.
    for (std::size_t cut :
         {std::size_t{1}, std::size_t{20}, lastRow.size() - 2, lastRow.size() - 1}) {
        SCOPED_TRACE(cut);
        std::istringstream in(whole.substr(0, whole.size() - lastRow.size() + cut));
        TRecordingReader r(in);
        const auto got = ReadAll(r);
        EXPECT_EQ(got, std::vector<TRecordedRow>(rows.begin(), rows.end() - 1));
        EXPECT_TRUE(r.Truncated());
        EXPECT_EQ(r.DamagedRows(), 0u);
    }
}

TEST(RecordingReader, DamagedRowsAreSkippedCountedAndNamed) {
    const auto rows = SampleRows();
    std::string text = File({rows[0]});
    const std::string good = RecordingRow(rows[1]);
    auto replaced = [&](std::string s, std::string_view from, std::string_view to) {
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    using K = TRowDamageKind;
    const auto& names = RecordingColumns();
    const auto addressAt =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), "设备地址") - names.begin());
    ASSERT_LT(addressAt, names.size());
    const struct {
        std::string line;
        TRowDamageKind kind;
        const char* column;  // the column a damaged cell names
    } damaged[] = {
        {replaced(good, "2026-12-10", "2026/12/10"), K::Time, ""},
        {replaced(good, "开关量", "开关"), K::Kind, ""},
        {replaced(good, ",2,", ",3,"), K::Unit, ""},
        {replaced(good, ",2,2,", ",2,11,"), K::FieldCount, ""},
        {replaced(good, ",2,2,", ",2,x,"), K::FieldCount, ""},
        {replaced(good, ",4,", ",x4,"), K::BadCell, "开关量·运行模式·代码"},
        {replaced(good, ",4,", ",256,"), K::BadCell, "开关量·运行模式·代码"},
        {"\"unterminated,1,2\r\n", K::Quotes, ""},
        {"2026-12-10 14:03:07.123,\"模拟量\"x,1,12\r\n", K::Quotes, ""},
        {std::string(TRecordingReader::MaxLineBytes + 10, 'x') + "\r\n", K::TooLong, ""},
        {std::string("\0\xFF\xFE garbage\r\n", 13), K::Time, ""},
        {"2026-12-10 14:03:07.123,丢失行,,\r\n", K::LostCount, ""},
        {"2026-12-10 14:03:07.123,设备地址,,1\r\n", K::EmptyCell, "设备地址"},
        {"2026-12-10 14:03:07.123,设备地址,,1" + std::string(addressAt - 3, ',') + "256\r\n",
         K::BadCell, "设备地址"},
    };
    for (const auto& d : damaged)
        text += d.line;
    text += "\r\n";  // an empty line is nothing
    text += good;
    std::istringstream in(text);
    TRecordingReader r(in);
    ASSERT_TRUE(r.Ok());
    const auto got = ReadAll(r);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], rows[0]);
    EXPECT_EQ(got[1], rows[1]);
    EXPECT_EQ(r.DamagedRows(), std::size(damaged));
    EXPECT_EQ(r.FirstDamage(), (TRowDamage{3, TRowDamageKind::Time, ""}));
    // Each reason on its own.
    for (const auto& d : damaged) {
        std::istringstream one(File({}) + d.line);
        TRecordingReader r1(one);
        EXPECT_TRUE(ReadAll(r1).empty()) << d.line.substr(0, 60);
        EXPECT_EQ(r1.DamagedRows(), 1u);
        EXPECT_EQ(r1.FirstDamage(), (TRowDamage{2, d.kind, d.column})) << d.line.substr(0, 60);
    }
    // Without damage there is none to name.
    std::istringstream clean(File({rows[0]}));
    TRecordingReader r2(clean);
    ReadAll(r2);
    EXPECT_EQ(r2.FirstDamage(), std::nullopt);
}

TEST(RecordingReader, ForeignFilesAreRefusedWithAReason) {
    using K = TRecordingRefusalKind;
    const struct {
        std::string text;
        TRecordingRefusal refusal;
    } cases[] = {
        {"", {K::Empty, ""}},
        {"a,b,c\r\n1,2,3\r\n", {K::MissingColumn, "时间"}},
        {"时间,类型,空调\r\n", {K::MissingColumn, "字段数"}},
        {"字段数,空调,时间\r\n", {K::MissingColumn, "类型"}},
        {"\x89PNG\r\n\x1A\n\0\0\0\rIHDR", {K::MissingColumn, "时间"}},
        {std::string(200000, 'A'), {K::NoHeader, ""}},
        {std::string(200000, 'A') + "\n", {K::HeaderTooLong, ""}},
        {"\"时间,类型\r\n", {K::HeaderQuotes, ""}},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        TRecordingReader r(in);
        EXPECT_FALSE(r.Ok());
        EXPECT_EQ(r.Refusal(), c.refusal) << c.text.substr(0, 40);
        TRecordedRow row;
        EXPECT_FALSE(r.Next(row));
    }
}

TEST(RecordingReader, ColumnsFoundByNameInAnyOrder) {
    // A spreadsheet that saved the file back with columns moved and one added.
    const auto rows = SampleRows();
    const TAnalogValues an = std::get<TAnalogValues>(*rows[0].Reply);
    std::string text = "备注,字段数,模拟量·送风温度,时间,空调,类型,模拟量·用户自定义遥测数量\r\n";
    text += "x,12,106,2026-12-10 14:03:07.123,1,模拟量,6\r\n";
    std::istringstream in(text);
    TRecordingReader r(in);
    ASSERT_TRUE(r.Ok()) << static_cast<int>(r.Refusal().Kind);
    TRecordedRow row;
    ASSERT_TRUE(r.Next(row));
    const auto& v = std::get<TAnalogValues>(*row.Reply);
    EXPECT_EQ(v.Count, 12u);
    EXPECT_EQ(v.Values[6], 106);
    EXPECT_EQ(v.Values[0], std::nullopt);  // column missing: nothing known
    EXPECT_EQ(v.UserDefinedCount, an.UserDefinedCount);
}

}  // namespace
}  // namespace aircon
