// The window's recording, trends and site report, in its status bar: replies through the
// core are recorded and appear in the trend window; the "记录" switch is remembered; a
// folder that cannot be written gives one message box, then the status bar says it, and
// the monitoring goes on; the folder opens; the report is written.
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>
#include <cmath>

#include "FakeClock.h"
#include "FakeComPlatform.h"
#include "FormTestSupport.h"
#include "Frame.h"
#include "MonitorUnit.h"
#include "RecordTrendReport.h"
#include "TrendWindow.h"

namespace {

const QString FakePort = QStringLiteral("COM7");
using Bytes = std::vector<std::uint8_t>;

// A reply with RTN 0 from address 1, as a controller writes it.
std::string Reply(const Bytes& Info) {
    const auto frame = BuildCommand(TDH_Header{0x10, 1, 0x60, 0x00}, Info);
    return std::string(frame.begin(), frame.end());
}

Bytes Analog(int Unit, int SupplyTemp) {
    Bytes b(38, 0);
    b[0] = static_cast<std::uint8_t>(Unit << 1);
    b[14] = static_cast<std::uint8_t>(SupplyTemp);
    b[25] = 6;
    return b;
}

Bytes Switches(int Unit) {
    return {static_cast<std::uint8_t>(Unit << 1), 0, 9, 1, 3, 0, 1, 2, 0, 0, 0, 0};
}

Bytes Alarms(int Unit, std::uint8_t CompressorOverload) {
    Bytes b(38, 0);
    b[0] = static_cast<std::uint8_t>(Unit << 1);
    b[10] = CompressorOverload;
    b[12] = 25;
    return b;
}

// The window on the fake serial platform and the fake clock, its recordings in a folder
// of the test (Recording.ini beside the line settings).
struct TRecRig {
    explicit TRecRig(const QString& Folder = {}, bool Write = true) {
        if (Write) {
            QSettings ini(RecordingIni(), QSettings::IniFormat);
            ini.setValue("Recording/Folder", Folder.isEmpty() ? Data.filePath("rec") : Folder);
        }
        Form = std::make_unique<TForm1>(Settings.Path(), Platform, &Clock);
        SelectPort(*Form, FakePort);
    }
    QString RecordingIni() const {
        return QFileInfo(Settings.Path()).dir().filePath("Recording.ini");
    }
    TRecordTrendReport& Rec() { return *Form->Recording(); }
    template <class T>
    T* Find(const char* Name) {
        return Form->StatusBar()->findChild<T*>(QString::fromLatin1(Name));
    }
    bool Open() {
        Ui(*Form).btnCommOpen->click();
        return Form->ComPort().Connected();
    }
    void Close() { Ui(*Form).btnCommOpen->click(); }
    // Runs the clock until the window sends Cid2, then answers it.
    void Answer(std::uint8_t Cid2, const Bytes& Info) {
        for (int i = 0; i < 400 && Form->LastCID2() != Cid2; ++i)
            Clock.Advance(aircon::Millis(10));
        QCOMPARE(int{Form->LastCID2()}, int{Cid2});
        const std::string r = Reply(Info);
        Form->ComPort1RxBuf(Form->ComPort(),
                            {reinterpret_cast<const std::uint8_t*>(r.data()), r.size()});
        Clock.Advance(aircon::Millis(10));  // the next command goes out after this one
    }
    // One poll cycle of unit Unit.
    void Cycle(int Unit, int SupplyTemp, std::uint8_t Overload = 0) {
        Answer(0x42, Analog(Unit, SupplyTemp));
        Answer(0x43, Switches(Unit));
        Answer(0x44, Alarms(Unit, Overload));
    }

    QTemporaryDir Data;
    TSettingsDir Settings;
    std::shared_ptr<TFakeComPlatform> Platform = std::make_shared<TFakeComPlatform>();
    TBoxCatcher Catcher;
    aircon::TFakeClock Clock;
    std::unique_ptr<TForm1> Form;
};

QStringList Values(const QList<QPointF>& Points) {
    QStringList v;
    for (const QPointF& p : Points)
        v << (std::isnan(p.y()) ? QString("gap") : QString::number(p.y()));
    return v;
}

const int Supply1 = aircon::SeriesIndex({0, aircon::TSeriesKind::Analog, 6});
const int Supply2 = aircon::SeriesIndex({1, aircon::TSeriesKind::Analog, 6});

// Receives the URLs the window asks the desktop to open.
class TUrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> Urls;
  public slots:
    void Open(const QUrl& Url) { Urls << Url; }
};

}  // namespace

