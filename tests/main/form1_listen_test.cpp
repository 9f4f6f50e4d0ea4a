// The window listening to another master on the serial component's fake platform:
// nothing written whatever is clicked, the senders off, the status, the panels, the
// traffic log, the counters and the trends filled from what the other master heard;
// back to the master mode; a capture file replayed into the closed window.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "../core/CoreTestSupport.h"
#include "Capture.h"
#include "FakeClock.h"
#include "FakeComPlatform.h"
#include "FormTestSupport.h"
#include "HexLog.h"
#include "LinkView.h"
#include "ListenView.h"
#include "MonitorUnit.h"
#include "RecordTrendReport.h"
#include "ScanDialog.h"
#include "TrafficRows.h"

namespace {
// Analog readings of one controller: every reading the same value.
coretest::Bytes AnalogOf(std::uint8_t Fill) {
    coretest::Bytes b(38, Fill);
    b[0] = 0;
    b[25] = 6;
    return b;
}

struct TListenRig : TFakeFormRig {
    TListenRig() { AddScanButton(*Form); }
    QCheckBox* Switch() const { return Form->ListenView().Switch(); }
    // Every sender of the window and of its status bar.
    std::vector<QPushButton*> Senders() const {
        std::vector<QPushButton*> all;
        for (const char* name :
             {"btnReadSwitch", "btnReadAnalog", "btnReadAlarm", "btnGetParam", "btnRemote",
              "btnSetParam", "btnGetComVer", "btnGetDevAddr", "btnGetDevInfo", "btnScan"}) {
            auto* b = Form->findChild<QPushButton*>(QLatin1String(name));
            if (b) all.push_back(b);
        }
        return all;
    }
    std::size_t RowsWith(const std::string& Direction, const std::string& Summary) const {
        const aircon::TTrafficLog& log = Form->LinkView().Panel().Log();
        std::size_t n = 0;
        for (std::size_t i = 0; i < log.Size(); ++i) {
            const aircon::TTrafficRow& r = log.Row(i);
            if (aircon::DirectionText(r) == Direction &&
                r.Summary.find(Summary) != std::string::npos)
                ++n;
        }
        return n;
    }
};

}  // namespace

