// The traffic log on its own: the texts of a row, the bounded ring, pausing, the row
// taken apart, and the files it writes on a thread of their own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Frame.h"
#include "HexText.h"
#include "TrafficDetail.h"
#include "TrafficRows.h"

namespace aircon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::span<const std::uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Hex2(unsigned v) {
    return util::Hex(v & 0xFF, 2);
}

// A reply frame as a controller writes it.
std::string ReplyFrame(std::uint8_t Rtn, const Bytes& Info = {}) {
    const auto lenid = static_cast<std::uint16_t>((2 * Info.size()) & 0x0FFF);
    const auto length = static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
    std::string f =
        "~1001"
        "60" +
        Hex2(Rtn) + Hex2(length >> 8) + Hex2(length & 0xFF);
    for (std::uint8_t b : Info)
        f += Hex2(b);
    const std::uint16_t sum = TDH::CalcChkSum(AsBytes(f));
    return f + Hex2(sum >> 8) + Hex2(sum & 0xFF) + "\r";
}

// Times of the rows: local time is UTC here, so the texts do not depend on the machine.
struct TUtc {
    TUtc() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
} const utc;

const WallTime Noon = WallTime{} + std::chrono::seconds(1704110400);  // 2024-01-01 12:00 UTC

TStamp At(long long Ms) {
    return {SteadyTime{} + Millis(Ms), Noon + Millis(Ms)};
}

// Feeds a log the events the core raises for one frame.
void Receive(TTrafficLog& Log, std::string_view Frame, long long Ms, std::uint8_t LastCid2,
             std::optional<Millis> Rt = std::nullopt, bool Late = false) {
    const auto bytes = AsBytes(Frame);
    const TFrameCheck check = CheckFrameReason(bytes);
    Log.OnFrameReceived({At(Ms), bytes, check, Rt, Late});
    if (check != TFrameCheck::Ok) return;
    const auto p = ParseFrame(bytes);
    TReplyReceived r;
    r.At = At(Ms);
    r.Header = p->Header;
    r.Rtn = p->Header.CID2;
    r.LastCID2 = LastCid2;
    r.Info = p->Info;
    r.HasDecoder = HasDecoder(LastCid2);
    r.Frame = bytes;
    // As the core does: an RTN-0 reply to a command with a decoder is decoded once, and
    // the event carries the outcome.
    std::optional<TReplyData> data;
    if (r.Rtn != 0) {
        r.Decode = TDecodeResult::Refused;
    } else if (r.HasDecoder) {
        data = DecodeReply(
            LastCid2, TDH_Header{p->Header.Ver, p->Header.Addr, p->Header.CID1, LastCid2}, p->Info);
        r.Decode = data ? TDecodeResult::Decoded : TDecodeResult::Malformed;
        if (data) r.Data = &*data;
    }
    Log.OnReplyReceived(r);
}

void Send(TTrafficLog& Log, std::uint8_t Cid2, long long Ms, TIntCMD Item = {},
          std::optional<std::int32_t> Written = std::nullopt) {
    std::vector<std::uint8_t> info;
    if (Cid2 == CID2::Remote) info = {Item.Param};
    if (Cid2 == CID2::SetParam)
        info = {Item.Param, static_cast<std::uint8_t>(Item.Value >> 8),
                static_cast<std::uint8_t>(Item.Value)};
    const auto frame = BuildCommand({0x10, 1, 0x60, Cid2}, info);
    Item.Custom = Cid2;
    Log.OnCommandSent(
        {At(Ms), Item, 1, Cid2, frame, Written.value_or(static_cast<std::int32_t>(frame.size()))});
}