class Form1RecordingTest : public QObject {
    Q_OBJECT
  private slots:
    void trendWindowShowsTheRecordedSeries() {
        TRecRig rig;
        TForm1& f = *rig.Form;
        auto* trends = rig.Find<QToolButton>("btnTrends");
        QVERIFY(trends && rig.Find<QCheckBox>("cbRecord") &&
                rig.Find<QToolButton>("btnSiteReport") &&
                rig.Find<QToolButton>("btnRecordFolder") && rig.Find<QLabel>("lblRecording"));
        QVERIFY(rig.Find<QCheckBox>("cbRecord")->isChecked());  // on by default

        QVERIFY(rig.Open());
        rig.Cycle(0, 20);
        rig.Cycle(1, 21);
        rig.Cycle(0, 22, 0xF0);  // the compressor of unit 1 trips
        rig.Cycle(1, 23);
        rig.Cycle(0, 24);
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：正常"));

        trends->click();
        TTrendWindow* w = rig.Rec().TrendWindow();
        QVERIFY(w->isVisible());
        w->SetSelected({Supply1, Supply2});
        QTRY_COMPARE(Values(w->Chart()->DrawnPoints(Supply1)), (QStringList{"20", "22", "24"}));
        QCOMPARE(Values(w->Chart()->DrawnPoints(Supply2)), (QStringList{"21", "23"}));
        QCOMPARE(w->Chart()->AlarmMarks().size(), 2);
        QVERIFY(w->Chart()->AlarmMarks()[0].endsWith("空调1 压缩机过载：正常 → 故障"));

        // The recording: its name says when and where; fifteen rows.
        auto* status = rig.Find<QLabel>("lblRecording");
        QTRY_VERIFY2(status->text().startsWith("记录中：") && status->text().endsWith("_COM7.csv"),
                     qPrintable(status->text()));
        rig.Close();
        rig.Rec().Recorder().Sync();
        QTRY_VERIFY2(status->text().endsWith("_COM7.csv（15 行）"), qPrintable(status->text()));
        const QStringList files = QDir(rig.Data.filePath("rec")).entryList({"*.csv"});
        QCOMPARE(files.size(), 1);
        QFile csv(QDir(rig.Data.filePath("rec")).filePath(files[0]));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QByteArray text = csv.readAll();
        QVERIFY(text.startsWith("\xEF\xBB\xBF时间,类型,空调,字段数,"));
        QCOMPARE(text.count("\r\n"), 16);

        // The report of the visit.
        const QString pdf = rig.Data.filePath("report.pdf");
        QVERIFY(rig.Rec().WriteReport(pdf));
        QFile report(pdf);
        QVERIFY(report.open(QIODevice::ReadOnly));
        QVERIFY(report.read(5) == "%PDF-");
        QVERIFY(rig.Catcher.Boxes.empty());
    }

    // "现场报告…" asks for the site, the engineer and notes (offered again next time),
    // reads identity and parameters first when the session lacks them (beside the
    // polling), and writes the report once they are in.
    void theReportAsksForDetailsAndReadsIdentityFirst() {
        QTemporaryDir data;
        const QString pdf = data.filePath("report.pdf");
        {
            TRecRig rig(data.filePath("rec"));
            QVERIFY(rig.Open());
            rig.Cycle(0, 21);
            TReportDetails offered;
            rig.Rec().AskDetails = [&](TReportDetails& D) {
                offered = D;
                D = {"青山路基站", "王工", "滤网已清洗\n复查告警"};
                return true;
            };
            bool written = false;
            rig.Rec().OnReportDone = [&](bool Ok) { written = Ok; };
            QVERIFY(rig.Rec().StartReport(pdf));
            QCOMPARE(offered.Site, QString());
            QVERIFY(rig.Rec().ReportReading());
            QVERIFY(!rig.Rec().ReportButton()->isEnabled());
            // The reads go out in turn; the report waits for them.
            rig.Answer(0x4F, {});
            rig.Answer(0x50, {});
            rig.Answer(0x51, Bytes(70, 0x41));
            QVERIFY(!written);
            Bytes params(15, 0);
            params[1] = 26;
            rig.Answer(0x47, params);
            QTRY_VERIFY(written);
            QVERIFY(!rig.Rec().ReportReading());
            QVERIFY(rig.Rec().ReportButton()->isEnabled());
            const auto& latest = rig.Rec().History().Latest();
            QVERIFY(latest.Version && latest.Address && latest.Vendor && latest.Params);
            const auto doc = BuildReportDocument(rig.Rec().ReportData());
            const QString text = doc->toPlainText();
            QVERIFY2(
                text.contains("青山路基站") && text.contains("王工") && text.contains("复查告警"),
                qPrintable(text.left(400)));
            QVERIFY(text.contains("AAAAAAAAAA"));  // the vendor text read for it
            // Read in this session: the next report reads nothing.
            rig.Rec().AskDetails = [&](TReportDetails& D) {
                offered = D;
                return true;
            };
            written = false;
            QVERIFY(rig.Rec().StartReport(pdf));
            QVERIFY(written);
            QVERIFY(!rig.Rec().ReportReading());
            rig.Close();
            // Remembered for the next window.
            rig.Form.reset();
            rig.Form = std::make_unique<TForm1>(rig.Settings.Path(), rig.Platform, &rig.Clock);
            rig.Rec().AskDetails = [&](TReportDetails& D) {
                offered = D;
                return false;  // cancelled: nothing written
            };
            QFile::remove(pdf);
            QVERIFY(!rig.Rec().StartReport(pdf));
            QCOMPARE(offered.Site, QString("青山路基站"));
            QCOMPARE(offered.Engineer, QString("王工"));
            QCOMPARE(offered.Notes, QString("滤网已清洗\n复查告警"));
            QVERIFY(!QFile::exists(pdf));
        }
    }

