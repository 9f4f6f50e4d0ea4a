// The link view in the real window: a controller on a pseudo-terminal answers each
// command its own way (well, corrupted, not at all, refused after noise), and the
// status bar's counters and the traffic log below the designed area show it.
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>

#include "../core/CoreTestSupport.h"
#include "FakeClock.h"
#include "FormTestSupport.h"
#include "LinkView.h"
#include "RecordTrendReport.h"
#include "TrafficLogModel.h"

namespace {

// Counts the commands the window sends.
struct TSendCount : aircon::IMonitorObserver {
    std::size_t Sent = 0;
    void OnCommandSent(const aircon::TCommandSent&) override { ++Sent; }
};

std::string WrongChkSum(std::string Frame) {
    char& c = Frame[Frame.size() - 2];
    c = c == '0' ? '1' : '0';
    return Frame;
}

}  // namespace

class TrafficLogWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void logAndStatusBarShowWhatTheLineDid() {
        TSettingsDir settings;
        TPtyController pty;
        TBoxCatcher boxes;
        aircon::TFakeClock clock;
        TForm1 form(settings.Path(), nullptr, &clock);
        SelectPort(form, pty.SlavePath());
        TLinkView& view = form.LinkView();
        view.AvailableArea = [] { return QRect(0, 0, 1920, 1200); };
        TSendCount sends;
        form.Monitor().AddObserver(sends);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const int closedHeight = form.height();
        const QRect pagesPlace = Ui(form).PageControl1->geometry();

        Ui(form).btnCommOpen->click();
        QVERIFY(form.ComPort().Connected());
        const aircon::TLinkCountersData& counts = view.Status().Counters().Data();
        // Moves the fake clock on until the window has written its next command.
        auto nextCommand = [&] {
            const std::size_t before = sends.Sent;
            for (int i = 0; i < 200 && sends.Sent == before; ++i)
                clock.Advance(aircon::Millis(10));
            return sends.Sent == before + 1 && pty.WaitFrames(sends.Sent);
        };
        auto answer = [&](int AfterMs, const std::string& Bytes) {
            clock.Advance(aircon::Millis(AfterMs));
            pty.Send(Bytes);
        };

        QVERIFY(nextCommand());  // 0x42: answered in 40 ms
        answer(40, coretest::Reply(0, coretest::AnalogInfo()));
        QTRY_COMPARE(counts.Replies, 1u);
        QVERIFY(nextCommand());  // 0x43: a corrupt answer in 30 ms
        answer(30, WrongChkSum(coretest::Reply(0, coretest::SwitchInfo())));
        QTRY_COMPARE(counts.ErrorFrames, 1u);
        QVERIFY(nextCommand());  // 0x44: no answer
        QVERIFY(nextCommand());  // 0x42: noise, then refused in 20 ms
        answer(20, "xx" + coretest::Reply(2));
        QTRY_COMPARE(counts.RtnErrors, 1u);

        // The status bar.
        TLinkStatusWidget& status = view.Status();
        QVERIFY(form.LinkBar()->isAncestorOf(&status));
        status.Refresh();
        const std::pair<QLabel*, const char*> labels[] = {
            {status.lblSent, "发送 4"},
            {status.lblReplies, "应答 2"},
            {status.lblMissing, "无应答 1"},
            {status.lblErrorFrames, "错误帧 1"},
            {status.lblRtn, "RTN≠0 1"},
            {status.lblNoise, "噪声 2 字节"},
            {status.lblResponse, "响应 20 ms (20/30/40)"},
        };
        for (auto [label, text] : labels)
            QCOMPARE(label->text(), QString::fromUtf8(text));
        QVERIFY(status.lblLastGood->text().startsWith(QStringLiteral("距上次正常应答")));
        // The designed labels go on as before.
        QCOMPARE(Ui(form).lblComRes->text(), QStringLiteral("CHKSUM错"));

        // The traffic log opens below the designed area; the window grows by its height.
        TTrafficLogPanel& panel = view.Panel();
        QVERIFY(!panel.isVisible());
        status.btnTrafficLog->click();
        QVERIFY(panel.isVisible());
        // The controller refuses by now: the line on the age of the values shows too.
        const QLabel* stale = form.findChild<QLabel*>(QStringLiteral("lblStaleValues"));
        QVERIFY(stale && stale->isVisible());
        QTRY_COMPARE(form.height(), closedHeight + TLinkView::PanelHeight + stale->height());
        QCOMPARE(panel.mapTo(&form, QPoint(0, 0)).y(), TForm1::DesignHeight);
        QCOMPARE(Ui(form).PageControl1->geometry(), pagesPlace);

