// The real window on a pseudo-terminal, the test playing the controller.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include "HexLog.h"

#include "FakeClock.h"
#include "FormTestSupport.h"

namespace {
// A window whose port selector offers the pseudo-terminal, on a fake clock: its poll
// and send timers run only when the test moves time on, and every command's send
// time is taken from that clock, exactly.
struct TRig {
    TSettingsDir Settings;
    TPtyController Pty;
    TBoxCatcher Catcher;
    aircon::TFakeClock Clock;
    std::unique_ptr<TForm1> Form;

    // The fake-clock time (ms since the window was made) of each command sent.
    struct TSendLog : aircon::IMonitorObserver {
        aircon::TFakeClock* Clock = nullptr;
        std::vector<std::pair<int, qint64>> Sent;  // CID2, ms
        void OnCommandSent(const aircon::TCommandSent& e) override {
            Sent.emplace_back(
                e.CID2,
                std::chrono::duration_cast<aircon::Millis>(e.At.Time - Clock->Start()).count());
        }
    } Sends;

    explicit TRig(const QString& SettingsPath = {}) {
        Form = std::make_unique<TForm1>(SettingsPath.isEmpty() ? Settings.Path() : SettingsPath,
                                        nullptr, &Clock);
        SelectPort(*Form, Pty.SlavePath());
        Sends.Clock = &Clock;
        Form->Monitor().AddObserver(Sends);
    }
    ~TRig() {
        if (Form) Form->Monitor().RemoveObserver(Sends);
    }
    bool Open() { return OpenPort(*Form); }
    // Open with automatic polling switched off: only the test's commands travel.
    bool OpenQuiet() { return OpenPortQuiet(*Form); }
    // Moves time on by Ms (the timers fire on the way), then lets the frames written
    // meanwhile reach the test's end of the line.
    void Run(qint64 Ms) {
        Clock.Advance(aircon::Millis(Ms));
        QCoreApplication::processEvents();
    }
    qint64 Now() const { return Clock.Elapsed().count(); }
};

std::uint8_t Cid2Of(const std::string& Frame) {
    // "~" VER(2) ADR(2) CID1(2) CID2(2)
    return static_cast<std::uint8_t>(std::stoi(Frame.substr(7, 2), nullptr, 16));
}

}  // namespace