class Form1ListenTest : public QObject {
    Q_OBJECT
  private slots:
    // Listening: every sender off and not one byte written, whatever is clicked or
    // called; the other master's exchange with the address chosen fills the window.
    void listensAndWritesNothing() {
        TListenRig rig;
        TForm1& f = *rig.Form;
        QCOMPARE(rig.Senders().size(), std::size_t{10});
        rig.Switch()->click();
        QVERIFY(f.Listening());
        QVERIFY(Ui(f).btnCommOpen->isEnabled());
        // As a settings file that asked for both lines would leave the port.
        f.ComPort().FlowControl().SetControlDTR(TDTRFlowControl::DtrEnable);
        f.ComPort().FlowControl().SetControlRTS(TRTSFlowControl::RtsEnable);
        Ui(f).btnCommOpen->click();
        QVERIFY(f.ComPort().Connected());
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：监听中"));
        // No transmitter switched on by the opening: DTR and RTS low.
        QCOMPARE(rig.Platform->LastState().DtrControl, 0);
        QCOMPARE(rig.Platform->LastState().RtsControl, 0);
        QVERIFY(!Ui(f).cbAutoQuery->isEnabled());
        for (QPushButton* b : rig.Senders())
            QVERIFY2(!b->isEnabled(), qPrintable(b->objectName()));
        QVERIFY(!f.ListenView().ReplayButton()->isEnabled());

        // Whatever the operator manages to reach, and the timers, for a while.
        Ui(f).cbAutoQuery->setChecked(false);
        f.cbAutoQueryClick();
        Ui(f).cbAutoQuery->setChecked(true);
        f.cbAutoQueryClick();
        for (QPushButton* b : rig.Senders())
            b->click();
        f.btnReadAnalogClick();
        f.btnGetParamClick();
        f.btnSetParamClick();
        f.btnRemoteClick();
        f.btnGetDevInfoClick();
        f.SendNoDataCmd(1, 0x42);
        f.SendRemoteCmd(1, 0x1F);
        f.SendSetParamsCmd(1, 0x80, 30);
        f.Timer1Timer();
        f.Timer2Timer();
        rig.Clock.Advance(aircon::Millis(10000));

        // The other master asks addresses 1 and 2; the window shows address 1.
        Ui(f).edAddr->setText(QStringLiteral("1"));
        const aircon::TLinkCountersData& counts = f.LinkView().Status().Counters().Data();
        rig.Platform->Feed(coretest::BuildCommandText(0x42, 2));
        QTRY_COMPARE(counts.CommandsSent, 1u);
        rig.Clock.Advance(aircon::Millis(30));
        rig.Platform->Feed(coretest::Reply(0, AnalogOf(0x02), 2));
        QTRY_COMPARE(counts.Replies, 1u);
        rig.Clock.Advance(aircon::Millis(400));
        rig.Platform->Feed(coretest::BuildCommandText(0x42, 1));
        QTRY_COMPARE(counts.CommandsSent, 2u);
        rig.Clock.Advance(aircon::Millis(45));
        rig.Platform->Feed(coretest::Reply(0, AnalogOf(0x01), 1));
        QTRY_COMPARE(counts.Replies, 2u);
        rig.Clock.Advance(aircon::Millis(400));
        rig.Platform->Feed(coretest::BuildCommandText(0x43, 1));  // never answered
        QTRY_COMPARE(counts.CommandsSent, 3u);
        rig.Clock.Advance(aircon::Millis(1100));
        QCOMPARE(counts.RepliesMissing, 1u);
        QCOMPARE(counts.MinResponse, aircon::Millis(30));
        QCOMPARE(counts.MaxResponse, aircon::Millis(45));

        // The readings of address 1 only: panels, trends (and so the recorder's source).
        const auto& latest = f.Recording()->History().Latest().Analog[0];
        QVERIFY(latest.has_value());
        QCOMPARE(latest->Value, *aircon::ParseAnalog(AnalogOf(0x01)));
        QCOMPARE(f.Recording()->History().Replies(), 1u);
        // The logs: the other master's last command to address 1 and the reply.
        QVERIFY(
            Ui(f).Memo1->toPlainText().startsWith(QStringLiteral("7E 31 30 30 31 36 30 34 33")));
        QVERIFY(Ui(f).Memo2->toPlainText().contains(QStringLiteral("7E 31 30 30 31 36 30 30 30")));
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：监听中"));
        // The traffic log: both directions, the other master's commands marked.
        QCOMPARE(rig.RowsWith("另一主机", "地址 2 0x42 读取模拟量"), std::size_t{1});
        QCOMPARE(rig.RowsWith("另一主机", "地址 1 0x42 读取模拟量"), std::size_t{1});
        QCOMPARE(rig.RowsWith("接收", "RTN 0 正常, 38 字节"), std::size_t{2});
        QCOMPARE(rig.RowsWith("无应答", "0x43"), std::size_t{1});
        QCOMPARE(rig.RowsWith("发送", ""), std::size_t{0});

        QVERIFY(rig.Platform->Written().empty());
        for (const std::string& call : rig.Platform->Calls())
            QVERIFY2(call.rfind("Write", 0) != 0, call.c_str());
        QVERIFY(rig.Catcher.Boxes.empty());
    }

    // Switching while the link is open opens it again in the other mode: back in the
    // master mode the window polls (and writes) again, with its senders on.
    void switchesBackToTheMasterMode() {
        TListenRig rig;
        TForm1& f = *rig.Form;
        rig.Switch()->click();
        Ui(f).btnCommOpen->click();
        QVERIFY(f.ComPort().Connected());
        rig.Clock.Advance(aircon::Millis(3000));
        QVERIFY(rig.Platform->Written().empty());

        rig.Switch()->click();
        QVERIFY(!f.Listening());
        QVERIFY(f.ComPort().Connected());
        QCOMPARE(Ui(f).btnCommOpen->text(), QStringLiteral("关闭串口"));
        QVERIFY(Ui(f).cbAutoQuery->isEnabled());
        QVERIFY(f.findChild<QPushButton*>(QStringLiteral("btnSetParam"))->isEnabled());
        QVERIFY(f.findChild<QPushButton*>(QStringLiteral("btnScan"))->isEnabled());
        rig.Clock.Advance(aircon::Millis(1000));
        QVERIFY(!rig.Platform->Written().empty());

        // And listening again from the open link: nothing more is written.
        const std::size_t written = rig.Platform->Written().size();
        rig.Switch()->click();
        QVERIFY(f.Listening());
        QVERIFY(f.ComPort().Connected());
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：监听中"));
        rig.Clock.Advance(aircon::Millis(5000));
        QCOMPARE(rig.Platform->Written().size(), written);
        QVERIFY(rig.Catcher.Boxes.empty());
    }