std::string ReadFile(const std::filesystem::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> out;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class TTempDir {
  public:
    TTempDir() {
        char name[] = "/tmp/traffic-log-test-XXXXXX";
        FPath = mkdtemp(name);
    }
    ~TTempDir() { std::filesystem::remove_all(FPath); }
    std::filesystem::path operator/(const std::string& Name) const { return FPath / Name; }

  private:
    std::filesystem::path FPath;
};

// ---------------------------------------------------------------------------
// Texts

TEST(TrafficText, BytesAsEscapedTextAndHex) {
    const struct {
        Bytes bytes;
        std::string text, hex;
    } cases[] = {
        {{}, "", ""},
        {{'~', '1', '0', '\r'}, "~10\\r", "7E 31 30 0D"},
        {{0x00, '\n', '\t', 0x7F, 0xFF}, "\\x00\\n\\t\\x7F\\xFF", "00 0A 09 7F FF"},
        {{'a', '\\', ' ', '"'}, "a\\\\ \"", "61 5C 20 22"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapedText(c.bytes), c.text);
        EXPECT_EQ(SpacedHex(c.bytes), c.hex);
    }
}

TEST(TrafficText, LocalTimeToTheMillisecond) {
    EXPECT_EQ(LocalTimeText(Noon + 7ms), "2024-01-01 12:00:00.007");
    EXPECT_EQ(LocalTimeText(Noon + 61'999ms, false), "12:01:01.999");
    EXPECT_EQ(LocalTimeText(WallTime{} - 1ms), "1969-12-31 23:59:59.999");
}

TEST(TrafficText, CommandNames) {
    const std::pair<std::uint8_t, const char*> cases[] = {
        {0x42, "0x42 读取模拟量"},     {0x43, "0x43 读取开关量"},   {0x44, "0x44 读取告警"},
        {0x45, "0x45 遥控"},           {0x47, "0x47 读取用户参数"}, {0x49, "0x49 设置用户参数"},
        {0x4F, "0x4F 读取协议版本号"}, {0x50, "0x50 读取设备地址"}, {0x51, "0x51 读取厂商信息"},
        {0x4C, "0x4C 获取历史告警"},   {0xFF, "0xFF 尚未发送命令"},
    };
    for (auto [cid2, text] : cases)
        EXPECT_EQ(CommandText(cid2), text) << int(cid2);
}

// What one row says, for each kind of event.
TEST(TrafficLog, RowsOfEachEvent) {
    TTrafficLog log;
    log.OnLinkOpened({At(0), "/dev/ttyUSB0"});
    Send(log, 0x42, 10);
    Receive(log, ReplyFrame(0, Bytes(38, 0x01)), 51, 0x42, 41ms);
    Send(log, 0x45, 100, {0, 0x1F, 0});
    Receive(log, ReplyFrame(2), 130, 0x45, 30ms);
    Send(log, 0x49, 200, {0, 0xC0, 1});
    Send(log, 0x49, 300, {0, 0x80, 32}, 5);  // the write broke off
    log.OnReplyMissing({At(650), 0x49, {0x49, 0x80, 32}, SteadyTime{} + 300ms, 350ms});
    Receive(log, ReplyFrame(0, Bytes(3, 0x00)), 700, 0x42, 400ms, true);  // late, too short
    log.OnNoise({At(700), 5});
    Receive(log, "~100160000000FDB9\r", 800, 0x42);  // CHKSUM off by one
    log.OnLinkClosed({At(900)});

    const struct {
        TRowKind kind;
        TRowClass cls;
        std::string summary, response;
    } want[] = {
        {TRowKind::LinkOpened, TRowClass::Link, "打开 /dev/ttyUSB0", ""},
        {TRowKind::Sent, TRowClass::Command, "0x42 读取模拟量", ""},
        {TRowKind::Received, TRowClass::Reply, "RTN 0 正常, 38 字节", "41 ms"},
        {TRowKind::Sent, TRowClass::Command, "0x45 遥控 关机", ""},
        {TRowKind::Received, TRowClass::RtnError, "RTN 2 CHKSUM错, 0 字节", "30 ms"},
        {TRowKind::Sent, TRowClass::Command, "0x49 设置用户参数 运行模式设定=制冷", ""},
        {TRowKind::Sent, TRowClass::WriteFailed,
         "0x49 设置用户参数 空调开机温度=32, 写入失败 (5/24 字节)", ""},
        {TRowKind::Missing, TRowClass::Missing, "无应答 350 ms, 0x49 设置用户参数", ""},
        {TRowKind::Received, TRowClass::Late, "迟到 RTN 0 正常, 3 字节, 无法解码", "400 ms"},
        {TRowKind::Noise, TRowClass::Noise, "噪声 5 字节 (不属于任何帧)", ""},
        {TRowKind::Received, TRowClass::ErrorFrame, "CHKSUM错", ""},
        {TRowKind::LinkClosed, TRowClass::Link, "关闭 主动关闭", ""},
    };
    ASSERT_EQ(log.Size(), std::size(want));
    for (std::size_t i = 0; i < log.Size(); ++i) {
        const TTrafficRow& r = log.Row(i);
        EXPECT_EQ(r.Seq, i);
        EXPECT_EQ(r.Kind, want[i].kind) << i;
        EXPECT_EQ(r.Class, want[i].cls) << i;
        EXPECT_EQ(r.Summary, want[i].summary) << i;
        EXPECT_EQ(ResponseText(r), want[i].response) << i;
    }
    EXPECT_EQ(RowLine(log.Row(1)),
              "2024-01-01 12:00:00.010\t发送\t0x42 读取模拟量\t\t7E 31 30 30 31 36 30 34 32 30 30 "
              "30 30 46 44 42 32 0D\t~100160420000FDB2\\r");
    EXPECT_EQ(RowLine(log.Row(7)),
              "2024-01-01 12:00:00.650\t无应答\t无应答 350 ms, 0x49 设置用户参数\t\t\t");
}

// The newest rows only, oldest first; the numbers of the rows go on across drops.
TEST(TrafficLog, RingKeepsTheNewestRows) {
    TTrafficLog log(5);
    for (int i = 0; i < 12; ++i)
        log.OnNoise({At(i), static_cast<std::size_t>(i + 1)});
    EXPECT_EQ(log.Size(), 5u);
    EXPECT_EQ(log.FirstSeq(), 7u);
    EXPECT_EQ(log.EndSeq(), 12u);
    EXPECT_EQ(log.Dropped(), 7u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(log.Row(i).Seq, 7 + i);
        EXPECT_EQ(log.Row(i).Count, 8 + i);
    }
    EXPECT_EQ(log.FindSeq(6), nullptr);
    ASSERT_NE(log.FindSeq(11), nullptr);
    EXPECT_EQ(log.FindSeq(11)->Count, 12u);
    EXPECT_EQ(log.FindSeq(12), nullptr);
    EXPECT_THROW(log.Row(5), std::out_of_range);

    // A reused slot carries nothing of its old row.
    Send(log, 0x42, 20);
    Receive(log, "~\r", 21, 0x42, 1ms, true);
    log.OnNoise({At(22), 1});
    log.OnNoise({At(23), 1});
    log.OnNoise({At(24), 1});
    log.OnNoise({At(25), 1});
    log.OnNoise({At(26), 1});
    for (std::size_t i = 0; i < log.Size(); ++i) {
        EXPECT_TRUE(log.Row(i).Frame.empty());
        EXPECT_FALSE(log.Row(i).ResponseTime);
        EXPECT_FALSE(log.Row(i).Late);
        EXPECT_EQ(log.Row(i).Cid2, 0xFF);
    }

    log.Clear();
    EXPECT_EQ(log.Size(), 0u);
    EXPECT_EQ(log.FirstSeq(), log.EndSeq());
    log.OnNoise({At(30), 3});
    EXPECT_EQ(log.Row(0).Seq, 19u);
}

// A full ring holds a fixed amount: once it has gone round, commands and replies landing
// on each other's slots (a reply lost, a row of noise) grow no frame buffer. (A slot that
// had held a command used to grow when a reply came to it, so the ring crept up to its
// ceiling for hours: 3 MB of a long run's growth.)
TEST(TrafficLog, AFullRingHoldsAFixedAmount) {
    TTrafficLog log(100);
    long long ms = 0;
    auto cycle = [&](bool LoseReply) {
        Send(log, 0x42, ms += 5);
        if (!LoseReply) Receive(log, ReplyFrame(0, Bytes(38, 0x01)), ms += 5, 0x42, 5ms);
    };
    auto held = [&] {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < log.Size(); ++i)
            bytes += log.Row(i).Frame.capacity();
        return bytes;
    };
    for (int i = 0; i < 60; ++i)
        cycle(false);
    ASSERT_EQ(log.Size(), 100u);
    const std::size_t full = held();
    // Every other round a reply goes missing: each slot in turn gets the other kind.
    for (int round = 0; round < 6; ++round)
        for (int i = 0; i < 50; ++i)
            cycle(i == 0 && round % 2 == 0);
    EXPECT_EQ(held(), full);
}

// Pausing holds what a view shows; the rows go on into the ring and the file.
TEST(TrafficLog, PauseHoldsTheViewAndKeepsRecording) {
    TTempDir dir;
    TTrafficLog log(4);
    int changes = 0;
    log.OnChanged = [&] { ++changes; };
    log.StartFile(dir / "live.txt", {});
    log.OnNoise({At(0), 1});
    log.OnNoise({At(1), 2});
    EXPECT_EQ(changes, 2);
    log.SetPaused(true);
    EXPECT_EQ(log.ShownEnd(), 2u);
    log.OnNoise({At(2), 3});
    log.OnNoise({At(3), 4});
    EXPECT_EQ(log.ShownEnd(), 2u);
    EXPECT_EQ(log.HeldBack(), 2u);
    EXPECT_EQ(log.Size(), 4u);
    // Beyond the ring: the oldest rows leave it even during a pause.
    log.OnNoise({At(4), 5});
    log.OnNoise({At(5), 6});
    log.OnNoise({At(6), 7});
    EXPECT_EQ(log.FirstSeq(), 3u);
    EXPECT_EQ(log.ShownEnd(), 3u);  // nothing shown is left in the ring
    EXPECT_EQ(log.HeldBack(), 4u);
    log.SetPaused(false);
    EXPECT_EQ(log.ShownEnd(), 7u);
    EXPECT_EQ(log.HeldBack(), 0u);

    ASSERT_TRUE(log.File()->WaitIdle(5s));
    const auto lines = Lines(ReadFile(dir / "live.txt"));
    ASSERT_EQ(lines.size(), 8u);  // the column names and every row
    EXPECT_EQ(lines[0], RowLineHeader());
    for (int i = 0; i < 7; ++i)
        EXPECT_NE(lines[1 + i].find("噪声 " + std::to_string(i + 1) + " 字节"), std::string::npos)
            << lines[1 + i];

    // A clear during a pause shows nothing until the pause ends.
    log.SetPaused(true);
    log.Clear();
    log.OnNoise({At(7), 8});
    EXPECT_EQ(log.Size(), 1u);
    EXPECT_EQ(log.ShownEnd(), log.FirstSeq());
    log.SetPaused(false);
    EXPECT_EQ(log.ShownEnd(), log.EndSeq());
}

TEST(TrafficLog, SaveWritesEveryRowHeld) {
    TTempDir dir;
    TTrafficLog log(3);
    for (int i = 0; i < 5; ++i)
        Send(log, 0x42, i * 100);
    std::promise<TLogFileWriter::TEvent> done;
    auto writer = log.SaveText(dir / "saved.txt", [&](const TLogFileWriter::TEvent& e) {
        if (e.Kind != TLogFileWriter::TEventKind::Opened) done.set_value(e);
    });
    auto f = done.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(f.get().Kind, TLogFileWriter::TEventKind::Finished);
    EXPECT_EQ(ReadFile(dir / "saved.txt"), log.Text());
    const auto lines = Lines(log.Text());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 23), "2024-01-01 12:00:00.200");
    EXPECT_EQ(lines[3].substr(0, 23), "2024-01-01 12:00:00.400");
}

