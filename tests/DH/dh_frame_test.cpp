// Frame format, checksums, command builder, frame decoder and RTN texts.
#include "DH.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) {
    return {s.begin(), s.end()};
}
std::string Text(std::span<const std::uint8_t> b) {
    return {b.begin(), b.end()};
}

std::string Build(TDH_Header h, std::vector<std::uint8_t> info) {
    std::vector<std::uint8_t> packet(18 + 2 * info.size());
    TDH::GenCmdPacket(h, packet, info);
    return Text(packet);
}

struct CommandCase {
    std::uint8_t cid2;
    std::vector<std::uint8_t> info;
    std::string frame;
};

const CommandCase kCommands[] = {
    {0x42, {}, "~100160420000FDB2\r"},
    {0x45, {0x10}, "~10016045E00210FD37\r"},
    {0x49, {0x80, 0x00, 0x19}, "~10016049A006800019FC62\r"},
    {0x49, {0x80, 0x00, 0x20}, "~10016049A006800020FC6A\r"},
};

TEST(DHFrame, BuildsTheCommandFramesOfTheProtocol) {
    for (const auto& c : kCommands) {
        SCOPED_TRACE(c.frame);
        EXPECT_EQ(Build({0x10, 0x01, 0x60, c.cid2}, c.info), c.frame);
        EXPECT_EQ(TDH::GetCmdPacketLen(c.cid2), c.frame.size());
        EXPECT_TRUE(TDH::CheckFrame(Bytes(c.frame)));
    }
}

TEST(DHFrame, FirstExampleIsTheExpectedBytes) {
    const std::vector<std::uint8_t> expected{0x7E, 0x31, 0x30, 0x30, 0x31, 0x36, 0x30, 0x34, 0x32,
                                             0x30, 0x30, 0x30, 0x30, 0x46, 0x44, 0x42, 0x32, 0x0D};
    EXPECT_EQ(Bytes(Build({0x10, 0x01, 0x60, 0x42}, {})), expected);
}

TEST(DHFrame, PacketLengthOfEveryCommandCode) {
    const std::map<int, int> listed{{0x45, 20}, {0x48, 28}, {0x49, 24}, {0x4A, 20},
                                    {0x4B, 20}, {0x4C, 20}, {0x4E, 32}, {0x80, 20}};
    for (int cid2 = 0; cid2 < 256; ++cid2) {
        SCOPED_TRACE(cid2);
        const auto it = listed.find(cid2);
        const int expected = it == listed.end() ? 18 : it->second;
        EXPECT_EQ(TDH::GetCmdPacketLen(static_cast<std::uint8_t>(cid2)), expected);
        EXPECT_EQ(TDH::GetCmdInfoLen(static_cast<std::uint8_t>(cid2)), (expected - 18) / 2);
    }
}

TEST(DHFrame, LengthWordOfEachInfoSize) {
    struct {
        std::uint8_t cid2;  // a command with that many INFO bytes
        std::string length;
    } const cases[] = {
        {0x42, "0000"}, {0x45, "E002"}, {0x49, "A006"}, {0x48, "600A"}, {0x4E, "200E"}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> info(TDH::GetCmdInfoLen(c.cid2), 0x00);
        EXPECT_EQ(Build({0x10, 0x01, 0x60, c.cid2}, info).substr(9, 4), c.length) << +c.cid2;
    }
}

TEST(DHFrame, LengthChecksum) {
    struct {
        std::uint16_t lenid;
        std::uint8_t lchksum;
    } const cases[] = {{0x000, 0x0},
                       {0x002, 0xE},
                       {0x006, 0xA},
                       {0x00A, 0x6},
                       {0x00E, 0x2},
                       {0x012, 0xD},
                       {0xF012, 0xD} /* bits 12..15 play no part */,
                       {0xFFF, 0x3} /* 45 = 2 * 16 + 13 */,
                       {0x888, 0x8},
                       {0x010, 0xF}};
    for (const auto& c : cases)
        EXPECT_EQ(TDH::CalcLChkSum(c.lenid), c.lchksum) << c.lenid;
}

