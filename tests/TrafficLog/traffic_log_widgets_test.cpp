// The link view widgets on their own, driven by the monitoring core on the fake clock: the
// traffic log panel (its table, colours, detail, pause, clear, save and file) and the
// link counters of the status bar.
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "CoreTestSupport.h"
#include "LinkStatusWidget.h"
#include "SteadyLabel.h"
#include "TrafficLogModel.h"
#include "TrafficLogPanel.h"

using namespace coretest;

namespace {

// A controller that answers the Nth command as Script says ("" for silence).
struct TScripted {
    std::vector<std::string> Script;
    std::size_t Next = 0;
    std::string operator()(std::uint8_t) {
        return Next < Script.size() ? Script[Next++] : std::string();
    }
};

std::string WrongChkSum(std::string Frame) {
    char& c = Frame[Frame.size() - 2];
    c = c == '0' ? '1' : '0';
    return Frame;
}

struct TBench {
    TRig Rig;
    TTrafficLogPanel Panel;
    TLinkStatusWidget Status{Rig.Clock};
    TResponder Controller{Rig.Clock, Rig.Link, Rig.Monitor};

    explicit TBench(std::size_t Capacity = aircon::TTrafficLog::DefaultCapacity)
        : Panel(nullptr, Capacity) {
        Rig.Monitor.RemoveObserver(Rig.Rec);
        Rig.Monitor.AddObserver(Panel.Log());
        Rig.Monitor.AddObserver(Status);
        Rig.Inputs.Interval = 1000;
        Panel.resize(817, TTrafficLogPanel::DesignHeight);
    }
    ~TBench() {
        Rig.Monitor.RemoveObserver(Panel.Log());
        Rig.Monitor.RemoveObserver(Status);
    }

    QString Cell(int Row, int Column) const {
        return Panel.grdRows->model()->index(Row, Column).data().toString();
    }
    QColor Background(int Row) const {
        return Panel.grdRows->model()->index(Row, 0).data(Qt::BackgroundRole).value<QColor>();
    }
    int Rows() const { return Panel.grdRows->model()->rowCount(); }
    QTreeWidgetItem* Detail(const QString& Name) const {
        const auto items = Panel.tvDetail->findItems(Name, Qt::MatchExactly, 0);
        return items.isEmpty() ? nullptr : items.first();
    }
};

}  // namespace