// ---------------------------------------------------------------------------
// The row taken apart

std::string Find(const std::vector<TDetailLine>& Lines, std::string_view Name,
                 TDetailMark* Mark = nullptr) {
    for (const TDetailLine& l : Lines)
        if (l.Name == Name) {
            if (Mark) *Mark = l.Mark;
            return l.Value;
        }
    return "(none)";
}

TEST(TrafficDetail, FrameFieldsAndWhichChecksumIsWrong) {
    const std::string good = ReplyFrame(0, {0x00, 0x01});  // ~10016000C0040001FCE0\r
    ASSERT_EQ(good, "~10016000C0040001FCE0\r");
    std::string badSum = good;
    badSum[20] = '1';                                // CHKSUM FCE1
    std::string badLen = "~10016000D0040001FCDF\r";  // LCHKSUM D, CHKSUM matching the characters
    ASSERT_EQ(CheckFrameReason(AsBytes(badLen)), TFrameCheck::LChkSum);

    const struct {
        std::string frame;
        std::string lchk, chk, check;
        TDetailMark lchkMark, chkMark;
    } cases[] = {
        {good, "C 正确", "FCE0 正确", "校验通过", TDetailMark::Good, TDetailMark::Good},
        {badSum, "C 正确", "FCE1 错误, 应为 FCE0", "错误帧: CHKSUM错", TDetailMark::Good,
         TDetailMark::Bad},
        {badLen, "D 错误, 应为 C", "FCDF 正确", "错误帧: LCHKSUM错", TDetailMark::Bad,
         TDetailMark::Good},
    };
    for (const auto& c : cases) {
        TTrafficLog log;
        Receive(log, c.frame, 0, 0x45);
        const auto d = DescribeRow(log.Row(0));
        TDetailMark mark{};
        EXPECT_EQ(Find(d, "LCHKSUM", &mark), c.lchk);
        EXPECT_EQ(mark, c.lchkMark);
        EXPECT_EQ(Find(d, "CHKSUM", &mark), c.chk);
        EXPECT_EQ(mark, c.chkMark);
        EXPECT_EQ(Find(d, "接收"), c.check);
        EXPECT_EQ(Find(d, "VER"), "10");
        EXPECT_EQ(Find(d, "ADR"), "01 (地址 1)");
        EXPECT_EQ(Find(d, "CID1"), "60 分散空调");
        EXPECT_EQ(Find(d, "RTN"), "00 正常");
        EXPECT_EQ(Find(d, "INFO"), "00 01 (2 字节)");
        EXPECT_EQ(Find(d, "EOI"), "\\r");
    }
}