        const QString port = pty.SlavePath();
        const QStringList want = {
            QStringLiteral("打开 ") + port,
            QStringLiteral("0x42 读取模拟量"),
            QStringLiteral("RTN 0 正常, 38 字节"),
            QStringLiteral("0x43 读取开关量"),
            QStringLiteral("CHKSUM错"),
            QStringLiteral("0x44 读取告警"),
            QStringLiteral("无应答 350 ms, 0x44 读取告警"),
            QStringLiteral("0x42 读取模拟量"),
            QStringLiteral("噪声 2 字节 (不属于任何帧)"),  // where it was: before the reply
            QStringLiteral("RTN 2 CHKSUM错, 0 字节"),
        };
        QAbstractItemModel* rows = panel.grdRows->model();
        QStringList got;
        for (int r = 0; r < rows->rowCount(); ++r)
            got << rows->index(r, TTrafficLogModel::ColSummary).data().toString();
        QCOMPARE(got, want);
        QCOMPARE(rows->index(8, TTrafficLogModel::ColHex).data().toString(),
                 QStringLiteral("78 78"));
        QCOMPARE(rows->index(2, TTrafficLogModel::ColResponse).data().toString(),
                 QStringLiteral("40 ms"));
        QCOMPARE(rows->index(4, 0).data(Qt::BackgroundRole).value<QColor>(),
                 TTrafficLogModel::ClassColour(aircon::TRowClass::ErrorFrame));
        QCOMPARE(rows->index(6, 0).data(Qt::BackgroundRole).value<QColor>(),
                 TTrafficLogModel::ClassColour(aircon::TRowClass::Missing));

        // A click on the corrupt reply takes it apart.
        const QRect cell = panel.grdRows->visualRect(rows->index(4, TTrafficLogModel::ColSummary));
        QTest::mouseClick(panel.grdRows->viewport(), Qt::LeftButton, {}, cell.center());
        const auto chk = panel.tvDetail->findItems(QStringLiteral("CHKSUM"), Qt::MatchExactly, 0);
        QCOMPARE(chk.size(), 1);
        QVERIFY2(chk[0]->text(1).contains(QStringLiteral("错误, 应为")),
                 qPrintable(chk[0]->text(1)));

        // With the link closed the log stays usable (the page control does not).
        Ui(form).btnCommOpen->click();
        QVERIFY(!form.ComPort().Connected());
        QVERIFY(!Ui(form).PageControl1->isEnabled());
        QVERIFY(panel.isEnabled() && panel.btnClear->isEnabled());
        status.Refresh();
        QVERIFY(status.lblLastGood->text().startsWith(QStringLiteral("上次正常应答 ")));
        panel.SyncNow();
        QCOMPARE(rows->index(rows->rowCount() - 1, TTrafficLogModel::ColSummary).data().toString(),
                 QStringLiteral("关闭 主动关闭"));

        // Closing the log shrinks the window back.
        status.btnTrafficLog->click();
        QVERIFY(!panel.isVisible());
        QTRY_COMPARE(form.height(), closedHeight);

        // On a screen too low for the grown window, the log opens in a window of its own.
        view.AvailableArea = [] { return QRect(0, 0, 1366, 768); };
        status.btnTrafficLog->click();
        auto* own = form.findChild<QWidget*>(QStringLiteral("TrafficLogWindow"));
        QVERIFY(own && own->isVisible() && own->isAncestorOf(&panel));
        QCOMPARE(form.height(), closedHeight);
        own->close();
        QVERIFY(!status.btnTrafficLog->isChecked());
        QVERIFY(!view.LogShown());
        view.AvailableArea = [] { return QRect(0, 0, 1920, 1200); };
        status.btnTrafficLog->click();  // room again: back below the designed area
        QVERIFY(form.isAncestorOf(&panel) && panel.isVisible());
        QTRY_COMPARE(form.height(), closedHeight + TLinkView::PanelHeight);

        // The site report gives the figures of the status bar, reset with them.
        auto reported = [&] { return form.Recording()->ReportData().Counters; };
        QVERIFY(reported() && reported()->CommandsSent == 4 && reported()->RepliesMissing == 1 &&
                reported()->ErrorFrames == 1);
        status.btnReset->click();
        QVERIFY(reported() && reported()->CommandsSent == 0 && reported()->ErrorFrames == 0);

        form.Monitor().RemoveObserver(sends);
        QVERIFY(boxes.Boxes.empty());
    }
};

QTEST_MAIN(TrafficLogWindowTest)
#include "traffic_log_window_test.moc"
