// The capture file: the pcap bytes as other tools read them, the size limit with the
// oldest file dropped first, damaged files refused with where, files of other byte
// orders read, and the replay clock firing timers on the way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Capture.h"
#include "CoreTestSupport.h"

namespace coretest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TTempDir {
  public:
    TTempDir() {
        FPath = fs::temp_directory_path() /
                ("capture_test_" + std::to_string(::getpid()) + "_" + std::to_string(++Count()));
        fs::remove_all(FPath);
        fs::create_directories(FPath);
    }
    ~TTempDir() {
        std::error_code ec;
        fs::remove_all(FPath, ec);
    }
    const fs::path& Path() const { return FPath; }

  private:
    static int& Count() {
        static int n = 0;
        return n;
    }
    fs::path FPath;
};

Bytes FileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Capture, BytesAsPcapReadersExpect) {
    TTempDir dir;
    TFakeClock clock;
    const fs::path file = dir.Path() / "line.pcap";
    TCaptureWriter w(clock, file.string(), 1 << 20);
    ASSERT_TRUE(w.Open()) << w.Error();
    const WallTime at = WallTime(std::chrono::seconds(0x01020304) + std::chrono::microseconds(5));
    const std::string cmd = "~1001604200000FDB0\r";
    w.Add(at, TCaptureDirection::Sent, AsBytes(cmd));
    w.Add(at + 1500ms, TCaptureDirection::Heard, AsBytes("~10"));

    const Bytes b = FileBytes(file);
    const Bytes header{0xD4, 0xC3, 0xB2, 0xA1, 2,    0,    4, 0, 0,   0, 0, 0,
                       0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 147, 0, 0, 0};
    ASSERT_GE(b.size(), 24u + 16 + 1 + cmd.size());
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 24), header);
    const Bytes record{0x04, 0x03, 0x02, 0x01, 5, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 1};
    EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 41), record);
    EXPECT_EQ(Text(std::span(b).subspan(41, cmd.size())), cmd);
    EXPECT_EQ(b.size(), 24u + (16 + 1 + cmd.size()) + (16 + 1 + 3));
    EXPECT_EQ(w.FileSize(), b.size());

    const TCaptureFile read = ReadCapture(file.string());
    EXPECT_EQ(read.Error, "");
    ASSERT_EQ(read.Records.size(), 2u);
    EXPECT_EQ(read.Records[0].Time, at);
    EXPECT_EQ(read.Records[0].Direction, TCaptureDirection::Sent);
    EXPECT_EQ(Text(read.Records[0].Bytes), cmd);
    EXPECT_EQ(read.Records[1].Time, at + 1500ms);
    EXPECT_EQ(read.Records[1].Direction, TCaptureDirection::Heard);
}

TEST(Capture, SizeLimitDropsTheOldestFirst) {
    TTempDir dir;
    TFakeClock clock;
    const fs::path file = dir.Path() / "line.pcap";
    const std::uint64_t limit = 10000;  // 1000 bytes a file
    TCaptureWriter w(clock, file.string(), limit);
    ASSERT_TRUE(w.Open());
    const int blocks = 200;
    for (int i = 0; i < blocks; ++i) {
        std::string block = "block " + std::to_string(i) + " ";
        block.resize(80, '.');
        w.Received(AsBytes(block));
        clock.Advance(10ms);
    }
    EXPECT_EQ(w.Error(), "");
    std::uint64_t total = 0;
    std::vector<std::string> order;  // oldest first
    for (int n = CaptureKept; n >= 0; --n) {
        const fs::path p = n == 0 ? file : fs::path(file.string() + "." + std::to_string(n));
        ASSERT_TRUE(fs::exists(p)) << p;
        total += fs::file_size(p);
        EXPECT_LE(fs::file_size(p), limit / 10) << p;
        const TCaptureFile f = ReadCapture(p.string());
        EXPECT_EQ(f.Error, "") << "every turned-over file opens on its own";
        for (const auto& r : f.Records)
            order.push_back(Text(r.Bytes).substr(0, 10));
    }
    EXPECT_FALSE(fs::exists(file.string() + "." + std::to_string(CaptureKept + 1)));
    EXPECT_LE(total, limit);
    // The newest blocks, in order, none lost between the files kept.
    ASSERT_FALSE(order.empty());
    const int first = blocks - static_cast<int>(order.size());
    EXPECT_GT(first, 0) << "the oldest were dropped";
    for (std::size_t i = 0; i < order.size(); ++i) {
        std::string want = "block " + std::to_string(first + static_cast<int>(i)) + " ";
        want.resize(10, '.');
        EXPECT_EQ(order[i], want) << i;
    }
}

