// The real window against the simulator process over a pseudo-terminal: the
// port comes from the settings file, the operator's clicks drive it, and what
// the panels show is compared with what the simulator reports it sent.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <cstdio>
#include <memory>
#include <set>
#include "HexLog.h"

#include "ComComboBox.h"
#include "Form1.h"
#include "FormTestSupport.h"
#include "Frame.h"
#include "MessageBoxes.h"
#include "SimHarness.h"
#include "SimWindowRig.h"

using namespace simharness;

namespace {

// Generous: other builds share the two cores.
constexpr auto kLong = 20s;

std::uint16_t Word(const std::vector<std::uint8_t>& v, std::size_t at) {
    return static_cast<std::uint16_t>(v[at] << 8 | v[at + 1]);
}

// A 16-bit reading as the panels show it.
QString Reading(const std::vector<std::uint8_t>& info, std::size_t at, bool isSigned) {
    const std::uint16_t w = Word(info, at);
    if (w == 0x2020) return QStringLiteral("未检测");
    return QString::number(isSigned ? static_cast<std::int16_t>(w) : static_cast<int>(w));
}

// The eighteen readings of reply 0x42: value label, INFO offset, signedness.
constexpr struct {
    const char* label;
    std::size_t at;
    bool isSigned;
} kReadings[] = {
    {"lblAnVolA", 1, false},          {"lblAnVolB", 3, false},
    {"lblAnVolC", 5, false},          {"lblAnCurlA", 7, false},
    {"lblAnCurlB", 9, false},         {"lblAnCurlC", 11, false},
    {"lblAnOutFanTemp", 13, true},    {"lblAnInFanTemp", 15, true},
    {"lblAnOutFanHumi", 17, false},   {"lblAnInFanHumi", 19, false},
    {"lblAnCompInPress", 21, false},  {"lblAnCompOutPress", 23, false},
    {"lblAnOAT", 26, true},           {"lblAnOutTemp", 28, true},
    {"lblAnOutHumi", 30, false},      {"lblAnIduInCoilTemp", 32, true},
    {"lblAnCompRunHours", 34, false}, {"lblAnUnitRunHours", 36, false},
};

QString AlarmText(std::uint8_t code) {
    switch (code) {
        case 0x00:
            return QStringLiteral("正常");
        case 0x01:
            return QStringLiteral("低于下限");
        case 0x02:
            return QStringLiteral("高于上限");
        case 0x20:
            return QStringLiteral("未检测");
        case 0xF0:
            return QStringLiteral("故障");
        default:
            return {};
    }
}

// The window on the simulator, its frames logged, with every dispatched reply counted.
class Rig : public TSimWindowRig {
  public:
    explicit Rig(std::vector<std::string> simArgs)
        : TSimWindowRig(std::move(simArgs), {.log = true, .wait = kLong}) {
        spy_ = std::make_unique<TDispatchSpy>(
            *form, [this](TDH_Header, std::span<const std::uint8_t>, bool) { ++dispatched; });
        // Faster polling than the defaults keeps the run short; still one
        // command per reply time-out.
        Ui(*form).edQueryInterval->setText(QStringLiteral("200"));
        Ui(*form).edRespOvTime->setText(QStringLiteral("150"));
    }
    ~Rig() {
        form->close();  // as the operator closes it: the port first
        spy_.reset();
        form.reset();
    }

    std::vector<LoggedReply> Replies() const { return ParseReplies(Log()); }
    std::string Log() const { return ReadFile(Simulator().log); }

    // Stops automatic polling and waits until the queue is worked off and the
    // line has been quiet for a moment, so that both sides can be compared.
    bool Settle() {
        if (Ui(*form).cbAutoQuery->isChecked()) Ui(*form).cbAutoQuery->click();
        std::size_t last = Replies().size();
        auto quietSince = Clock::now();
        return Until([&] {
            const std::size_t n = Replies().size();
            if (n != last) {
                last = n;
                quietSince = Clock::now();
            }
            return form->SendQueue().empty() && !form->SendTimer().Running() &&
                   Clock::now() - quietSince > 700ms;
        });
    }
    // Every reply of the given kind for the unit has been logged at least `n` times.
    bool PolledBothUnits(int n) const {
        const auto r = Replies();
        for (std::uint8_t cid2 : {0x42, 0x43, 0x44})
            for (int unit : {0, 1})
                if (std::count_if(r.begin(), r.end(), [&](const LoggedReply& x) {
                        return x.cid2 == cid2 && x.unit == unit;
                    }) < n)
                    return false;
        return true;
    }
    template <class T = QLabel>
    T* Find(const char* name) const {
        return form->findChild<T*>(QLatin1String(name));
    }
    QLabel* Panel(int unit, const char* name) const {
        auto* panel = form->findChild<QWidget*>(QStringLiteral("Monitors%1").arg(unit));
        return panel ? panel->findChild<QLabel*>(QLatin1String(name)) : nullptr;
    }
    QString PanelText(int unit, const char* name) const {
        auto* l = Panel(unit, name);
        return l ? l->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
    }