    void theRecordSwitchIsRemembered() {
        QTemporaryDir data;
        const QString folder = data.filePath("rec");
        {
            TRecRig rig(folder);
            auto* box = rig.Find<QCheckBox>("cbRecord");
            box->click();
            QVERIFY(!box->isChecked());
            QCOMPARE(QSettings(rig.RecordingIni(), QSettings::IniFormat)
                         .value("Recording/Enabled")
                         .toBool(),
                     false);
            QVERIFY(rig.Open());
            rig.Cycle(0, 20);
            rig.Close();
            rig.Rec().Recorder().Sync();
            QVERIFY(QDir(folder).entryList({"*.csv"}).isEmpty());
            QCOMPARE(rig.Find<QLabel>("lblRecording")->text(), QStringLiteral("记录已关闭"));
            // The next window starts with it off, until it is switched on again.
            const QString ini = rig.RecordingIni();
            rig.Form.reset();
            auto again = std::make_unique<TForm1>(rig.Settings.Path(), rig.Platform, &rig.Clock);
            auto* box2 = again->StatusBar()->findChild<QCheckBox*>("cbRecord");
            QVERIFY(!box2->isChecked());
            box2->click();
            QCOMPARE(QSettings(ini, QSettings::IniFormat).value("Recording/Enabled").toBool(),
                     true);
        }
    }

    void anUnwritableFolderGivesOneBoxThenTheStatusBarSaysIt() {
        QTemporaryDir data;
        QFile file(data.filePath("a-file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        TRecRig rig(data.filePath("a-file/rec"));
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        rig.Cycle(0, 20);
        QTRY_COMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(rig.Catcher.Boxes[0].Title, QStringLiteral("错误"));
        QVERIFY2(rig.Catcher.Boxes[0].Text.startsWith("无法建立记录文件夹"),
                 qPrintable(rig.Catcher.Boxes[0].Text));
        auto* status = rig.Find<QLabel>("lblRecording");
        QVERIFY2(status->text().startsWith("记录出错：无法建立记录文件夹"),
                 qPrintable(status->text()));
        // The monitoring goes on: the next replies still reach the panels.
        rig.Cycle(0, 31);
        QCOMPARE(f.MonitorPanel(0)->lblAnOutFanTemp->text(), QStringLiteral("31"));
        // Again at the next opening: the status bar, no second box.
        rig.Close();
        QVERIFY(rig.Open());
        rig.Cycle(1, 22);
        rig.Rec().Recorder().Sync();
        QTest::qWait(50);
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QVERIFY(status->text().startsWith("记录出错："));
    }

    void theFolderOpensOnTheDesktop() {
        TRecRig rig;
        TUrlCatcher urls;
        QDesktopServices::setUrlHandler("file", &urls, "Open");
        rig.Find<QToolButton>("btnRecordFolder")->click();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(urls.Urls.size(), 1);
        QCOMPARE(urls.Urls[0], QUrl::fromLocalFile(rig.Data.filePath("rec")));
        QVERIFY(QFileInfo(rig.Data.filePath("rec")).isDir());  // made when it was missing
    }
};

QTEST_MAIN(Form1RecordingTest)
#include "form1_recording_test.moc"