TEST(Capture, DamagedFilesSayWhatAndWhere) {
    TTempDir dir;
    TFakeClock clock;
    const fs::path good = dir.Path() / "good.pcap";
    {
        TCaptureWriter w(clock, good.string(), 1 << 20);
        ASSERT_TRUE(w.Open());
        w.Received(AsBytes("~10016042"));
        w.Received(AsBytes("00000FDB0\r"));
    }
    const Bytes whole = FileBytes(good);
    ASSERT_EQ(whole.size(), 24u + 16 + 10 + 16 + 11);
    struct TCase {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::string error;  // after "<name>: "
        std::size_t kept;
    };
    const TCase cases[] = {
        {"sound", [](Bytes&) {}, "", 2},
        {"empty", [](Bytes& b) { b.clear(); }, "byte 0: too short for a pcap file header", 0},
        {"not pcap", [](Bytes& b) { b[0] = 0x0A; },
         "byte 0: not a pcap file (pcapng and other formats are not read)", 0},
        {"another link type", [](Bytes& b) { b[20] = 1; },
         "byte 20: link type 1, not 147 (USER0) of this tool", 0},
        {"the last record cut short", [](Bytes& b) { b.pop_back(); }, "byte 50: a record cut short",
         1},
        {"a record header cut short", [](Bytes& b) { b.resize(24 + 26 + 5); },
         "byte 50: a record header cut short", 1},
        {"an empty record", [](Bytes& b) { std::fill(b.begin() + 58, b.begin() + 66, 0); },
         "byte 58: a record of 0 bytes", 1},
        {"an unknown direction", [](Bytes& b) { b[24 + 16] = 7; }, "byte 40: direction 7 unknown",
         0},
        {"microseconds out of range", [](Bytes& b) { b[24 + 7] = 0x7F; },
         "byte 28: a fraction of a second out of range", 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = whole;
        c.damage(b);
        const TCaptureFile f = ParseCapture(b, "x.pcap");
        EXPECT_EQ(f.Error, c.error.empty() ? "" : "x.pcap: " + c.error);
        EXPECT_EQ(f.Records.size(), c.kept);
    }
    EXPECT_NE(ReadCapture((dir.Path() / "none.pcap").string()).Error.find("cannot open"),
              std::string::npos);
}

TEST(Capture, AFileThatCannotBeWrittenIsSaidSo) {
    TTempDir dir;
    TFakeClock clock;
    const fs::path file = dir.Path() / "no such folder" / "line.pcap";
    TCaptureWriter w(clock, file.string(), 1 << 20);
    std::vector<std::string> reported;
    w.OnError = [&](const std::string& e) { reported.push_back(e); };
    EXPECT_FALSE(w.Open());
    EXPECT_EQ(w.Error(), "cannot create " + file.string() + ": No such file or directory");
    EXPECT_EQ(reported, std::vector<std::string>{w.Error()});
    w.Received(AsBytes("~10"));  // nothing to write to, and nothing said twice
    EXPECT_EQ(reported.size(), 1u);
    EXPECT_FALSE(fs::exists(file));
}

TEST(Capture, OtherByteOrderAndNanoseconds) {
    // Big-endian, nanosecond magic, as another machine's tool may write it.
    const Bytes b{0xA1, 0xB2, 0x3C, 0x4D, 0,    2,    0, 4, 0, 0,   0, 0, 0, 0,
                  0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 0, 147, 0, 0, 0, 10,
                  0x3B, 0x9A, 0xC9, 0xFF, 0,    0,    0, 2, 0, 0,   0, 2, 2, '~'};
    const TCaptureFile f = ParseCapture(b, "be.pcap");
    EXPECT_EQ(f.Error, "");
    ASSERT_EQ(f.Records.size(), 1u);
    EXPECT_EQ(f.Records[0].Time.time_since_epoch(),
              std::chrono::duration_cast<WallTime::duration>(10s + 999999999ns));
    EXPECT_EQ(Text(f.Records[0].Bytes), "~");
}

TEST(ReplayClock, FiresTimersOnTheWayInOrder) {
    TReplayClock clock;
    const WallTime t0 = WallTime(std::chrono::seconds(1000));
    clock.AdvanceTo(t0);
    std::vector<std::string> fired;
    TTimer a(clock, 300, true), b(clock, 500, true);
    a.OnTimer = [&] { fired.push_back("a " + std::to_string((clock.WallNow() - t0) / 1ms)); };
    b.OnTimer = [&] {
        fired.push_back("b " + std::to_string((clock.WallNow() - t0) / 1ms));
        b.SetEnabled(false);
    };
    clock.AdvanceTo(t0 + 1000ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"a 300", "b 500", "a 600", "a 900"}));
    EXPECT_EQ(clock.WallNow(), t0 + 1000ms);
    clock.AdvanceTo(t0 + 500ms);  // never back
    EXPECT_EQ(clock.WallNow(), t0 + 1000ms);
}

}  // namespace
}  // namespace coretest