    std::unique_ptr<TDispatchSpy> spy_;
    long dispatched = 0;
};

// The last logged reply of a kind for a unit (-1: any unit).
std::optional<LoggedReply> Last(const std::vector<LoggedReply>& r, std::uint8_t cid2,
                                int unit = -1) {
    for (auto it = r.rbegin(); it != r.rend(); ++it)
        if (it->cid2 == cid2 && (unit < 0 || it->unit == unit) && it->fate == "intact") return *it;
    return std::nullopt;
}

long Count(const std::vector<LoggedReply>& r, const char* fate) {
    return std::count_if(r.begin(), r.end(), [&](const LoggedReply& x) { return x.fate == fate; });
}

}  // namespace

class WindowE2eTest : public QObject {
    Q_OBJECT
  private slots:
    void bothPanelsShowWhatTheSimulatorSent() {
        Rig rig({"--no-pace"});
        QVERIFY2(rig.Ready(), rig.Sim().Err().c_str());
        // The stored port is the one selected.
        QCOMPARE(Ui(*rig.form).cbPort->currentText(), rig.LinkPath());
        QVERIFY(rig.Open());
        // Automatic polling fills both panels within a few poll cycles.
        QVERIFY2(rig.Until([&] {
            return rig.PolledBothUnits(1) && rig.PanelText(0, "lblAnVolA") != "未检测" &&
                   rig.PanelText(1, "lblAnVolA") != "未检测";
        }),
                 rig.Log().c_str());
        QVERIFY(rig.Settle());
        QCOMPARE(Ui(*rig.form).Label14->text(), QStringLiteral("通讯状态：正常"));
        // Then one read at a time, each waiting for its reply, so that no reply
        // can be taken for the next command's on a busy machine: every kind
        // twice, once for each unit.
        for (QPushButton* read : {Ui(*rig.form).btnReadAnalog, Ui(*rig.form).btnReadAnalog,
                                  Ui(*rig.form).btnReadSwitch, Ui(*rig.form).btnReadSwitch,
                                  Ui(*rig.form).btnReadAlarm, Ui(*rig.form).btnReadAlarm}) {
            const long before = rig.dispatched;
            read->click();
            QVERIFY(rig.Until([&] { return rig.dispatched == before + 1; }));
        }
        QVERIFY(rig.Settle());

        const auto replies = rig.Replies();
        for (int unit : {0, 1}) {
            const auto an = Last(replies, 0x42, unit);
            QVERIFY(an);
            const auto a = acsim::ReplyInfo(an->frame);
            QCOMPARE(a.size(), std::size_t{38});
            for (const auto& r : kReadings)
                QCOMPARE(rig.PanelText(unit, r.label), Reading(a, r.at, r.isSigned));
            QCOMPARE(rig.PanelText(unit, "lblAnSelfDefNum"), QString::number(a[25]));

            const auto sw = acsim::ReplyInfo(Last(replies, 0x43, unit)->frame);
            QCOMPARE(rig.PanelText(unit, "lblSwOnOff"),
                     sw[1] == 0 ? QStringLiteral("开机") : QStringLiteral("关机"));
            QCOMPARE(rig.PanelText(unit, "lblSwSelfDefNums"), QString::number(sw[2]));
            static const QStringList modes{"自动", "制冷", "除湿", "送风", "制热"};
            QCOMPARE(rig.PanelText(unit, "lblSwRunMode"), modes.value(sw[3]));
            static const QStringList runStop{"停止", "运转"};
            QCOMPARE(rig.PanelText(unit, "lblSwComp"), runStop.value(sw[6]));

            const auto al = acsim::ReplyInfo(Last(replies, 0x44, unit)->frame);
            const char* fixed[] = {"lblAlVolA",   "lblAlVolB",   "lblAlVolC",   "lblAlCurA",
                                   "lblAlCurB",   "lblAlCurC",   "lblAlInTemp", "lblAlInHumi",
                                   "lblAlFilter", "lblAlCompOv", "lblAlIFanOv"};
            for (std::size_t i = 0; i < std::size(fixed); ++i)
                if (!AlarmText(al[1 + i]).isEmpty())
                    QCOMPARE(rig.PanelText(unit, fixed[i]), AlarmText(al[1 + i]));
            QCOMPARE(rig.PanelText(unit, "lblAlSelfDefNum"), QString::number(al[12]));
            QCOMPARE(rig.PanelText(unit, "lblAlOATLow"), AlarmText(al[35]));
        }
        // The sensors each unit lacks show grey "未检测"; the other panel's do not.
        QCOMPARE(rig.PanelText(0, "lblAnOutHumi"), QStringLiteral("未检测"));
        QCOMPARE(rig.PanelText(1, "lblAnOutFanHumi"), QStringLiteral("未检测"));
        QVERIFY(rig.PanelText(1, "lblAnOutHumi") != QStringLiteral("未检测"));
        QCOMPARE(rig.Panel(0, "lblAnOutHumi")->palette().color(QPalette::WindowText),
                 rig.form->palette().color(QPalette::Disabled, QPalette::Text));

        // Every reply sent reached the dispatcher, and nothing else did.
        QCOMPARE(rig.dispatched, Count(rig.Replies(), "intact"));
        QVERIFY(rig.boxes.empty());
        QCOMPARE(rig.Sim().Stop(SIGTERM), std::optional<int>(0));
    }

