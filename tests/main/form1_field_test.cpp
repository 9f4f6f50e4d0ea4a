// The window as a field engineer reads it, on the fake platform and the fake clock: the
// status says whether the controller answers, and a banner says how old the values are.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <functional>
#include <string>
#include <vector>

#include "AnsweringView.h"
#include "ComComboBox.h"
#include "CommandOutcome.h"
#include "FakeClock.h"
#include "FakeComPlatform.h"
#include "FormTestSupport.h"
#include "LinkStatusWidget.h"
#include "LinkView.h"

namespace {
using aircon::Millis;

// Counts the frames the window has taken in.
class TFrameCounter : public aircon::IMonitorObserver {
  public:
    explicit TFrameCounter(TForm1& Form) : FForm(Form) { Form.Monitor().AddObserver(*this); }
    ~TFrameCounter() override { FForm.Monitor().RemoveObserver(*this); }
    void OnFrameReceived(const aircon::TFrameReceived&) override { ++Count; }
    int Count = 0;

  private:
    TForm1& FForm;
};

struct TRig : TFakeFormRig {
    std::unique_ptr<TFrameCounter> Frames = std::make_unique<TFrameCounter>(*Form);

    // Runs the clock for Span in 50 ms steps; every command written gets Reply (none
    // when empty) before the clock goes on.
    void Run(Millis Span, const std::string& Reply = {}) {
        Run(Span, [&](std::uint8_t, const std::string&) { return Reply; });
    }
    // The same with the reply made for each command (its CID2 and its INFO characters).
    void Run(Millis Span,
             const std::function<std::string(std::uint8_t Cid2, const std::string& Info)>& Answer) {
        for (Millis t{0}; t < Span; t += Millis(50)) {
            const std::size_t before = Platform->Written().size();
            Clock.Advance(Millis(50));
            const std::vector<std::uint8_t> written = Platform->Written();
            if (written.size() == before) continue;
            const std::string frame(written.begin() + static_cast<std::ptrdiff_t>(before),
                                    written.end());
            if (frame.size() < 18) continue;
            const auto cid2 = static_cast<std::uint8_t>(std::stoi(frame.substr(7, 2), nullptr, 16));
            const std::string reply = Answer(cid2, frame.substr(13, frame.size() - 18));
            if (reply.empty()) continue;
            const int want = Frames->Count + 1;
            Platform->Feed(reply);
            QVERIFY(QTest::qWaitFor([&] { return Frames->Count >= want; }, 5000));
        }
    }
    template <class T = QLabel>
    T* Find(const char* Name) const {
        return Form->findChild<T*>(QLatin1String(Name));
    }
    QString Status() const { return Ui(*Form).Label14->text(); }
    QLabel* Banner() const { return Form->AnsweringView().Banner(); }
};

std::string ReplyWithRtn(std::uint8_t Rtn, const std::vector<std::uint8_t>& Info = {}) {
    std::vector<std::uint8_t> packet(TDH::GetCmdPacketLen(0x00) + 2 * Info.size());
    TDH::GenCmdPacket(TDH_Header{0x10, 1, 0x60, Rtn}, packet, Info);
    return std::string(packet.begin(), packet.end());
}

// The INFO of 0x47: seven words, the count, nine items; word 0 (on temperature) OnTemp.
std::vector<std::uint8_t> ParamsInfo(std::uint16_t OnTemp) {
    std::vector<std::uint8_t> info;
    for (int i = 0; i < 16; ++i) {
        const std::uint16_t w = i == 0 ? OnTemp : static_cast<std::uint16_t>(20 + i);
        info.push_back(static_cast<std::uint8_t>(w >> 8));
        info.push_back(static_cast<std::uint8_t>(w & 0xFF));
        if (i == 6) info.push_back(0);
    }
    return info;
}
}  // namespace