    // A capture file replayed into the closed window fills the traffic log, the panels
    // and the trends at the times it was recorded; a damaged file is replayed up to the
    // damage and named in an error box.
    void replaysACaptureFile() {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("site.pcap")).toStdString();
        aircon::TFakeClock recorded;
        {
            aircon::TCaptureWriter writer(recorded, path, 1 << 20);
            QVERIFY(writer.Open());
            writer.SetListening(true);
            for (int i = 0; i < 3; ++i) {
                recorded.Advance(aircon::Millis(500));
                writer.Received(coretest::AsBytes(coretest::BuildCommandText(0x42, 1)));
                recorded.Advance(aircon::Millis(40));
                writer.Received(coretest::AsBytes(coretest::Reply(0, AnalogOf(0x01), 1)));
                recorded.Advance(aircon::Millis(500));
                writer.Received(coretest::AsBytes(coretest::BuildCommandText(0x42, 2)));
                recorded.Advance(aircon::Millis(40));
                writer.Received(coretest::AsBytes(coretest::Reply(0, AnalogOf(0x02), 2)));
            }
        }
        TListenRig rig;
        TForm1& f = *rig.Form;
        Ui(f).edAddr->setText(QStringLiteral("2"));
        QVERIFY(f.ListenView().Replay(QString::fromStdString(path)));
        QVERIFY(rig.Catcher.Boxes.empty());
        QVERIFY(!f.ComPort().Connected());
        const aircon::THistory& h = f.Recording()->History();
        QCOMPARE(h.Replies(), 3u);
        QCOMPARE(h.Latest().Analog[0]->Value, *aircon::ParseAnalog(AnalogOf(0x02)));
        // At the recorded time, not the replay's.
        QCOMPARE(*h.LastTime(), aircon::ToMs(h.Latest().Analog[0]->At));
        QVERIFY(std::abs(*h.LastTime() - aircon::ToMs(recorded.WallNow())) < 5);
        QCOMPARE(rig.RowsWith("另一主机", "地址 1 0x42"), std::size_t{3});
        QCOMPARE(rig.RowsWith("接收", "RTN 0"), std::size_t{6});
        // The tabs can be looked through; nothing can be sent.
        QVERIFY(Ui(f).PageControl1->isEnabled());
        for (QPushButton* b : rig.Senders())
            QVERIFY2(!b->isEnabled(), qPrintable(b->objectName()));
        QVERIFY(rig.Platform->Written().empty());
        // Opening the link ends the replay's view.
        Ui(f).btnCommOpen->click();
        QVERIFY(f.ComPort().Connected());
        QVERIFY(f.findChild<QPushButton*>(QStringLiteral("btnSetParam"))->isEnabled());
        QVERIFY(!f.ListenView().ReplayButton()->isEnabled());
        QVERIFY(!f.ListenView().Replay(QString::fromStdString(path)));
        Ui(f).btnCommOpen->click();

        // Cut in the middle of a record: what comes before is replayed, then the box.
        const auto size = std::filesystem::file_size(path);
        std::filesystem::resize_file(path, size - 10);
        const std::uint64_t before = h.Replies();
        QVERIFY(f.ListenView().Replay(QString::fromStdString(path)));
        QCOMPARE(h.Replies(), before + 2);
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QVERIFY(rig.Catcher.Boxes[0].Text.contains(QStringLiteral("site.pcap")));
        QVERIFY(rig.Catcher.Boxes[0].Text.contains(QStringLiteral("byte")));

        // No file at all: a box, nothing replayed.
        QVERIFY(!f.ListenView().Replay(dir.filePath(QStringLiteral("none.pcap"))));
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{2});
        QVERIFY(rig.Catcher.Boxes[1].Text.contains(QStringLiteral("none.pcap")));
    }

    // Assistive technology finds the new controls by name.
    void accessibleNames() {
        TListenRig rig;
        QCOMPARE(rig.Switch()->accessibleName(), QStringLiteral("监听"));
        QVERIFY(!rig.Switch()->accessibleDescription().isEmpty());
        QCOMPARE(rig.Form->ListenView().ReplayButton()->accessibleName(),
                 QStringLiteral("打开抓包文件"));
        QVERIFY(rig.Form->StatusBar()->isAncestorOf(rig.Switch()));
    }
};

QTEST_MAIN(Form1ListenTest)
#include "form1_listen_test.moc"