class TTrafficLogWidgetsTest : public QObject {
    Q_OBJECT
  private slots:
    // The faults of a line as the table, the detail and the counters show them.
    void showsTheFaultsOfTheLine() {
        TBench b;
        b.Panel.show();
        b.Controller.Delay = Millis(20);
        b.Controller.Answers =
            TScripted{{Reply(0, AnalogInfo()), WrongChkSum(Reply(0, SwitchInfo())), "", Reply(2)}};
        b.Rig.Open("ttyV0");
        b.Rig.RunTo(4500);  // commands at 1350, 2350, 3350 and 4350
        b.Panel.SyncNow();

        const struct {
            const char *dir, *summary, *response;
            aircon::TRowClass cls;
        } want[] = {
            {"链路", "打开 ttyV0", "", aircon::TRowClass::Link},
            {"发送", "0x42 读取模拟量", "", aircon::TRowClass::Command},
            {"接收", "RTN 0 正常, 38 字节", "20 ms", aircon::TRowClass::Reply},
            {"发送", "0x43 读取开关量", "", aircon::TRowClass::Command},
            {"接收", "CHKSUM错", "20 ms", aircon::TRowClass::ErrorFrame},
            {"发送", "0x44 读取告警", "", aircon::TRowClass::Command},
            {"无应答", "无应答 350 ms, 0x44 读取告警", "", aircon::TRowClass::Missing},
            {"发送", "0x42 读取模拟量", "", aircon::TRowClass::Command},
            {"接收", "RTN 2 CHKSUM错, 0 字节", "20 ms", aircon::TRowClass::RtnError},
        };
        QCOMPARE(b.Rows(), int(std::size(want)));
        for (int i = 0; i < b.Rows(); ++i) {
            QCOMPARE(b.Cell(i, TTrafficLogModel::ColDirection), QString::fromUtf8(want[i].dir));
            QCOMPARE(b.Cell(i, TTrafficLogModel::ColSummary), QString::fromUtf8(want[i].summary));
            QCOMPARE(b.Cell(i, TTrafficLogModel::ColResponse), QString::fromUtf8(want[i].response));
            QCOMPARE(b.Background(i), TTrafficLogModel::ClassColour(want[i].cls));
        }
        // Error frames and missing replies stand out; ordinary rows do not.
        QVERIFY(b.Background(4).isValid());
        QVERIFY(b.Background(6).isValid());
        QVERIFY(!b.Background(2).isValid());
        QCOMPARE(b.Cell(1, TTrafficLogModel::ColTime), QStringLiteral("00:00:01.350"));
        QCOMPARE(b.Cell(1, TTrafficLogModel::ColText), QStringLiteral("~100160420000FDB2\\r"));
        QCOMPARE(b.Cell(1, TTrafficLogModel::ColHex),
                 QStringLiteral("7E 31 30 30 31 36 30 34 32 30 30 30 30 46 44 42 32 0D"));

        // The corrupt reply taken apart: which checksum is wrong, and what it should be.
        QVERIFY(b.Panel.SelectSeq(4));
        QTreeWidgetItem* chk = b.Detail(QStringLiteral("CHKSUM"));
        QVERIFY(chk);
        QVERIFY2(chk->text(1).contains(QStringLiteral("错误, 应为")), qPrintable(chk->text(1)));
        QCOMPARE(chk->foreground(1).color(), QColor(0xC0, 0x00, 0x00));
        QTreeWidgetItem* lchk = b.Detail(QStringLiteral("LCHKSUM"));
        QVERIFY(lchk);
        QVERIFY(lchk->text(1).endsWith(QStringLiteral("正确")));
        // A decoded reply shows its fields by name.
        QVERIFY(b.Panel.SelectSeq(2));
        QVERIFY(b.Detail(QStringLiteral("回风温度")));
        QCOMPARE(b.Detail(QStringLiteral("应答数据"))->text(1), QStringLiteral("0x42 读取模拟量"));

        // The counters, as the status bar shows them.
        b.Status.Refresh();
        const std::pair<QLabel*, const char*> labels[] = {
            {b.Status.lblSent, "发送 4"},
            {b.Status.lblReplies, "应答 2"},
            {b.Status.lblMissing, "无应答 1"},
            {b.Status.lblErrorFrames, "错误帧 1"},
            {b.Status.lblRtn, "RTN≠0 1"},
            {b.Status.lblNoise, "噪声 0 字节"},
            {b.Status.lblResponse, "响应 20 ms (20/20/20)"},
            {b.Status.lblLastGood, "距上次正常应答 3 秒"},  // the good one came at 1370
        };
        for (auto [label, text] : labels)
            QCOMPARE(label->text(), QString::fromUtf8(text));
        QCOMPARE(b.Status.lblMissing->palette().color(QPalette::WindowText), QColor(0xC0, 0, 0));
        QCOMPARE(b.Status.lblNoise->palette().color(QPalette::WindowText), QColor(Qt::black));

        b.Status.btnReset->click();
        QCOMPARE(b.Status.lblSent->text(), QStringLiteral("发送 0"));
        QCOMPARE(b.Status.lblResponse->text(), QStringLiteral("响应 —"));
        QCOMPARE(b.Status.lblLastGood->text(), QStringLiteral("尚无正常应答"));
        b.Rig.Close();
        QCOMPARE(b.Rows(), 9);  // the closing row waits for the next batch
        b.Panel.SyncNow();
        QCOMPARE(b.Cell(9, TTrafficLogModel::ColSummary), QStringLiteral("关闭 主动关闭"));
    }

