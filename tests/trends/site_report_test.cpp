// The site report: every part of the visit is in it (identity, parameters, the latest
// readings, switch states and alarms of both units, link counters, alarm changes, the
// trend charts), controller texts are printed literally (no markup, no formula), and a
// path that cannot be written gives a reason instead of a broken file.
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include "SiteReport.h"

using namespace aircon;

namespace {

WallTime At(int Seconds) {
    return WallTime(std::chrono::seconds(1796882587 + Seconds));
}

// A session: an hour of replies of both units with one compressor fault, the
// parameters and an identity whose texts look like markup and formulas.
void Fill(THistory& H) {
    for (int i = 0; i < 1200; ++i) {
        for (int unit = 0; unit < 2; ++unit) {
            TAnalogValues a;
            a.Unit = unit;
            a.Count = 18;
            for (std::size_t f = 0; f < 18; ++f)
                a.Values[f] = static_cast<std::int32_t>(20 + f + (i / 60) % 5 + unit);
            a.Values[7] = i % 200 == 100 ? TReading() : a.Values[7];
            H.Add(At(3 * i + unit), a);
            TSwitchStates s;
            s.Unit = unit;
            s.Power = 0;
            s.Count = 9;
            s.Items = {1, 3, 0, static_cast<std::uint8_t>(i < 600 ? 1 : 0), 2, 0, 0, 0, 0};
            H.Add(At(3 * i + 1), s);
            TAlarmStates al;
            al.Unit = unit;
            al.Count = 36;
            al.Codes.fill(0);
            al.Codes[9] = unit == 0 && i >= 600 && i < 700 ? 0xF0 : 0;
            H.Add(At(3 * i + 2), al);
        }
    }
    TUserParams p;
    p.Readings = {32, 18, 35, -10, 80, 30, 25};
    p.ItemCount = 9;
    p.Items = {1, 3, 0, 1, 8224, 30, 20, 1, 2};
    H.Add(At(3600), p);
    H.Add(At(3601), TProtocolVersion{0x21});
    H.Add(At(3602), TDeviceAddress{12});
    TVendorInfo v;
    v.Fields[0] = "<b>X</b> &amp; =cmd|'/C calc'!A0";
    v.Fields[1] = std::string("V1.0\0", 5);
    v.Fields[2] = "Nord <i>AC</i>\\\x7F";
    H.Add(At(3603), v);
}

}  // namespace

class SiteReportTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { qputenv("TZ", "CST-8"); }

    void everyPartOfTheVisitIsInTheText() {
        THistory h;
        Fill(h);
        TSiteReportData d;
        d.History = &h;
        d.Port = "/dev/ttyUSB0";
        d.LinkOpen = true;
        d.ToolVersion = "1.0";
        TLinkCountersData c;
        c.CommandsSent = 7200;
        c.Replies = 7190;
        c.RepliesMissing = 10;
        c.MinResponse = Millis(18);
        c.MeanResponse = Millis(22);
        c.MaxResponse = Millis(61);
        d.Counters = c;
        d.Details = {"青山路基站", "王工", "滤网已清洗\n复查 <b>告警</b>"};
        d.ReadsNote = "只监听模式：未发送读取命令";
        const QString text = BuildReportDocument(d)->toPlainText();
        for (const char* part :
             {"基站空调现场报告", "站点", "青山路基站", "工程师", "王工", "备注",
              "复查 <b>告警</b>", "只监听模式：未发送读取命令",
              // readings and parameters with their units
              "30 °C", "32 °C", "80 %RH", "机组运行时间", "/dev/ttyUSB0", "设备信息", "协议版本号",
              "2.1", "设备地址", "12", "<b>X</b> &amp; =cmd|'/C calc'!A0", "V1.0\\x00",
              "Nord <i>AC</i>\\\\\\x7F", "用户参数", "运行模式设定", "制冷", "双机备份切换时间",
              "8224", "空调1 最新数据", "空调2 最新数据", "送风温度", "压缩机启停", "停止",
              "压缩机过载", "链路统计", "7190", "18 ms / 22 ms / 61 ms", "告警变化",
              "空调1 压缩机过载：正常 → 故障", "空调1 压缩机过载：故障 → 正常"})
            QVERIFY2(text.contains(QString::fromUtf8(part)), part);
        // The latest unit-1 alarms have no fault any more.
        QVERIFY(!text.contains("空调2 压缩机过载"));
    }

    void writesAnA4PdfWithTheChartsAndPlainControllerTexts() {
        QTemporaryDir dir;
        THistory h;
        Fill(h);
        TSiteReportData d;
        d.History = &h;
        d.Port = "ttyUSB0";
        d.ExtraCharts = {{"当前选择", {6, SeriesPerUnit + 6}}};
        // SITE_REPORT_KEEP=<file> keeps a copy to look at.
        const QString path = dir.filePath("现场报告.pdf");
        QString error;
        QElapsedTimer t;
        t.start();
        QVERIFY2(WriteSiteReport(path, d, &error), qPrintable(error));
        qInfo("report written in %lld ms", static_cast<long long>(t.elapsed()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray pdf = f.readAll();
        QVERIFY(pdf.startsWith("%PDF-"));
        QVERIFY(pdf.size() > 20000);
        if (qEnvironmentVariableIsSet("SITE_REPORT_KEEP"))
            QFile::copy(path, qEnvironmentVariable("SITE_REPORT_KEEP"));

        const QString info = QStandardPaths::findExecutable("pdfinfo");
        const QString totext = QStandardPaths::findExecutable("pdftotext");
        if (info.isEmpty() || totext.isEmpty())
            QSKIP("poppler-utils (tools/deps.sh) not installed");
        QProcess p;
        p.start(info, {path});
        QVERIFY(p.waitForFinished());
        const QString meta = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(meta.contains(QRegularExpression(
                     "Page size:\\s+595(\\.\\d+)? x 84[12](\\.\\d+)? pts \\(A4\\)")),
                 qPrintable(meta));
        const int pages = QRegularExpression("Pages:\\s+(\\d+)").match(meta).captured(1).toInt();
        QVERIFY2(pages >= 5, qPrintable(meta));  // text, then seven charts two to a page
        p.start(totext, {"-layout", path, "-"});
        QVERIFY(p.waitForFinished());
        const QString text = QString::fromUtf8(p.readAllStandardOutput());
        // (A long value wraps inside its cell.)
        QVERIFY2(text.contains("<b>X</b> &amp;"), qPrintable(text.left(3000)));
        QVERIFY(text.contains("=cmd|'/C calc'!A0"));
        QVERIFY(text.contains("Nord <i>AC</i>"));
        QVERIFY(text.contains("趋势图 · 当前选择"));
        QVERIFY(text.contains("温度（送风、回风、室外）"));
        QVERIFY(text.contains(QRegularExpression(QString("第\\s*%1\\s*/\\s*%1\\s*页").arg(pages))));
        if (qEnvironmentVariableIsSet("SITE_REPORT_KEEP")) {
            QFile::remove(qEnvironmentVariable("SITE_REPORT_KEEP"));
            QFile::copy(path, qEnvironmentVariable("SITE_REPORT_KEEP"));
        }
    }

    void aPathThatCannotBeWrittenGivesAReason() {
        THistory h;
        TSiteReportData d;
        d.History = &h;
        QString error;
        QVERIFY(!WriteSiteReport("/nonexistent-folder/report.pdf", d, &error));
        QVERIFY2(error.contains("/nonexistent-folder/report.pdf"), qPrintable(error));
    }
};

QTEST_MAIN(SiteReportTest)
#include "site_report_test.moc"
