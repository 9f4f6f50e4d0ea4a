// The unit data presentation inside the real main window: reply frames fed
// through the window's intake reach the labels, the parameter editor and the
// identity and remote-control buttons queue their commands, and the frames
// that leave for them travel over a real pseudo-terminal.

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "Form1.h"
#include "FormTestSupport.h"
#include "GetUnitParams.h"
#include "HexText.h"
#include "MessageBoxes.h"
#include "MonitorUnit.h"
#include "Render.h"
#include "ReplyCases.h"

namespace {

// A frame as the controller writes it: "~", VER ADR CID1 CID2/RTN, LENGTH with
// its checksum nibble, INFO, CHKSUM, carriage return; upper-case hexadecimal.
std::string Frame(std::uint8_t Ver, std::uint8_t Addr, std::uint8_t CID1, std::uint8_t Code,
                  const std::vector<std::uint8_t>& Info) {
    std::string body;
    auto put = [&](std::uint8_t b) { util::AppendHex(body, b); };
    put(Ver);
    put(Addr);
    put(CID1);
    put(Code);
    const unsigned lenid = static_cast<unsigned>(Info.size() * 2);
    const unsigned nibbles = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    const unsigned lchk = (~(nibbles % 16) + 1) & 0xF;
    const unsigned length = (lchk << 12) | lenid;
    put(static_cast<std::uint8_t>(length >> 8));
    put(static_cast<std::uint8_t>(length & 0xFF));
    for (std::uint8_t b : Info)
        put(b);
    unsigned sum = 0;
    for (char c : body)
        sum += static_cast<unsigned char>(c);
    const unsigned chk = (~sum + 1) & 0xFFFF;
    put(static_cast<std::uint8_t>(chk >> 8));
    put(static_cast<std::uint8_t>(chk & 0xFF));
    return "~" + body + "\r";
}

std::string Command(std::uint8_t CID2, const std::vector<std::uint8_t>& Info = {}) {
    return Frame(0x10, 0x01, 0x60, CID2, Info);
}

// The controller's end of a pseudo-terminal; the window opens the other end.
class TPty {
  public:
    TPty() {
        char name[256] = {};
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) qFatal("openpty failed");
        termios tio{};
        tcgetattr(FSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(FSlave, TCSANOW, &tio);
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        FPath = QString::fromLocal8Bit(name);
    }
    ~TPty() {
        close(FSlave);
        close(FMaster);
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    const QString& Path() const { return FPath; }

    // The next whole frame the window wrote, or empty after the deadline.
    std::string NextFrame(int TimeoutMs = 10000) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const auto end = FPending.find('\r');
            if (end != std::string::npos) {
                std::string frame = FPending.substr(0, end + 1);
                FPending.erase(0, end + 1);
                return frame;
            }
            if (clock.elapsed() > TimeoutMs) return {};
            char buffer[512];
            const ssize_t n = read(FMaster, buffer, sizeof buffer);
            if (n > 0) {
                FPending.append(buffer, static_cast<std::size_t>(n));
            } else {
                QTest::qWait(5);
            }
        }
    }
    void Write(const std::string& Bytes) {
        if (write(FMaster, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size()))
            qFatal("pty write failed");
    }

  private:
    int FMaster = -1;
    int FSlave = -1;
    QString FPath;
    std::string FPending;
};

template <class T>
T* Find(const QObject* Owner, const char* Name) {
    T* w = Owner->findChild<T*>(QLatin1String(Name));
    if (w == nullptr) qWarning("no control %s", Name);
    return w;
}

bool WaitFor(const std::function<bool()>& Condition, int TimeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!Condition()) {
        if (clock.elapsed() > TimeoutMs) return false;
        QTest::qWait(5);
    }
    return true;
}

std::vector<std::uint8_t> Analog38(std::uint8_t DataFlag) {
    std::vector<std::uint8_t> info(38, 0x00);
    info[0] = DataFlag;
    info[1] = 0x00;  // VolA 230
    info[2] = 0xE6;
    info[25] = 6;
    info[26] = 0xFF;  // outdoor ambient -5
    info[27] = 0xFB;
    return info;
}

}  // namespace

class PanelsWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<TForm1> FForm;
    std::vector<MessageBoxes::TBox> FBoxes;
    std::uint8_t FRtn = 0;

    TForm1& Form() { return *FForm; }

    // Feeds a block of received bytes through the window's intake.
    void Receive(const std::string& Bytes) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(Bytes.data());
        Form().ComPort1RxBuf(Form().ComPort(), std::span<const std::uint8_t>(p, Bytes.size()));
    }

    // The last command sent is the one a reply is read as the answer to: the command
    // goes out first. On the closed link of these tests the port refuses the write
    // and the window stays closed, without a message.
    void SentLast(std::uint8_t CID2) { Form().SendNoDataCmd(1, CID2); }

    TPanelsUnderTest Under() {
        TPanelsUnderTest u;
        u.Monitors = {Form().MonitorPanel(0), Form().MonitorPanel(1)};
        u.Params = Form().ParamsPanel();
        for (const char* n : {"lblGetDevVer", "lblGetDevAddr", "lblGetDevName", "lblGetFacSoftVer",
                              "lblGetFacName"})
            u.Identity.push_back(Find<QLabel>(&Form(), n));
        u.Deliver = [this](const TReplyCase& c) {
            SentLast(c.CID2);
            Receive(Frame(c.Ver, c.Addr, 0x60, FRtn, c.Info));
        };
        return u;
    }

    // Opens the link on the pseudo-terminal with automatic polling off, so
    // only the commands of the test travel.
    void OpenOn(TPty& Pty) {
        auto* port = Find<QComboBox>(&Form(), "cbPort");
        port->addItem(Pty.Path());
        port->setCurrentIndex(port->count() - 1);
        Ui(Form()).btnCommOpen->click();
        QVERIFY(Form().ComPort().Connected());
        Ui(Form()).cbAutoQuery->click();
        QVERIFY(!Ui(Form()).cbAutoQuery->isChecked());
    }

  private slots:
    void init() {
        FDir = std::make_unique<QTemporaryDir>();
        FBoxes.clear();
        MessageBoxes::SetHook(
            [this](QWidget*, const MessageBoxes::TBox& Box) { FBoxes.push_back(Box); });
        FForm = std::make_unique<TForm1>(FDir->filePath(QStringLiteral("ComSetting.ini")));
        FRtn = 0;
    }
    void cleanup() {
        FForm.reset();
        MessageBoxes::SetHook(nullptr);
        FDir.reset();
    }

    void panelsOnTheirTabs() {
        TForm1& f = Form();
        for (std::size_t i = 0; i < 2; ++i) {
            TfrmMonitorUnit* m = f.MonitorPanel(i);
            QVERIFY(m != nullptr);
            QCOMPARE(m->objectName(), QStringLiteral("Monitors%1").arg(i));
            QCOMPARE(m->parentWidget(), i == 0 ? Ui(f).TabSheet1 : Ui(f).TabSheet2);
            QCOMPARE(m->pos(), QPoint(28, 0));
            QCOMPARE(m->lblAnVolA->text(), QStringLiteral("未检测"));
            QCOMPARE(FontColor(m->lblAnVolA), clGrayText());
        }
        QVERIFY(f.MonitorPanel(0) != f.MonitorPanel(1));
        QCOMPARE(f.ParamsPanel()->parentWidget(), Ui(f).TabSheet4);
        QCOMPARE(f.ParamsPanel()->pos(), QPoint(39, 15));
        QCOMPARE(f.ParamsPanel()->grpParams->title(), QStringLiteral("空调参数"));
        QCOMPARE(f.ParamsPanel()->lblOnTemp->text(), QStringLiteral("未知"));
    }

    void tabContents_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");  // empty size: only the position counts
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("checked");
        auto row = [](const char* name, const char* parent, QRect rect, const char* text,
                      bool enabled = true, bool checked = false) {
            QTest::newRow(name) << QString(name) << QString(parent) << rect
                                << QString::fromUtf8(text) << enabled << checked;
        };
        row("btnGetParam", "TabSheet4", {281, 444, 75, 25}, "读取");
        row("GroupBox3", "TabSheet3", {18, 16, 743, 81}, "遥控指令");
        row("rbOn", "GroupBox3", {40, 24, 0, 0}, "开机", true, true);
        row("rbOff", "GroupBox3", {192, 24, 0, 0}, "关机");
        row("btnRemote", "GroupBox3", {574, 24, 75, 25}, "确定");
        row("GroupBox1", "TabSheet3", {16, 103, 745, 366}, "用户参数");
        row("cmbSetParamCaption", "GroupBox1", {53, 40, 0, 0}, "参数：");
        row("edSetParamValCaption", "GroupBox1", {333, 40, 0, 0}, "设定值：");
        row("cmbSetParam", "GroupBox1", {95, 37, 217, 21}, "空调开机温度");
        row("edSetParamVal", "GroupBox1", {383, 37, 64, 21}, "32");
        row("grpSetMode", "GroupBox1", {24, 72, 609, 49}, "运行模式设定", false);
        row("grpSetIFan", "GroupBox1", {24, 127, 609, 49}, "内风机风速设定", false);
        row("grpSetSwap", "GroupBox1", {24, 182, 609, 49}, "摆风功能设定", false);
        row("grpSetDisLoc", "GroupBox1", {24, 237, 609, 49}, "屏蔽本地操作", false);
        row("rbSetModeAuto", "grpSetMode", {19, 21, 0, 0}, "自动", false);
        row("rbSetModeCool", "grpSetMode", {106, 21, 0, 0}, "制冷", false, true);
        row("rbSetModeDry", "grpSetMode", {193, 21, 0, 0}, "除湿", false);
        row("rbSetModeFan", "grpSetMode", {281, 21, 0, 0}, "送风", false);
        row("rbSetModeHeat", "grpSetMode", {368, 21, 0, 0}, "制热", false);
        row("rbSetModeNewFan", "grpSetMode", {455, 21, 0, 0}, "新风", false);
        row("rbSetModeAir", "grpSetMode", {543, 21, 0, 0}, "空调", false);
        row("rbSetIFanStop", "grpSetIFan", {19, 21, 0, 0}, "停", false);
        row("rbSetIFanLow", "grpSetIFan", {106, 21, 0, 0}, "低风", false);
        row("rbSetIFanMid", "grpSetIFan", {193, 21, 0, 0}, "中风", false);
        row("rbSetIFanHigh", "grpSetIFan", {281, 21, 0, 0}, "高风", false, true);
        row("rbSetSwapOn", "grpSetSwap", {19, 21, 0, 0}, "运转", false);
        row("rbSetSwapOff", "grpSetSwap", {106, 21, 0, 0}, "停止", false, true);
        row("rbSetDisLocOff", "grpSetDisLoc", {19, 21, 0, 0}, "允许", false, true);
        row("rbSetDisLocOn", "grpSetDisLoc", {106, 21, 0, 0}, "屏蔽", false);
        row("btnSetParam", "GroupBox1", {372, 306, 75, 25}, "设置");
        row("lblGetDevVerCaption", "TabSheet6", {32, 32, 0, 0}, "当前设备协议版本号：");
        row("lblGetDevVer", "TabSheet6", {160, 32, 0, 0}, "未知");
        row("btnGetComVer", "TabSheet6", {280, 27, 75, 25}, "读取");
        row("lblGetDevAddrCaption", "TabSheet7", {40, 40, 0, 0}, "当前设备地址：");
        row("lblGetDevAddr", "TabSheet7", {130, 40, 0, 0}, "未知");
        row("btnGetDevAddr", "TabSheet7", {291, 35, 75, 25}, "读取");
        row("lblGetDevNameCaption", "TabSheet8", {43, 32, 0, 0}, "采集器名称：");
        row("lblGetFacSoftVerCaption", "TabSheet8", {43, 51, 0, 0}, "厂商软件版本：");
        row("lblGetFacNameCaption", "TabSheet8", {43, 70, 0, 0}, "厂商名称：");
        row("lblGetDevName", "TabSheet8", {133, 32, 0, 0}, "未知");
        row("lblGetFacSoftVer", "TabSheet8", {133, 51, 0, 0}, "未知");
        row("lblGetFacName", "TabSheet8", {133, 70, 0, 0}, "未知");
        row("btnGetDevInfo", "TabSheet8", {271, 200, 75, 25}, "读取");
    }
    void tabContents() {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QFETCH(bool, checked);
        auto* w = Form().findChild<QWidget*>(name);
        QVERIFY(w != nullptr);
        QCOMPARE(w->parentWidget()->objectName(), parent);
        if (geometry.isEmpty())
            QCOMPARE(w->pos(), geometry.topLeft());
        else
            QCOMPARE(w->geometry(), geometry);
        QString shown;
        if (auto* l = qobject_cast<QLabel*>(w)) shown = l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) shown = b->text();
        if (auto* g = qobject_cast<QGroupBox*>(w)) shown = g->title();
        if (auto* c = qobject_cast<QComboBox*>(w)) shown = c->currentText();
        if (auto* e = qobject_cast<QLineEdit*>(w)) shown = e->text();
        QCOMPARE(shown, text);
        // Enabled within its tab (the page control itself is off while closed).
        QCOMPARE(w->isEnabledTo(Ui(Form()).PageControl1), enabled);
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            QCOMPARE(b->isChecked(), checked);
            if (qobject_cast<QPushButton*>(w))
                QCOMPARE(b->cursor().shape(), Qt::PointingHandCursor);
        }
    }

    void parameterList() {
        auto* c = Find<QComboBox>(&Form(), "cmbSetParam");
        const char* texts[] = {
            "空调开机温度",     "空调关机温度",     "回风温度上限", "回风温度下限",
            "回风湿度上限",     "回风湿度下限",     "温度设定值",   "运行模式设定",
            "内风机风速设定",   "摆风功能设定",     "屏蔽本地操作", "双机备份切换时间",
            "高温同开温度设定", "制热模式温度设定", "制冷温控精度", "制热温控精度"};
        QCOMPARE(c->count(), 16);
        QVERIFY(!c->isEditable());
        for (int i = 0; i < 16; ++i)
            QCOMPARE(c->itemText(i), QString::fromUtf8(texts[i]));
    }

    // Every reply of the table, as a frame through the intake.
    void repliesThroughIntake_data() {
        QTest::addColumn<int>("index");
        for (std::size_t i = 0; i < ReplyCases().size(); ++i)
            QTest::newRow(ReplyCases()[i].Name) << static_cast<int>(i);
    }
    void repliesThroughIntake() {
        QFETCH(int, index);
        TPanelsUnderTest under = Under();
        CheckReplyCase(under, ReplyCases()[static_cast<std::size_t>(index)]);
        QCOMPARE(Ui(Form()).Label14->text(), QStringLiteral("通讯状态：正常"));
    }

    // A reply with an error code, or a damaged frame, reaches no decoder.
    void refusedRepliesReachNoDecoder_data() {
        QTest::addColumn<int>("rtn");
        QTest::addColumn<bool>("damaged");
        QTest::newRow("RTN 1") << 1 << false;
        QTest::newRow("RTN 2") << 2 << false;
        QTest::newRow("RTN 6") << 6 << false;
        QTest::newRow("RTN 0x80") << 0x80 << false;
        QTest::newRow("damaged checksum") << 0 << true;
    }
    void refusedRepliesReachNoDecoder() {
        QFETCH(int, rtn);
        QFETCH(bool, damaged);
        FRtn = static_cast<std::uint8_t>(rtn);
        TPanelsUnderTest under = Under();
        if (damaged) {
            under.Deliver = [this](const TReplyCase& c) {
                SentLast(c.CID2);
                std::string frame = Frame(c.Ver, c.Addr, 0x60, 0, c.Info);
                frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
                Receive(frame);
            };
        }
        for (const TReplyCase& c : ReplyCases()) {
            if (c.Expect.empty()) continue;
            TReplyCase refused = c;
            refused.Expect.clear();
            CheckReplyCase(under, refused);
            if (QTest::currentTestFailed()) QFAIL(c.Name);
        }
    }

    // Two replies in one block: each reaches the decoder of the last command.
    void twoFramesInOneBlock() {
        SentLast(0x42);
        Receive(Frame(0x10, 1, 0x60, 0, Analog38(0x00)) + Frame(0x10, 1, 0x60, 0, Analog38(0x02)));
        QCOMPARE(Form().MonitorPanel(0)->lblAnVolA->text(), QStringLiteral("230"));
        QCOMPARE(Form().MonitorPanel(1)->lblAnVolA->text(), QStringLiteral("230"));
        QCOMPARE(Form().MonitorPanel(1)->lblAnOAT->text(), QStringLiteral("-5"));
    }

    void editorEnablesTheMatchingInput_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("enabled");
        QTest::newRow("7 run mode") << 7 << "grpSetMode";
        QTest::newRow("8 indoor fan") << 8 << "grpSetIFan";
        QTest::newRow("9 swing") << 9 << "grpSetSwap";
        QTest::newRow("10 local lock") << 10 << "grpSetDisLoc";
        QTest::newRow("0 on temperature") << 0 << "edSetParamVal";
        QTest::newRow("6 set point") << 6 << "edSetParamVal";
        QTest::newRow("11 backup time") << 11 << "edSetParamVal";
        QTest::newRow("15 heating precision") << 15 << "edSetParamVal";
    }
    void editorEnablesTheMatchingInput() {
        QFETCH(int, index);
        QFETCH(QString, enabled);
        auto* c = Find<QComboBox>(&Form(), "cmbSetParam");
        // Arrive from a parameter with another input, as an operator would.
        c->setCurrentIndex(index == 7 ? 8 : 7);
        c->setCurrentIndex(index);
        for (const char* name :
             {"edSetParamVal", "grpSetMode", "grpSetIFan", "grpSetSwap", "grpSetDisLoc"}) {
            auto* w = Find<QWidget>(&Form(), name);
            QCOMPARE(w->isEnabledTo(Ui(Form()).PageControl1), enabled == QLatin1String(name));
        }
    }

    void editorKeepsItsInputsAcrossDisabling() {
        auto* c = Find<QComboBox>(&Form(), "cmbSetParam");
        auto* e = Find<QLineEdit>(&Form(), "edSetParamVal");
        e->setText(QStringLiteral("27"));
        c->setCurrentIndex(7);
        Find<QRadioButton>(&Form(), "rbSetModeDry")->setChecked(true);
        c->setCurrentIndex(11);
        QVERIFY(e->isEnabledTo(Ui(Form()).PageControl1));
        QCOMPARE(e->text(), QStringLiteral("27"));
        QVERIFY(Find<QRadioButton>(&Form(), "rbSetModeDry")->isChecked());
        QVERIFY(!Find<QRadioButton>(&Form(), "rbSetModeCool")->isChecked());
    }

    void valueEditTakesDigitsOnly() {
        auto* e = Find<QLineEdit>(&Form(), "edSetParamVal");
        Form().show();
        Ui(Form()).PageControl1->setEnabled(true);
        Ui(Form()).PageControl1->setCurrentWidget(Ui(Form()).TabSheet3);
        e->clear();
        e->setFocus();
        QTest::keyClicks(e, QStringLiteral("1a-2. 3"));
        QCOMPARE(e->text(), QStringLiteral("123"));
        QTest::keyClick(e, Qt::Key_Backspace);
        QCOMPARE(e->text(), QStringLiteral("12"));
    }

    // The set command queued and the frame that leaves for it.
    void setParameter_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("edit");   // text of the value box
        QTest::addColumn<QString>("radio");  // button to check first, if any
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("value");
        QTest::newRow("run mode, design default cool") << 7 << "32"
                                                       << "" << 0xC0 << 1;
        QTest::newRow("run mode air conditioning") << 7 << "32"
                                                   << "rbSetModeAir" << 0xC0 << 6;
        QTest::newRow("run mode auto") << 7 << ""
                                       << "rbSetModeAuto" << 0xC0 << 0;
        QTest::newRow("on temperature 32") << 0 << "32"
                                           << "" << 0x80 << 32;
        QTest::newRow("heating precision 5") << 15 << "5"
                                             << "" << 0xC8 << 5;
        QTest::newRow("set point 0") << 6 << "0"
                                     << "" << 0x86 << 0;
        QTest::newRow("backup time 65535") << 11 << "65535"
                                           << "" << 0xC4 << 65535;
        QTest::newRow("indoor fan, default high") << 8 << ""
                                                  << "" << 0xC1 << 3;
        QTest::newRow("indoor fan low") << 8 << ""
                                        << "rbSetIFanLow" << 0xC1 << 1;
        QTest::newRow("swing, default stopped") << 9 << ""
                                                << "" << 0xC2 << 0;
        QTest::newRow("swing running") << 9 << ""
                                       << "rbSetSwapOn" << 0xC2 << 1;
        QTest::newRow("local lock, default allowed") << 10 << "x"
                                                     << "" << 0xC3 << 0;
        QTest::newRow("local lock blocked") << 10 << ""
                                            << "rbSetDisLocOn" << 0xC3 << 1;
    }
    void setParameter() {
        QFETCH(int, index);
        QFETCH(QString, edit);
        QFETCH(QString, radio);
        QFETCH(int, code);
        QFETCH(int, value);
        TPty pty;
        OpenOn(pty);
        Find<QComboBox>(&Form(), "cmbSetParam")->setCurrentIndex(index);
        // The box is read only for parameters that take their value from it.
        Find<QLineEdit>(&Form(), "edSetParamVal")->setText(edit);
        if (!radio.isEmpty()) Form().findChild<QRadioButton*>(radio)->setChecked(true);

        Find<QPushButton>(&Form(), "btnSetParam")->click();
        QVERIFY(FBoxes.empty());
        QCOMPARE(Form().SendQueue().size(), std::size_t{1});
        const TIntCMD item = Form().SendQueue().back();
        QCOMPARE(int{item.Custom}, 0x49);
        QCOMPARE(int{item.Param}, code);
        QCOMPARE(int{item.Value}, value);
        QCOMPARE(int{Form().IntCmd().Param}, code);
        QCOMPARE(int{Form().IntCmd().Value}, value);

        const std::string sent = pty.NextFrame();
        const std::vector<std::uint8_t> info = {static_cast<std::uint8_t>(code),
                                                static_cast<std::uint8_t>(value >> 8),
                                                static_cast<std::uint8_t>(value & 0xFF)};
        QCOMPARE(QString::fromStdString(sent), QString::fromStdString(Command(0x49, info)));
    }

    // A value the equipment cannot take shows the error box and queues nothing.
    void setParameterRefused_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("message");
        const QString notInt = QStringLiteral("'%1' is not a valid integer value");
        const QString range =
            QStringLiteral("'%1' is not a valid parameter value: it must lie between 0 and 65535");
        QTest::newRow("empty") << 0 << "" << notInt.arg("");
        QTest::newRow("beyond 32 bits") << 3 << "4294967296" << notInt.arg("4294967296");
        QTest::newRow("70000 would wrap to 4464") << 0 << "70000" << range.arg("70000");
        QTest::newRow("65536") << 14 << "65536" << range.arg("65536");
    }
    void setParameterRefused() {
        QFETCH(int, index);
        QFETCH(QString, edit);
        QFETCH(QString, message);
        auto* c = Find<QComboBox>(&Form(), "cmbSetParam");
        auto* e = Find<QLineEdit>(&Form(), "edSetParamVal");
        c->setCurrentIndex(index);
        e->setText(edit);
        Form().btnSetParamClick();
        QCOMPARE(FBoxes.size(), std::size_t{1});
        QCOMPARE(int(FBoxes[0].Kind), int(MessageBoxes::TBoxKind::ApplicationError));
        QCOMPARE(FBoxes[0].Text, message);
        QVERIFY(Form().SendQueue().empty());
        QVERIFY(!Form().SendTimer().Enabled());
        QCOMPARE(c->currentIndex(), index);
        QCOMPARE(e->text(), edit);
    }

    // Each button queues its command; the frame leaves on the line and the
    // controller's answer on the same line fills the labels.
    void buttonsOnTheLine_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("radio");
        QTest::addColumn<int>("cid2");
        QTest::addColumn<int>("param");         // -1: no INFO
        QTest::addColumn<QByteArray>("reply");  // whole reply frame, or empty
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("text");
        const auto frame = [](std::uint8_t ver, std::uint8_t addr,
                              const std::vector<std::uint8_t>& info) {
            return QByteArray::fromStdString(Frame(ver, addr, 0x60, 0, info));
        };
        QTest::newRow("remote on") << "btnRemote"
                                   << "rbOn" << 0x45 << 0x10 << frame(0x10, 1, {}) << ""
                                   << "";
        QTest::newRow("remote off") << "btnRemote"
                                    << "rbOff" << 0x45 << 0x1F << frame(0x10, 1, {}) << ""
                                    << "";
        QTest::newRow("protocol version")
            << "btnGetComVer"
            << "" << 0x4F << -1 << frame(0x21, 1, {}) << "lblGetDevVer"
            << "2.1";
        QTest::newRow("device address")
            << "btnGetDevAddr"
            << "" << 0x50 << -1 << frame(0x10, 0x0C, {}) << "lblGetDevAddr"
            << "12";
        std::vector<std::uint8_t> vendor(70, ' ');
        vendor[0] = 'A';
        vendor[1] = 'B';
        vendor[2] = 'C';
        QTest::newRow("vendor information")
            << "btnGetDevInfo"
            << "" << 0x51 << -1 << frame(0x10, 1, vendor) << "lblGetDevName"
            << QStringLiteral("ABC") + QString(27, u' ');
        std::vector<std::uint8_t> params(33, 0x00);
        params[0] = 0x00;
        params[1] = 0x1A;
        QTest::newRow("user parameters")
            << "btnGetParam"
            << "" << 0x47 << -1 << frame(0x10, 1, params) << "lblOnTemp"
            << "26";
    }
    void buttonsOnTheLine() {
        QFETCH(QString, button);
        QFETCH(QString, radio);
        QFETCH(int, cid2);
        QFETCH(int, param);
        QFETCH(QByteArray, reply);
        QFETCH(QString, label);
        QFETCH(QString, text);
        TPty pty;
        OpenOn(pty);
        if (!radio.isEmpty()) Form().findChild<QRadioButton*>(radio)->setChecked(true);
        Form().findChild<QPushButton*>(button)->click();
        QCOMPARE(Form().SendQueue().size(), std::size_t{1});
        QCOMPARE(int{Form().SendQueue().front().Custom}, cid2);
        if (param >= 0) QCOMPARE(int{Form().SendQueue().front().Param}, param);
        QVERIFY(Form().SendTimer().Enabled());

        const std::string expected = param >= 0 ? Command(static_cast<std::uint8_t>(cid2),
                                                          {static_cast<std::uint8_t>(param)})
                                                : Command(static_cast<std::uint8_t>(cid2));
        QCOMPARE(QString::fromStdString(pty.NextFrame()), QString::fromStdString(expected));

        Ui(Form()).lblComRes->setText(QStringLiteral("stale"));
        pty.Write(reply.toStdString());
        QVERIFY(WaitFor([&] { return Ui(Form()).lblComRes->text().isEmpty(); }));
        QCOMPARE(Ui(Form()).Label14->text(), QStringLiteral("通讯状态：正常"));
        if (!label.isEmpty()) QCOMPARE(Form().findChild<QLabel*>(label)->text(), text);

        // The last values stay after the link closes.
        Ui(Form()).btnCommOpen->click();
        QVERIFY(!Form().ComPort().Connected());
        if (!label.isEmpty()) QCOMPARE(Form().findChild<QLabel*>(label)->text(), text);
    }

    // Whatever the equipment sends is shown character for character: a vendor
    // text that looks like markup is not rendered as markup, so the label is
    // as wide as the characters that arrived.
    void vendorTextShownAsItArrived() {
        const QByteArray name = "<b>ACME</b><br>&amp;<i>x</i>";  // 28 of 30 bytes
        std::vector<std::uint8_t> info(name.begin(), name.end());
        info.resize(70, ' ');
        SentLast(0x51);
        Receive(Frame(0x10, 1, 0x60, 0, info));
        auto* label = Find<QLabel>(&Form(), "lblGetDevName");
        const QString shown = QString::fromLatin1(name) + QString(30 - name.size(), u' ');
        QCOMPARE(label->text(), shown);
        QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(shown),
                 qPrintable(QStringLiteral("%1 pixels for the text").arg(label->width())));
        QVERIFY(label->height() < 2 * label->fontMetrics().height());
        // A value label on the panels takes its reply's text the same way.
        QLabel* panelValue = Form().MonitorPanel(0)->lblAnVolA;
        panelValue->setText(QStringLiteral("<i>x</i>"));
        QVERIFY(panelValue->sizeHint().width() >=
                panelValue->fontMetrics().horizontalAdvance(QStringLiteral("<i>x</i>")));
    }

    // On a closed link the pages are greyed out, but the last values read
    // stay in the colour they were shown in, all alike.
    void valuesStayReadableOnAClosedLink() {
        TPanelsUnderTest under = Under();
        for (const TReplyCase& c : ReplyCases())
            under.Deliver(c);
        QVERIFY(!Ui(Form()).PageControl1->isEnabled());
        std::vector<QLabel*> values = under.Identity;
        for (TfrmMonitorUnit* m : under.Monitors)
            values.insert(values.end(), m->ValueLabels().begin(), m->ValueLabels().end());
        values.insert(values.end(), under.Params->ValueLabels().begin(),
                      under.Params->ValueLabels().end());
        for (QLabel* l : values) {
            QVERIFY(!l->isEnabled());
            QVERIFY2(l->palette().color(QPalette::Disabled, QPalette::WindowText) ==
                         l->palette().color(QPalette::Active, QPalette::WindowText),
                     qPrintable(l->objectName() + " greys out with its page"));
        }
    }

    // Closing the window frees the panels; a reply that still comes in after
    // that reaches no freed label, and the identity tabs, which stay, still
    // take their values.
    void repliesAfterTheWindowClosed() {
        const QPointer<TfrmMonitorUnit> monitor = Form().MonitorPanel(1);
        const QPointer<TfrmGetUnitParams> params = Form().ParamsPanel();
        Form().show();
        QVERIFY(Form().close());
        QVERIFY(monitor.isNull());
        QVERIFY(params.isNull());
        for (const TReplyCase& c : ReplyCases()) {
            SentLast(c.CID2);
            Receive(Frame(c.Ver, c.Addr, 0x60, 0, c.Info));
        }
        SentLast(0x50);
        Receive(Frame(0x10, 0x2A, 0x60, 0, {}));
        QCOMPARE(Find<QLabel>(&Form(), "lblGetDevAddr")->text(), QStringLiteral("42"));
    }

    // A poll answer on the line reaches the panel of the unit it names.
    void pollReplyOnTheLine() {
        TPty pty;
        OpenOn(pty);
        Ui(Form()).btnReadAnalog->click();
        QCOMPARE(QString::fromStdString(pty.NextFrame()), QString::fromStdString(Command(0x42)));
        pty.Write(Frame(0x10, 1, 0x60, 0, Analog38(0x02)));
        QVERIFY(WaitFor([&] { return Form().MonitorPanel(1)->lblAnVolA->text() == "230"; }));
        QCOMPARE(Form().MonitorPanel(1)->lblAnOAT->text(), QStringLiteral("-5"));
        QCOMPARE(Form().MonitorPanel(1)->lblAnSelfDefNum->text(), QStringLiteral("6"));
        QCOMPARE(Form().MonitorPanel(0)->lblAnVolA->text(), QStringLiteral("未检测"));
    }

    // With the window's own fonts, nothing on a tab runs into its neighbour
    // or out of its parent.
    void tabsHaveNoOverlaps() {
        // Values of every kind on the labels, as after a while of polling.
        TPanelsUnderTest under = Under();
        for (const TReplyCase& c : ReplyCases())
            under.Deliver(c);
        Ui(Form()).PageControl1->setEnabled(true);  // as while the link is open
        Form().show();
        QVERIFY(QTest::qWaitForWindowExposed(&Form()));
        for (int t = 0; t < Ui(Form()).PageControl1->count(); ++t) {
            QWidget* page = Ui(Form()).PageControl1->widget(t);
            Ui(Form()).PageControl1->setCurrentIndex(t);
            // The window's own controls: named, on the window, not a toolkit part.
            const auto ours = [this](const QWidget* w) {
                return !w->isHidden() && !w->objectName().isEmpty() &&
                       !w->objectName().startsWith(QLatin1String("qt_")) && !w->isWindow() &&
                       w->window() == &Form();
            };
            QList<QWidget*> parents = page->findChildren<QWidget*>();
            parents.prepend(page);
            for (QWidget* parent : parents) {
                if (parent != page && !ours(parent)) continue;
                const auto kids = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
                for (QWidget* a : kids) {
                    if (!ours(a)) continue;
                    // The panels are bare frames: what must fit is what they hold.
                    const bool frame =
                        a->inherits("TfrmMonitorUnit") || a->inherits("TfrmGetUnitParams");
                    const QRect onPage(a->mapTo(page, QPoint(0, 0)), a->size());
                    QVERIFY2(frame || (parent->rect().contains(a->geometry()) &&
                                       page->rect().contains(onPage)),
                             qPrintable(a->objectName() + " leaves " + parent->objectName()));
                    for (QWidget* b : kids) {
                        if (a == b || !ours(b)) continue;
                        QVERIFY2(!a->geometry().intersects(b->geometry()),
                                 qPrintable(a->objectName() + " overlaps " + b->objectName()));
                    }
                }
            }
            // A picture of each tab for a person to look at, when asked for.
            const QByteArray dir = qgetenv("PANELS_SCREENSHOT_DIR");
            if (!dir.isEmpty()) {
                Form().grab().save(QString::fromLocal8Bit(dir) +
                                   QStringLiteral("/tab%1.png").arg(t));
            }
        }
    }
};

QTEST_MAIN(PanelsWindowTest)
#include "panels_window_test.moc"