TEST(TrafficDetail, FramesTooShortToHoldEveryField) {
    TTrafficLog log;
    Receive(log, "~\r", 0, 0x42);
    Receive(log, "~1001604\r", 1, 0x42);
    Receive(log, "~100160000000FDB8X\r", 2, 0x42);  // odd length
    const auto d0 = DescribeRow(log.Row(0));
    EXPECT_EQ(Find(d0, "接收"), "错误帧: 帧长不足18字符");
    EXPECT_EQ(Find(d0, "VER"), "(帧太短)");
    EXPECT_EQ(Find(d0, "CHKSUM"), "(帧太短)");
    const auto d1 = DescribeRow(log.Row(1));
    EXPECT_EQ(Find(d1, "CID1"), "60 分散空调");
    EXPECT_EQ(Find(d1, "RTN"), "(帧太短)");
    const auto d2 = DescribeRow(log.Row(2));
    EXPECT_EQ(Find(d2, "接收"), "错误帧: 帧长为奇数");
    EXPECT_NE(Find(d2, "CHKSUM"), "(帧太短)");
}

TEST(TrafficDetail, DecodedReplyFieldsWithTheirNames) {
    TTrafficLog log;
    Bytes analog(38, 0x00);
    analog[0] = 0x02;                      // unit 2
    analog[1] = 0x00, analog[2] = 0xDC;    // voltage AB 220
    analog[13] = 0x20, analog[14] = 0x20;  // supply air temperature not detected
    analog[15] = 0xFF, analog[16] = 0xF6;  // return air temperature -10
    analog[25] = 6;
    Receive(log, ReplyFrame(0, analog), 0, 0x42, 40ms);
    Bytes alarms(13, 0x00);
    alarms[1] = 0xF0;
    Receive(log, ReplyFrame(0, alarms), 1, 0x44);
    Receive(log, ReplyFrame(0, Bytes(5, 0x01)), 2, 0x42);  // too short for 0x42
    Receive(log, ReplyFrame(0), 3, 0x45);
    Receive(log, ReplyFrame(4), 4, 0x47);

    const auto a = DescribeRow(log.Row(0));
    EXPECT_EQ(Find(a, "应答数据"), "0x42 读取模拟量");
    EXPECT_EQ(Find(a, "空调"), "空调2");
    EXPECT_EQ(Find(a, "主机工作线/相电压AB/A"), "220");
    EXPECT_EQ(Find(a, "送风温度"), "未检测");
    EXPECT_EQ(Find(a, "回风温度"), "-10");
    EXPECT_EQ(Find(a, "用户自定义遥测数量"), "6");
    EXPECT_EQ(Find(a, "机组运行时间"), "0");
    EXPECT_EQ(Find(a, "响应时间"), "40 ms (从命令写完到收到此帧)");
    EXPECT_EQ(Find(a, "LENID"), "04C = 76 个INFO字符");

    TDetailMark mark{};
    const auto al = DescribeRow(log.Row(1));
    EXPECT_EQ(Find(al, "主机工作线/相电压AB/A", &mark), "故障");
    EXPECT_EQ(mark, TDetailMark::Warning);
    EXPECT_EQ(Find(al, "主机工作线/相电压BC/B", &mark), "正常");
    EXPECT_EQ(mark, TDetailMark::Plain);
    EXPECT_EQ(Find(al, "用户自定义遥测数量"), "0");

    EXPECT_EQ(Find(DescribeRow(log.Row(2)), "应答数据", &mark),
              "0x42 读取模拟量 无法解码 (INFO 长度或空调号不对)");
    EXPECT_EQ(mark, TDetailMark::Bad);
    EXPECT_EQ(Find(DescribeRow(log.Row(3)), "应答数据"), "0x45 遥控 的应答不带数据解码");
    EXPECT_EQ(Find(DescribeRow(log.Row(4)), "应答数据"),
              "RTN 非0, 不解码 (命令 0x47 读取用户参数)");
    EXPECT_EQ(Find(DescribeRow(log.Row(4)), "RTN", &mark), "04 CID2无效");
    EXPECT_EQ(mark, TDetailMark::Bad);
}