class Form1FieldTest : public QObject {
    Q_OBJECT
  private slots:
    // The status follows the answering rule through the states a field engineer meets:
    // silent from the start, answering, silent again, refusing, answering again; the
    // banner is shown exactly while the status is not normal and says since when the
    // values have not changed.
    void statusFollowsTheAnsweringRule() {
        TRig rig;
        QVERIFY(rig.Open());
        QVERIFY(rig.Banner()->isHidden());

        // A controller that never answers (a wrong address): silent after the first
        // command's time-out, and nothing was ever read.
        rig.Run(Millis(1500));
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：无应答"));
        QVERIFY(!rig.Banner()->isHidden());
        QCOMPARE(rig.Banner()->text(), QStringLiteral("控制器无应答：尚未收到任何读数"));

        // It answers: normal at once, the banner gone.
        rig.Run(Millis(1500), ReplyWithRtn(0));
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：正常"));
        QVERIFY(rig.Banner()->isHidden());

        // It falls silent: after a whole poll cycle without a reply the status says so,
        // and the banner gives the time of the last good reply and its age.
        rig.Run(Millis(600));
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：正常"));  // within the cycle
        rig.Run(Millis(3000));
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：无应答"));
        QVERIFY(!rig.Banner()->isHidden());
        const QString first = rig.Banner()->text();
        QVERIFY2(first.startsWith(QStringLiteral("控制器无应答：显示的数值是 ")),
                 qPrintable(first));
        QVERIFY2(first.endsWith(QStringLiteral("秒未更新")), qPrintable(first));
        // The age grows with the refresh tick.
        rig.Clock.Advance(Millis(60000));
        rig.Form->AnsweringView().Refresh();
        QVERIFY2(rig.Banner()->text().contains(QStringLiteral("已 1 分 ")),
                 qPrintable(rig.Banner()->text()));
        QVERIFY(!rig.Banner()->isHidden());

        // It replies but refuses every command (RTN 6): refusing, not normal.
        rig.Run(Millis(1500), ReplyWithRtn(6));
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：拒绝命令"));
        QVERIFY(rig.Banner()->text().startsWith(QStringLiteral("控制器拒绝命令：显示的数值是 ")));

        // The next good reply: back to normal.
        rig.Run(Millis(600), ReplyWithRtn(0));
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：正常"));
        QVERIFY(rig.Banner()->isHidden());

        // The operator's close: the designed text, and no banner on a closed link.
        Ui(*rig.Form).btnCommOpen->click();
        QCOMPARE(rig.Status(), QStringLiteral("通讯状态：断开"));
        QVERIFY(rig.Banner()->isHidden());
        QVERIFY(rig.Catcher.Boxes.empty());
    }

    // The banner is readable by assistive technology.
    void bannerAccessible() {
        TRig rig;
        QVERIFY(rig.Open());
        rig.Run(Millis(1500));
        QCOMPARE(rig.Banner()->accessibleName(), QStringLiteral("读数状态"));
        QCOMPARE(rig.Banner()->accessibleDescription(), rig.Banner()->text());
    }

    // A set shows its outcome below the "设置" button until the next set: accepted and
    // read back (the controller holds the value, the panel and the current value show
    // it), accepted but not kept, refused with the RTN text (not overwritten by the
    // poll replies that follow), no reply.
    void setOutcomeStaysWhereItWasGiven() {
        struct TCase {
            const char* Name;
            QString Value;
            int SetRtn;           // -1: no reply to 0x49
            std::uint16_t Holds;  // what 0x47 reads back
            QString Outcome;
            QString Current;  // beside the editor afterwards
        } cases[] = {
            {"kept", "30", 0, 30, "空调开机温度 = 30：已写入，回读确认控制器保存了 30",
             "当前值：30"},
            {"not kept", "30", 0, 25,
             "空调开机温度 = 30：控制器已接受，但回读值为 25，不是设定值 30", "当前值：25"},
            {"refused", "99", 6, 25, "空调开机温度 = 99：被拒绝：无效数据（RTN 6）", ""},
            {"no reply", "30", -1, 25, "空调开机温度 = 30：无应答：控制器未回复设置命令", ""},
        };
        for (const TCase& c : cases) {
            TRig rig;
            QVERIFY(rig.Open());
            auto* value = rig.Find<QLineEdit>("edSetParamVal");
            auto* outcome = rig.Find("lblSetParamOutcome");
            auto* current = rig.Find("lblSetParamCurrent");
            QVERIFY(value && outcome && current);
            QCOMPARE(outcome->accessibleName(), QStringLiteral("参数设置结果"));
            QCOMPARE(current->accessibleName(), QStringLiteral("参数当前值"));
            QCOMPARE(current->text(), QString());  // nothing read yet
            value->setText(c.Value);
            rig.Find<QPushButton>("btnSetParam")->click();
            QVERIFY2(outcome->text().endsWith(QStringLiteral("等待发送")),
                     qPrintable(outcome->text()));
            rig.Run(Millis(4000), [&](std::uint8_t Cid2, const std::string&) -> std::string {
                if (Cid2 == 0x49) return c.SetRtn < 0 ? std::string() : ReplyWithRtn(c.SetRtn);
                if (Cid2 == 0x47) return ReplyWithRtn(0, ParamsInfo(c.Holds));
                return ReplyWithRtn(0);
            });
            QCOMPARE(outcome->text(), c.Outcome);
            QCOMPARE(current->text(), c.Current);
            if (!c.Current.isEmpty())
                QCOMPARE(rig.Find("lblOnTemp")->text(), QString::number(c.Holds));
            QCOMPARE(outcome->accessibleDescription(), outcome->text());
        }
    }