    void setParameterTurnOffAndReadIdentity() {
        Rig rig({"--no-pace", "--addr", "7", "--name", "E2E controller", "--soft-ver", "V9.8",
                 "--vendor", "Test Works"});
        QVERIFY2(rig.Ready(), rig.Sim().Err().c_str());
        Ui(*rig.form).edAddr->setText(QStringLiteral("7"));
        QVERIFY(rig.Open());
        Ui(*rig.form).cbAutoQuery->click();  // only the operator's commands travel
        QVERIFY(!Ui(*rig.form).cbAutoQuery->isChecked());

        // Set the switch-on temperature, then the run mode; read them back.
        auto* params = rig.Find<QComboBox>("cmbSetParam");
        auto* value = rig.Find<QLineEdit>("edSetParamVal");
        QVERIFY(params && value);
        params->setCurrentIndex(0);
        value->setText(QStringLiteral("31"));
        rig.Find<QPushButton>("btnSetParam")->click();
        params->setCurrentIndex(7);
        rig.Find<QRadioButton>("rbSetModeHeat")->setChecked(true);
        rig.Find<QPushButton>("btnSetParam")->click();
        rig.Find<QPushButton>("btnGetParam")->click();
        QVERIFY2(rig.Until([&] { return rig.Find("lblOnTemp")->text() == QStringLiteral("31"); }),
                 rig.Log().c_str());
        QCOMPARE(rig.Find("lblSetMode")->text(), QStringLiteral("制热"));
        const auto p = acsim::ReplyInfo(Last(rig.Replies(), 0x47)->frame);
        QCOMPARE(Word(p, 0), std::uint16_t{31});
        QCOMPARE(Word(p, 15), std::uint16_t{4});
        QCOMPARE(rig.Find("lblOffTemp")->text(), QString::number(Word(p, 2)));

        // Switch the air conditioner off: both units report "关机".
        rig.Find<QRadioButton>("rbOff")->setChecked(true);
        rig.Find<QPushButton>("btnRemote")->click();
        Ui(*rig.form).btnReadSwitch->click();
        Ui(*rig.form).btnReadSwitch->click();
        QVERIFY2(rig.Until([&] {
            return rig.PanelText(0, "lblSwOnOff") == QStringLiteral("关机") &&
                   rig.PanelText(1, "lblSwOnOff") == QStringLiteral("关机");
        }),
                 rig.Log().c_str());
        QCOMPARE(rig.PanelText(0, "lblSwComp"), QStringLiteral("停止"));
        rig.Find<QRadioButton>("rbOn")->setChecked(true);
        rig.Find<QPushButton>("btnRemote")->click();
        Ui(*rig.form).btnReadSwitch->click();
        QVERIFY(
            rig.Until([&] { return rig.PanelText(0, "lblSwOnOff") == QStringLiteral("开机"); }));

        // Protocol version, address and vendor information, one read at a time:
        // a reply is read as the answer to the last command sent, so on a busy
        // machine a slow one must not meet the next command.
        const std::pair<const char*, const char*> reads[] = {{"btnGetComVer", "lblGetDevVer"},
                                                             {"btnGetDevAddr", "lblGetDevAddr"},
                                                             {"btnGetDevInfo", "lblGetFacName"}};
        for (const auto& read : reads) {
            rig.Find<QPushButton>(read.first)->click();
            QVERIFY2(
                rig.Until([&] { return rig.Find(read.second)->text() != QStringLiteral("未知"); }),
                rig.Log().c_str());
        }
        QCOMPARE(rig.Find("lblGetDevVer")->text(), QStringLiteral("1.0"));
        QCOMPARE(rig.Find("lblGetDevAddr")->text(), QStringLiteral("7"));
        QCOMPARE(rig.Find("lblGetDevName")->text(),
                 QStringLiteral("E2E controller").leftJustified(30, QLatin1Char(' ')));
        QCOMPARE(rig.Find("lblGetFacSoftVer")->text(),
                 QStringLiteral("V9.8").leftJustified(20, QLatin1Char(' ')));
        QCOMPARE(rig.Find("lblGetFacName")->text(),
                 QStringLiteral("Test Works").leftJustified(20, QLatin1Char(' ')));
        QVERIFY(rig.boxes.empty());
    }