TEST(DHFrame, FrameChecksum) {
    // Twelve characters between SOI and CHKSUM of the first command: 0x024E.
    EXPECT_EQ(TDH::CalcChkSum(Bytes("~100160420000")), 0xFDB2);
    EXPECT_EQ(TDH::CalcChkSum(Bytes("~10016045E00210")), 0xFD37);
    // The first character is never summed, whatever it is.
    EXPECT_EQ(TDH::CalcChkSum(Bytes("X100160420000")), 0xFDB2);
    // A sum of zero gives zero.
    EXPECT_EQ(TDH::CalcChkSum(Bytes("~")), 0);
    EXPECT_EQ(TDH::CalcChkSum(std::vector<std::uint8_t>{0x7E, 0x00, 0x00}), 0);
    // The sum wraps modulo 65536: 300 * 0xFF = 76500 = 65536 + 10964.
    std::vector<std::uint8_t> big(301, 0xFF);
    EXPECT_EQ(TDH::CalcChkSum(big), 65536 - 10964);
    // 257 * 0xFF = 65535, whose two's complement is 1.
    std::vector<std::uint8_t> exact(1 + 257, 0xFF);
    EXPECT_EQ(TDH::CalcChkSum(exact), 1);
}

TEST(DHFrame, BuilderTakesLengthFromTheCommandCodeAndValidatesNothing) {
    // 0x42 carries no INFO, so LENGTH stays 0000 even with two data bytes.
    const std::string f = Build({0xAB, 0xFE, 0x00, 0x42}, {0x12, 0x34});
    EXPECT_EQ(f.substr(0, 13), "~ABFE00420000");
    EXPECT_EQ(f.substr(13, 4), "1234");
    EXPECT_EQ(f.size(), 22u);
    EXPECT_EQ(f.back(), '\r');
    EXPECT_TRUE(TDH::CheckFrame(Bytes(f)));
    // An unknown CID2 gives LENGTH 0000.
    EXPECT_EQ(Build({0x10, 0x01, 0x60, 0x99}, {}).substr(9, 4), "0000");
    // Header bytes go out unchanged and in upper case.
    EXPECT_EQ(Build({0xFF, 0x0A, 0xBC, 0x45}, {0xDE}).substr(0, 15), "~FF0ABC45E002DE");
}

TEST(DHFrame, BuilderNeverWritesOutsideThePacket) {
    // Too small: refused, nothing written.
    std::vector<std::uint8_t> small(19, 0xAA);
    const std::vector<std::uint8_t> info{0x10};
    EXPECT_THROW(TDH::GenCmdPacket({0x10, 0x01, 0x60, 0x45}, std::span(small), info),
                 std::length_error);
    EXPECT_EQ(small, std::vector<std::uint8_t>(19, 0xAA));
    std::vector<std::uint8_t> none(17, 0xAA);
    EXPECT_THROW(TDH::GenCmdPacket({0x10, 0x01, 0x60, 0x42}, std::span(none), {}),
                 std::length_error);
    EXPECT_THROW(TDH::GenCmdPacket({0x10, 0x01, 0x60, 0x42}, {}, {}), std::length_error);
    // Larger than needed: bytes past the frame stay untouched.
    std::vector<std::uint8_t> large(24, 0xAA);
    TDH::GenCmdPacket({0x10, 0x01, 0x60, 0x45}, std::span(large), info);
    EXPECT_EQ(Text(std::span(large).first(20)), "~10016045E00210FD37\r");
    EXPECT_EQ(std::vector<std::uint8_t>(large.begin() + 20, large.end()),
              std::vector<std::uint8_t>(4, 0xAA));
}