    // "关机" is confirmed first, naming the controller's address; declined, nothing goes
    // out. Its outcome stays below the buttons: accepted, or refused with the RTN text.
    void remoteOffConfirmedAndAnswered() {
        TRig rig;
        QVERIFY(rig.Open());
        Ui(*rig.Form).edAddr->setText(QStringLiteral("7"));
        std::vector<MessageBoxes::TBox> asked;
        bool answer = false;
        MessageBoxes::SetConfirmHook([&](QWidget*, const MessageBoxes::TBox& Box) {
            asked.push_back(Box);
            return answer;
        });
        rig.Find<QRadioButton>("rbOff")->setChecked(true);
        rig.Find<QPushButton>("btnRemote")->click();
        QCOMPARE(asked.size(), std::size_t{1});
        QCOMPARE(asked[0].Title, QStringLiteral("确认关机"));
        QVERIFY2(asked[0].Text.contains(QStringLiteral("地址 7 ")), qPrintable(asked[0].Text));
        for (const TIntCMD& item : rig.Form->SendQueue())
            QVERIFY(item.Custom != 0x45);
        auto* outcome = rig.Find("lblRemoteOutcome");
        QVERIFY(outcome);
        QCOMPARE(outcome->text(), QString());

        answer = true;
        rig.Find<QPushButton>("btnRemote")->click();
        QCOMPARE(outcome->text(), QStringLiteral("关机：等待发送"));
        rig.Run(Millis(2000), [](std::uint8_t Cid2, const std::string&) {
            return ReplyWithRtn(Cid2 == 0x45 ? 6 : 0);
        });
        QCOMPARE(outcome->text(), QStringLiteral("关机：被拒绝：无效数据（RTN 6）"));

        // "开机" asks nothing.
        rig.Find<QRadioButton>("rbOn")->setChecked(true);
        rig.Find<QPushButton>("btnRemote")->click();
        QCOMPARE(asked.size(), std::size_t{2});
        rig.Run(Millis(2000), ReplyWithRtn(0));
        QCOMPARE(outcome->text(), QStringLiteral("开机：控制器已接受"));
        MessageBoxes::SetConfirmHook(nullptr);
    }

    // "AirConTool --port PATH": that port is opened, the settings file keeps its own
    // port (the other line settings are stored as ever).
    void portForThisRunIsNotStored() {
        TSettingsDir settings;
        settings.Write(QStringLiteral("[ComPort1]\nPort=/dev/ttyS3\nBaudRate=9600\n"));
        auto platform = std::make_shared<TFakeComPlatform>();
        aircon::TFakeClock clock;
        TBoxCatcher catcher;
        TForm1 form(settings.Path(), platform, &clock);
        form.SetPortForThisRun(QStringLiteral("/tmp/ac_sim-link"));
        QCOMPARE(Ui(form).cbPort->currentText(), QStringLiteral("/tmp/ac_sim-link"));
        Ui(form).btnCommOpen->click();
        QVERIFY(form.ComPort().Connected());
        QCOMPARE(QString::fromStdString(form.ComPort().Port()), QStringLiteral("/tmp/ac_sim-link"));
        const QString stored = settings.Read();
        QVERIFY2(stored.contains(QStringLiteral("Port=/dev/ttyS3")), qPrintable(stored));
        QVERIFY2(!stored.contains(QStringLiteral("ac_sim-link")), qPrintable(stored));
        QVERIFY2(stored.contains(QStringLiteral("BaudRate=")), qPrintable(stored));
        QVERIFY(catcher.Boxes.empty());
    }

    // The link bar at the window's width: after a close "上次正常应答 …" (the longest
    // figure) is not drawn over "重置" or "通讯记录".
    void linkFiguresClearOfTheButtons() {
        TRig rig;
        rig.Form->show();
        QVERIFY(rig.Open());
        rig.Run(Millis(1500), ReplyWithRtn(0));
        Ui(*rig.Form).btnCommOpen->click();
        TLinkStatusWidget& status = rig.Form->LinkView().Status();
        QVERIFY(status.lblLastGood->text().startsWith(QStringLiteral("上次正常应答 ")));
        QCoreApplication::processEvents();
        const QWidget* figures = status.lblLastGood->parentWidget();
        for (const QLabel* label : {status.lblSent, status.lblResponse, status.lblLastGood}) {
            // What of the label can be seen: its rectangle within the widgets it is in.
            QRect shown(label->mapTo(&status, QPoint(0, 0)), label->size());
            if (figures != &status)
                shown &= QRect(figures->mapTo(&status, QPoint(0, 0)), figures->size());
            for (const QWidget* button : {static_cast<QWidget*>(status.btnReset),
                                          static_cast<QWidget*>(status.btnTrafficLog)})
                QVERIFY2(!shown.intersects(button->geometry()),
                         qPrintable(label->objectName() + " over " + button->objectName()));
        }
        QVERIFY(status.btnReset->isVisible());
        QCOMPARE(status.btnReset->width(), status.btnReset->sizeHint().width());
    }
};

QTEST_MAIN(Form1FieldTest)
#include "form1_field_test.moc"