    void protocolVersionOfANewerController() {
        Rig rig({"--no-pace", "--proto-ver", "0x21"});
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        Ui(*rig.form).cbAutoQuery->click();
        rig.Find<QPushButton>("btnGetComVer")->click();
        QVERIFY(
            rig.Until([&] { return rig.Find("lblGetDevVer")->text() == QStringLiteral("2.1"); }));
        // Its other commands carry the tool's VER 0x10 and are refused.
        rig.Find<QPushButton>("btnGetDevAddr")->click();
        QVERIFY(rig.Until(
            [&] { return Ui(*rig.form).lblComRes->text() == QStringLiteral("通信版本错"); }));
        QCOMPARE(rig.Find("lblGetDevAddr")->text(), QStringLiteral("未知"));
    }

    void noiseStrayAndSplitLoseNoReply() {
        Rig rig({"--no-pace", "--noise", "0.4", "--stray", "0.3", "--split", "0.5", "--split-gap",
                 "3", "--seed", "21"});
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        QVERIFY2(rig.Until([&] { return rig.PolledBothUnits(3); }), rig.Log().c_str());
        QVERIFY(rig.Settle());
        const auto r = rig.Replies();
        const long intact = Count(r, "intact");
        const auto has = [&](bool LoggedReply::*flag) {
            return std::count_if(r.begin(), r.end(), [&](const auto& x) { return x.*flag; });
        };
        std::printf(
            "fault run (noise, stray, split): simulator sent %ld replies intact "
            "(%ld after noise, %ld after a stray '~', %ld split); window decoded %ld\n",
            intact, static_cast<long>(has(&LoggedReply::noise)),
            static_cast<long>(has(&LoggedReply::stray)),
            static_cast<long>(has(&LoggedReply::split)), rig.dispatched);
        QVERIFY(has(&LoggedReply::noise) > 0 && has(&LoggedReply::stray) > 0 &&
                has(&LoggedReply::split) > 0);
        QCOMPARE(rig.dispatched, intact);
        QCOMPARE(static_cast<long>(r.size()), intact);
        QVERIFY(rig.boxes.empty());
    }

    void corruptedRepliesShowTheErrorText() {
        Rig rig({"--no-pace", "--corrupt", "0.4", "--seed", "4"});
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        QVERIFY(rig.Until(
            [&] { return Ui(*rig.form).lblComRes->text() == QStringLiteral("接收错误帧："); }));
        QVERIFY(rig.Until([&] { return rig.PolledBothUnits(2); }));
        QVERIFY(rig.Settle());
        const auto r = rig.Replies();
        std::printf(
            "fault run (corrupt): simulator sent %ld intact and %ld corrupted replies; "
            "window decoded %ld\n",
            Count(r, "intact"), Count(r, "corrupted"), rig.dispatched);
        QVERIFY(Count(r, "corrupted") > 0);
        QCOMPARE(rig.dispatched, Count(r, "intact"));
    }

