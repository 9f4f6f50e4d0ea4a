// The words of the recordings: what the recording controls and the trend window say for each
// reason the core names (a recording's problem, a refused file, a damaged row, a load that
// failed), the operator's texts as they read before the core named its reasons; and the
// rows a stuck disk kept, told on standard error when closing runs out of time.
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "FakeClock.h"
#include "RecordTrendReport.h"
#include "Recorder.h"
#include "RecordingWords.h"
#include "TrendWords.h"

using aircon::TLoadFailure;
using aircon::TRecordingEvent;
using aircon::TRecordingProblem;
using aircon::TRecordingRefusal;
using aircon::TRecordingRefusalKind;
using aircon::TRowDamage;
using aircon::TRowDamageKind;

Q_DECLARE_METATYPE(TRecordingEvent)
Q_DECLARE_METATYPE(TRecordingRefusal)
Q_DECLARE_METATYPE(TRowDamage)
Q_DECLARE_METATYPE(aircon::TRecordingLoad)

namespace {

std::error_code Errno(int E) {
    return std::error_code(E, std::generic_category());
}

TRecordingEvent Problem(TRecordingProblem P, const char* File = "", int Error = 0,
                        std::uint64_t Limit = 0, const char* Folder = "") {
    TRecordingEvent e;
    e.Kind = aircon::TRecordingEventKind::Error;
    e.Problem = P;
    e.File = File;
    if (Error != 0) e.Error = Errno(Error);
    e.Limit = Limit;
    e.Folder = Folder;
    return e;
}

// A disk that stops answering until the test lets it go.
struct TStuckDisk {
    void Wait() {
        std::unique_lock lock(Mutex);
        Opened.wait(lock, [&] { return Open; });
    }
    void Release() {
        std::lock_guard lock(Mutex);
        Open = true;
        Opened.notify_all();
    }
    std::mutex Mutex;
    std::condition_variable Opened;
    bool Open = false;
};

QString ReadAll(std::FILE* F) {
    std::rewind(F);
    QByteArray bytes;
    char buf[256];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, F)) > 0)
        bytes.append(buf, static_cast<qsizetype>(n));
    return QString::fromUtf8(bytes);
}

}  // namespace

class RecordingWordsTest : public QObject {
    Q_OBJECT

  private slots:
    void recordingProblems_data() {
        QTest::addColumn<TRecordingEvent>("event");
        QTest::addColumn<QString>("text");
        using P = TRecordingProblem;
        const char* file = "/data/rec/2026-12-10_14-03-07_ttyUSB0.csv";
        QTest::newRow("folder under a file")
            << Problem(P::FolderNotMade, "", ENOTDIR, 0, "/data/a-file/rec")
            << "无法建立记录文件夹“/data/a-file/rec”：路径中有一段不是文件夹。"
               "本次不记录，监控照常进行。";
        QTest::newRow("folder without permission")
            << Problem(P::FolderNotMade, "", EACCES, 0, "/data/rec")
            << "无法建立记录文件夹“/data/rec”：没有写入权限。本次不记录，监控照常进行。";
        QTest::newRow("every name taken")
            << Problem(P::FileNotMade, "/data/rec/2026-12-10_14-03-07_ttyUSB0_100.csv", EEXIST)
            << "无法建立记录文件“/data/rec/2026-12-10_14-03-07_ttyUSB0_100.csv”：" +
                   QString::fromUtf8(std::strerror(EEXIST)) + "。本次不记录，监控照常进行。";
        QTest::newRow("file on a read-only disk")
            << Problem(P::FileNotMade, file, EROFS)
            << "无法建立记录文件“/data/rec/2026-12-10_14-03-07_ttyUSB0.csv”：只读文件系统。"
               "本次不记录，监控照常进行。";
        QTest::newRow("disk full")
            << Problem(P::WriteFailed, file, ENOSPC)
            << "记录文件“/data/rec/2026-12-10_14-03-07_ttyUSB0.csv”写入失败：磁盘已满。"
               "记录已停止，监控照常进行。";
        QTest::newRow("file too large")
            << Problem(P::WriteFailed, file, EFBIG)
            << "记录文件“/data/rec/2026-12-10_14-03-07_ttyUSB0.csv”写入失败："
               "文件超出系统允许的大小。记录已停止，监控照常进行。";
        QTest::newRow("limit reached")
            << Problem(P::SizeLimitReached, file, 0, 12000)
            << "记录文件“/data/rec/2026-12-10_14-03-07_ttyUSB0.csv”已达到记录的大小上限 12 KB。"
               "记录已停止，监控照常进行。";
        QTest::newRow("limit 0")
            << Problem(P::SizeLimitZero, "", 0, aircon::TRecorderSettings::DefaultSizeLimit)
            << "记录文件夹的大小上限为 0，会删除全部旧记录，不予采用；按默认的 500 MB 处理。";
        QTest::newRow("limit too large")
            << Problem(P::SizeLimitTooLarge, "", 0, aircon::TRecorderSettings::MaxSizeLimit)
            << "记录文件夹的大小上限超出可用范围，按最大值 1073741824 MB 处理。";
        QTest::newRow("writer behind") << Problem(P::WriterBehind)
                                       << "记录写入跟不上（磁盘过慢或无响应），部分数据未能记录；"
                                          "记录文件中以“丢失行”标出。监控照常进行。";
    }
    void recordingProblems() {
        QFETCH(TRecordingEvent, event);
        QFETCH(QString, text);
        QCOMPARE(RecordingProblemText(event), text);
    }

