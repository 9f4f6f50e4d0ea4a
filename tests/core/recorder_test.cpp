// The recorder on a monitor driven by the fake clock: replies through the core become
// the expected rows of one file per opening of the link; the file reads back to the very
// replies the core decoded; old recordings make room, oldest first; a folder that cannot
// be written, a full disk and a writer that falls behind each say so once while the
// monitoring goes on, and no row goes missing without a count.
#include "Recorder.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "CoreTestSupport.h"
#include "RecordingTestSupport.h"
#include "TestSupport.h"

namespace {

using namespace coretest;
using namespace recordingtest;
namespace fs = std::filesystem;
using aircon::TRecorder;
using aircon::TRecorderSettings;
using aircon::TRecordingEvent;
using aircon::TRecordingEventKind;
using aircon::TRecordingProblem;

// A folder of its own under the system's temporary folder, removed afterwards.
class TTempDir {
  public:
    const fs::path& Path() const { return FDir.Path(); }

  private:
    testsupport::TTempDir FDir{"rec-test"};
};

std::string ReadFile(const fs::path& P) {
    std::ifstream in(P, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < Text.size()) {
        const std::size_t lf = Text.find('\n', pos);
        const std::size_t end = lf == std::string::npos ? Text.size() : lf + 1;
        lines.push_back(Text.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

std::vector<fs::path> Files(const fs::path& Folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(Folder, ec))
        files.push_back(e.path().filename());
    std::sort(files.begin(), files.end());
    return files;
}

std::string Describe(const TRecordingEvent& E) {
    switch (E.Kind) {
        case TRecordingEventKind::Started:
            return "started " + E.File.filename().string();
        case TRecordingEventKind::Stopped:
            return "stopped " + E.File.filename().string() + " rows " + std::to_string(E.Rows) +
                   " lost " + std::to_string(E.LostRows);
        case TRecordingEventKind::Error:
            switch (E.Problem) {
                case TRecordingProblem::None:
                    return "error without a problem";
                case TRecordingProblem::FolderNotMade:
                    return "error folder not made";
                case TRecordingProblem::FileNotMade:
                    return "error file not made";
                case TRecordingProblem::WriteFailed:
                    return "error write failed";
                case TRecordingProblem::SizeLimitReached:
                    return "error size limit reached";
                case TRecordingProblem::SizeLimitZero:
                    return "error size limit 0 refused";
                case TRecordingProblem::SizeLimitTooLarge:
                    return "error size limit too large";
                case TRecordingProblem::WriterBehind:
                    return "error writer behind";
            }
    }
    return "?";
}

// A controller's replies with values a test can see in the cells.
Bytes AnalogReply(std::uint8_t DataFlag, std::uint16_t Base) {
    Bytes b(38);
    b[0] = DataFlag;
    for (std::size_t i = 0; i < 12; ++i) {
        b[1 + 2 * i] = static_cast<std::uint8_t>((Base + i) >> 8);
        b[2 + 2 * i] = static_cast<std::uint8_t>(Base + i);
    }
    b[13] = 0xFF;  // supply-air temperature -3 (signed)
    b[14] = 0xFD;
    b[15] = 0x20;  // return-air temperature not detected
    b[16] = 0x20;
    b[25] = 6;
    for (std::size_t i = 0; i < 6; ++i) {
        b[26 + 2 * i] = 0;
        b[27 + 2 * i] = static_cast<std::uint8_t>(30 + i);
    }
    return b;
}

// The rig: a monitor on the fake clock (calendar 2026-12-10 14:03:07 local), a
// controller that answers every command after 20 ms, and the recorder.
struct TRecRig {
    explicit TRecRig(const fs::path& Folder, TRecorderSettings Settings = {})
        : Rec(Clock, [&] {
              Settings.Folder = Folder;
              return Settings;
          }()) {
        Monitor.AddObserver(Rec);
        Monitor.AddObserver(Events);
        Rec.OnEvent = [this](const TRecordingEvent& e) {
            Seen.push_back(Describe(e));
            if (e.Kind == TRecordingEventKind::Started) File = e.File;
            if (e.Kind == TRecordingEventKind::Error) Errors.push_back(e);
        };
        Responder.Answers = [this](std::uint8_t Cid2) { return Answer(Cid2); };
    }
    ~TRecRig() { Monitor.RemoveObserver(Rec); }

    std::string Answer(std::uint8_t Cid2) {
        switch (Cid2) {
            case 0x42:
                return Reply(0, AnalogReply(static_cast<std::uint8_t>(Unit << 1), Base));
            case 0x43: {
                Bytes b = {
                    static_cast<std::uint8_t>(Unit << 1), 0, 9, 1, 3, 0, 1, 2, 0x20, 1, 0, 0};
                return Reply(0, b);
            }
            case 0x44: {
                Bytes b(38, 0);
                b[0] = static_cast<std::uint8_t>(Unit << 1);
                b[10] = CompressorAlarm;
                b[12] = 25;
                return Reply(0, b);
            }
            case 0x47: {
                Bytes b = {0, 32, 0, 18, 0, 35, 0xFF, 0xF6, 0, 80, 0x20, 0x20, 0, 25, 9};
                for (std::uint16_t item : {1, 3, 0, 1, 8224, 30, 20, 1, 2}) {
                    b.push_back(static_cast<std::uint8_t>(item >> 8));
                    b.push_back(static_cast<std::uint8_t>(item));
                }
                return Reply(0, b);
            }
            case 0x4F:
                return Reply(0, {}, 1, 0x21);
            case 0x50:
                return Reply(0, {}, 12);
            case 0x51: {
                Bytes b(70, ' ');
                const std::string name = "=HYPERLINK(\"x\")";
                std::copy(name.begin(), name.end(), b.begin());
                b[29] = 0;
                const std::string soft = "V2.1";
                std::copy(soft.begin(), soft.end(), b.begin() + 30);
                const std::string vendor = "Nord, \"AC\"";
                std::copy(vendor.begin(), vendor.end(), b.begin() + 50);
                return Reply(0, b);
            }
            default:
                return Reply(0);
        }
    }

    void Open(std::string Port = "/dev/ttyUSB0") {
        Link.Open = true;
        Monitor.LinkOpened(std::move(Port));
    }
    void Close() {
        Link.Open = false;
        Monitor.LinkClosed();
    }
    void Run(long long Ms) { Clock.Advance(Millis(Ms)); }

    TFakeClock Clock{WallTime(std::chrono::seconds(1796882587))};  // 14:03:07.000 local
    TFakeLink Link{Clock};
    TInputs Inputs;
    TMonitor Monitor{Clock, Link, Inputs};
    coretest::TRecorder Events{Clock};
    TResponder Responder{Clock, Link, Monitor};
    TRecorder Rec;
    std::vector<std::string> Seen;
    std::vector<TRecordingEvent> Errors;  // the error events, whole
    fs::path File;
    int Unit = 0;
    std::uint16_t Base = 220;
    std::uint8_t CompressorAlarm = 0;
};

TEST(Recorder, RepliesThroughTheCoreBecomeTheseRows) {
    TTempDir dir;
    TRecRig rig(dir.Path() / "recordings");
    rig.Open();
    rig.Run(1600);  // 0x42 at 850, 0x43 at 1200, 0x44 at 1550 (+20 ms each)
    rig.Unit = 1;
    rig.CompressorAlarm = 0xF0;
    rig.Run(1500);  // the second unit answers the next cycle
    rig.Inputs.Auto = false;
    for (std::uint8_t c : {0x47, 0x4F, 0x50, 0x51})
        rig.Monitor.QueueCommand(TIntCMD{c, 0, 0});
    rig.Run(2000);
    rig.Close();
    rig.Rec.Sync();

    EXPECT_EQ(Files(dir.Path() / "recordings"),
              std::vector<fs::path>{"2026-12-10_14-03-07_ttyUSB0.csv"});
    const std::string text = ReadFile(rig.File);
    ASSERT_TRUE(text.starts_with(std::string(Utf8Bom) + RecordingHeader()));
    const auto lines = Lines(text.substr(Utf8Bom.size() + RecordingHeader().size()));
    const std::vector<TCells> expected = {
        {{"时间", "2026-12-10 14:03:07.870"},
         {"类型", "模拟量"},
         {"空调", "1"},
         {"字段数", "18"},
         {"模拟量·主机工作线/相电压AB/A", "220"},
         {"模拟量·主机工作线/相电压BC/B", "221"},
         {"模拟量·主机工作线/相电压CA/C", "222"},
         {"模拟量·主机工作电流A相", "223"},
         {"模拟量·主机工作电流B相", "224"},
         {"模拟量·主机工作电流C相", "225"},
         {"模拟量·送风温度", "-3"},
         {"模拟量·送风湿度", "228"},
         {"模拟量·回风湿度", "229"},
         {"模拟量·压缩机吸气压力", "230"},
         {"模拟量·压缩机排气压力", "231"},
         {"模拟量·室外环境温度", "30"},
         {"模拟量·排气温度", "31"},
         {"模拟量·室外湿度", "32"},
         {"模拟量·室内盘管温度", "33"},
         {"模拟量·压缩机运行时间", "34"},
         {"模拟量·机组运行时间", "35"},
         {"模拟量·用户自定义遥测数量", "6"}},
        {{"时间", "2026-12-10 14:03:08.220"},
         {"类型", "开关量"},
         {"空调", "1"},
         {"字段数", "10"},
         {"开关量·空调状态", "开机"},
         {"开关量·空调状态·代码", "0"},
         {"开关量·运行模式", "制冷"},
         {"开关量·运行模式·代码", "1"},
         {"开关量·内风机", "高风"},
         {"开关量·内风机·代码", "3"},
         {"开关量·四通阀", "停止"},
         {"开关量·四通阀·代码", "0"},
         {"开关量·压缩机启停", "运转"},
         {"开关量·压缩机启停·代码", "1"},
         {"开关量·外风机", "中风"},
         {"开关量·外风机·代码", "2"},
         {"开关量·摆风状态", "未检测"},
         {"开关量·电加热", "开启"},
         {"开关量·电加热·代码", "1"},
         {"开关量·排风机", "关闭"},
         {"开关量·排风机·代码", "0"},
         {"开关量·水泵状态", "关闭"},
         {"开关量·水泵状态·代码", "0"},
         {"开关量·用户自定义状态数量", "9"}},
    };
    ASSERT_GE(lines.size(), 2u);
    ExpectRow(lines[0], expected[0]);
    ExpectRow(lines[1], expected[1]);

    // The rest by their first columns and what changed: the alarm rows of both units,
    // the parameters, the identity.
    const struct {
        const char* head;  // 时间,类型,空调,字段数
        TCells cells;      // cells beyond the ones every row of its kind has
    } rest[] = {
        {"2026-12-10 14:03:08.570,告警状态,1,36", {{"告警状态·压缩机过载", "正常"}}},
        {"2026-12-10 14:03:09.370,模拟量,2,18", {{"模拟量·送风温度", "-3"}}},
        {"2026-12-10 14:03:09.720,开关量,2,10", {}},
        {"2026-12-10 14:03:10.070,告警状态,2,36",
         {{"告警状态·压缩机过载", "故障"}, {"告警状态·压缩机过载·代码", "240"}}},
        {"2026-12-10 14:03:10.420,用户参数,,16",
         {{"用户参数·回风温度下限", "-10"},
          {"用户参数·回风湿度下限", ""},
          {"用户参数·运行模式设定", "制冷"},
          {"用户参数·双机备份切换时间", "8224"}}},
        {"2026-12-10 14:03:10.770,协议版本号,,1", {{"协议版本号", "2.1"}}},
        {"2026-12-10 14:03:11.120,设备地址,,1", {{"设备地址", "12"}}},
        {"2026-12-10 14:03:11.470,厂商信息,,3",
         {{"厂商信息·采集器名称", "'=HYPERLINK(\"x\")              \u2400"},
          {"厂商信息·厂商软件版本", "V2.1                "},
          {"厂商信息·厂商名称", "Nord, \"AC\"          "}}},
    };
    ASSERT_EQ(lines.size(), 2 + std::size(rest));
    const auto& names = RecordingColumns();
    for (std::size_t i = 0; i < std::size(rest); ++i) {
        SCOPED_TRACE(rest[i].head);
        const auto cells = Split(lines[2 + i].substr(0, lines[2 + i].size() - 2));
        ASSERT_EQ(cells.size(), names.size());
        EXPECT_EQ(cells[0] + "," + cells[1] + "," + cells[2] + "," + cells[3], rest[i].head);
        for (const auto& [name, value] : rest[i].cells) {
            const auto at = std::find(names.begin(), names.end(), name) - names.begin();
            ASSERT_LT(static_cast<std::size_t>(at), names.size()) << name;
            EXPECT_EQ(cells[static_cast<std::size_t>(at)], value) << name;
        }
    }
    EXPECT_EQ(rig.Seen,
              (std::vector<std::string>{"started 2026-12-10_14-03-07_ttyUSB0.csv",
                                        "stopped 2026-12-10_14-03-07_ttyUSB0.csv rows 10 lost 0"}));
}

TEST(Recorder, AFileReadsBackToTheRepliesTheCoreDecoded) {
    TTempDir dir;
    TRecRig rig(dir.Path());
    rig.Open("ttyS1");
    for (int i = 0; i < 400; ++i) {  // an hour's worth of changes in a few minutes
        rig.Unit = i % 2;
        rig.Base = static_cast<std::uint16_t>(200 + i % 37);
        rig.CompressorAlarm = i % 5 == 0 ? 0xF0 : 0;
        rig.Run(1500);
    }
    rig.Inputs.Auto = false;
    for (std::uint8_t c : {0x47, 0x4F, 0x50, 0x51})
        rig.Monitor.QueueCommand(TIntCMD{c, 0, 0});
    rig.Run(2000);
    rig.Close();
    rig.Rec.Sync();

    std::ifstream in(rig.File, std::ios::binary);
    TRecordingReader reader(in);
    ASSERT_TRUE(reader.Ok()) << static_cast<int>(reader.Refusal().Kind);
    std::vector<TReplyData> read;
    std::vector<WallTime> times;
    TRecordedRow row;
    while (reader.Next(row)) {
        ASSERT_TRUE(row.Reply);
        read.push_back(*row.Reply);
        times.push_back(row.At);
    }
    EXPECT_EQ(reader.DamagedRows(), 0u) << reader.FirstDamage().value_or(aircon::TRowDamage{}).Line;
    EXPECT_FALSE(reader.Truncated());
    ASSERT_EQ(read.size(), rig.Events.Decoded.size());
    ASSERT_GT(read.size(), 400u);
    // The decoded replies, with the DATAFLAG bits that name no unit left out.
    for (std::size_t i = 0; i < read.size(); ++i)
        EXPECT_EQ(read[i], rig.Events.Decoded[i]) << "row " << i;
    // Each row carries the time its reply came, to the millisecond.
    EXPECT_EQ(times.front(), WallTime(std::chrono::milliseconds(1796882587870LL)));
}

TEST(Recorder, OneRecordingPerOpeningAndOnlyWhileSwitchedOn) {
    TTempDir dir;
    TRecRig rig(dir.Path());
    rig.Open("ttyUSB0");
    rig.Run(900);
    rig.Close();
    rig.Open("ttyUSB0");  // the same second: a name of its own
    rig.Run(900);
    rig.Close();
    rig.Rec.SetEnabled(false);
    rig.Open("ttyUSB0");
    rig.Run(3000);
    rig.Rec.SetEnabled(true);  // switched on while the link is open: from now on
    rig.Run(600);
    rig.Rec.SetEnabled(false);  // and off again: that recording ends
    rig.Run(3000);
    rig.Close();
    rig.Open("ttyUSB0");  // still off
    rig.Run(900);
    rig.Close();
    rig.Rec.SetEnabled(true);  // on again, for the next opening
    rig.Open("/home/me/v port#1");
    rig.Run(900);
    rig.Close();
    rig.Rec.Sync();
    EXPECT_EQ(Files(dir.Path()), (std::vector<fs::path>{
                                     "2026-12-10_14-03-07_ttyUSB0.csv",
                                     "2026-12-10_14-03-07_ttyUSB0_2.csv",
                                     "2026-12-10_14-03-11_ttyUSB0.csv",
                                     "2026-12-10_14-03-16_v_port_1.csv",
                                 }));
    EXPECT_EQ(rig.Seen, (std::vector<std::string>{
                            "started 2026-12-10_14-03-07_ttyUSB0.csv",
                            "stopped 2026-12-10_14-03-07_ttyUSB0.csv rows 1 lost 0",
                            "started 2026-12-10_14-03-07_ttyUSB0_2.csv",
                            "stopped 2026-12-10_14-03-07_ttyUSB0_2.csv rows 1 lost 0",
                            "started 2026-12-10_14-03-11_ttyUSB0.csv",
                            "stopped 2026-12-10_14-03-11_ttyUSB0.csv rows 1 lost 0",
                            "started 2026-12-10_14-03-16_v_port_1.csv",
                            "stopped 2026-12-10_14-03-16_v_port_1.csv rows 1 lost 0",
                        }));
}

void MakeFile(const fs::path& P, std::size_t Bytes, long long AgeSeconds) {
    std::ofstream(P, std::ios::binary) << std::string(Bytes, 'x');
    fs::last_write_time(P, fs::file_time_type::clock::now() - std::chrono::seconds(AgeSeconds));
}

// A recording that another running copy of the program writes: it holds the file as the
// recorder holds its own (a lock on POSIX systems; on Windows the file open without leave to
// remove it, as any program that has it open holds it).
class THeldFile {
  public:
    explicit THeldFile(const fs::path& P) {
#ifndef _WIN32
        FFile = ::open(P.c_str(), O_RDONLY);
        Held = FFile >= 0 && ::flock(FFile, LOCK_SH) == 0;
#else
        FFile.open(P, std::ios::binary);
        Held = FFile.is_open();
#endif
    }
#ifndef _WIN32
    ~THeldFile() {
        ::close(FFile);
    }
#endif
    THeldFile(const THeldFile&) = delete;
    THeldFile& operator=(const THeldFile&) = delete;
    bool Held = false;

  private:
#ifndef _WIN32
    int FFile = -1;
#else
    std::ifstream FFile;
#endif
};

TEST(Recorder, OldestRecordingsMakeRoomFirstAndOthersAreLeftAlone) {
    TTempDir dir;
    const fs::path f = dir.Path();
    MakeFile(f / "2026-01-01_00-00-00_ttyS0.csv", 4000, 500);  // oldest by time written
    MakeFile(f / "2025-01-01_00-00-00_ttyS0.csv", 4000, 400);  // older name, newer file
    MakeFile(f / "2026-02-01_00-00-00_ttyS0.csv", 4000, 300);  // in use by another copy
    MakeFile(f / "2026-03-01_00-00-00_ttyS0.csv", 4000, 200);
    MakeFile(f / "notes.csv", 50000, 1000);  // not a recording
    MakeFile(f / "2026-04-01_00-00-00_ttyS0.txt", 50000, 1000);
    const THeldFile held(f / "2026-02-01_00-00-00_ttyS0.csv");
    ASSERT_TRUE(held.Held);

    TRecorderSettings s;
    s.SizeLimit = 12000;
    TRecRig rig(f, s);
    rig.Open("ttyUSB0");
    rig.Rec.Sync();
    // 16000 bytes and a header of about 5000: the oldest go until it fits, but the one
    // in use stays.
    const std::vector<fs::path> left = {"2026-02-01_00-00-00_ttyS0.csv",
                                        "2026-04-01_00-00-00_ttyS0.txt",
                                        "2026-12-10_14-03-07_ttyUSB0.csv", "notes.csv"};
    EXPECT_EQ(Files(f), left);
    // With nothing left to remove, the recording stops at the limit: one message, and
    // the polling goes on.
    std::size_t sent = rig.Link.Writes.size();
    rig.Run(60000);
    rig.Rec.Sync();
    EXPECT_EQ(Files(f), left);
    ASSERT_EQ(rig.Seen.size(), 2u);
    EXPECT_EQ(rig.Seen[1], "error size limit reached");
    ASSERT_EQ(rig.Errors.size(), 1u);
    EXPECT_EQ(rig.Errors[0].File, rig.File);
    EXPECT_EQ(rig.Errors[0].Limit, 12000u);
    EXPECT_FALSE(rig.Errors[0].Error);  // the system refused nothing
    EXPECT_GT(rig.Link.Writes.size(), sent + 100);
    // The folder stays within the limit: the recording ends with the last row that fits.
    const auto size = fs::file_size(rig.File);
    EXPECT_LE(size + 4000, 12000u);
    EXPECT_GT(size + 4000, 12000u - 1000);
    EXPECT_TRUE(ReadFile(rig.File).ends_with("\r\n"));
    rig.Close();
    rig.Rec.Sync();
    ASSERT_EQ(rig.Seen.size(), 3u);
    // Every row decoded is either in the file or counted as lost.
    std::ifstream in(rig.File, std::ios::binary);
    TRecordingReader reader(in);
    TRecordedRow row;
    std::uint64_t rows = 0;
    while (reader.Next(row))
        ++rows;
    EXPECT_EQ(rig.Seen[2], "stopped 2026-12-10_14-03-07_ttyUSB0.csv rows " + std::to_string(rows) +
                               " lost " + std::to_string(rig.Events.Decoded.size() - rows));
}

TEST(Recorder, AnUnwritableFolderSaysSoOnceAndMonitoringGoesOn) {
    TTempDir dir;
    MakeFile(dir.Path() / "file", 10, 0);
    const fs::path folder = dir.Path() / "file" / "recordings";  // under a file: even root fails
    TRecRig rig(folder);
    rig.Open("ttyUSB0");
    rig.Run(10000);
    rig.Rec.Sync();
    ASSERT_EQ(rig.Seen.size(), 1u);
    EXPECT_EQ(rig.Seen[0], "error folder not made");
    ASSERT_EQ(rig.Errors.size(), 1u);
    EXPECT_EQ(rig.Errors[0].Folder, folder);
    EXPECT_EQ(rig.Errors[0].Error, std::errc::not_a_directory) << rig.Errors[0].Error.message();
    EXPECT_EQ(rig.Errors[0].File, fs::path());  // no file was tried
    EXPECT_GT(rig.Events.Decoded.size(), 10u);  // the core went on decoding
    rig.Close();
    rig.Rec.Sync();
    ASSERT_EQ(rig.Seen.size(), 2u);
    EXPECT_EQ(rig.Seen[1], "stopped  rows 0 lost " + std::to_string(rig.Events.Decoded.size()));
}

TEST(Recorder, AFileThatCannotBeMadeSaysSoOnceWithTheLastNameTried) {
    TTempDir dir;
    // Every name of this second is taken: the recording and its 99 numbered siblings.
    MakeFile(dir.Path() / "2026-12-10_14-03-07_ttyUSB0.csv", 10, 0);
    for (int n = 2; n <= 100; ++n)
        MakeFile(dir.Path() / ("2026-12-10_14-03-07_ttyUSB0_" + std::to_string(n) + ".csv"), 10, 0);
    TRecRig rig(dir.Path());
    rig.Open("ttyUSB0");
    rig.Run(5000);
    rig.Close();
    rig.Rec.Sync();
    const fs::path last = dir.Path() / "2026-12-10_14-03-07_ttyUSB0_100.csv";
    EXPECT_EQ(rig.Seen, (std::vector<std::string>{
                            "error file not made",
                            "stopped 2026-12-10_14-03-07_ttyUSB0_100.csv rows 0 lost " +
                                std::to_string(rig.Events.Decoded.size()),
                        }));
    ASSERT_EQ(rig.Errors.size(), 1u);
    EXPECT_EQ(rig.Errors[0].File, last);
    EXPECT_EQ(rig.Errors[0].Error, std::errc::file_exists) << rig.Errors[0].Error.message();
    EXPECT_GT(rig.Events.Decoded.size(), 3u);         // the core went on decoding
    EXPECT_EQ(ReadFile(last), std::string(10, 'x'));  // nothing written over
}

TEST(Recorder, AFullDiskSaysSoOnceAndLosesNothingUncounted) {
#ifdef _WIN32
    GTEST_SKIP()
        << "Windows has no limit of a file's size for a process, which plays the full disk";
#else
    TTempDir dir;
    // The file system refuses to let a file grow beyond 8 KiB, as a full disk would.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 8192;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    TRecRig rig(dir.Path());
    rig.Open("ttyUSB0");
    for (int i = 0; i < 30; ++i) {
        rig.Run(1000);
        rig.Rec.Sync();  // many small writes, so the limit falls inside one
    }
    rig.Close();
    rig.Rec.Sync();
    ::setrlimit(RLIMIT_FSIZE, &old);

    ASSERT_EQ(rig.Seen.size(), 3u);
    EXPECT_EQ(rig.Seen[1], "error write failed");
    ASSERT_EQ(rig.Errors.size(), 1u);
    EXPECT_EQ(rig.Errors[0].File, rig.File);
    EXPECT_EQ(rig.Errors[0].Error, std::errc::file_too_large) << rig.Errors[0].Error.message();
    EXPECT_EQ(fs::file_size(rig.File), 8192u);
    std::ifstream in(rig.File, std::ios::binary);
    TRecordingReader reader(in);
    TRecordedRow row;
    std::uint64_t rows = 0;
    while (reader.Next(row))
        ++rows;
    EXPECT_TRUE(reader.Truncated());
    EXPECT_EQ(reader.DamagedRows(), 0u);
    EXPECT_EQ(rig.Seen[2], "stopped 2026-12-10_14-03-07_ttyUSB0.csv rows " + std::to_string(rows) +
                               " lost " + std::to_string(rig.Events.Decoded.size() - rows));
    EXPECT_GT(rig.Events.Decoded.size(), rows + 5);
#endif
}

TEST(Recorder, AWriterThatFallsBehindMarksTheGapAndSaysSoOnce) {
    TTempDir dir;
    TRecorderSettings s;
    s.MaxPendingRows = 3;
    s.FlushInterval = std::chrono::hours(1);  // the writer takes its time
    TRecRig rig(dir.Path(), s);
    rig.Open("ttyUSB0");
    rig.Rec.Sync();
    rig.Run(3200);  // six replies: three wait, three are dropped
    rig.Rec.Sync();
    rig.Run(1050);  // two more, after the gap
    rig.Close();
    rig.Rec.Sync();
    ASSERT_EQ(rig.Events.Decoded.size(), 8u);
    EXPECT_EQ(rig.Seen, (std::vector<std::string>{
                            "started 2026-12-10_14-03-07_ttyUSB0.csv",
                            "error writer behind",
                            "stopped 2026-12-10_14-03-07_ttyUSB0.csv rows 5 lost 3",
                        }));
    ASSERT_EQ(rig.Errors.size(), 1u);
    EXPECT_FALSE(rig.Errors[0].Error);  // nothing failed: the disk is slow
    const auto lines = Lines(ReadFile(rig.File));
    ASSERT_EQ(lines.size(), 1 + 3 + 1 + 2u);
    // The marker stands where the rows are missing, at the time of the first of them.
    ExpectRow(lines[4], {{"时间", "2026-12-10 14:03:09.370"}, {"类型", "丢失行"}, {"字段数", "3"}});
}

// A disk that stops answering: every write waits until the test opens the gate.
struct TStuckDisk {
    void Wait() {
        std::unique_lock lock(Mutex);
        Stuck = true;
        Opened.wait(lock, [&] { return Open; });
    }
    void Release() {
        std::lock_guard lock(Mutex);
        Open = true;
        Opened.notify_all();
    }
    bool Reached() {
        std::lock_guard lock(Mutex);
        return Stuck;
    }
    std::mutex Mutex;
    std::condition_variable Opened;
    bool Open = false;
    bool Stuck = false;
};

TEST(Recorder, ClosingOnAStuckDiskWaitsItsTimeAndCountsWhatWasNotWritten) {
    TTempDir dir;
    // Shared with the writer thread, which the recorder leaves behind on the stuck disk.
    auto disk = std::make_shared<TStuckDisk>();
    TRecorderSettings s;
    s.CloseTimeout = Millis(50);
    s.BeforeDiskWrite = [disk] { disk->Wait(); };
    struct TCase {
        const char* Name;
        bool ByDestructor;
    };
    for (const TCase c : {TCase{"Close", false}, TCase{"destructor", true}}) {
        SCOPED_TRACE(c.Name);
        auto rig = std::make_unique<TRecRig>(dir.Path() / c.Name, s);
        rig->Open("ttyUSB0");
        rig->Run(5000);
        const std::size_t decoded = rig->Events.Decoded.size();
        ASSERT_GT(decoded, 3u);
        // Closing on the window's thread comes back although the writer hangs.
        auto closing = std::async(std::launch::async, [&] {
            if (c.ByDestructor) {
                rig.reset();
                return true;
            }
            EXPECT_FALSE(rig->Rec.Close(Millis(50)));
            EXPECT_TRUE(disk->Reached());
            // Every row is still waiting for the disk.
            EXPECT_EQ(rig->Rec.Unwritten(), decoded);
            return true;
        });
        const bool returned =
            closing.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "closing waited on the stuck disk";
        if (!returned) disk->Release();  // so that the test can end
        closing.get();
        rig.reset();
    }
    disk->Release();
}

TEST(Recorder, ASizeLimitThatWouldRemoveEveryRecordingIsRefusedOrClampedWithTheReason) {
    TTempDir dir;
    // 17592186044416 MB is 2^64 bytes: multiplied out without a check it became 0.
    EXPECT_EQ(aircon::SizeLimitFromMB(17592186044416ull), ~std::uint64_t{0});
    EXPECT_EQ(aircon::SizeLimitFromMB(500), 500ull << 20);
    struct TCase {
        std::uint64_t Bytes;
        std::string Seen;
        std::uint64_t Applied;
    };
    const TCase cases[] = {
        {0, "error size limit 0 refused", TRecorderSettings::DefaultSizeLimit},
        {aircon::SizeLimitFromMB(17592186044416ull), "error size limit too large",
         TRecorderSettings::MaxSizeLimit},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Bytes);
        const fs::path f = dir.Path() / std::to_string(c.Bytes);
        fs::create_directories(f);
        MakeFile(f / "2026-01-01_00-00-00_ttyS0.csv", 4000, 500);
        TRecorderSettings s;
        s.SizeLimit = c.Bytes;
        TRecRig rig(f, s);
        EXPECT_EQ(rig.Rec.SizeLimit(), c.Applied);
        rig.Open("ttyUSB0");
        rig.Run(3000);
        rig.Rec.Sync();
        ASSERT_GE(rig.Seen.size(), 2u);
        EXPECT_EQ(rig.Seen[0], c.Seen);
        ASSERT_EQ(rig.Errors.size(), 1u);
        EXPECT_EQ(rig.Errors[0].Limit, c.Applied);  // the limit that applies instead
        EXPECT_EQ(rig.Seen[1], "started 2026-12-10_14-03-07_ttyUSB0.csv");
        EXPECT_TRUE(fs::exists(f / "2026-01-01_00-00-00_ttyS0.csv"));  // the old one stays
        rig.Close();
    }
}

TEST(Recorder, RowsReachTheDiskWithoutWaitingForTheEnd) {
    TTempDir dir;
    TRecRig rig(dir.Path());  // flushes every half second by default
    rig.Open("ttyUSB0");
    rig.Run(900);
    ASSERT_EQ(rig.Events.Decoded.size(), 1u);
    // No Sync and no close: the writer gets there on its own.
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        rig.Rec.Poll();
        if (!rig.File.empty()) text = ReadFile(rig.File);
        if (Lines(text).size() == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(Lines(text).size(), 2u);
    rig.Close();
}

TEST(Recorder, EventsArriveOnTheDrivingThreadAfterAWakeUp) {
    TTempDir dir;
    TRecRig rig(dir.Path() / "a-file");
    MakeFile(dir.Path() / "a-file", 1, 0);
    std::atomic<int> wakes{0};
    std::thread::id wokeOn;
    rig.Rec.SetWakeUp([&] {
        wokeOn = std::this_thread::get_id();
        ++wakes;
    });
    std::thread::id deliveredOn;
    rig.Rec.OnEvent = [&](const TRecordingEvent&) { deliveredOn = std::this_thread::get_id(); };
    rig.Open("ttyUSB0");
    const auto start = std::chrono::steady_clock::now();
    while (wakes == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(wakes, 1);
    EXPECT_NE(wokeOn, std::this_thread::get_id());
    EXPECT_EQ(deliveredOn, std::thread::id{});  // nothing delivered behind our back
    rig.Rec.Poll();
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    rig.Close();
}

TEST(RecordingNames, FolderFileNameAndWhatCountsAsARecording) {
#ifndef _WIN32  // the folder rule of POSIX systems; Windows gives the folder by other variables
    const char* home = std::getenv("HOME");
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const std::string keepHome = home ? home : "", keepXdg = xdg ? xdg : "";
    setenv("HOME", "/home/eng", 1);
    setenv("XDG_DATA_HOME", "/data/eng", 1);
    EXPECT_EQ(DefaultRecordingFolder(), "/data/eng/AirConTool/recordings");
    setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    EXPECT_EQ(DefaultRecordingFolder(), "/home/eng/.local/share/AirConTool/recordings");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(DefaultRecordingFolder(), "/home/eng/.local/share/AirConTool/recordings");
    setenv("HOME", keepHome.c_str(), 1);
    if (xdg) setenv("XDG_DATA_HOME", keepXdg.c_str(), 1);
#endif

    const struct {
        const char* port;
        const char* name;
    } names[] = {
        {"/dev/ttyUSB0", "2026-12-10_14-03-07_ttyUSB0.csv"},
        {"ttyS0", "2026-12-10_14-03-07_ttyS0.csv"},
        {"/home/me/v port*1", "2026-12-10_14-03-07_v_port_1.csv"},
        {"/dev/..", "2026-12-10_14-03-07_port.csv"},
        {"", "2026-12-10_14-03-07_port.csv"},
        {"COM3:", "2026-12-10_14-03-07_COM3_.csv"},
    };
    for (const auto& n : names) {
        EXPECT_EQ(RecordingFileName(At(), n.port), n.name) << n.port;
        EXPECT_TRUE(IsRecordingFileName(n.name));
    }
    for (const char* other : {"notes.csv", "2026-12-10_14-03-07_.csv", "2026-12-10 14-03-07_x.csv",
                              "2026-12-10_14-03-07_x.txt", "2026-12-1a_14-03-07_x.csv"})
        EXPECT_FALSE(IsRecordingFileName(other)) << other;
}

}  // namespace