TEST(TrafficDetail, LenIdThatDisagreesWithTheInfoIsPointedOut) {
    TTrafficLog log;
    Receive(log, "~10016000C00400FD41\r", 0, 0x45);  // LENID 4, two INFO characters
    TDetailMark mark{};
    EXPECT_EQ(Find(DescribeRow(log.Row(0)), "LENID", &mark), "004 = 4 个INFO字符, 实际 2 个");
    EXPECT_EQ(mark, TDetailMark::Warning);
}

TEST(TrafficDetail, CommandMissingAndVendorText) {
    TTrafficLog log;
    Send(log, 0x49, 0, {0, 0x86, 25});
    log.OnReplyMissing({At(350), 0x49, {0x49, 0x86, 25}, SteadyTime{}, 350ms});
    Bytes vendor(70, ' ');
    vendor[0] = 'A', vendor[1] = 0x00, vendor[2] = 0xE9;
    Receive(log, ReplyFrame(0, vendor), 400, 0x51);

    const auto s = DescribeRow(log.Row(0));
    EXPECT_EQ(Find(s, "发送"), "0x49 设置用户参数");
    EXPECT_EQ(Find(s, "CID2"), "49 设置用户参数");
    EXPECT_EQ(Find(s, "INFO"), "86 00 19 (3 字节)");
    EXPECT_EQ(Find(s, "长度"), "24 字符, 写入 24 字节");
    EXPECT_EQ(log.Row(0).Summary, "0x49 设置用户参数 温度设定值=25");
    const auto m = DescribeRow(log.Row(1));
    EXPECT_EQ(Find(m, "无应答"), "0x49 设置用户参数");
    EXPECT_EQ(Find(m, "说明"), "命令写完后 350 ms 内未收到任何帧");
    const auto v = DescribeRow(log.Row(2));
    EXPECT_EQ(Find(v, "采集器名称"), "\"A\\x00é" + std::string(27, ' ') + "\"");
    EXPECT_EQ(Find(v, "厂商名称"), "\"" + std::string(20, ' ') + "\"");
}