    void fileSystemReasons_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        QTest::newRow("ENOSPC") << ENOSPC << "磁盘已满";
#ifdef EDQUOT
        QTest::newRow("EDQUOT") << EDQUOT << "超出磁盘配额";
#endif
        QTest::newRow("EFBIG") << EFBIG << "文件超出系统允许的大小";
        QTest::newRow("EACCES") << EACCES << "没有写入权限";
        QTest::newRow("EPERM") << EPERM << "没有写入权限";
        QTest::newRow("EROFS") << EROFS << "只读文件系统";
        QTest::newRow("ENOTDIR") << ENOTDIR << "路径中有一段不是文件夹";
        QTest::newRow("ENOENT") << ENOENT << "路径不存在";
        QTest::newRow("EIO") << EIO << "输入/输出错误";
        // Without words of its own: as the system says it.
        QTest::newRow("EBUSY") << EBUSY << QString::fromUtf8(std::strerror(EBUSY));
    }
    void fileSystemReasons() {
        QFETCH(int, error);
        QFETCH(QString, text);
        QCOMPARE(FileSystemReasonText(Errno(error)), text);
    }

    void sizes_data() {
        QTest::addColumn<qulonglong>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << 0ull << "1 KB";
        QTest::newRow("below a KB") << 100ull << "1 KB";
        QTest::newRow("KB rounded") << 1536ull << "2 KB";
        QTest::newRow("just below a MB") << 1048575ull << "1024 KB";
        QTest::newRow("a MB") << 1048576ull << "1 MB";
        QTest::newRow("MB rounded") << 1572864ull << "2 MB";
    }
    void sizes() {
        QFETCH(qulonglong, bytes);
        QFETCH(QString, text);
        QCOMPARE(RecordingSizeText(bytes), text);
    }

    void unwrittenRows() {
        QCOMPARE(UnwrittenRowsText(42),
                 QString("记录：磁盘无响应，程序结束时有 42 行未写入记录文件。"));
    }

    void refusals_data() {
        QTest::addColumn<TRecordingRefusal>("refusal");
        QTest::addColumn<QString>("text");
        using K = TRecordingRefusalKind;
        QTest::newRow("empty") << TRecordingRefusal{K::Empty, ""} << "文件是空的，不是记录文件。";
        QTest::newRow("no header")
            << TRecordingRefusal{K::NoHeader, ""} << "不是本程序的记录文件：第一行不是记录的表头。";
        QTest::newRow("header too long")
            << TRecordingRefusal{K::HeaderTooLong, ""} << "不是本程序的记录文件：第一行过长。";
        QTest::newRow("header quotes")
            << TRecordingRefusal{K::HeaderQuotes, ""} << "不是本程序的记录文件：表头的引号不成对。";
        QTest::newRow("no 时间") << TRecordingRefusal{K::MissingColumn, "时间"}
                                 << "不是本程序的记录文件：表头缺少“时间”列。";
        QTest::newRow("no 字段数") << TRecordingRefusal{K::MissingColumn, "字段数"}
                                   << "不是本程序的记录文件：表头缺少“字段数”列。";
    }
    void refusals() {
        QFETCH(TRecordingRefusal, refusal);
        QFETCH(QString, text);
        QCOMPARE(RecordingRefusalText(refusal), text);
    }

    void damages_data() {
        QTest::addColumn<TRowDamage>("damage");
        QTest::addColumn<QString>("text");
        using K = TRowDamageKind;
        QTest::newRow("quotes") << TRowDamage{2, K::Quotes, ""} << "第 2 行：引号不成对";
        QTest::newRow("time") << TRowDamage{3, K::Time, ""} << "第 3 行：时间不对";
        QTest::newRow("lost count") << TRowDamage{4, K::LostCount, ""} << "第 4 行：丢失行数不对";
        QTest::newRow("kind") << TRowDamage{5, K::Kind, ""} << "第 5 行：类型不对";
        QTest::newRow("field count") << TRowDamage{6, K::FieldCount, ""} << "第 6 行：字段数不对";
        QTest::newRow("unit") << TRowDamage{7, K::Unit, ""} << "第 7 行：空调编号不对";
        QTest::newRow("too long") << TRowDamage{8, K::TooLong, ""} << "第 8 行：行过长";
        QTest::newRow("empty cell")
            << TRowDamage{9, K::EmptyCell, "设备地址"} << "第 9 行：设备地址为空";
        QTest::newRow("bad cell") << TRowDamage{12345678901ull, K::BadCell, "开关量·运行模式·代码"}
                                  << "第 12345678901 行：开关量·运行模式·代码不对";
    }
    void damages() {
        QFETCH(TRowDamage, damage);
        QFETCH(QString, text);
        QCOMPARE(RowDamageText(damage), text);
    }

    void loadFailures_data() {
        QTest::addColumn<aircon::TRecordingLoad>("load");
        QTest::addColumn<QString>("text");
        aircon::TRecordingLoad gone;
        gone.Failure = TLoadFailure::CannotOpen;
        gone.OpenError = Errno(ENOENT);
        QTest::newRow("cannot open")
            << gone << "无法打开文件：" + QString::fromUtf8(std::strerror(ENOENT)) + "。";
        aircon::TRecordingLoad folder;
        folder.Failure = TLoadFailure::Folder;
        QTest::newRow("folder") << folder << "这是一个文件夹，不是记录文件。";
        aircon::TRecordingLoad foreign;
        foreign.Failure = TLoadFailure::NotARecording;
        foreign.Refusal = {TRecordingRefusalKind::MissingColumn, "类型"};
        QTest::newRow("not a recording") << foreign << "不是本程序的记录文件：表头缺少“类型”列。";
    }
    void loadFailures() {
        QFETCH(aircon::TRecordingLoad, load);
        QFETCH(QString, text);
        QCOMPARE(RecordingLoadFailureText(load), text);
    }

    // The window closes its recorder at the end: when the disk is stuck, the count of rows
    // not written reaches standard error, worded as the operator reads it.
    void closingOnAStuckDiskTellsTheRowsNotWritten() {
        QTemporaryDir dir;
        auto disk = std::make_shared<TStuckDisk>();  // the writer thread outlives the recorder
        aircon::TRecorderSettings s;
        s.Folder = std::filesystem::path(dir.path().toStdString());
        s.CloseTimeout = aircon::Millis(50);
        s.BeforeDiskWrite = [disk] { disk->Wait(); };
        aircon::TFakeClock clock;
        std::FILE* err = std::tmpfile();
        QVERIFY(err);
        {
            aircon::TRecorder rec(clock, s);
            rec.OnLinkOpened({{}, "ttyUSB0"});
            for (int i = 0; i < 3; ++i)
                rec.OnReplyDecoded({{}, {}, 0x50, aircon::TDeviceAddress{1}});
            QVERIFY(!TRecordTrendReport::CloseRecorder(rec, err));
            QCOMPARE(rec.Unwritten(), std::uint64_t{3});
        }
        QCOMPARE(ReadAll(err), QString("记录：磁盘无响应，程序结束时有 3 行未写入记录文件。\n"));
        disk->Release();

        // A disk that answers: nothing to tell.
        std::FILE* quiet = std::tmpfile();
        QVERIFY(quiet);
        aircon::TRecorderSettings t;
        t.Folder = s.Folder;
        aircon::TRecorder rec(clock, t);
        rec.OnLinkOpened({{}, "ttyUSB0"});
        rec.OnReplyDecoded({{}, {}, 0x50, aircon::TDeviceAddress{1}});
        QVERIFY(TRecordTrendReport::CloseRecorder(rec, quiet));
        QCOMPARE(ReadAll(quiet), QString());
        std::fclose(err);
        std::fclose(quiet);
    }
};

QTEST_MAIN(RecordingWordsTest)
#include "recording_words_test.moc"