class Form1PtyTest : public QObject {
    Q_OBJECT
  private slots:
    void initialWindow() {
        TRig rig;
        TForm1& f = *rig.Form;
        QCOMPARE(f.objectName(), QStringLiteral("Form1"));
        QCOMPARE(f.windowTitle(), QStringLiteral("基站空调专用PC（Ver1.0-D）"));
        // The designed client area is 817 x 714; only the two status bars lie below it.
        QCOMPARE(f.width(), 817);
        QVERIFY(f.StatusBar() != nullptr && f.LinkBar() != nullptr);
        QCOMPARE(f.LinkBar()->mapTo(&f, QPoint(0, 0)).y(), 714);
        QCOMPARE(f.StatusBar()->mapTo(&f, QPoint(0, 0)).y(), 714 + f.LinkBar()->height());
        QCOMPARE(f.height(),
                 714 + f.LinkBar()->sizeHint().height() + f.StatusBar()->sizeHint().height());

        struct TText {
            const char* Name;
            QString Text;
        };
        const TText texts[] = {
            {"Label1", "串口号："},
            {"Label2", "波特率："},
            {"Label3", "数据位："},
            {"Label4", "校验位："},
            {"Label5", "停止位："},
            {"Label9", "地址："},
            {"Label10", "监控轮询时间："},
            {"Label11", "毫秒"},
            {"Label6", "应答超时："},
            {"Label7", "毫秒"},
            {"Label14", "通讯状态：未连接"},
            {"Label13", "手动获取："},
            {"Label8", "发送"},
            {"Label12", "接收："},
            {"lblComRes", ""},
        };
        for (const auto& t : texts) {
            auto* label = f.findChild<QLabel*>(QLatin1String(t.Name));
            QVERIFY2(label, t.Name);
            QCOMPARE(label->text(), t.Text);
        }
        const TText buttons[] = {{"btnCommOpen", "打开串口"},
                                 {"btnReadSwitch", "读取开关量"},
                                 {"btnReadAnalog", "读取模拟量"},
                                 {"btnReadAlarm", "读取告警"}};
        for (const auto& b : buttons) {
            auto* button = f.findChild<QPushButton*>(QLatin1String(b.Name));
            QVERIFY2(button, b.Name);
            QCOMPARE(button->text(), b.Text);
            QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
            QCOMPARE(button->size(), QSize(75, 25));
        }
        QCOMPARE(Ui(f).grpComm->title(), QStringLiteral("串口设置"));
        QCOMPARE(Ui(f).grpCmdSetting->title(), QStringLiteral("监控设置"));
        QCOMPARE(Ui(f).grpComm->geometry(), QRect(8, 2, 797, 49));
        QCOMPARE(Ui(f).grpCmdSetting->geometry(), QRect(8, 47, 797, 79));
        QCOMPARE(Ui(f).PageControl1->geometry(), QRect(8, 129, 801, 498));
        QCOMPARE(Ui(f).Memo1->geometry(), QRect(47, 629, 762, 37));
        QCOMPARE(Ui(f).Memo2->geometry(), QRect(47, 672, 762, 37));
        QCOMPARE(Ui(f).btnCommOpen->pos(), QPoint(638, 18));
        QCOMPARE(Ui(f).edAddr->pos(), QPoint(61, 20));
        QCOMPARE(Ui(f).Label14->pos(), QPoint(572, 22));
        QCOMPARE(Ui(f).Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(Ui(f).Memo2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        // Selectors: lists, initial entries, hand cursor.
        struct TList {
            QComboBox* Box;
            QStringList Items;
            QString Current;
        };
        const TList lists[] = {
            {Ui(f).cbBaudrate,
             {"300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"},
             "9600"},
            {Ui(f).cbDatabits, {"5", "6", "7", "8"}, "8"},
            {Ui(f).cbParity, {"偶", "奇", "无", "标志", "空格"}, "无"},
            {Ui(f).cbStopBits, {"1", "1.5", "2"}, "1"},
        };
        for (const auto& l : lists) {
            QStringList items;
            for (int i = 0; i < l.Box->count(); ++i)
                items << l.Box->itemText(i);
            QCOMPARE(items, l.Items);
            QCOMPARE(l.Box->currentText(), l.Current);
            QCOMPARE(l.Box->cursor().shape(), Qt::PointingHandCursor);
        }
        auto* port = f.findChild<QComboBox*>(QStringLiteral("cbPort"));
        QVERIFY(port);
        QCOMPARE(port->cursor().shape(), Qt::PointingHandCursor);

        // Edit boxes: texts, limits, centred.
        QCOMPARE(Ui(f).edAddr->text(), QStringLiteral("1"));
        QCOMPARE(Ui(f).edAddr->maxLength(), 3);
        QCOMPARE(Ui(f).edQueryInterval->text(), QStringLiteral("500"));
        QVERIFY(Ui(f).edQueryInterval->maxLength() > 100);
        QCOMPARE(Ui(f).edRespOvTime->text(), QStringLiteral("350"));
        QCOMPARE(Ui(f).edRespOvTime->maxLength(), 3);
        for (QLineEdit* e : {Ui(f).edAddr, Ui(f).edQueryInterval, Ui(f).edRespOvTime})
            QCOMPARE(e->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        QVERIFY(Ui(f).cbAutoQuery->isChecked());
        QCOMPARE(Ui(f).cbAutoQuery->text(), QStringLiteral("自动轮询"));

        // Tabs in order; the first shown.
        QStringList tabs;
        QStringList names;
        for (int i = 0; i < Ui(f).PageControl1->count(); ++i) {
            tabs << Ui(f).PageControl1->tabText(i);
            names << Ui(f).PageControl1->widget(i)->objectName();
        }
        QCOMPARE(tabs, (QStringList{"监控  (空调1)", "监控 (空调2)", "用户参数", "获取用户参数",
                                    "获取协议版本号", "获取设备地址", "获取设备厂商信息"}));
        QCOMPARE(names, (QStringList{"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet4",
                                     "TabSheet6", "TabSheet7", "TabSheet8"}));
        QCOMPARE(Ui(f).PageControl1->currentIndex(), 0);

        // Components by name.
        QVERIFY(f.findChild<QObject*>(QStringLiteral("ComPort1")));
        QVERIFY(f.PollTimer().Enabled());
        QCOMPARE(f.PollTimer().Interval(), 500);
        QVERIFY(!f.SendTimer().Enabled());
        QCOMPARE(f.SendTimer().Interval(), 500);
        QCOMPARE(f.LastCID2(), std::uint8_t{0xFF});
        QCOMPARE(f.IntCmd().Param, std::uint8_t{0x80});
        QCOMPARE(f.IntCmd().Value, std::uint16_t{25});

        // Tab order: serial settings, monitoring settings, pages, logs.
        const QWidget* expected[] = {port,
                                     Ui(f).cbBaudrate,
                                     Ui(f).cbDatabits,
                                     Ui(f).cbParity,
                                     Ui(f).cbStopBits,
                                     Ui(f).btnCommOpen,
                                     Ui(f).edAddr,
                                     Ui(f).edQueryInterval,
                                     Ui(f).edRespOvTime,
                                     Ui(f).cbAutoQuery,
                                     Ui(f).btnReadSwitch,
                                     Ui(f).btnReadAnalog,
                                     Ui(f).btnReadAlarm,
                                     Ui(f).PageControl1,
                                     Ui(f).Memo1,
                                     Ui(f).Memo2};
        std::vector<const QWidget*> chain;
        QWidget* w = port;
        do {
            if (std::find(std::begin(expected), std::end(expected), w) != std::end(expected))
                chain.push_back(w);
            w = w->nextInFocusChain();
        } while (w != port && chain.size() < std::size(expected));
        QVERIFY(std::equal(chain.begin(), chain.end(), std::begin(expected), std::end(expected)));
    }

    // Enabled states and texts in each state of the link's lifecycle.
    void lifecycleStates() {
        TRig rig;
        TForm1& f = *rig.Form;
        auto check = [&](bool Open, const QString& Caption, const QString& Status) {
            QCOMPARE(Ui(f).btnCommOpen->text(), Caption);
            for (QWidget* s :
                 {static_cast<QWidget*>(f.findChild<QComboBox*>("cbPort")),
                  static_cast<QWidget*>(Ui(f).cbBaudrate), static_cast<QWidget*>(Ui(f).cbDatabits),
                  static_cast<QWidget*>(Ui(f).cbParity), static_cast<QWidget*>(Ui(f).cbStopBits)})
                QCOMPARE(s->isEnabled(), !Open);
            QCOMPARE(Ui(f).grpCmdSetting->isEnabled(), Open);
            QCOMPARE(Ui(f).PageControl1->isEnabled(), Open);
            QCOMPARE(Ui(f).Label14->text(), Status);
            QCOMPARE(f.ComPort().Connected(), Open);
            if (!Open) {
                QVERIFY(f.SendQueue().empty());
                QVERIFY(!f.SendTimer().Enabled());
            }
        };
        check(false, "打开串口", "通讯状态：未连接");
        QVERIFY(Ui(f).btnReadSwitch->isEnabledTo(
            Ui(f).grpCmdSetting));  // although polling starts ticked
        QVERIFY(rig.Open());
        check(true, "关闭串口", "通讯状态：未连接");
        QVERIFY(f.PollTimer().Enabled());
        // The settings of this opening are kept.
        const QString stored = rig.Settings.Read();
        QVERIFY2(stored.contains("[ComPort1]"), qPrintable(stored));
        QVERIFY2(stored.contains("Port=" + rig.Pty.SlavePath()), qPrintable(stored));
        QVERIFY2(stored.contains("BaudRate=9600"), qPrintable(stored));

        Ui(f).cbAutoQuery->click();  // off: the read buttons follow
        QVERIFY(!f.PollTimer().Enabled());
        QVERIFY(Ui(f).btnReadAnalog->isEnabled());
        Ui(f).cbAutoQuery->click();  // on again
        QVERIFY(f.PollTimer().Enabled());
        QVERIFY(!Ui(f).btnReadAnalog->isEnabled());

        Ui(f).btnCommOpen->click();
        check(false, "打开串口", "通讯状态：断开");
        QVERIFY(!f.PollTimer().Enabled());
        QVERIFY(rig.Catcher.Boxes.empty());
    }

    // The status label sits in the monitoring group, which is greyed out while the link
    // is closed, exactly when the operator must read "通讯状态：断开": it keeps the
    // normal text colour in every state.
    void statusReadableInEveryState() {
        TRig rig;
        TForm1& f = *rig.Form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        auto* status = f.findChild<QLabel*>(QStringLiteral("Label14"));
        auto* group = f.findChild<QGroupBox*>(QStringLiteral("grpCmdSetting"));
        QVERIFY(status && group);
        const QColor text = QApplication::palette().color(QPalette::Active, QPalette::WindowText);
        auto check = [&](const char* State) {
            QCOMPARE(status->palette().color(QPalette::Disabled, QPalette::WindowText), text);
            // As drawn: the same picture whether or not the group is enabled.
            const bool wasEnabled = group->isEnabled();
            group->setEnabled(false);
            const QImage greyed = status->grab().toImage();
            group->setEnabled(true);
            const QImage normal = status->grab().toImage();
            group->setEnabled(wasEnabled);
            QVERIFY2(greyed == normal, State);
        };
        check("closed after start");
        QVERIFY(rig.Open());
        check("open");
        f.findChild<QPushButton*>(QStringLiteral("btnCommOpen"))->click();
        QCOMPARE(status->text(), QStringLiteral("通讯状态：断开"));
        QVERIFY(!group->isEnabled());
        check("closed after a close");
    }

    // The senders put exactly these frames on the line and echo them in Memo1.
    void senders_data() {
        QTest::addColumn<int>("kind");  // 0 no data, 1 remote, 2 set parameter
        QTest::addColumn<int>("addr");
        QTest::addColumn<int>("arg");
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("lastCid2");
        QTest::newRow("read analog")
            << 0 << 1 << 0x42 << 0 << QByteArray("~100160420000FDB2\r") << 0x42;
        QTest::newRow("remote") << 1 << 1 << 0x10 << 0 << QByteArray("~10016045E00210FD37\r")
                                << 0x45;
        QTest::newRow("set parameter")
            << 2 << 1 << 0x80 << 32 << QByteArray("~10016049A006800020FC6A\r") << 0x49;
        QTest::newRow("value high byte first")
            << 2 << 1 << 0x80 << 300 << QByteArray("~10016049A00680012C") << 0x49;
        QTest::newRow("address 200") << 0 << 200 << 0x43 << 0 << QByteArray("~10C86043") << 0x43;
    }
    void senders() {
        QFETCH(int, kind);
        QFETCH(int, addr);
        QFETCH(int, arg);
        QFETCH(int, value);
        QFETCH(QByteArray, frame);
        QFETCH(int, lastCid2);
        TRig rig;
        QVERIFY(rig.OpenQuiet());
        TForm1& f = *rig.Form;
        const auto a = static_cast<std::uint8_t>(addr);
        const auto p = static_cast<std::uint8_t>(arg);
        if (kind == 0) f.SendNoDataCmd(a, p);
        if (kind == 1) f.SendRemoteCmd(a, p);
        if (kind == 2) f.SendSetParamsCmd(a, p, static_cast<std::uint16_t>(value));
        QCOMPARE(int{f.LastCID2()}, lastCid2);
        QVERIFY(rig.Pty.WaitFrames(1));
        const std::string& sent = rig.Pty.Frames()[0].Bytes;
        // A row names the whole frame, or (when it has no carriage return) its start.
        if (frame.endsWith('\r'))
            QCOMPARE(QByteArray::fromStdString(sent), frame);
        else
            QVERIFY2(QByteArray::fromStdString(sent).startsWith(frame), sent.c_str());
        QCOMPARE(Ui(f).Memo1->toPlainText(), Echo(sent));
        if (kind == 0 && addr == 1 && arg == 0x42)
            QCOMPARE(Ui(f).Memo1->toPlainText(),
                     QStringLiteral("7E 31 30 30 31 36 30 34 32 30 30 30 30 46 44 42 32 0D "));
        if (addr == 200) QVERIFY(Ui(f).Memo1->toPlainText().startsWith("7E 31 30 43 38 "));
    }

    // With the defaults the three poll commands repeat every 1500 ms, each sent
    // 350, 200 and 50 ms after the poll tick that queued it.
    void pollCycleTimeLine() {
        TRig rig;
        QVERIFY(rig.Open());
        // The poll timer has run since the window was made: its first tick at 500 ms.
        rig.Run(1899);
        // After the third send of a cycle the send timer fires once more (1900), finds
        // the queue empty and stays off until the next poll tick.
        QVERIFY(rig.Form->SendTimer().Enabled());
        rig.Run(1);
        QVERIFY(!rig.Form->SendTimer().Enabled());
        rig.Run(2000);
        QVERIFY(rig.Pty.WaitFrames(7));
        const auto& frames = rig.Pty.Frames();
        const std::uint8_t order[] = {0x42, 0x43, 0x44, 0x42, 0x43, 0x44, 0x42};
        const qint64 at[] = {850, 1200, 1550, 2350, 2700, 3050, 3850};
        QCOMPARE(rig.Sends.Sent.size(), std::size_t{7});
        for (std::size_t i = 0; i < 7; ++i) {
            QCOMPARE(int{Cid2Of(frames[i].Bytes)}, int{order[i]});
            QCOMPARE(frames[i].Bytes, CommandFrame(1, order[i]));
            QCOMPARE(rig.Sends.Sent[i].first, int{order[i]});
            QCOMPARE(rig.Sends.Sent[i].second, at[i]);
        }
        QCOMPARE(Ui(*rig.Form).Memo1->toPlainText(), Echo(frames[6].Bytes));
    }

    // Read buttons: one command each, behind each other; the first send comes
    // 500 ms after the press (the send timer's first interval), then one per time-out.
    void readButtons() {
        TRig rig;
        QVERIFY(rig.OpenQuiet());
        TForm1& f = *rig.Form;
        rig.Run(123);
        const qint64 pressed = rig.Now();
        Ui(f).btnReadSwitch->click();
        Ui(f).btnReadAnalog->click();
        Ui(f).btnReadAlarm->click();
        QCOMPARE(f.SendQueue().size(), std::size_t{3});
        rig.Run(499);
        QVERIFY(rig.Sends.Sent.empty());
        rig.Run(1 + 350 + 350);
        QVERIFY(rig.Pty.WaitFrames(3));
        const auto& frames = rig.Pty.Frames();
        QCOMPARE(frames[0].Bytes, CommandFrame(1, 0x43));
        QCOMPARE(frames[1].Bytes, CommandFrame(1, 0x42));
        QCOMPARE(frames[2].Bytes, CommandFrame(1, 0x44));
        QCOMPARE(rig.Sends.Sent[0].second, pressed + 500);
        QCOMPARE(rig.Sends.Sent[1].second, pressed + 850);
        QCOMPARE(rig.Sends.Sent[2].second, pressed + 1200);
        // The queue is worked off and the send timer goes off by itself.
        QVERIFY(f.SendTimer().Enabled());
        rig.Run(350);
        QVERIFY(!f.SendTimer().Enabled());
        QVERIFY(f.SendQueue().empty());
        rig.Run(2000);
        QCOMPARE(rig.Sends.Sent.size(), std::size_t{3});
    }

    // Intervals of 0 stop a timer until a tick gives it a usable number again;
    // switching polling off leaves queued polls to be sent.
    void zeroIntervalsAndPollingOff() {
        TRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        Ui(f).btnReadAlarm->click();
        Ui(f).btnReadAlarm->click();
        Ui(f).edRespOvTime->setText("0");
        f.Timer2Timer();
        QVERIFY(rig.Pty.WaitFrames(1));
        QVERIFY(f.SendTimer().Enabled());
        QVERIFY(!f.SendTimer().Running());
        rig.Run(5000);
        QCOMPARE(rig.Pty.Frames().size(), std::size_t{1});
        QCOMPARE(f.SendQueue().size(), std::size_t{1});

        // A poll tick with a usable time-out restarts the send timer.
        Ui(f).cbAutoQuery->click();
        Ui(f).edRespOvTime->setText("350");
        f.Timer1Timer();
        QCOMPARE(f.SendQueue().size(), std::size_t{2});
        QCOMPARE(int{f.SendQueue().back().Custom}, 0x42);
        // Polling off: the queued poll is still sent, after the alarm read.
        Ui(f).cbAutoQuery->click();
        rig.Run(700);
        QVERIFY(rig.Pty.WaitFrames(3));
        QCOMPARE(rig.Pty.Frames()[1].Bytes, CommandFrame(1, 0x44));
        QCOMPARE(rig.Pty.Frames()[2].Bytes, CommandFrame(1, 0x42));

        // A poll interval of 0 stops the poll timer at the next poll tick.
        Ui(f).cbAutoQuery->click();
        Ui(f).edQueryInterval->setText("0");
        f.Timer1Timer();
        QCOMPARE(f.PollTimer().Interval(), 0);
        QVERIFY(!f.PollTimer().Running());
    }

    // Replies: receive log, reply label, status label, dispatch.
    void replies() {
        TRig rig;
        QVERIFY(rig.OpenQuiet());
        TForm1& f = *rig.Form;
        std::vector<std::pair<TDH_Header, std::vector<std::uint8_t>>> dispatched;
        TDispatchSpy spy(f, [&](TDH_Header h, std::span<const std::uint8_t> info, bool) {
            dispatched.emplace_back(h, std::vector<std::uint8_t>(info.begin(), info.end()));
        });
        auto receive = [&](const std::string& Frame) {
            const QString before = Ui(f).Memo2->toPlainText();
            const QString label = Ui(f).lblComRes->text();
            const std::size_t calls = dispatched.size();
            rig.Pty.Send(Frame);
            // Every frame of this test has a visible effect: wait for it.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    return Ui(f).Memo2->toPlainText() != before ||
                           Ui(f).lblComRes->text() != label || dispatched.size() != calls;
                },
                3000));
        };

        // A correct reply before any command: logged, status set, no decoder.
        receive("~100160000000FDB8\r");
        QCOMPARE(Ui(f).Memo2->toPlainText(),
                 QStringLiteral(" 7E 31 30 30 31 36 30 30 30 30 30 30 30 46 44 42 38 0D "));
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：正常"));
        QCOMPARE(dispatched.size(), std::size_t{1});
        QCOMPARE(int{dispatched[0].first.CID2}, 0xFF);

        // RTN 2: the code's text, status unchanged, nothing dispatched.
        Ui(f).Label14->setText("marker");
        receive("~100160020000FDB6\r");
        QCOMPARE(Ui(f).lblComRes->text(), QString::fromStdString(TDH::RtnToString(2)));
        QVERIFY(!Ui(f).lblComRes->text().isEmpty());
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("marker"));
        QCOMPARE(dispatched.size(), std::size_t{1});

