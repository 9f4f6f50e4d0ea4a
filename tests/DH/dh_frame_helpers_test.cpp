// The frame helpers: the check with its reason, parsing, taking any frame apart,
// the self-sizing command builder and hexadecimal text.
#include "Frame.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view s) {
    return {s.begin(), s.end()};
}
std::string Text(std::span<const std::uint8_t> b) {
    return {b.begin(), b.end()};
}

// Recomputes the CHKSUM of a frame whose other characters were edited.
std::string Resealed(std::string frame) {
    frame.resize(frame.size() - 5);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", TDH::CalcChkSum(B(frame)));
    return frame + buf + "\r";
}

const std::string kRemote = "~10016045E00210FD37\r";  // a correct 20-character frame

TEST(FrameCheck, ReasonsInTheOrderTheTestsApply) {
    std::string badBoth = kRemote;
    badBoth[9] = 'D';   // LCHKSUM wrong ...
    badBoth[18] = '0';  // ... and CHKSUM wrong too: CHKSUM is tested first
    const struct {
        const char* what;
        std::string frame;
        TFrameCheck check;
    } cases[] = {
        {"empty", "", TFrameCheck::TooShort},
        {"SOI and EOI", "~\r", TFrameCheck::TooShort},
        {"17 characters, odd too", "~10016042000FDB2\r", TFrameCheck::TooShort},
        {"19 characters", "~1001604200000FDB2\r", TFrameCheck::OddLength},
        {"correct", kRemote, TFrameCheck::Ok},
        {"command without INFO", "~100160420000FDB2\r", TFrameCheck::Ok},
        {"wrong CHKSUM", "~10016045E00210FD36\r", TFrameCheck::ChkSum},
        {"wrong LCHKSUM, CHKSUM fixed up", Resealed("~10016045D00210FD37\r"), TFrameCheck::LChkSum},
        {"both wrong", badBoth, TFrameCheck::ChkSum},
        {"LENID announces more INFO than present", "~10016000C00400FD41\r", TFrameCheck::Ok},
        {"CHKSUM field in lower case", "~100160420000fdb2\r", TFrameCheck::Ok},
        {"lower-case letter summed as received", "~10016045e00210FD37\r", TFrameCheck::ChkSum},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // An exact-size heap copy: a read past the frame would show under ASan.
        const auto frame = std::make_unique<std::uint8_t[]>(c.frame.size());
        std::copy(c.frame.begin(), c.frame.end(), frame.get());
        const std::span<const std::uint8_t> f(frame.get(), c.frame.size());
        EXPECT_EQ(CheckFrameReason(f), c.check);
        EXPECT_EQ(TDH::CheckFrame(f), c.check == TFrameCheck::Ok);
    }
}

TEST(FrameCheck, EveryReasonHasItsText) {
    EXPECT_EQ(FrameCheckText(TFrameCheck::Ok), "正常");
    EXPECT_EQ(FrameCheckText(TFrameCheck::ChkSum), "CHKSUM错");
    EXPECT_EQ(FrameCheckText(TFrameCheck::LChkSum), "LCHKSUM错");
    EXPECT_EQ(FrameCheckText(TFrameCheck::TooShort), "帧长不足18字符");
    EXPECT_EQ(FrameCheckText(TFrameCheck::OddLength), "帧长为奇数");
}

TEST(FrameParse, CorrectFramesDecodeFieldByField) {
    const struct {
        std::string frame;
        TDH_Header header;
        std::uint16_t length;
        Bytes info;
        std::uint16_t chksum;
    } cases[] = {
        {"~100160420000FDB2\r", {0x10, 0x01, 0x60, 0x42}, 0x0000, {}, 0xFDB2},
        {kRemote, {0x10, 0x01, 0x60, 0x45}, 0xE002, {0x10}, 0xFD37},
        {"~10016049A006800019FC62\r", {0x10, 0x01, 0x60, 0x49}, 0xA006, {0x80, 0x00, 0x19}, 0xFC62},
        // INFO comes from the frame size, never from LENID.
        {"~10016000C00400FD41\r", {0x10, 0x01, 0x60, 0x00}, 0xC004, {0x00}, 0xFD41},
        {"~10016000C0040001FCE0\r", {0x10, 0x01, 0x60, 0x00}, 0xC004, {0x00, 0x01}, 0xFCE0},
        {"~100160420000fdb2\r", {0x10, 0x01, 0x60, 0x42}, 0x0000, {}, 0xFDB2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        const auto p = ParseFrame(B(c.frame));
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->Header, c.header);
        EXPECT_EQ(p->Length, c.length);
        EXPECT_EQ(p->Info, c.info);
        EXPECT_EQ(p->ChkSum, c.chksum);
    }
}

TEST(FrameParse, FramesThatFailTheCheckAreNotParsed) {
    for (const std::string f : {"", "~\r", "~10016045E00210FD36\r", "~1001604200000FDB2\r"})
        EXPECT_FALSE(ParseFrame(B(f)).has_value()) << f;
}

