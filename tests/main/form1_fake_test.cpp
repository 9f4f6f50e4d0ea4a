// The window on the serial component's fake platform: failures injected where a
// real port cannot be made to fail on demand.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <cerrno>
#include <thread>
#include "HexLog.h"

#include "FakeClock.h"
#include "FakeComPlatform.h"
#include "FormTestSupport.h"

namespace {
struct TFakeRig : TFakeFormRig {
    // The closed state after a close, without any message box.
    void VerifyClosedQuietly() const {
        TForm1& f = *Form;
        QVERIFY(!f.ComPort().Connected());
        QCOMPARE(Ui(f).btnCommOpen->text(), QStringLiteral("打开串口"));
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：断开"));
        QVERIFY(!Ui(f).grpCmdSetting->isEnabled());
        QVERIFY(!Ui(f).PageControl1->isEnabled());
        QVERIFY(Ui(f).cbBaudrate->isEnabled());
        QVERIFY(f.SendQueue().empty());
        QVERIFY(!f.PollTimer().Enabled());
        QVERIFY(!f.SendTimer().Enabled());
        QCOMPARE(Platform->OpenDevices(), 0);
        QVERIFY(Catcher.Boxes.empty());
    }
};

std::string ReplyFrom(std::uint8_t Addr) {
    // RTN 0 and no INFO, as the codec builds a frame without INFO.
    std::vector<std::uint8_t> packet(TDH::GetCmdPacketLen(0x00));
    TDH::GenCmdPacket(TDH_Header{0x10, Addr, 0x60, 0x00}, packet, {});
    return std::string(packet.begin(), packet.end());
}
}  // namespace