        // RTN 0x80: only the log changes.
        receive("~100160800000FDB0\r");
        QCOMPARE(Ui(f).Memo2->toPlainText(), QLatin1Char(' ') + Echo("~100160800000FDB0\r"));
        QCOMPARE(Ui(f).lblComRes->text(), QString::fromStdString(TDH::RtnToString(2)));
        QCOMPARE(dispatched.size(), std::size_t{1});

        // A wrong checksum: error text, log keeps the previous frame.
        receive("~100160000000FDB9\r");
        QCOMPARE(Ui(f).lblComRes->text(), QStringLiteral("接收错误帧："));
        QCOMPARE(Ui(f).Memo2->toPlainText(), QLatin1Char(' ') + Echo("~100160800000FDB0\r"));
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("marker"));

        // A reply with RTN 0 after a remote command clears the reply label.
        f.SendRemoteCmd(1, 0x10);
        receive("~100160000000FDB8\r");
        QCOMPARE(Ui(f).lblComRes->text(), QString());
        QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：正常"));
        QCOMPARE(int{dispatched.back().first.CID2}, 0x45);

        // A late reply goes to the last command sent, INFO from the frame size.
        f.SendNoDataCmd(1, 0x42);
        f.SendNoDataCmd(1, 0x43);
        receive("~10016000C0040001FCE0\r");
        QCOMPARE(int{dispatched.back().first.CID2}, 0x43);
        QCOMPARE(int{dispatched.back().first.Ver}, 0x10);
        QCOMPARE(int{dispatched.back().first.Addr}, 0x01);
        QCOMPARE(int{dispatched.back().first.CID1}, 0x60);
        QCOMPARE(dispatched.back().second, (std::vector<std::uint8_t>{0x00, 0x01}));
    }

    // Two frames in one received block are handled in order; the second shows.
    void twoFramesInOneBlock() {
        TRig rig;
        TForm1& f = *rig.Form;
        std::vector<int> order;
        TDispatchSpy spy(f, [&](TDH_Header, std::span<const std::uint8_t> info, bool) {
            order.push_back(static_cast<int>(info.size()));
        });
        const std::string first = "~10016000C0040001FCE0\r";
        const std::string second = "~100160000000FDB8\r";
        const std::string block = first + second;
        f.ComPort1RxBuf(f.ComPort(), std::span(reinterpret_cast<const std::uint8_t*>(block.data()),
                                               block.size()));
        QCOMPARE(order, (std::vector<int>{2, 0}));
        QCOMPARE(Ui(f).Memo2->toPlainText(), QLatin1Char(' ') + Echo(second));
    }

    // The decoder table: which CID2 of the last command has a decoder.
    void decoderTable() {
        TRig rig;
        TForm1& f = *rig.Form;
        const std::vector<int> withDecoder{0x42, 0x43, 0x44, 0x47, 0x4F, 0x50, 0x51};
        for (int cid2 : {0x00, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A,
                         0x4E, 0x4F, 0x50, 0x51, 0x52, 0xFF}) {
            bool seen = false;
            bool has = false;
            TDispatchSpy spy(f, [&](TDH_Header h, std::span<const std::uint8_t>, bool HasDecoder) {
                seen = true;
                has = HasDecoder;
                QCOMPARE(int{h.CID2}, cid2);
            });
            Ui(f).Label14->clear();
            // The command goes out first (the closed port refuses it, quietly), then a
            // reply with RTN 0 is read as its answer.
            f.SendNoDataCmd(1, static_cast<std::uint8_t>(cid2));
            std::vector<std::uint8_t> reply(TDH::GetCmdPacketLen(0x00));
            TDH::GenCmdPacket(TDH_Header{0x10, 1, 0x60, 0x00}, reply, {});
            f.ComPort1RxBuf(f.ComPort(), reply);
            QVERIFY(seen);
            QCOMPARE(Ui(f).Label14->text(), QStringLiteral("通讯状态：正常"));
            const bool expected =
                std::find(withDecoder.begin(), withDecoder.end(), cid2) != withDecoder.end();
            QVERIFY2(has == expected, qPrintable(QString::number(cid2, 16)));
        }
    }

    // Closing releases the backlog; reopening starts empty at poll step 0 and
    // keeps the logs and the last command.
    void closeAndReopen() {
        TRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        f.SendNoDataCmd(1, 0x47);
        QVERIFY(rig.Pty.WaitFrames(1));
        for (int i = 0; i < 5; ++i)
            Ui(f).btnReadAlarm->click();
        QVERIFY(f.SendQueue().size() >= 5);
        Ui(f).btnCommOpen->click();
        QVERIFY(!f.ComPort().Connected());
        QVERIFY(f.SendQueue().empty());
        QVERIFY(!f.SendTimer().Enabled());
        const QString memo1 = Ui(f).Memo1->toPlainText();
        rig.Run(3000);  // nothing leaves while closed
        QVERIFY(rig.Pty.Frames().size() == 1);
        rig.Pty.ClearFrames();

        QVERIFY(rig.Open());
        QCOMPARE(f.QueryStep(), 0);
        QVERIFY(f.SendQueue().empty());
        QCOMPARE(int{f.LastCID2()}, 0x47);
        QCOMPARE(Ui(f).Memo1->toPlainText(), memo1);
        // The first poll tick at most one poll interval after opening, its send 350 ms on.
        rig.Run(850);
        QVERIFY(rig.Pty.WaitFrames(1));
        QCOMPARE(rig.Pty.Frames()[0].Bytes, CommandFrame(1, 0x42));
    }

    // A poll interval shorter than the reply time-out: the queue holds at most
    // one poll command, and a button's command waits behind at most that one.
    // A poll tick that finds its previous poll still queued appends nothing and
    // keeps the poll step, but still takes both intervals from their boxes; the
    // send timer keeps the interval it was given across closing and reopening.
    void pollTickWhilePollWaiting() {
        TRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        // Ticks called here run back to back, without the event loop in between.
        f.Timer1Timer();
        QCOMPARE(f.SendQueue().size(), std::size_t{1});
        QCOMPARE(int{f.SendQueue().back().Custom}, 0x42);
        QCOMPARE(f.QueryStep(), 1);
        QCOMPARE(f.SendTimer().Interval(), 350);
        Ui(f).edQueryInterval->setText("700");
        Ui(f).edRespOvTime->setText("200");
        f.Timer1Timer();
        QCOMPARE(f.SendQueue().size(), std::size_t{1});
        QCOMPARE(f.QueryStep(), 1);
        QCOMPARE(f.PollTimer().Interval(), 700);
        QCOMPARE(f.SendTimer().Interval(), 200);
        QVERIFY(f.SendTimer().Enabled());
        // A refused address stops the send timer with the poll still queued; the
        // next poll tick appends nothing but arms the send timer again, so the
        // poll cycle resumes once the address is corrected.
        Ui(f).edAddr->setText("300");
        f.Timer2Timer();
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QVERIFY(!f.SendTimer().Enabled());
        Ui(f).edAddr->setText("1");
        f.Timer1Timer();
        QCOMPARE(f.SendQueue().size(), std::size_t{1});
        QVERIFY(f.SendTimer().Enabled());
        rig.Catcher.Boxes.clear();
        // The poll still waits at the head: a tick adds nothing behind a button's command either.
        f.QueueCommand(TIntCMD{0x47, 0, 0});
        QCOMPARE(f.SendQueue().size(), std::size_t{2});
        f.Timer1Timer();
        QCOMPARE(f.SendQueue().size(), std::size_t{2});
        QVERIFY(rig.Catcher.Boxes.empty());

        Ui(f).btnCommOpen->click();
        QVERIFY(f.SendQueue().empty());
        QVERIFY(rig.OpenQuiet());
        QCOMPARE(f.SendTimer().Interval(), 200);
        QCOMPARE(f.QueryStep(), 0);
    }

    void pollBacklogBounded() {
        TRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        Ui(f).edQueryInterval->setText("100");
        std::size_t most = 0;
        for (int ms = 0; ms < 5000; ms += 10) {
            rig.Run(10);
            most = std::max(most, f.SendQueue().size());
        }
        QVERIFY2(most <= 1, qPrintable(QString::number(most)));
        // A button's command (here the protocol-version read) waits behind at most one poll.
        const std::size_t before = rig.Pty.Frames().size();
        f.QueueCommand(TIntCMD{0x4F, 0, 0});
        QVERIFY(f.SendQueue().size() <= 2);
        rig.Run(700);
        QVERIFY(rig.Pty.WaitFrames(before + 2));
        const auto& frames = rig.Pty.Frames();
        QVERIFY(Cid2Of(frames[before].Bytes) == 0x4F || Cid2Of(frames[before + 1].Bytes) == 0x4F);
        // The polls keep their order: 42, 43, 44, 42, ...
        std::vector<int> polls;
        for (const auto& fr : frames)
            if (Cid2Of(fr.Bytes) != 0x4F) polls.push_back(Cid2Of(fr.Bytes));
        QVERIFY(polls.size() >= 5);
        for (std::size_t i = 0; i < polls.size(); ++i)
            QCOMPARE(polls[i], 0x42 + static_cast<int>(i % 3));
        Ui(f).btnCommOpen->click();
        QVERIFY(f.SendQueue().empty());
    }

    // Bad numbers in the boxes: the error box, and the queue as the tick left it.
    void badAddressAndInterval_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << ""
                               << "'' is not a valid integer value";
        QTest::newRow("pasted letters") << "1x"
                                        << "'1x' is not a valid integer value";
        QTest::newRow("above a byte") << "300"
                                      << "'300' is not a valid device address: enter a number "
                                         "from 0 to 255";
        QTest::newRow("negative") << "-1"
                                  << "'-1' is not a valid device address: enter a number from 0 "
                                     "to 255";
    }
    void badAddressAndInterval() {
        QFETCH(QString, address);
        QFETCH(QString, message);
        TRig rig;
        TForm1& f = *rig.Form;
        QVERIFY(rig.OpenQuiet());
        Ui(f).edAddr->setText(address);
        Ui(f).btnReadAnalog->click();
        f.Timer2Timer();  // the send tick, now
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(rig.Catcher.Boxes[0].Kind, MessageBoxes::TBoxKind::ApplicationError);
        QCOMPARE(rig.Catcher.Boxes[0].Text, message);
        QCOMPARE(f.SendQueue().size(), std::size_t{1});
        QCOMPARE(int{f.SendQueue().front().Custom}, 0x42);
        QVERIFY(!f.SendTimer().Enabled());
        QCOMPARE(int{f.LastCID2()}, 0xFF);
        rig.Run(2000);
        QVERIFY(rig.Pty.Frames().empty());

        // A good address sends the waiting item; "0" is address 0.
        Ui(f).edAddr->setText("0");
        f.Timer2Timer();
        QVERIFY(rig.Pty.WaitFrames(1));
        QCOMPARE(rig.Pty.Frames()[0].Bytes, CommandFrame(0, 0x42));
        QVERIFY(f.SendQueue().empty());
        QVERIFY(f.SendTimer().Enabled());

        // A bad time-out ends the send tick after its send, the send timer off.
        Ui(f).edRespOvTime->setText("");
        Ui(f).btnReadAlarm->click();
        f.Timer2Timer();
        QVERIFY(rig.Pty.WaitFrames(2));
        QVERIFY(f.SendQueue().empty());
        QVERIFY(!f.SendTimer().Enabled());
        QCOMPARE(rig.Catcher.Boxes.back().Text, QStringLiteral("'' is not a valid integer value"));

        // A bad poll interval: the tick appends its command but starts no send.
        Ui(f).edRespOvTime->setText("350");
        Ui(f).cbAutoQuery->click();  // polling on
        Ui(f).edQueryInterval->setText("5x");
        const std::size_t boxes = rig.Catcher.Boxes.size();
        f.Timer1Timer();
        QCOMPARE(f.SendQueue().size(), std::size_t{1});
        QVERIFY(!f.SendTimer().Enabled());
        QCOMPARE(rig.Catcher.Boxes.size(), boxes + 1);
        QCOMPARE(rig.Catcher.Boxes.back().Text,
                 QStringLiteral("'5x' is not a valid integer value"));
    }

    // Opening with a bad poll interval: the link opens (the box can only be
    // corrected while open) with automatic polling off, and the operator is told.
    void openWithBadInterval() {
        TRig rig;
        TForm1& f = *rig.Form;
        Ui(f).edQueryInterval->setText("");
        QVERIFY(rig.Open());
        QCOMPARE(Ui(f).btnCommOpen->text(), QStringLiteral("关闭串口"));
        QVERIFY(Ui(f).grpCmdSetting->isEnabled());
        QVERIFY(Ui(f).PageControl1->isEnabled());
        QVERIFY(!f.PollTimer().Enabled());
        QVERIFY(!Ui(f).cbAutoQuery->isChecked());
        QVERIFY(Ui(f).btnReadAnalog->isEnabled());
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(rig.Catcher.Boxes[0].Kind, MessageBoxes::TBoxKind::ApplicationError);
        QCOMPARE(rig.Catcher.Boxes[0].Text, QStringLiteral("'' is not a valid integer value"));
        rig.Run(3000);
        QVERIFY(rig.Pty.Frames().empty());
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        // Corrected and polling ticked again: the poll runs.
        Ui(f).edQueryInterval->setText("200");
        Ui(f).cbAutoQuery->click();
        rig.Run(1000);
        QVERIFY(rig.Pty.WaitFrames(1));
        QCOMPARE(rig.Pty.Frames()[0].Bytes, CommandFrame(1, 0x42));
    }

    // Settings that cannot be stored: the link stays fully open, the operator is told.
    void openWithUnwritableSettings() {
        TRig rig(QStringLiteral("/nonexistent-folder-of-the-test/ComSetting.ini"));
        TForm1& f = *rig.Form;
        QVERIFY(rig.Open());
        QCOMPARE(Ui(f).btnCommOpen->text(), QStringLiteral("关闭串口"));
        QVERIFY(Ui(f).grpCmdSetting->isEnabled());
        QVERIFY(Ui(f).PageControl1->isEnabled());
        QVERIFY(f.PollTimer().Enabled());
        QCOMPARE(rig.Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(rig.Catcher.Boxes[0].Kind, MessageBoxes::TBoxKind::Error);
        QCOMPARE(rig.Catcher.Boxes[0].Title, QStringLiteral("错误"));
        QVERIFY(rig.Catcher.Boxes[0].Text.contains("/nonexistent-folder-of-the-test"));
        rig.Run(850);
        QVERIFY(rig.Pty.WaitFrames(1));  // and it polls
    }

    // The digit filter on the numeric boxes.
    void digitFilter() {
        TRig rig;
        TForm1& f = *rig.Form;
        Ui(f).grpCmdSetting->setEnabled(true);
        Ui(f).edAddr->clear();
        QTest::keyClicks(Ui(f).edAddr, "a-1 b2");
        QCOMPARE(Ui(f).edAddr->text(), QStringLiteral("12"));
        QTest::keyClick(Ui(f).edAddr, Qt::Key_Backspace);
        QCOMPARE(Ui(f).edAddr->text(), QStringLiteral("1"));
        QTest::keyClicks(Ui(f).edAddr, "2345");
        QCOMPARE(Ui(f).edAddr->text(), QStringLiteral("123"));  // three characters at most
        Ui(f).edQueryInterval->clear();
        QTest::keyClicks(Ui(f).edQueryInterval, "12345678x9");
        QCOMPARE(Ui(f).edQueryInterval->text(), QStringLiteral("123456789"));
        Ui(f).edRespOvTime->clear();
        QTest::keyClicks(Ui(f).edRespOvTime, "+9.");
        // Key presses that type more than one character (a character beyond the
        // basic plane, a dead key followed by a letter) are filtered as well.
        for (const QString& text :
             {QStringLiteral("１"), QStringLiteral("五"), QStringLiteral("\U0001F600"),
              QStringLiteral("´a"), QStringLiteral("4a")}) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text);
            QApplication::sendEvent(Ui(f).edRespOvTime, &press);
        }
        QCOMPARE(Ui(f).edRespOvTime->text(), QStringLiteral("9"));
        // Delete (which types DEL on X11) still deletes.
        Ui(f).edRespOvTime->setText("35");
        Ui(f).edRespOvTime->setCursorPosition(0);
        QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QStringLiteral("\x7f"));
        QApplication::sendEvent(Ui(f).edRespOvTime, &del);
        QCOMPARE(Ui(f).edRespOvTime->text(), QStringLiteral("5"));
        QKeyEvent twoDigits(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, "12");
        QApplication::sendEvent(Ui(f).edQueryInterval, &twoDigits);
        QCOMPARE(Ui(f).edQueryInterval->text(), QStringLiteral("12345678912"));
        // The handler itself.
        for (char16_t c : {u'0', u'5', u'9', char16_t(8)}) {
            QChar key(c);
            f.edIntKeyPress(Ui(f).edAddr, key);
            QCOMPARE(key, QChar(c));
        }
        for (char16_t c : {u'a', u'-', u' ', u'/', u':', char16_t(0xFF11)}) {
            QChar key(c);
            f.edIntKeyPress(Ui(f).edAddr, key);
            QVERIFY(key.isNull());
        }
    }

    // Text that arrives by another route than a typed key (pasted by keyboard or
    // through the context menu, dropped with the mouse) is filtered like typed text:
    // only its digits go in, at the cursor, within the box's length limit.
    void pastedAndDroppedTextFiltered_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("arriving");
        QTest::addColumn<QString>("after");
        const char* boxes[] = {"edAddr", "edQueryInterval", "edRespOvTime", "edSetParamVal"};
        const char* routes[] = {"ctrl+v", "shift+insert", "context menu", "drop"};
        for (const char* box : boxes) {
            for (const char* route : routes) {
                QTest::addRow("%s %s letters", box, route) << box << route << ""
                                                           << "a1b2"
                                                           << "12";
                QTest::addRow("%s %s nothing left", box, route) << box << route << "7"
                                                                << "x-y"
                                                                << "7";
            }
        }
        // The length limit counts only what is kept.
        QTest::newRow("limit after filtering") << "edAddr"
                                               << "ctrl+v"
                                               << ""
                                               << "ab123456"
                                               << "123";
        QTest::newRow("drop at the end") << "edRespOvTime"
                                         << "drop"
                                         << "3"
                                         << " 5 0"
                                         << "350";
    }
    void pastedAndDroppedTextFiltered() {
        QFETCH(QString, box);
        QFETCH(QString, route);
        QFETCH(QString, before);
        QFETCH(QString, arriving);
        QFETCH(QString, after);
        TRig rig;
        TForm1& f = *rig.Form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        auto* edit = f.findChild<QLineEdit*>(box);
        QVERIFY(edit);
        // Make the box usable as on an open link.
        for (QWidget* w = edit; w; w = w->parentWidget())
            w->setEnabled(true);
        edit->setText(before);
        edit->setCursorPosition(int(before.size()));
        edit->setFocus();
        QApplication::clipboard()->setText(arriving);
        if (route == "ctrl+v") {
            QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        } else if (route == "shift+insert") {
            QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
        } else if (route == "context menu") {
            // Choose "Paste" in the box's own context menu.
            bool chosen = false;
            QTimer::singleShot(0, [&] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                if (!menu) return;
                for (QAction* a : menu->actions()) {
                    if (a->text().section(QLatin1Char('\t'), 0, 0) == QLineEdit::tr("&Paste")) {
                        chosen = true;
                        menu->close();
                        a->trigger();
                        return;
                    }
                }
                menu->close();
            });
            const QPoint at = edit->rect().center();
            QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, edit->mapToGlobal(at));
            QApplication::sendEvent(edit, &menuEvent);
            QTRY_VERIFY_WITH_TIMEOUT(chosen, 5000);
        } else {
            QMimeData data;
            data.setText(arriving);
            const QPointF at(edit->width() - 2, edit->height() / 2.0);  // right of the text
            QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(edit, &enter);
            QDragMoveEvent move(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton,
                                Qt::NoModifier);
            QApplication::sendEvent(edit, &move);
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(edit, &drop);
        }
        QCOMPARE(edit->text(), after);
    }

    // The stored port is selected when the window is created.
    void storedPortSelected() {
        TSettingsDir settings;
        TPtyController pty;
        settings.Write("[ComPort1]\nPort=" + pty.SlavePath() + "\nBaudRate=19200\n");
        TForm1 form(settings.Path());
        auto* port = form.findChild<QComboBox*>(QStringLiteral("cbPort"));
        QCOMPARE(port->currentText(), pty.SlavePath());
        QCOMPARE(Ui(form).cbBaudrate->currentText(), QStringLiteral("9600"));
        QCOMPARE(form.ComPort().BaudRate(), TBaudRate::Br19200);
    }

    // Closing the window while the link is open closes the port first.
    void closeWindowWhileOpen() {
        TRig rig;
        QVERIFY(rig.Open());
        QVERIFY(rig.Form->close());
        QVERIFY(!rig.Form->ComPort().Connected());
        QVERIFY(rig.Form->SendQueue().empty());
        rig.Run(3000);
        QVERIFY(rig.Pty.Frames().empty());
        rig.Form->Monitor().RemoveObserver(rig.Sends);
        rig.Form.reset();
    }
};

QTEST_MAIN(Form1PtyTest)
#include "form1_pty_test.moc"