    void droppedRepliesLeaveTheLabelsAsTheyWere() {
        Rig rig({"--no-pace", "--drop", "1"});
        QVERIFY(rig.Ready());
        const QString before = rig.PanelText(0, "lblAnVolA");
        QVERIFY(rig.Open());
        QVERIFY(rig.Until([&] { return Count(rig.Replies(), "dropped") >= 6; }));
        QVERIFY(rig.Settle());
        std::printf("fault run (drop): simulator dropped %ld replies; window decoded %ld\n",
                    Count(rig.Replies(), "dropped"), rig.dispatched);
        QCOMPARE(rig.dispatched, 0L);
        QCOMPARE(rig.PanelText(0, "lblAnVolA"), before);
        QCOMPARE(rig.PanelText(1, "lblSwOnOff"), QStringLiteral("未检测"));
        // A controller that never answers is said to be silent, not "未连接".
        QCOMPARE(Ui(*rig.form).Label14->text(), QStringLiteral("通讯状态：无应答"));
        QVERIFY(Ui(*rig.form).Memo1->toPlainText().startsWith(QStringLiteral("7E ")));
        QVERIFY(Ui(*rig.form).Memo2->toPlainText().isEmpty());
    }

    void droppedRepliesKeepTheLastValuesShown() {
        // Half the replies never come. One read at a time: after a reply that
        // came, the panel shows it; after one that was dropped, the panel shows
        // exactly what it showed before the read.
        Rig rig({"--no-pace", "--drop", "0.5", "--units", "0", "--seed", "9"});
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        Ui(*rig.form).cbAutoQuery->click();
        auto shown = [&] {
            QStringList texts;
            for (const auto& r : kReadings)
                texts << rig.PanelText(0, r.label);
            return texts;
        };
        int keptAfterDrop = 0;
        for (int i = 0; i < 16; ++i) {
            const QStringList before = shown();
            const long dispatchedBefore = rig.dispatched;
            const std::size_t logged = rig.Replies().size();
            Ui(*rig.form).btnReadAnalog->click();
            QVERIFY(rig.Until([&] { return rig.Replies().size() > logged; }));
            const LoggedReply reply = rig.Replies().back();
            QCOMPARE(reply.cid2, std::uint8_t{0x42});
            if (reply.fate == "intact") {
                QVERIFY(rig.Until([&] { return rig.dispatched == dispatchedBefore + 1; }));
                const auto a = acsim::ReplyInfo(reply.frame);
                for (const auto& r : kReadings)
                    QCOMPARE(rig.PanelText(0, r.label), Reading(a, r.at, r.isSigned));
            } else {
                QCOMPARE(reply.fate, std::string("dropped"));
                // Nothing is on its way; the send timer has gone quiet.
                QVERIFY(rig.Until([&] {
                    return rig.form->SendQueue().empty() && !rig.form->SendTimer().Running();
                }));
                QCOMPARE(shown(), before);
                if (before.front() != QStringLiteral("未检测")) ++keptAfterDrop;
            }
        }
        const auto r = rig.Replies();
        std::printf(
            "fault run (drop 0.5): simulator sent %ld and dropped %ld replies; "
            "window decoded %ld; %d drops kept earlier values\n",
            Count(r, "intact"), Count(r, "dropped"), rig.dispatched, keptAfterDrop);
        QVERIFY2(keptAfterDrop > 0, "no reply was dropped after the panel had values");
        QCOMPARE(rig.dispatched, Count(r, "intact"));
        QCOMPARE(Ui(*rig.form).Label14->text(), QStringLiteral("通讯状态：正常"));
        QVERIFY(rig.boxes.empty());
    }

    void vanishingControllerClosesTheLinkAndReopeningWorks() {
        Rig rig({"--no-pace", "--vanish-after", "3", "--back-after", "1.5"});
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        QVERIFY(rig.Until([&] { return rig.dispatched >= 2; }));
        // The link goes away just before the line closes.
        QVERIFY(rig.Until([&] { return !rig.Ready(); }));
        const auto gone = Clock::now();
        QVERIFY(rig.Until([&] { return !rig.form->ComPort().Connected(); }, 5s));
        const auto closedAfter =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gone);
        std::printf("vanish: the window closed the link %lld ms after the line went away\n",
                    static_cast<long long>(closedAfter.count()));
        QVERIFY2(closedAfter < 1000ms, "the link stayed open more than a second");
        QCOMPARE(Ui(*rig.form).Label14->text(), QStringLiteral("通讯状态：断开"));
        QCOMPARE(Ui(*rig.form).btnCommOpen->text(), QStringLiteral("打开串口"));
        QVERIFY(rig.boxes.empty());

        QVERIFY(rig.Until([&] { return rig.Ready(); }));
        const long before = rig.dispatched;
        QVERIFY(rig.Open());
        QVERIFY(rig.Until([&] { return rig.dispatched >= before + 2; }));
        QCOMPARE(Ui(*rig.form).Label14->text(), QStringLiteral("通讯状态：正常"));
        QVERIFY(rig.boxes.empty());
    }
};

QTEST_MAIN(WindowE2eTest)
#include "window_e2e_test.moc"