class Form1FakeTest : public QObject {
    Q_OBJECT
  private slots:
    // A write failure inside a send tick closes the link at once, without a box
    // and without touching the released queue; the frame still shows in Memo1.
    void writeFailureInSendTick() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        for (int i = 0; i < 4; ++i)
            Ui(f).btnReadAlarm->click();
        rig.Platform->FailOn(TFakeOp::Write, EIO);
        f.Timer2Timer();
        rig.VerifyClosedQuietly();
        QCOMPARE(Ui(f).Memo1->toPlainText(), Echo(CommandFrame(1, 0x44)));
        QCOMPARE(int{f.LastCID2()}, 0x44);
    }

    // The same when the poll cycle's own timers run into the failure.
    void writeFailureWhilePolling() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        rig.Platform->FailOn(TFakeOp::Write, EIO);
        QVERIFY(rig.Open());
        // The first poll tick at 500 ms, its send 350 ms later fails.
        rig.Clock.Advance(aircon::Millis(849));
        QVERIFY(f.ComPort().Connected());
        rig.Clock.Advance(aircon::Millis(1));
        QVERIFY(!f.ComPort().Connected());
        rig.VerifyClosedQuietly();
        rig.Clock.Advance(aircon::Millis(5000));  // the timers stay off
        QVERIFY(!f.PollTimer().Enabled());
        QVERIFY(!f.SendTimer().Enabled());
        QCOMPARE(rig.Clock.RunningTimers(), std::size_t{0});
    }

    // A port that vanishes while open closes the link without a message.
    void vanishingPort() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        QVERIFY(rig.Platform->WaitUntilWaiting(5000));
        rig.Platform->HangUp(ENXIO);
        QVERIFY(QTest::qWaitFor([&] { return !f.ComPort().Connected(); }, 5000));
        rig.VerifyClosedQuietly();
    }

    // Opening fails: the box, the closed state, nothing stored, no polling.
    void openFailures_data() {
        QTest::addColumn<int>("failure");  // 0 busy, 1 line settings refused
        QTest::newRow("held by another program") << 0;
        QTest::newRow("line settings refused") << 1;
    }
    void openFailures() {
        QFETCH(int, failure);
        TFakeRig rig;
        TForm1& f = *rig.Form;
        if (failure == 0) rig.Platform->SetBusy(TFakeFormRig::Port.toStdString());
        if (failure == 1) rig.Platform->FailOn(TFakeOp::SetState, EINVAL);
        Ui(f).btnCommOpen->click();
        QVERIFY(!f.ComPort().Connected());
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        const auto& box = rig.Catcher.Boxes[0];
        QCOMPARE(box.Kind, MessageBoxes::TBoxKind::Error);
        QCOMPARE(box.Title, QStringLiteral("错误"));
        QCOMPARE(box.Text, QStringLiteral("打开串口失败，串口已被其它应用程序打开。"));
        QCOMPARE(Ui(f).btnCommOpen->text(), QStringLiteral("打开串口"));
        QVERIFY(!Ui(f).grpCmdSetting->isEnabled());
        QVERIFY(!Ui(f).PageControl1->isEnabled());
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：断开"));  // came as a report
        QCOMPARE(rig.Platform->OpenDevices(), 0);
        QVERIFY(rig.Settings.Read().isEmpty());
        rig.Clock.Advance(aircon::Millis(3000));  // no polling starts
        QVERIFY(rig.Platform->Written().empty());
    }

    // No port to choose: the box, and nothing opened.
    void noPortSelectable() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        f.findChild<QComboBox*>(QStringLiteral("cbPort"))->clear();
        rig.Platform->ClearCalls();
        Ui(f).btnCommOpen->click();
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(rig.Catcher.Boxes[0].Kind, MessageBoxes::TBoxKind::Error);
        QCOMPARE(rig.Catcher.Boxes[0].Title, QStringLiteral("错误"));
        QCOMPARE(rig.Catcher.Boxes[0].Text, QStringLiteral("无可用的串口！"));
        QVERIFY(rig.Platform->Calls().empty());
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：未连接"));
        QCOMPARE(Ui(f).btnCommOpen->text(), QStringLiteral("打开串口"));
    }

    // A failure reported while the link closes does not start the close again.
    void failureWhileClosing() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        rig.Platform->FailOn(TFakeOp::Purge, EIO);
        Ui(f).btnCommOpen->click();
        rig.VerifyClosedQuietly();
        rig.Platform->ClearFailure(TFakeOp::Purge);
        QVERIFY(rig.Open());  // and the link opens again
    }

    // Selector entries map to the component's values; no entry gives the defaults.
    void selectorMapping() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        TComPort& p = f.ComPort();
        const TBaudRate rates[] = {TBaudRate::Br300,   TBaudRate::Br600,   TBaudRate::Br1200,
                                   TBaudRate::Br2400,  TBaudRate::Br4800,  TBaudRate::Br9600,
                                   TBaudRate::Br19200, TBaudRate::Br38400, TBaudRate::Br57600,
                                   TBaudRate::Br115200};
        for (int i = 0; i < 10; ++i) {
            Ui(f).cbBaudrate->setCurrentIndex(i);
            f.cbBaudrateChange();
            QCOMPARE(p.BaudRate(), rates[i]);
        }
        const TDataBits bits[] = {TDataBits::DbFive, TDataBits::DbSix, TDataBits::DbSeven,
                                  TDataBits::DbEight};
        for (int i = 0; i < 4; ++i) {
            Ui(f).cbDatabits->setCurrentIndex(i);
            f.cbDatabitsChange();
            QCOMPARE(p.DataBits(), bits[i]);
        }
        const TParityBits parities[] = {TParityBits::PrEven, TParityBits::PrOdd,
                                        TParityBits::PrNone, TParityBits::PrMark,
                                        TParityBits::PrSpace};
        for (int i = 0; i < 5; ++i) {
            Ui(f).cbParity->setCurrentIndex(i);
            f.cbParityChange();
            QCOMPARE(p.Parity().Bits(), parities[i]);
        }
        const TStopBits stops[] = {TStopBits::SbOneStopBit, TStopBits::SbOne5StopBits,
                                   TStopBits::SbTwoStopBits};
        for (int i = 0; i < 3; ++i) {
            Ui(f).cbStopBits->setCurrentIndex(i);
            f.cbStopBitsChange();
            QCOMPARE(p.StopBits(), stops[i]);
        }
        for (QComboBox* box :
             {Ui(f).cbBaudrate, Ui(f).cbDatabits, Ui(f).cbParity, Ui(f).cbStopBits})
            box->setCurrentIndex(-1);
        f.cbBaudrateChange();
        f.cbDatabitsChange();
        f.cbParityChange();
        f.cbStopBitsChange();
        QCOMPARE(p.BaudRate(), TBaudRate::Br9600);
        QCOMPARE(p.DataBits(), TDataBits::DbEight);
        QCOMPARE(p.Parity().Bits(), TParityBits::PrNone);
        QCOMPARE(p.StopBits(), TStopBits::SbOneStopBit);
    }

    // Stored settings are used although the selectors show their first values;
    // a pick replaces one value; the values in effect are stored on opening.
    void storedAndPickedLineSettings() {
        {
            TFakeRig rig;
            rig.Settings.Write("[ComPort1]\nPort=COM7\nBaudRate=19200\n");
            rig.Form = std::make_unique<TForm1>(rig.Settings.Path(), rig.Platform);
            SelectPort(*rig.Form, TFakeFormRig::Port);
            QCOMPARE(Ui(*rig.Form).cbBaudrate->currentText(), QStringLiteral("9600"));
            QVERIFY(rig.Open());
            QCOMPARE(rig.Platform->LastState().BaudRate, 19200);
            QVERIFY(rig.Settings.Read().contains("BaudRate=19200"));
        }
        {
            TFakeRig rig;
            TForm1& f = *rig.Form;
            Ui(f).cbBaudrate->setCurrentIndex(9);
            emit Ui(f).cbBaudrate->activated(9);
            Ui(f).cbParity->setCurrentIndex(0);
            emit Ui(f).cbParity->activated(0);
            QVERIFY(rig.Open());
            QCOMPARE(rig.Platform->LastState().BaudRate, 115200);
            QCOMPARE(int{rig.Platform->LastState().Parity}, 2);  // even
            QCOMPARE(int{rig.Platform->LastState().ByteSize}, 8);
            const QString stored = rig.Settings.Read();
            QVERIFY2(stored.contains("BaudRate=115200"), qPrintable(stored));
            QVERIFY2(stored.contains("Parity=Even"), qPrintable(stored));
            // The design's line: DTR and RTS off, no flow control; read time-outs 10, 1, 10.
            QCOMPARE(int{rig.Platform->LastState().DtrControl}, 0);
            QCOMPARE(int{rig.Platform->LastState().RtsControl}, 0);
            QVERIFY(!rig.Platform->LastState().OutxCtsFlow);
            QVERIFY(!rig.Platform->LastState().OutX);
            QCOMPARE(rig.Platform->LastTimeouts().ReadIntervalTimeout, 10u);
            QCOMPARE(rig.Platform->LastTimeouts().ReadTotalTimeoutMultiplier, 1u);
            QCOMPARE(rig.Platform->LastTimeouts().ReadTotalTimeoutConstant, 10u);
        }
    }

    // Received blocks reach the window on its own thread, one at a time, in order.
    void receivedBlocksInOrder() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        std::vector<int> seen;
        const Qt::HANDLE gui = QThread::currentThreadId();
        bool offThread = false;
        TDispatchSpy spy(f, [&](TDH_Header h, std::span<const std::uint8_t>, bool) {
            if (QThread::currentThreadId() != gui) offThread = true;
            seen.push_back(h.Addr);
        });
        constexpr int count = 40;
        std::thread feeder([&] {
            for (int i = 0; i < count; ++i) {
                const std::string frame = ReplyFrom(static_cast<std::uint8_t>(i));
                // Each frame in two pieces, to be joined by the codec.
                rig.Platform->Feed(frame.substr(0, 7));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                rig.Platform->Feed(frame.substr(7));
            }
        });
        const bool all = QTest::qWaitFor([&] { return seen.size() >= count; }, 10000);
        feeder.join();
        QVERIFY(all);
        QVERIFY(!offThread);
        for (int i = 0; i < count; ++i)
            QCOMPARE(seen[static_cast<std::size_t>(i)], i);
        QCOMPARE(Ui(f).Memo2->toPlainText(), QLatin1Char(' ') + Echo(ReplyFrom(count - 1)));
    }

    // A failure thrown while a port event is handled (here by a reply's handler) is
    // shown in the application's error box, as failures are everywhere else, and
    // the link stays usable.
    void handlerFailureShownInErrorBox() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        int handled = 0;
        TDispatchSpy spy(f, [&](TDH_Header h, std::span<const std::uint8_t>, bool) {
            ++handled;
            if (h.Addr == 1) throw std::runtime_error("display failed for address 1");
        });
        rig.Platform->Feed(ReplyFrom(1));
        QVERIFY(QTest::qWaitFor([&] { return !rig.Catcher.Boxes.empty(); }, 5000));
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(rig.Catcher.Boxes[0].Kind, MessageBoxes::TBoxKind::ApplicationError);
        QCOMPARE(rig.Catcher.Boxes[0].Text, QStringLiteral("display failed for address 1"));
        QVERIFY(f.ComPort().Connected());
        rig.Platform->Feed(ReplyFrom(2));
        QVERIFY(QTest::qWaitFor([&] { return handled == 2; }, 5000));
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
    }

    // A reply is decoded once, by the core, and the window shows the record the core
    // parsed: a decoder that reads 0x4F differently from the bytes shows on the tab.
    void showsTheRecordTheCoreDecoded() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        int calls = 0;
        f.Monitor().SetReplyDecoder(
            [&](std::uint8_t Cid2, TDH_Header Header, std::span<const std::uint8_t> Info) {
                ++calls;
                if (Cid2 == 0x4F)
                    return std::optional<aircon::TReplyData>(aircon::TProtocolVersion{0x21});
                return aircon::DecodeReply(Cid2, Header, Info);
            });
        auto* version = f.findChild<QLabel*>(QStringLiteral("lblGetDevVer"));
        QVERIFY(version);
        f.btnGetComVerClick();
        rig.Clock.Advance(aircon::Millis(600));  // the send timer writes 0x4F
        QVERIFY(!rig.Platform->Written().empty());
        rig.Platform->Feed(ReplyFrom(1));  // VER 0x10 in the frame
        QVERIFY(QTest::qWaitFor([&] { return calls > 0; }, 5000));
        QCOMPARE(version->text(), QStringLiteral("2.1"));
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：正常"));
        QCOMPARE(calls, 1);
        QVERIFY(rig.Catcher.Boxes.empty());
    }

    // A handler that runs a local event loop (as a modal box does) does not get
    // the next received block handled inside it: blocks stay one at a time.
    void noNestedHandlingInLocalLoop() {
        TFakeRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        int depth = 0;
        int deepest = 0;
        std::vector<int> seen;
        TDispatchSpy spy(f, [&](TDH_Header h, std::span<const std::uint8_t>, bool) {
            ++depth;
            deepest = std::max(deepest, depth);
            seen.push_back(h.Addr);
            if (h.Addr == 1) {
                rig.Platform->Feed(ReplyFrom(2));
                QTest::qWait(300);  // the second block arrives meanwhile
                QCOMPARE(seen.size(), std::size_t{1});
            }
            --depth;
        });
        rig.Platform->Feed(ReplyFrom(1));
        QVERIFY(QTest::qWaitFor([&] { return seen.size() >= 2; }, 5000));
        QCOMPARE(deepest, 1);
        QCOMPARE(seen, (std::vector<int>{1, 2}));
    }
};

QTEST_MAIN(Form1FakeTest)
#include "form1_fake_test.moc"