TEST(DHFrame, DecodesCharacterPairsAfterTheSoi) {
    const std::vector<std::uint8_t> expected{0x10, 0x01, 0x60, 0x45, 0xE0, 0x02, 0x10, 0xFD, 0x37};
    EXPECT_EQ(TDH::DeCodeFrame(Bytes("~10016045E00210FD37\r")), expected);
    EXPECT_EQ(TDH::DeCodeFrame(Bytes("~10016045e00210fd37\r")), expected);
    // Other characters count as 0; letters past f too, in either case.
    EXPECT_EQ(TDH::DeCodeFrame(Bytes("~G1?11Gz9ZA\r")),
              (std::vector<std::uint8_t>{0x01, 0x01, 0x10, 0x09, 0x0A}));
    // An odd frame size truncates; tiny frames decode to nothing.
    EXPECT_EQ(TDH::DeCodeFrame(Bytes("~1234\r\r")), (std::vector<std::uint8_t>{0x12, 0x34}));
    EXPECT_TRUE(TDH::DeCodeFrame(Bytes("~\r")).empty());
    EXPECT_TRUE(TDH::DeCodeFrame(Bytes("~")).empty());
    EXPECT_TRUE(TDH::DeCodeFrame(std::span<const std::uint8_t>{}).empty());
}

TEST(DHFrame, DecoderNeverWritesPastThePacket) {
    const auto frame = Bytes("~10016045E00210FD37\r");
    std::vector<std::uint8_t> out(12, 0xAA);
    TDH::DeCodeFrame(frame, std::span(out).first(4));
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x10, 0x01, 0x60, 0x45, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                              0xAA, 0xAA, 0xAA}));
    TDH::DeCodeFrame(frame, out);  // larger than needed: 9 bytes written
    EXPECT_EQ(out[8], 0x37);
    EXPECT_EQ(out[9], 0xAA);
}

TEST(DHFrame, EveryCommandRoundTrips) {
    for (int cid2 = 0; cid2 < 256; ++cid2) {
        SCOPED_TRACE(cid2);
        const TDH_Header h{0x10, static_cast<std::uint8_t>(255 - cid2), 0x60,
                           static_cast<std::uint8_t>(cid2)};
        std::vector<std::uint8_t> info(TDH::GetCmdInfoLen(h.CID2));
        for (std::size_t i = 0; i < info.size(); ++i)
            info[i] = static_cast<std::uint8_t>(cid2 * 7 + i * 31);
        std::vector<std::uint8_t> frame(TDH::GetCmdPacketLen(h.CID2));
        TDH::GenCmdPacket(h, frame, info);
        ASSERT_TRUE(TDH::CheckFrame(frame));
        const auto d = TDH::DeCodeFrame(frame);
        ASSERT_EQ(d.size(), 8 + info.size());
        EXPECT_EQ(TDH_Header::FromUInt32(d[0] | d[1] << 8 | d[2] << 16 |
                                         static_cast<std::uint32_t>(d[3]) << 24),
                  h);
        EXPECT_EQ((d[4] << 8 | d[5]) & 0x0FFF, 2 * info.size());
        EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 6, d.end() - 2), info);
        for (std::uint8_t c : std::span(frame).subspan(1, frame.size() - 2))
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << c;
    }
}

TEST(DHFrame, HeaderByteOrder) {
    const TDH_Header h{0x10, 0x01, 0x60, 0x42};
    EXPECT_EQ(h.ToUInt32(), 0x42600110u);
    EXPECT_EQ(TDH_Header::FromUInt32(0x42600110u), h);
}

TEST(DHFrame, ReturnCodeTexts) {
    const std::map<int, std::string> listed{
        {0x00, "正常"},     {0x01, "通信版本错"}, {0x02, "CHKSUM错"}, {0x03, "LCHKSUM错"},
        {0x04, "CID2无效"}, {0x05, "命令格式错"}, {0x06, "无效数据"}};
    for (int rtn = 0; rtn < 256; ++rtn) {
        const auto it = listed.find(rtn);
        const std::string expected = it != listed.end()             ? it->second
                                     : (rtn >= 0x80 && rtn <= 0xEF) ? "其它错误(用户自定义)"
                                                                    : "无效RTN";
        EXPECT_EQ(TDH::RtnToString(static_cast<std::uint8_t>(rtn)), expected) << rtn;
    }
    EXPECT_EQ(TDH::RtnToString(0x80),
              "\xE5\x85\xB6\xE5\xAE\x83\xE9\x94\x99\xE8\xAF\xAF("
              "\xE7\x94\xA8\xE6\x88\xB7\xE8\x87\xAA\xE5\xAE\x9A"
              "\xE4\xB9\x89)");  // ASCII parentheses, byte for byte
}

}  // namespace