    void ageTexts() {
        const std::pair<long long, const char*> cases[] = {
            {0, "<1 秒"},
            {999, "<1 秒"},
            {1000, "1 秒"},
            {59'999, "59 秒"},
            {60'000, "1 分 0 秒"},
            {3'599'000, "59 分 59 秒"},
            {3'600'000, "1 小时 0 分"},
            {7'500'000, "2 小时 5 分"},
        };
        for (auto [ms, text] : cases)
            QCOMPARE(TLinkStatusWidget::AgeText(Millis(ms)), QString::fromUtf8(text));
    }

    // A count's label keeps its size while its text changes, yet always has room for the
    // whole text; a reset fits it to the text anew.
    void countLabelsAlwaysHoldTheirText() {
        QLabel label;
        label.show();
        struct TStep {
            const char* Text;
            bool Fit;
        };
        const TStep steps[] = {
            {"发送 0", true},       {"发送 9", false},
            {"发送 10", false},     {"发送 99", false},
            {"发送 100000", false}, {"上次正常应答 12:00:00.000", false},
            {"发送 1", false},      {"发送 1", true},
            {"发送 2", false},      {"无应答 123456789", false},
        };
        int width = 0;
        for (const TStep& s : steps) {
            const QString text = QString::fromUtf8(s.Text);
            SetSteadyText(&label, text, s.Fit);
            QCOMPARE(label.text(), text);
            QVERIFY2(label.width() >= label.fontMetrics().horizontalAdvance(text), s.Text);
            QCOMPARE(label.minimumWidth(), label.maximumWidth());  // fixed: no relayout
            if (s.Fit)
                QVERIFY2(label.width() < label.fontMetrics().horizontalAdvance(text) + 8, s.Text);
            else
                QVERIFY2(label.width() >= width, s.Text);  // only ever grows between fits
            width = label.width();
        }
    }

    // Rows reach the table in batches, only while the panel is shown.
    void rowsArriveInBatchesWhileShown() {
        TBench b;
        b.Rig.Inputs.Auto = false;
        b.Rig.Open();
        for (int i = 0; i < 10; ++i)
            b.Rig.Feed("zz");  // a row of noise each
        QTest::qWait(2 * TTrafficLogPanel::SyncDelayMs);
        QCOMPARE(b.Rows(), 0);  // hidden: the log records, the table waits

        QSignalSpy inserted(b.Panel.grdRows->model(), &QAbstractItemModel::rowsInserted);
        b.Panel.show();
        QCOMPARE(b.Rows(), 11);  // brought up to date when shown, in one go
        QCOMPARE(inserted.count(), 1);

        for (int i = 0; i < 20; ++i)
            b.Rig.Feed("zz");
        QCOMPARE(b.Rows(), 11);  // not one row at a time
        QTRY_COMPARE_WITH_TIMEOUT(b.Rows(), 31, 5000);
        QCOMPARE(inserted.count(), 2);
        // The table follows the newest row.
        const QScrollBar* bar = b.Panel.grdRows->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
    }

    void pauseHoldsTheTableAndCatchesUp() {
        TBench b;
        b.Rig.Inputs.Auto = false;
        b.Panel.show();
        b.Rig.Open();
        b.Rig.Monitor.SendNoDataCmd(1, 0x42);
        b.Panel.SyncNow();
        QCOMPARE(b.Rows(), 2);
        b.Panel.btnPause->click();
        QCOMPARE(b.Panel.btnPause->text(), QStringLiteral("继续"));
        for (int i = 0; i < 5; ++i)
            b.Rig.Feed("zz");
        b.Panel.SyncNow();
        QCOMPARE(b.Rows(), 2);
        QCOMPARE(b.Panel.lblState->text(), QStringLiteral("已暂停，另有 5 条新记录"));
        b.Panel.btnPause->click();
        QCOMPARE(b.Panel.btnPause->text(), QStringLiteral("暂停"));
        QCOMPARE(b.Rows(), 7);
        QCOMPARE(b.Panel.lblState->text(), QStringLiteral("7 条"));
    }

    // Old rows leave the table from the top; a reader scrolled up keeps their rows in view.
    void ringDropsOldRowsFromTheTop() {
        TBench b(50);
        b.Rig.Inputs.Auto = false;
        b.Panel.show();
        b.Rig.Open();
        for (int i = 0; i < 49; ++i)
            b.Rig.Feed(std::string(static_cast<std::size_t>(i + 1), 'z'));
        b.Panel.SyncNow();
        QCOMPARE(b.Rows(), 50);
        QScrollBar* bar = b.Panel.grdRows->verticalScrollBar();
        QVERIFY(bar->maximum() > 10);
        bar->setValue(10);  // reading row 10 at the top
        const QString top = b.Cell(10, TTrafficLogModel::ColSummary);
        QCOMPARE(top, QStringLiteral("噪声 10 字节 (不属于任何帧)"));
        for (int i = 0; i < 5; ++i)
            b.Rig.Monitor.SendNoDataCmd(1, 0x43);  // each a row; from the second on, two
        b.Panel.SyncNow();
        QCOMPARE(b.Rows(), 50);
        QCOMPARE(bar->value(), 1);
        QCOMPARE(b.Cell(bar->value(), TTrafficLogModel::ColSummary), top);
        QCOMPARE(b.Cell(49, TTrafficLogModel::ColSummary), QStringLiteral("0x43 读取开关量"));
        QCOMPARE(b.Panel.lblState->text(), QStringLiteral("50 条（只保留最新 50 条）"));
    }

    void clearEmptiesTableAndDetail() {
        TBench b;
        b.Rig.Inputs.Auto = false;
        b.Panel.show();
        b.Rig.Open();
        b.Rig.Monitor.SendNoDataCmd(1, 0x42);
        b.Panel.SyncNow();
        QVERIFY(b.Panel.SelectSeq(1));
        QVERIFY(b.Panel.tvDetail->topLevelItemCount() > 0);
        b.Panel.btnClear->click();
        QCOMPARE(b.Rows(), 0);
        QCOMPARE(b.Panel.tvDetail->topLevelItemCount(), 0);
        b.Rig.Feed("zz");
        b.Panel.SyncNow();
        QCOMPARE(b.Rows(), 1);
        QCOMPARE(b.Cell(0, TTrafficLogModel::ColSummary),
                 QStringLiteral("噪声 2 字节 (不属于任何帧)"));
        // The noise bytes themselves, in the table and in the detail.
        QCOMPARE(b.Cell(0, TTrafficLogModel::ColHex), QStringLiteral("7A 7A"));
        QCOMPARE(b.Cell(0, TTrafficLogModel::ColText), QStringLiteral("zz"));
        QVERIFY(b.Panel.SelectSeq(b.Panel.Log().FirstSeq()));
        QTreeWidgetItem* hex = b.Detail(QStringLiteral("十六进制"));
        QVERIFY(hex != nullptr);
        QCOMPARE(hex->text(1), QStringLiteral("7A 7A"));
    }

    void writesToAFileAndSaves() {
        QTemporaryDir dir;
        TBench b;
        b.Rig.Inputs.Auto = false;
        b.Panel.show();
        QStringList errors;
        b.Panel.ShowError = [&](const QString& Text) { errors << Text; };
        QString answer;
        b.Panel.AskFileName = [&](bool, const QString& Suggested) {
            if (!Suggested.endsWith(QStringLiteral(".txt"))) return QString();
            return answer;
        };
        auto fileText = [](const QString& Path) {
            QFile f(Path);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        };

        // Cancelled: nothing starts.
        answer.clear();
        b.Panel.btnFile->click();
        QVERIFY(!b.Panel.btnFile->isChecked());

        // Continuously: every row as it comes, also during a pause.
        answer = dir.filePath(QStringLiteral("live.txt"));
        b.Panel.btnFile->click();
        QVERIFY(b.Panel.btnFile->isChecked());
        QCOMPARE(b.Panel.btnFile->text(), QStringLiteral("停止写入"));
        QVERIFY(b.Panel.lblState->text().contains(answer));
        b.Rig.Open();
        b.Panel.btnPause->click();
        b.Rig.Monitor.SendNoDataCmd(1, 0x42);
        QTRY_VERIFY_WITH_TIMEOUT(fileText(answer).contains(QStringLiteral("0x42 读取模拟量")),
                                 5000);
        QVERIFY(fileText(answer).startsWith(QStringLiteral("时间\t方向\t摘要")));
        b.Panel.btnPause->click();
        b.Panel.btnFile->click();
        QVERIFY(!b.Panel.btnFile->isChecked());
        QCOMPARE(b.Panel.btnFile->text(), QStringLiteral("写入文件…"));
        b.Rig.Monitor.SendNoDataCmd(1, 0x43);
        QTest::qWait(100);
        QVERIFY(!fileText(answer).contains(QStringLiteral("0x43")));

        // A file that cannot be written: said clearly, and writing stops.
        answer = dir.filePath(QStringLiteral("no-such-folder/live.txt"));
        b.Panel.btnFile->click();
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        QVERIFY2(errors[0].contains(QStringLiteral("无法打开文件 ") + answer),
                 qPrintable(errors[0]));
        QVERIFY(!b.Panel.btnFile->isChecked());
        QCOMPARE(b.Panel.FilePath(), QString());

        // Saved on request: every row held.
        QSignalSpy saved(&b.Panel, &TTrafficLogPanel::saveDone);
        answer = dir.filePath(QStringLiteral("saved.txt"));
        b.Panel.btnSave->click();
        QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 1, 5000);
        QCOMPARE(saved[0][1].toString(), QString());
        QCOMPARE(fileText(answer), QString::fromStdString(b.Panel.Log().Text()));
        QVERIFY(b.Panel.lblState->text().contains(QStringLiteral("已保存 4 条到 ") + answer));
        answer = QStringLiteral("/proc/no-such/saved.txt");
        b.Panel.btnSave->click();
        QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 2, 5000);
        QVERIFY(!saved[1][1].toString().isEmpty());
        QCOMPARE(errors.size(), 2);
        QVERIFY(errors[1].startsWith(QStringLiteral("通讯记录未能保存。")));
    }
};

QTEST_MAIN(TTrafficLogWidgetsTest)
#include "traffic_log_widgets_test.moc"
