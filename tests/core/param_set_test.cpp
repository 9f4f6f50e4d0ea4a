// Parameter-set files: what is written, what is read back, every mistake refused with its
// line and reason, and the comparison with what a controller holds.
#include <gtest/gtest.h>

#include "ParamSet.h"

namespace {

using namespace aircon;

// A controller's 0x47 record: the readings as decoded (the lower limit signed), all nine
// items.
TUserParams Params(std::int32_t LowerLimit = -10, std::uint16_t Mode = 4, std::uint16_t Fan = 2) {
    TUserParams p;
    p.Readings = {28, 22, 35, LowerLimit, 80, 30, 25};
    p.UserDefinedCount = 9;
    p.Items = {Mode, Fan, 1, 0, 24, 30, 20, 2, 3};
    p.ItemCount = 9;
    return p;
}

TParamSetIdentity Identity() {
    TParamSetIdentity id;
    id.Address = 7;
    id.ProtocolVersion = 0x10;
    id.Name = "AC-2000";
    id.SoftwareVersion = "V1.2";
    id.Vendor = "ACME";
    return id;
}

// The text of a valid file with Body as its [parameters] section.
std::string File(const std::string& Body) {
    return "format_version = 1\n[controller]\naddress = 7\n"
           "[parameters]\n" +
           Body;
}

TEST(ParamSetFile, SavedSetReadsBackEqualAndReadsAsThePanelShowsIt) {
    const TParamSet saved = ParamSetOf(Params(), Identity(), "2026-12-11 02:30:05.120");
    EXPECT_EQ(saved.Count(), 16u);
    const std::string text = FormatParamSet(saved);
    // Words as words, the signed limit with its sign, a caption and code beside each line.
    for (const char* line :
         {"format_version = 1\n", "saved_at = 2026-12-11 02:30:05.120\n", "address = 7\n",
          "protocol_version = 1.0\n", "device_name = AC-2000\n", "vendor_name = ACME\n",
          "return_air_temp_low = -10", "run_mode = 制热", "indoor_fan_speed = 中风", "swing = 运转",
          "local_lock = 允许", "heating_precision = 3", "# 回风温度下限 (0x83)",
          "# 运行模式设定 (0xC0)：自动 制冷 除湿 送风 制热 新风 空调"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    const TParamSetParse read = ParseParamSet(text);
    ASSERT_TRUE(read.Set) << (read.Errors.empty() ? "" : read.Errors[0].Text());
    EXPECT_EQ(*read.Set, saved);
}

TEST(ParamSetFile, WhatTheControllerCouldNotGiveIsKeptAsACommentNotAValue) {
    TUserParams p = Params();
    p.Readings[0].reset();  // on temperature not detected
    p.Items[0] = 7;         // a run mode no choice has
    p.ItemCount = 8;        // the last item not carried
    const TParamSet saved = ParamSetOf(p, Identity(), "");
    EXPECT_EQ(saved.Count(), 14u);
    const std::string text = FormatParamSet(saved);
    EXPECT_NE(text.find("# run_mode = 7"), std::string::npos) << text;
    EXPECT_NE(text.find("# on_temp ="), std::string::npos) << text;
    EXPECT_NE(text.find("# heating_precision ="), std::string::npos) << text;
    const TParamSetParse read = ParseParamSet(text);
    ASSERT_TRUE(read.Set);
    EXPECT_EQ(read.Set->Count(), 13u);  // the run mode's code is not a value to write back
    EXPECT_FALSE(read.Set->Values[0]);
    EXPECT_FALSE(read.Set->Values[7]);
    EXPECT_FALSE(read.Set->Values[15]);
}

TEST(ParamSetFile, HandWrittenFilesReadByKeyOrCaption) {
    const auto read = ParseParamSet(
        "\xEF\xBB\xBF# by hand\r\nformat_version = 1\r\n\r\n[parameters]\r\n"
        "回风温度下限 = -32768   # the lowest there is\r\n"
        "run_mode=1\r\n"
        "  内风机风速设定 =  停止 \r\n"
        "backup_switch_time = 65535\r\n");
    ASSERT_TRUE(read.Set) << read.Errors[0].Text();
    EXPECT_EQ(read.Set->Values[3], -32768);
    EXPECT_EQ(read.Set->Values[7], 1);  // a code that has a word
    EXPECT_EQ(read.Set->Values[8], 0);
    EXPECT_EQ(read.Set->Values[11], 65535);
    EXPECT_EQ(read.Set->Count(), 4u);
    EXPECT_FALSE(read.Set->Identity.Name);
}

TEST(ParamSetFile, EveryMistakeIsRefusedWithItsLineAndReason) {
    struct Case {
        std::string text;
        int line;
        TParamSetErrorKind kind;
        const char* mention;
    } cases[] = {
        {"format_version = 2\n[parameters]\non_temp = 1\n", 1, TParamSetErrorKind::OtherFormat,
         "format version '2'"},
        {"[parameters]\non_temp = 1\n", 1, TParamSetErrorKind::NotAParamSet, "format_version"},
        {"on_temp = 1\n", 0, TParamSetErrorKind::NotAParamSet, "format_version"},
        {"format_version = 1\n", 0, TParamSetErrorKind::Empty, "no parameter"},
        {File("on_temp = 65536\n"), 5, TParamSetErrorKind::OutOfRange, "0 to 65535"},
        {File("on_temp = -1\n"), 5, TParamSetErrorKind::OutOfRange, "on_temp: '-1'"},
        {File("on_temp = 2x\n"), 5, TParamSetErrorKind::OutOfRange, "'2x'"},
        {File("on_temp =\n"), 5, TParamSetErrorKind::OutOfRange, "''"},
        {File("return_air_temp_low = 32768\n"), 5, TParamSetErrorKind::OutOfRange,
         "-32768 to 32767"},
        {File("return_air_temp_low = -32769\n"), 5, TParamSetErrorKind::OutOfRange,
         "-32768 to 32767"},
        {File("\n\nfan_turbo = 3\n"), 7, TParamSetErrorKind::UnknownKey,
         "unknown parameter 'fan_turbo'"},
        {File("run_mode = 强冷\n"), 5, TParamSetErrorKind::NotAChoice,
         "'强冷' is not a choice the controller takes (自动, 制冷, 除湿, 送风, 制热, 新风, 空调)"},
        {File("run_mode = 7\n"), 5, TParamSetErrorKind::NotAChoice, "run_mode: '7'"},
        {File("indoor_fan_speed = 停\n"), 5, TParamSetErrorKind::NotAChoice, "'停'"},
        {File("swing = 开启\n"), 5, TParamSetErrorKind::NotAChoice, "(停止, 运转)"},
        {File("local_lock = 2\n"), 5, TParamSetErrorKind::NotAChoice, "(允许, 屏蔽)"},
        {File("on_temp = 1\n空调开机温度 = 2\n"), 6, TParamSetErrorKind::Duplicate, "twice"},
        {File("on_temp 1\n"), 5, TParamSetErrorKind::Syntax, "key = value"},
        {File("[units]\n"), 5, TParamSetErrorKind::UnknownSection, "[units]"},
        {"format_version = 1\n[controller]\naddress = 256\n[parameters]\non_temp = 1\n", 3,
         TParamSetErrorKind::BadIdentity, "address"},
        {"format_version = 1\n[controller]\nprotocol_version = 1\n[parameters]\non_temp = 1\n", 3,
         TParamSetErrorKind::BadIdentity, "protocol_version"},
        {"format_version = 1\ncolour = blue\n[parameters]\non_temp = 1\n", 2,
         TParamSetErrorKind::UnknownKey, "colour"},
        {std::string("format_version = 1\n[parameters]\non_temp = 1") + '\0' + "\n", 0,
         TParamSetErrorKind::NotAParamSet, "zero bytes"},
    };
    for (const Case& c : cases) {
        const TParamSetParse r = ParseParamSet(c.text);
        EXPECT_FALSE(r.Set) << c.text;
        ASSERT_FALSE(r.Errors.empty()) << c.text;
        const TParamSetError& e = r.Errors.front();
        EXPECT_EQ(e.Line, c.line) << c.text << e.Text();
        EXPECT_EQ(e.Kind, c.kind) << c.text << e.Text();
        EXPECT_NE(e.Reason.find(c.mention), std::string::npos) << e.Reason;
        EXPECT_FALSE(e.ReasonZh.empty());
        if (c.line > 0) {
            EXPECT_TRUE(e.Text().starts_with("line " + std::to_string(c.line) + ": ")) << e.Text();
            EXPECT_TRUE(e.TextZh().starts_with("第 " + std::to_string(c.line) + " 行："));
        }
    }
    // Every mistake of a file is told, not only the first; nothing of it is kept.
    const auto many = ParseParamSet(File("on_temp = x\nrun_mode = 强冷\nfoo = 1\noff_temp = 20\n"));
    EXPECT_FALSE(many.Set);
    ASSERT_EQ(many.Errors.size(), 3u);
    EXPECT_EQ(many.Errors[0].Line, 5);
    EXPECT_EQ(many.Errors[1].Line, 6);
    EXPECT_EQ(many.Errors[2].Line, 7);
}

TEST(ParamSetCompare, RowsShowWordsAndMarkOnlyWhatDiffers) {
    TParamSet file = ParamSetOf(Params(), Identity(), "");
    file.Values[7] = 1;   // the file wants 制冷, the controller runs 制热
    file.Values[3] = -5;  // and a lower limit of -5
    const TParamComparison c = CompareParamSet(file, Params(), Identity());
    ASSERT_EQ(c.Rows.size(), 16u);
    EXPECT_EQ(c.InFile, 16u);
    EXPECT_FALSE(c.Partial());
    EXPECT_EQ(c.Differing, 2u);
    EXPECT_TRUE(c.Mismatches.empty());
    const TParamCompareRow& mode = c.Rows[7];
    EXPECT_EQ(mode.Caption, "运行模式设定");
    EXPECT_EQ(mode.Code, 0xC0);
    EXPECT_EQ(mode.FileText, "制冷");
    EXPECT_EQ(mode.ControllerText, "制热");
    EXPECT_TRUE(mode.Differs);
    EXPECT_EQ(c.Rows[3].FileText, "-5");
    EXPECT_EQ(c.Rows[3].ControllerText, "-10");
    EXPECT_EQ(c.Rows[8].ControllerText, "中风");
    EXPECT_FALSE(c.Rows[8].Differs);
    // The writes: the signed limit as the word the controller takes, in panel order.
    EXPECT_EQ(c.Writes(), (std::vector<TParamWrite>{{0x83, 0xFFFB}, {0xC0, 1}}));
}

TEST(ParamSetCompare, PartialFilesAndOtherControllersAreSaidSo) {
    TParamSet file;
    file.Values[0] = 30;
    file.Values[10] = 1;
    file.Identity.Name = "AC-3000";
    file.Identity.Vendor = "ACME  ";
    TUserParams held = Params();
    held.Readings[0].reset();  // not detected: cannot be confirmed, so it differs
    held.ItemCount = 3;        // local lock not carried
    const TParamComparison c = CompareParamSet(file, held, Identity());
    EXPECT_TRUE(c.Partial());
    EXPECT_EQ(c.InFile, 2u);
    EXPECT_EQ(c.Differing, 2u);
    EXPECT_EQ(c.Rows[0].ControllerText, "未检测");
    EXPECT_EQ(c.Rows[10].ControllerText, "未读到");
    EXPECT_FALSE(c.Rows[1].InFile);
    EXPECT_FALSE(c.Rows[1].Differs);  // not in the file: neither compared nor written
    EXPECT_EQ(c.Writes(), (std::vector<TParamWrite>{{0x80, 30}, {0xC3, 1}}));
    // The name differs; the vendor only by its padding.
    ASSERT_EQ(c.Mismatches.size(), 1u);
    EXPECT_EQ(c.Mismatches[0].Key, "device_name");
    EXPECT_EQ(c.Mismatches[0].File, "AC-3000");
    EXPECT_EQ(c.Mismatches[0].Controller, "AC-2000");
}

}  // namespace