// ---------------------------------------------------------------------------
// The file writer

TEST(LogFileWriter, AppendsAndWritesTheHeaderOnlyIntoAnEmptyFile) {
    TTempDir dir;
    const auto path = dir / "log.txt";
    {
        TLogFileWriter w(path, TLogFileWriter::TMode::Append, "head");
        w.Write("one");
        ASSERT_TRUE(w.WaitIdle(5s));
        EXPECT_EQ(ReadFile(path), "head\none\n");  // on disk before the writer closes
    }
    {
        TLogFileWriter w(path, TLogFileWriter::TMode::Append, "head");
        w.Write("two");
        ASSERT_TRUE(w.Close(5s));
        EXPECT_EQ(w.Status().LinesWritten, 1u);
    }
    EXPECT_EQ(ReadFile(path), "head\none\ntwo\n");
    {
        TLogFileWriter w(path, TLogFileWriter::TMode::Truncate, "head");
        w.Write("three");
        ASSERT_TRUE(w.Close(5s));
    }
    EXPECT_EQ(ReadFile(path), "head\nthree\n");
}

TEST(LogFileWriter, FailuresAreReportedNotSwallowed) {
    TTempDir dir;
    const std::string missing = (dir / "no-such-folder" / "x.txt").string();
    const struct {
        std::string path;
        TLogFileWriter::TFailure failure;
        std::string text;  // what the operator reads
    } cases[] = {
        {missing,
         {TLogFileWriter::TStep::Open, ENOENT},
         "无法打开文件 " + missing + "：" + std::strerror(ENOENT)},
        {"/dev/full",
         {TLogFileWriter::TStep::Write, ENOSPC},
         std::string("写入文件 /dev/full 失败：") + std::strerror(ENOSPC)},
    };
    for (const auto& c : cases) {
        std::promise<TLogFileWriter::TEvent> failed;
        TLogFileWriter w(c.path, TLogFileWriter::TMode::Append, {},
                         [&](const TLogFileWriter::TEvent& e) {
                             if (e.Kind == TLogFileWriter::TEventKind::Failed) failed.set_value(e);
                         });
        for (int i = 0; i < 3; ++i)
            w.Write(std::string(5000, 'x'));
        auto f = failed.get_future();
        ASSERT_EQ(f.wait_for(5s), std::future_status::ready) << c.path;
        const auto e = f.get();
        EXPECT_EQ(e.Path, c.path);
        EXPECT_EQ(e.Failure, c.failure) << c.path << ": error " << e.Failure.Error;
        EXPECT_EQ(aircon::LogFileFailureText(e.Path, e.Failure), c.text);
        EXPECT_TRUE(w.Status().Failed);
        EXPECT_EQ(w.Status().Failure, e.Failure);
        w.Write("after");  // ignored, no second report
        EXPECT_TRUE(w.Close(5s));
    }
    // A failure on closing is worded as such.
    EXPECT_EQ(aircon::LogFileFailureText("/x/y.txt", {TLogFileWriter::TStep::Close, EIO}),
              std::string("关闭文件 /x/y.txt 失败：") + std::strerror(EIO));
}

// A disk that does not take anything (a pipe nobody reads yet): the caller goes on at
// once, what waits is bounded, and what had to be dropped is noted in the file.
TEST(LogFileWriter, NeverHoldsUpTheCallerAndBoundsWhatWaits) {
    TTempDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    TLogFileWriter w(fifo, TLogFileWriter::TMode::Append, {}, {}, 100);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i)
        w.Write("line " + std::to_string(i));  // 7 or 8 bytes each with the line feed
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(w.WaitIdle(50ms));  // the writer is still waiting for the pipe to open
    const auto status = w.Status();
    EXPECT_FALSE(status.Opened);
    EXPECT_EQ(status.PendingBytes, 7u * 10 + 8u * 3);  // "line 0" .. "line 12"
    EXPECT_EQ(status.LinesDropped, 37u);

    std::string got;
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char buf[256];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
    });
    ASSERT_TRUE(w.Close(5s));
    reader.join();
    const auto lines = Lines(got);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[12], "line 12");
    EXPECT_EQ(lines[13], "（磁盘跟不上：此处 37 行未写入）");
}

}  // namespace
}  // namespace aircon
