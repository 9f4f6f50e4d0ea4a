// Byte streams through the monitoring core on the fake clock, into the traffic log and
// the link counters side by side: the rows the operator reads and the figures of the
// status bar, one case per line fault, as one table. The continuous file is on in every
// case and must hold exactly the rows of the log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CoreTestSupport.h"
#include "LinkCounters.h"
#include "TrafficDetail.h"
#include "TrafficRows.h"

namespace coretest {
namespace {

using namespace std::chrono_literals;

struct TUtc {
    TUtc() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
} const utc;

// The frame with its LCHKSUM nibble replaced and its CHKSUM made right again: only the
// length checksum is wrong.
std::string WithWrongLChkSum(std::string Frame) {
    Frame[9] = Frame[9] == 'F' ? 'E' : static_cast<char>(Frame[9] + 1);
    const std::size_t end = Frame.size() - 5;
    const std::uint16_t sum = TDH::CalcChkSum(AsBytes(Frame).first(end));
    return Frame.substr(0, end) + Hex2(sum >> 8) + Hex2(sum & 0xFF) + "\r";
}

// The frame with one CHKSUM digit changed.
std::string WithWrongChkSum(std::string Frame) {
    char& c = Frame[Frame.size() - 2];
    c = c == '0' ? '1' : '0';
    return Frame;
}

struct TCounts {
    std::uint64_t sent, replies, missing, errors, rtn, noise;
    std::optional<long long> last, min, mean, max;
};

struct TStep {
    long long at;
    std::function<void(TRig&)> act;
};

struct TCase {
    const char* name;
    std::string poll;  // the poll interval; empty: no automatic polling
    std::vector<TStep> steps;
    long long runTo;
    // "time|direction|summary|response" of every row after the opening
    std::vector<std::string> rows;
    TCounts counts;
    std::vector<std::string> bad = {};  // marked wrong in the last received row's detail
};

void Send42(TRig& r) {
    r.Monitor.SendNoDataCmd(1, 0x42);
}

// A noise row adds its bytes, in hexadecimal and as text.
std::string Row(const TTrafficRow& R) {
    std::string row = LocalTimeText(R.At.Wall, false) + "|" + std::string(DirectionText(R.Kind)) +
                      "|" + R.Summary + "|" + ResponseText(R);
    if (R.Kind == TRowKind::Noise) row += "|" + SpacedHex(R.Frame) + "|" + EscapedText(R.Frame);
    return row;
}

std::string Opt(const std::optional<long long>& v) {
    return v ? std::to_string(*v) : "-";
}
std::string Opt(const std::optional<Millis>& v) {
    return v ? std::to_string(v->count()) : "-";
}

TEST(TrafficThroughCore, RowsAndCountersOfEachLineFault) {
    const std::string good = Reply(0, AnalogInfo());
    const std::string half1 = good.substr(0, 30), half2 = good.substr(30);
    const std::string cmd42 = "00:00:00.000|发送|0x42 读取模拟量|";

    const TCase cases[] = {
        {"good reply",
         "",
         {{0, Send42}, {40, [&](TRig& r) { r.Feed(good); }}},
         100,
         {cmd42, "00:00:00.040|接收|RTN 0 正常, 38 字节|40 ms"},
         {1, 1, 0, 0, 0, 0, 40, 40, 40, 40}},
        {"bad CHKSUM",
         "",
         {{0, Send42}, {30, [&](TRig& r) { r.Feed(WithWrongChkSum(good)); }}},
         100,
         {cmd42, "00:00:00.030|接收|CHKSUM错|30 ms"},
         {1, 0, 0, 1, 0, 0, 30, 30, 30, 30},
         {"接收", "CHKSUM"}},
        {"bad LCHKSUM",
         "",
         {{0, Send42}, {35, [&](TRig& r) { r.Feed(WithWrongLChkSum(good)); }}},
         100,
         {cmd42, "00:00:00.035|接收|LCHKSUM错|35 ms"},
         {1, 0, 0, 1, 0, 0, 35, 35, 35, 35},
         {"接收", "LCHKSUM"}},
        {"split reply: timed at its last byte",
         "",
         {{0, Send42},
          {20, [&](TRig& r) { r.Feed(half1); }},
          {45, [&](TRig& r) { r.Feed(half2); }}},
         100,
         {cmd42, "00:00:00.045|接收|RTN 0 正常, 38 字节|45 ms"},
         {1, 1, 0, 0, 0, 0, 45, 45, 45, 45}},
        // Each run of noise in its place on the line, with its bytes.
        {"noise between frames",
         "",
         {{0, Send42},
          {30, [&](TRig& r) { r.Feed(std::string("\x00\xFF", 2) + good + "zz"); }},
          {60, [&](TRig& r) { r.Feed("\r\n#"); }}},
         100,
         {cmd42, "00:00:00.030|噪声|噪声 2 字节 (不属于任何帧)||00 FF|\\x00\\xFF",
          "00:00:00.030|接收|RTN 0 正常, 38 字节|30 ms",
          "00:00:00.030|噪声|噪声 2 字节 (不属于任何帧)||7A 7A|zz",
          "00:00:00.060|噪声|噪声 3 字节 (不属于任何帧)||0D 0A 23|\\r\\n#"},
         {1, 1, 0, 0, 0, 7, 30, 30, 30, 30}},
        // A frame cut short by a "~" is noise before the frame that restarted it, also
        // when its start came in an earlier block; a frame that outgrows the buffer is
        // noise where it was.
        {"restarted and overlong frames",
         "",
         {{0, Send42},
          {10, [&](TRig& r) { r.Feed("~10"); }},
          {20, [&](TRig& r) { r.Feed("01~2" + good); }},
          {50, [&](TRig& r) { r.Feed("~" + std::string(1100, 'A') + good); }}},
         100,
         {cmd42, "00:00:00.020|噪声|噪声 7 字节 (不属于任何帧)||7E 31 30 30 31 7E 32|~1001~2",
          "00:00:00.020|接收|RTN 0 正常, 38 字节|20 ms",
          "00:00:00.050|噪声|噪声 1101 字节 (不属于任何帧), 记录前 1024 字节||7E " +
              SpacedHex(std::vector<std::uint8_t>(1023, 'A')) + "|~" + std::string(1023, 'A'),
          "00:00:00.050|接收|RTN 0 正常, 38 字节|"},
         {1, 2, 0, 0, 0, 1108, 20, 20, 20, 20}},
        {"RTN 2",
         "",
         {{0, [](TRig& r) { r.Monitor.SendSetParamsCmd(1, 0x80, 32); }},
          {25, [](TRig& r) { r.Feed(Reply(2)); }}},
         100,
         {"00:00:00.000|发送|0x49 设置用户参数 空调开机温度=32|",
          "00:00:00.025|接收|RTN 2 CHKSUM错, 0 字节|25 ms"},
         {1, 1, 0, 0, 1, 0, 25, 25, 25, 25},
         {"RTN"}},
        {"missing reply: reported one reply time-out after the write",
         "1000",
         {},
         2400,
         {"00:00:01.350|发送|0x42 读取模拟量|",
          "00:00:01.700|无应答|无应答 350 ms, 0x42 读取模拟量|",
          "00:00:02.350|发送|0x43 读取开关量|"},
         {2, 0, 1, 0, 0, 0, {}, {}, {}, {}}},
        {"late reply: after its command was reported missing",
         "1000",
         {{1800, [&](TRig& r) { r.Feed(good); }}},
         1900,
         {"00:00:01.350|发送|0x42 读取模拟量|",
          "00:00:01.700|无应答|无应答 350 ms, 0x42 读取模拟量|",
          "00:00:01.800|接收|迟到 RTN 0 正常, 38 字节|450 ms"},
         {1, 1, 1, 0, 0, 0, 450, 450, 450, 450}},
    };

    const auto dir = std::filesystem::temp_directory_path() /
                     ("traffic-core-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TRig rig;
        rig.Inputs.Auto = !c.poll.empty();
        if (!c.poll.empty()) rig.Inputs.Interval = std::stoi(c.poll);
        TTrafficLog log;
        TLinkCounters counters;
        rig.Monitor.AddObserver(log);
        rig.Monitor.AddObserver(counters);
        const auto file = dir / (std::string(c.name).substr(0, 8) + ".txt");
        std::filesystem::remove(file);
        log.StartFile(file, {});
        rig.Open("ttyV0");
        for (const TStep& s : c.steps) {
            rig.RunTo(s.at);
            s.act(rig);
        }
        rig.RunTo(c.runTo);

        ASSERT_GE(log.Size(), 1u);
        EXPECT_EQ(log.Row(0).Summary, "打开 ttyV0");
        std::vector<std::string> rows;
        for (std::size_t i = 1; i < log.Size(); ++i)
            rows.push_back(Row(log.Row(i)));
        EXPECT_EQ(rows, c.rows);

        const TLinkCountersData& d = counters.Data();
        const TCounts& n = c.counts;
        EXPECT_EQ(d.CommandsSent, n.sent);
        EXPECT_EQ(d.Replies, n.replies);
        EXPECT_EQ(d.RepliesMissing, n.missing);
        EXPECT_EQ(d.ErrorFrames, n.errors);
        EXPECT_EQ(d.RtnErrors, n.rtn);
        EXPECT_EQ(d.NoiseBytes, n.noise);
        EXPECT_EQ(Opt(d.LastResponse), Opt(n.last));
        EXPECT_EQ(Opt(d.MinResponse), Opt(n.min));
        EXPECT_EQ(Opt(d.MeanResponse), Opt(n.mean));
        EXPECT_EQ(Opt(d.MaxResponse), Opt(n.max));

        // Which checksum is wrong, in the detail of the received row.
        for (std::size_t i = log.Size(); i-- > 0;) {
            if (log.Row(i).Kind != TRowKind::Received) continue;
            std::vector<std::string> bad;
            for (const TDetailLine& l : DescribeRow(log.Row(i)))
                if (l.Mark == TDetailMark::Bad) bad.push_back(l.Name);
            EXPECT_EQ(bad, c.bad) << "fields marked wrong in the received row";
            break;
        }

        // The file holds what the log holds, line for line.
        ASSERT_TRUE(log.File()->WaitIdle(5s));
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), log.Text());
        rig.Monitor.RemoveObserver(log);
        rig.Monitor.RemoveObserver(counters);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace coretest