// Every prefix of a frame, closed with a carriage return, taken apart: a field is
// there once all its characters lie before the carriage return.
TEST(FrameDissect, FieldsPresentByFrameSize) {
    const std::string full = "~10016049A006800019FC62";  // 23 characters before the EOI
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const std::string frame = n == 0 ? std::string("\r") : full.substr(0, n) + "\r";
        SCOPED_TRACE(frame.size());
        const auto copy = std::make_unique<std::uint8_t[]>(frame.size());
        std::copy(frame.begin(), frame.end(), copy.get());
        const auto a = DissectFrame({copy.get(), frame.size()});
        const std::size_t size = frame.size();
        EXPECT_EQ(a.Ver.has_value(), size >= 4);
        EXPECT_EQ(a.Addr.has_value(), size >= 6);
        EXPECT_EQ(a.CID1.has_value(), size >= 8);
        EXPECT_EQ(a.Cid2OrRtn.has_value(), size >= 10);
        EXPECT_EQ(a.Length.has_value(), size >= 14);
        EXPECT_EQ(a.LenId.has_value(), size >= 14);
        EXPECT_EQ(a.LChkSum.has_value(), size >= 14);
        EXPECT_EQ(a.ChkSum.has_value(), size >= 18);
        EXPECT_EQ(a.ChkSumExpected.has_value(), size >= 18);
        EXPECT_EQ(a.Info.size(), size >= 18 ? (size - 18) / 2 : 0);
        EXPECT_EQ(a.Check, CheckFrameReason(B(frame)));
        if (a.Addr) {
            EXPECT_EQ(*a.Addr, 0x01);
        }
        if (a.Cid2OrRtn) {
            EXPECT_EQ(*a.Cid2OrRtn, 0x49);
        }
        if (a.Length) {
            EXPECT_EQ(*a.Length, 0xA006);
        }
    }
    EXPECT_EQ(DissectFrame({}).Check, TFrameCheck::TooShort);
    EXPECT_FALSE(DissectFrame({}).Ver.has_value());
}

TEST(FrameDissect, ShowsWhatAFailedFrameSaysAndWhatItShould) {
    const struct {
        const char* what;
        std::string frame;
        TFrameCheck check;
        std::uint16_t chksum, chksumExpected;
        std::uint8_t lchksum, lchksumExpected;
        bool infoLengthMatches;
    } cases[] = {
        {"correct", kRemote, TFrameCheck::Ok, 0xFD37, 0xFD37, 0xE, 0xE, true},
        {"CHKSUM off by one", "~10016045E00210FD36\r", TFrameCheck::ChkSum, 0xFD36, 0xFD37, 0xE,
         0xE, true},
        {"LCHKSUM wrong", Resealed("~10016045D00210FD37\r"), TFrameCheck::LChkSum, 0xFD38, 0xFD38,
         0xD, 0xE, true},
        {"LENID says 4, 2 present", "~10016000C00400FD41\r", TFrameCheck::Ok, 0xFD41, 0xFD41, 0xC,
         0xC, false},
        {"odd length: one INFO character", "~10016045E002100FD37\r", TFrameCheck::OddLength, 0xFD37,
         TDH::CalcChkSum(B("~10016045E002100")), 0xE, 0xE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto a = DissectFrame(B(c.frame));
        EXPECT_EQ(a.Check, c.check);
        EXPECT_EQ(a.ChkSum, c.chksum);
        EXPECT_EQ(a.ChkSumExpected, c.chksumExpected);
        EXPECT_EQ(a.LChkSum, c.lchksum);
        EXPECT_EQ(a.LChkSumExpected, c.lchksumExpected);
        EXPECT_EQ(a.InfoLengthMatches, c.infoLengthMatches);
        EXPECT_EQ(a.Ver, 0x10);
        EXPECT_EQ(a.CID1, 0x60);
    }
}

TEST(FrameBuild, CommandsSizeThemselves) {
    const struct {
        TDH_Header header;
        Bytes info;
        std::string frame;
    } cases[] = {
        {{0x10, 0x01, 0x60, 0x42}, {}, "~100160420000FDB2\r"},
        {{0x10, 0x01, 0x60, 0x45}, {0x10}, kRemote},
        {{0x10, 0x01, 0x60, 0x49}, {0x80, 0x00, 0x19}, "~10016049A006800019FC62\r"},
        {{0x10, 0x01, 0x60, 0x49}, {0x80, 0x00, 0x20}, "~10016049A006800020FC6A\r"},
        {{0x10, 0xC8, 0x60, 0x42}, {}, Resealed("~10C860420000FDB2\r")},
        // LENID still comes from the command's table, whatever INFO is given.
        {{0x10, 0x01, 0x60, 0x42}, {0x12, 0x34}, Resealed("~1001604200001234FDB2\r")},
        {{0x10, 0x01, 0x60, 0x45}, {}, Resealed("~10016045E002FDB2\r")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        const Bytes f = BuildCommand(c.header, c.info);
        EXPECT_EQ(f.size(), 18 + 2 * c.info.size());
        EXPECT_EQ(Text(f), c.frame);
    }
}

TEST(FrameHex, PairsEachFollowedByASpace) {
    EXPECT_EQ(HexText(B("~100160420000FDB2\r")),
              "7E 31 30 30 31 36 30 34 32 30 30 30 30 46 44 42 32 0D ");
    EXPECT_EQ(HexText(Bytes{0x00, 0xAB, 0xFF, 0x0F}), "00 AB FF 0F ");
    EXPECT_EQ(HexText({}), "");
    EXPECT_EQ(HexText(B("C8")), "43 38 ");
}

}  // namespace
