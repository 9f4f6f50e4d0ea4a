#include "Form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <algorithm>
#include <vector>

#include "ComComboBox.h"
#include "DesignGroupBox.h"
#include "MessageBoxes.h"
#include "OpenFailureText.h"
#include "PortHandOver.h"
#include "SettingsLocation.h"
#include "Timer.h"

// Discards the characters that edIntKeyPress refuses before the box sees them.
class TDigitFilter : public QObject {
  public:
    TDigitFilter(TForm1* Form) : QObject(Form), FForm(Form) {}

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(Event);
        // Only keys that type a character reach the filter, as with a character
        // message; editing and navigation keys and Ctrl shortcuts pass untouched.
        const QString text = key->text();
        if (text.isEmpty()) return false;
        if ((key->modifiers() & Qt::ControlModifier) != 0) return false;
        // Control characters other than backspace are editing keys (Delete types DEL
        // on X11): they pass untouched.
        if (text.size() == 1 && (text[0].unicode() < 0x20 || text[0].unicode() == 0x7F) &&
            text[0].unicode() != 8)
            return false;
        // Every character the key types goes through the handler (a character beyond
        // the basic plane is two); the key types nothing unless all of them are kept.
        for (QChar ch : text) {
            FForm->edIntKeyPress(Watched, ch);
            if (ch.isNull()) return true;
        }
        return false;
    }

  private:
    TForm1* FForm;
};

namespace {
constexpr std::uint8_t ProtocolVer = 0x10;
constexpr std::uint8_t DeviceCID1 = 0x60;

// Fonts of the design: Tahoma 8 pt (11 px) for the window, 微软雅黑 9 pt (12 px)
// for the status label; the CJK fallbacks keep the Chinese captions readable.
QFont DesignFont(QStringList Families, int PixelSize) {
    Families << QStringLiteral("WenQuanYi Micro Hei") << QStringLiteral("Noto Sans CJK SC")
             << QStringLiteral("Droid Sans Fallback") << QStringLiteral("sans-serif");
    QFont font;
    font.setFamilies(Families);
    font.setPixelSize(PixelSize);
    return font;
}

const std::array<TBaudRate, 10> BaudRates{
    TBaudRate::Br300,   TBaudRate::Br600,   TBaudRate::Br1200,  TBaudRate::Br2400,
    TBaudRate::Br4800,  TBaudRate::Br9600,  TBaudRate::Br19200, TBaudRate::Br38400,
    TBaudRate::Br57600, TBaudRate::Br115200};
const std::array<TDataBits, 4> DataBitsList{TDataBits::DbFive, TDataBits::DbSix, TDataBits::DbSeven,
                                            TDataBits::DbEight};
// The parity list starts with even parity: its order is not the component's.
const std::array<TParityBits, 5> ParityList{TParityBits::PrEven, TParityBits::PrOdd,
                                            TParityBits::PrNone, TParityBits::PrMark,
                                            TParityBits::PrSpace};
const std::array<TStopBits, 3> StopBitsList{TStopBits::SbOneStopBit, TStopBits::SbOne5StopBits,
                                            TStopBits::SbTwoStopBits};

template <class T, std::size_t N>
T Pick(const std::array<T, N>& List, int Index, T Default) {
    if (Index < 0 || static_cast<std::size_t>(Index) >= N) return Default;
    return List[static_cast<std::size_t>(Index)];
}

QString HexEcho(std::span<const std::uint8_t> Bytes) {
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<qsizetype>(Bytes.size() * 3));
    for (std::uint8_t b : Bytes) {
        text += QLatin1Char(digits[b >> 4]);
        text += QLatin1Char(digits[b & 0x0F]);
        text += QLatin1Char(' ');
    }
    return text;
}

// Sets a flag for the lifetime of the guard.
class TFlagGuard {
  public:
    explicit TFlagGuard(bool& Flag) : FFlag(Flag) { FFlag = true; }
    ~TFlagGuard() { FFlag = false; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

  private:
    bool& FFlag;
};
}  // namespace

TForm1::TForm1(QString SettingsPath, std::shared_ptr<IComPlatform> Platform, QWidget* Parent)
    : QWidget(Parent),
      FSettingsPath(SettingsPath.isEmpty() ? DefaultSettingsPath() : std::move(SettingsPath)) {
    setObjectName(QStringLiteral("Form1"));
    CreateControls();
    CreateComPort(std::move(Platform));
    FormCreate();
}

TForm1::~TForm1() {
    FormDestroy();
}

QString TForm1::DefaultSettingsPath() {
    // Beside the executable for portable use, else the per-user configuration folder.
    return QString::fromStdString(
        SettingsLocationFor(QCoreApplication::applicationDirPath().toStdString()).StorePath);
}

void TForm1::CreateControls() {
    setWindowTitle(QStringLiteral("基站空调专用PC（Ver1.0-D）"));
    setFont(DesignFont({QStringLiteral("Tahoma")}, 11));
    resize(817, 714);
    setAutoFillBackground(true);

    auto label = [](QWidget* Parent, const char* Name, const QString& Caption, int Left, int Top) {
        auto* l = new QLabel(Caption, Parent);
        l->setObjectName(QLatin1String(Name));
        l->move(Left, Top);
        l->adjustSize();
        return l;
    };
    auto combo = [](QWidget* Parent, const char* Name, const QStringList& Items, int Current,
                    int Left, int Top, int Width) {
        auto* c = new QComboBox(Parent);
        c->setObjectName(QLatin1String(Name));
        c->addItems(Items);
        c->setCurrentIndex(Current);
        c->setGeometry(Left, Top, Width, 21);
        c->setCursor(Qt::PointingHandCursor);
        return c;
    };
    auto button = [](QWidget* Parent, const char* Name, const QString& Caption, int Left, int Top) {
        auto* b = new QPushButton(Caption, Parent);
        b->setObjectName(QLatin1String(Name));
        b->setGeometry(Left, Top, 75, 25);
        b->setCursor(Qt::PointingHandCursor);
        b->setAutoDefault(false);
        return b;
    };
    auto edit = [](QWidget* Parent, const char* Name, const QString& Text, int MaxLength, int Left,
                   int Top) {
        auto* e = new QLineEdit(Text, Parent);
        e->setObjectName(QLatin1String(Name));
        e->setAlignment(Qt::AlignCenter);
        if (MaxLength > 0) e->setMaxLength(MaxLength);
        e->setGeometry(Left, Top, 49, 21);
        // Digits only: no input method may compose other characters into the box.
        e->setAttribute(Qt::WA_InputMethodEnabled, false);
        e->setInputMethodHints(Qt::ImhDigitsOnly);
        return e;
    };
    auto memo = [](QWidget* Parent, const char* Name, int Left, int Top) {
        auto* m = new QPlainTextEdit(Parent);
        m->setObjectName(QLatin1String(Name));
        m->setGeometry(Left, Top, 762, 37);
        m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m->setTabChangesFocus(true);
        // The logs show hex digits only, which need no text shaping; shaping every new
        // line was most of the window's work while polling.
        QFont font = m->font();
        font.setStyleStrategy(QFont::PreferNoShaping);
        m->setFont(font);
        return m;
    };

    // Serial settings.
    // Group boxes draw their caption on the frame line, as the design places the
    // first row of controls right under it.
    grpComm = new TDesignGroupBox(QStringLiteral("串口设置"), this);
    grpComm->setObjectName(QStringLiteral("grpComm"));
    grpComm->setGeometry(8, 2, 797, 49);
    Label1 = label(grpComm, "Label1", QStringLiteral("串口号："), 17, 20);
    cbPort = new TComComboBox(grpComm);
    cbPort->setObjectName(QStringLiteral("cbPort"));
    cbPort->SetComProperty(TComProperty::CpPort);
    cbPort->SetAutoApply(true);
    cbPort->setGeometry(64, 18, 65, 21);
    cbPort->setCursor(Qt::PointingHandCursor);
    // A long port name (a path) does not fit the narrow box: show it whole on hover.
    connect(cbPort, &QComboBox::currentTextChanged, cbPort, &QWidget::setToolTip);
    Label2 = label(grpComm, "Label2", QStringLiteral("波特率："), 181, 20);
    cbBaudrate =
        combo(grpComm, "cbBaudrate",
              {"300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"},
              5, 226, 18, 73);
    Label3 = label(grpComm, "Label3", QStringLiteral("数据位："), 310, 20);
    cbDatabits = combo(grpComm, "cbDatabits", {"5", "6", "7", "8"}, 3, 355, 18, 49);
    Label4 = label(grpComm, "Label4", QStringLiteral("校验位："), 413, 20);
    cbParity = combo(grpComm, "cbParity",
                     {QStringLiteral("偶"), QStringLiteral("奇"), QStringLiteral("无"),
                      QStringLiteral("标志"), QStringLiteral("空格")},
                     2, 457, 18, 49);
    Label5 = label(grpComm, "Label5", QStringLiteral("停止位："), 512, 20);
    cbStopBits = combo(grpComm, "cbStopBits", {"1", "1.5", "2"}, 0, 559, 18, 49);
    btnCommOpen = button(grpComm, "btnCommOpen", QStringLiteral("打开串口"), 638, 18);

    // Monitoring settings.
    grpCmdSetting = new TDesignGroupBox(QStringLiteral("监控设置"), this);
    grpCmdSetting->setObjectName(QStringLiteral("grpCmdSetting"));
    grpCmdSetting->setGeometry(8, 47, 797, 79);
    grpCmdSetting->setEnabled(false);
    Label9 = label(grpCmdSetting, "Label9", QStringLiteral("地址："), 19, 23);
    edAddr = edit(grpCmdSetting, "edAddr", QStringLiteral("1"), 3, 61, 20);
    cbAutoQuery = new QCheckBox(QStringLiteral("自动轮询"), grpCmdSetting);
    cbAutoQuery->setObjectName(QStringLiteral("cbAutoQuery"));
    cbAutoQuery->setGeometry(141, 22, 72, 17);
    cbAutoQuery->setChecked(true);
    Label10 = label(grpCmdSetting, "Label10", QStringLiteral("监控轮询时间："), 226, 23);
    edQueryInterval = edit(grpCmdSetting, "edQueryInterval", QStringLiteral("500"), 0, 312, 20);
    Label11 = label(grpCmdSetting, "Label11", QStringLiteral("毫秒"), 367, 23);
    Label6 = label(grpCmdSetting, "Label6", QStringLiteral("应答超时："), 413, 23);
    edRespOvTime = edit(grpCmdSetting, "edRespOvTime", QStringLiteral("350"), 3, 469, 20);
    Label7 = label(grpCmdSetting, "Label7", QStringLiteral("毫秒"), 524, 23);
    Label14 = label(grpCmdSetting, "Label14", QString(), 572, 22);
    Label14->setFont(
        DesignFont({QStringLiteral("Microsoft YaHei"), QStringLiteral("微软雅黑")}, 12));
    Label14->setText(QStringLiteral("通讯状态：未连接"));
    Label14->adjustSize();
    Label13 = label(grpCmdSetting, "Label13", QStringLiteral("手动获取："), 17, 55);
    btnReadSwitch = button(grpCmdSetting, "btnReadSwitch", QStringLiteral("读取开关量"), 83, 51);
    btnReadAnalog = button(grpCmdSetting, "btnReadAnalog", QStringLiteral("读取模拟量"), 182, 51);
    btnReadAlarm = button(grpCmdSetting, "btnReadAlarm", QStringLiteral("读取告警"), 280, 51);

    // Page control with its seven tabs; the panels fill them.
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(8, 129, 801, 498);
    PageControl1->setEnabled(false);
    auto tab = [this](const char* Name, const QString& Caption) {
        auto* page = new QWidget;
        page->setObjectName(QLatin1String(Name));
        PageControl1->addTab(page, Caption);
        return page;
    };
    TabSheet1 = tab("TabSheet1", QStringLiteral("监控  (空调1)"));
    TabSheet2 = tab("TabSheet2", QStringLiteral("监控 (空调2)"));
    TabSheet3 = tab("TabSheet3", QStringLiteral("用户参数"));
    TabSheet4 = tab("TabSheet4", QStringLiteral("获取用户参数"));
    TabSheet6 = tab("TabSheet6", QStringLiteral("获取协议版本号"));
    TabSheet7 = tab("TabSheet7", QStringLiteral("获取设备地址"));
    TabSheet8 = tab("TabSheet8", QStringLiteral("获取设备厂商信息"));
    PageControl1->setCurrentIndex(0);

    // Logs and the reply result.
    Label8 = label(this, "Label8", QStringLiteral("发送"), 8, 642);
    Memo1 = memo(this, "Memo1", 47, 629);
    Label12 = label(this, "Label12", QStringLiteral("接收："), 8, 685);
    Memo2 = memo(this, "Memo2", 47, 672);
    // The reply result sits right of the manual read buttons, under the status
    // label, where the operator sees it next to the status it qualifies.
    lblComRes = label(this, "lblComRes", QString(), 580, 102);
    lblComRes->setMinimumWidth(200);

    // Tab order: serial settings, monitoring settings, pages, logs.
    QWidget* order[] = {cbPort,       cbBaudrate,   cbDatabits,    cbParity,
                        cbStopBits,   btnCommOpen,  edAddr,        edQueryInterval,
                        edRespOvTime, cbAutoQuery,  btnReadSwitch, btnReadAnalog,
                        btnReadAlarm, PageControl1, Memo1,         Memo2};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    // Timers of the poll and send cycle.
    Timer1 = new TTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->SetInterval(500);
    Timer1->SetEnabled(true);
    Timer1->OnTimer = [this] { Timer1Timer(); };
    Timer2 = new TTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->SetEnabled(false);
    Timer2->SetInterval(500);
    Timer2->OnTimer = [this] { Timer2Timer(); };

    // Handlers.
    connect(btnCommOpen, &QPushButton::clicked, this, [this] { btnCommOpenClick(); });
    connect(btnReadSwitch, &QPushButton::clicked, this, [this] { btnReadSwitchClick(); });
    connect(btnReadAnalog, &QPushButton::clicked, this, [this] { btnReadAnalogClick(); });
    connect(btnReadAlarm, &QPushButton::clicked, this, [this] { btnReadAlarmClick(); });
    connect(cbAutoQuery, &QCheckBox::clicked, this, [this] { cbAutoQueryClick(); });
    connect(cbBaudrate, &QComboBox::activated, this, [this] { cbBaudrateChange(); });
    connect(cbDatabits, &QComboBox::activated, this, [this] { cbDatabitsChange(); });
    connect(cbParity, &QComboBox::activated, this, [this] { cbParityChange(); });
    connect(cbStopBits, &QComboBox::activated, this, [this] { cbStopBitsChange(); });
    FDigitFilter = new TDigitFilter(this);
    AttachDigitFilter(edAddr);
    AttachDigitFilter(edQueryInterval);
    AttachDigitFilter(edRespOvTime);
}

void TForm1::CreateComPort(std::shared_ptr<IComPlatform> Platform) {
    FHandOver = new TPortHandOver(this);
    FHandOver->setObjectName(QStringLiteral("ComPort1"));
    ComPort1 = std::make_unique<TComPort>("ComPort1", std::move(Platform), FHandOver);
    TComPort& port = *ComPort1;
    port.SetBaudRate(TBaudRate::Br9600);
    port.SetPort("COM1");
    port.Parity().SetBits(TParityBits::PrNone);
    port.SetStopBits(TStopBits::SbOneStopBit);
    port.SetDataBits(TDataBits::DbEight);
    port.SetEvents(AllComEvents);
    port.FlowControl().SetOutCTSFlow(false);
    port.FlowControl().SetOutDSRFlow(false);
    port.FlowControl().SetControlDTR(TDTRFlowControl::DtrDisable);
    port.FlowControl().SetControlRTS(TRTSFlowControl::RtsDisable);
    port.FlowControl().SetXonXoffOut(false);
    port.FlowControl().SetXonXoffIn(false);
    port.Timeouts().SetReadInterval(10);
    port.Timeouts().SetReadTotalMultiplier(1);
    port.Timeouts().SetReadTotalConstant(10);
    port.SetStoredProps(TStoredProps{TStoredProp::SpBasic});
    port.SetTriggersOnRxChar(false);
    port.SetSyncMethod(TSyncMethod::SmWindowSync);
    port.OnRxBuf = [this](TCustomComPort& Sender, std::span<const std::uint8_t> Buffer) {
        ComPort1RxBuf(Sender, Buffer);
    };
    port.OnException = [this](TCustomComPort& Sender, TComExceptions Kind,
                              const std::string& ComportMessage, std::int64_t WinError,
                              const std::string& WinMessage) {
        ComPort1Exception(Sender, Kind, ComportMessage, WinError, WinMessage);
    };
}

void TForm1::AttachDigitFilter(QLineEdit* Edit) {
    if (Edit) Edit->installEventFilter(FDigitFilter);
}

// ---------------------------------------------------------------------------------------------
// Window lifecycle

void TForm1::FormCreate() {
    // Until the per-user file exists, a file beside the executable gives the starting values.
    const TSettingsLocation where = ChooseSettingsLocation(
        CurrentSettingsEnvironment(QCoreApplication::applicationDirPath().toStdString()));
    const std::string store = FSettingsPath.toStdString();
    ComPort1->LoadSettings(TStoreType::StIniFile,
                           store == where.StorePath ? where.LoadPath : store);

    // Select the stored port; offer it when it exists but the scan did not list it.
    const QString stored = QString::fromStdString(ComPort1->Port());
    cbPort->AddPortIfPresent(stored.toStdString());
    for (int i = 0; i < cbPort->count(); ++i) {
        if (cbPort->itemText(i).compare(stored, Qt::CaseInsensitive) == 0) {
            cbPort->setCurrentIndex(i);
            break;
        }
    }

    grpCmdSetting->setEnabled(false);
    CreatePanels();
    FDH = std::make_unique<TDH>();
    FIntCmd = TIntCMD{0, 0x80, 25};
    FDH->OnRecDHFrame = [this](TDH& Sender, std::span<const std::uint8_t> Frame) {
        DH_RecAFrame(Sender, Frame);
    };
    FDH->OnRecDHErrorFrame = [this](TDH& Sender, std::span<const std::uint8_t> Frame) {
        DH_RecErrorFrame(Sender, Frame);
    };
    FDH->OnRecDHCorrectFrame = [this](TDH& Sender, std::span<const std::uint8_t> Frame) {
        DH_RecCorrectFrame(Sender, Frame);
    };
    FLastCID2 = 0xFF;
    ReleaseQueue();
    FQueryStep = 0;
}

void TForm1::closeEvent(QCloseEvent* Event) {
    FormClose();
    QWidget::closeEvent(Event);
}

void TForm1::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (FCentred) return;
    FCentred = true;
    if (const QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TForm1::FormClose() {
    if (FClosed) return;
    FClosed = true;
    {
        // A failure reported while the port closes must not restart the close.
        TFlagGuard stopping(FStopping);
        Timer1->SetEnabled(false);
        Timer2->SetEnabled(false);
        if (ComPort1->Connected()) {
            try {
                ComPort1->Close();
            } catch (const std::exception&) {
                // The port is released whatever the close reported.
            }
        }
    }
    FreePanels();
    ReleaseQueue();
}

void TForm1::FormDestroy() {
    if (ComPort1) {
        // No handler of this window may run while the window is taken apart.
        ComPort1->OnRxBuf = nullptr;
        ComPort1->OnException = nullptr;
        try {
            ComPort1->Close();
        } catch (const std::exception&) {
        }
    }
    // The event thread has ended, so no wake can reach the hand-over any more;
    // deleting it drops the calls it still has queued, then the port goes.
    delete FHandOver;
    FHandOver = nullptr;
    ComPort1.reset();
    FDH.reset();
    ReleaseQueue();
}

// ---------------------------------------------------------------------------------------------
// Link lifecycle

void TForm1::btnCommOpenClick() {
    if (ComPort1->Connected())
        StopComm();
    else
        StartComm();
}

void TForm1::StartComm() {
    if (cbPort->currentIndex() < 0) {
        MessageBoxes::ShowError(this, QStringLiteral("无可用的串口！"));
        return;
    }
    FOpenError = 0;
    try {
        ComPort1->SetPort(cbPort->Text().toStdString());
        ComPort1->Open();
    } catch (const std::exception&) {
        // Reported below from the port's state; never leave a half-open port.
        if (ComPort1->Connected()) StopComm();
    }
    if (!ComPort1->Connected()) {
        MessageBoxes::ShowError(this, OpenFailureText(cbPort->Text(), FOpenError));
        return;
    }

    btnCommOpen->setText(QStringLiteral("关闭串口"));
    SetSelectorsEnabled(false);
    grpCmdSetting->setEnabled(true);
    FQueryStep = 0;

    // The link works whether or not its settings could be kept for the next
    // start, so a failed store leaves the link open and only tells the operator.
    FStoreFailed = false;
    {
        TFlagGuard storing(FStoringSettings);
        try {
            ComPort1->StoreSettings(TStoreType::StIniFile, FSettingsPath.toStdString());
        } catch (const std::exception&) {
            FStoreFailed = true;
        }
    }

    // A bad poll interval leaves the link open with automatic polling off: the
    // interval box can only be corrected while the link is open.
    QString intervalError;
    if (cbAutoQuery->isChecked()) {
        if (auto interval = TryStrToInt(edQueryInterval->text())) {
            Timer1->SetInterval(*interval);
            Timer1->SetEnabled(true);
        } else {
            intervalError =
                QStringLiteral("'%1' is not a valid integer value").arg(edQueryInterval->text());
            // Polling cannot run on this interval: show it switched off, so that
            // ticking the box again after the correction starts it.
            cbAutoQuery->setChecked(false);
            cbAutoQueryClick();
        }
    }
    PageControl1->setEnabled(true);

    if (FStoreFailed)
        MessageBoxes::ShowError(this, QStringLiteral("串口已打开，但串口设置无法保存到文件“%1”。")
                                          .arg(QDir::toNativeSeparators(FSettingsPath)));
    if (!intervalError.isEmpty()) MessageBoxes::ShowApplicationError(this, intervalError);
}

void TForm1::StopComm() {
    {
        TFlagGuard stopping(FStopping);
        Timer2->SetEnabled(false);
        Timer1->SetEnabled(false);
        try {
            if (ComPort1->Connected()) ComPort1->Close();
        } catch (const std::exception&) {
            // The controls return to the closed state whatever the close reported.
        }
        btnCommOpen->setText(QStringLiteral("打开串口"));
        Label14->setText(QStringLiteral("通讯状态：断开"));
        Label14->adjustSize();
        SetSelectorsEnabled(true);
        grpCmdSetting->setEnabled(false);
        ReleaseQueue();
        ++FLinkGeneration;
        PageControl1->setEnabled(false);
    }
}

void TForm1::SetSelectorsEnabled(bool Enabled) {
    for (QComboBox* box :
         {static_cast<QComboBox*>(cbPort), cbBaudrate, cbDatabits, cbParity, cbStopBits})
        box->setEnabled(Enabled);
}

void TForm1::ComPort1Exception(TCustomComPort&, TComExceptions TComException, const std::string&,
                               std::int64_t WinError, const std::string&) {
    if (TComException == TComExceptions::CE_OpenFailed) FOpenError = static_cast<int>(WinError);
    if (FStoringSettings && TComException == TComExceptions::CE_StoreFailed) {
        FStoreFailed = true;
        return;
    }
    if (FStopping) return;
    StopComm();
}

// ---------------------------------------------------------------------------------------------
// Controls

void TForm1::cbAutoQueryClick() {
    const bool on = cbAutoQuery->isChecked();
    Timer1->SetEnabled(on);
    btnReadSwitch->setEnabled(!on);
    btnReadAnalog->setEnabled(!on);
    btnReadAlarm->setEnabled(!on);
}

void TForm1::cbBaudrateChange() {
    ComPort1->SetBaudRate(Pick(BaudRates, cbBaudrate->currentIndex(), TBaudRate::Br9600));
}

void TForm1::cbDatabitsChange() {
    ComPort1->SetDataBits(Pick(DataBitsList, cbDatabits->currentIndex(), TDataBits::DbEight));
}

void TForm1::cbParityChange() {
    ComPort1->Parity().SetBits(Pick(ParityList, cbParity->currentIndex(), TParityBits::PrNone));
}

void TForm1::cbStopBitsChange() {
    ComPort1->SetStopBits(Pick(StopBitsList, cbStopBits->currentIndex(), TStopBits::SbOneStopBit));
}

void TForm1::edIntKeyPress(QObject*, QChar& Key) {
    const char16_t c = Key.unicode();
    if (c == 8 || (c >= u'0' && c <= u'9')) return;
    Key = QChar();
}

// ---------------------------------------------------------------------------------------------
// Command queue and timers

void TForm1::QueueCommand(TIntCMD Item) {
    FSendCmdList.push_back(Item);
    ++FAppended;
    Timer2->SetEnabled(true);
}

void TForm1::ReleaseQueue() {
    FSendCmdList.clear();
    FRemoved = FAppended;
}

void TForm1::btnReadAnalogClick() {
    QueueCommand(TIntCMD{0x42, 0, 0});
}
void TForm1::btnReadSwitchClick() {
    QueueCommand(TIntCMD{0x43, 0, 0});
}
void TForm1::btnReadAlarmClick() {
    QueueCommand(TIntCMD{0x44, 0, 0});
}

bool TForm1::ReadInteger(QLineEdit* Edit, int& Value) {
    try {
        Value = StrToInt(Edit->text());
        return true;
    } catch (const EConvertError& e) {
        MessageBoxes::ShowApplicationError(this, e.Message());
        return false;
    }
}

void TForm1::Timer1Timer() {
    if (!ComPort1->Connected() || !cbAutoQuery->isChecked()) return;

    // One poll command waits at a time: while the one of an earlier tick is
    // still queued, the tick adds nothing, so a short poll interval cannot grow
    // a backlog. (Items leave from the head, so the last poll item appended is
    // still waiting while fewer items have left than had been appended with it.)
    const bool pollWaiting = FLastPollSerial > FRemoved;
    if (!pollWaiting) {
        TIntCMD item;
        switch (FQueryStep) {
            case 0:
                item.Custom = 0x42;
                FQueryStep = 1;
                break;
            case 1:
                item.Custom = 0x43;
                FQueryStep = 2;
                break;
            default:
                item.Custom = 0x44;
                FQueryStep = 0;
                break;
        }
        FSendCmdList.push_back(item);
        FLastPollSerial = ++FAppended;
    }

    int interval = 0;
    if (!ReadInteger(edQueryInterval, interval)) return;
    Timer1->SetInterval(interval);
    int timeout = 0;
    if (!ReadInteger(edRespOvTime, timeout)) return;
    Timer2->SetInterval(timeout);
    Timer2->SetEnabled(true);
}

std::optional<std::uint8_t> TForm1::ReadAddress() {
    int value = 0;
    if (!ReadInteger(edAddr, value)) return std::nullopt;
    // An address that is not a byte would poll another device: refuse it.
    if (value < 0 || value > 255) {
        MessageBoxes::ShowApplicationError(
            this, QStringLiteral("'%1' is not a valid device address: enter a number from 0 to 255")
                      .arg(edAddr->text()));
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

void TForm1::Timer2Timer() {
    Timer2->SetEnabled(false);
    if (FSendCmdList.empty()) return;
    // A copy: the send may close the link, which releases every queued item.
    const TIntCMD item = FSendCmdList.front();
    const auto addr = ReadAddress();
    if (!addr) return;

    const std::uint64_t generation = FLinkGeneration;
    switch (item.Custom) {
        case 0x45:
            SendRemoteCmd(*addr, item.Param);
            break;
        case 0x49:
            SendSetParamsCmd(*addr, item.Param, item.Value);
            break;
        default:
            SendNoDataCmd(*addr, item.Custom);
            break;
    }
    if (generation != FLinkGeneration) return;  // the link closed during the send
    if (!FSendCmdList.empty()) {
        FSendCmdList.pop_front();
        ++FRemoved;
    }

    int timeout = 0;
    if (!ReadInteger(edRespOvTime, timeout)) return;
    Timer2->SetInterval(timeout);
    Timer2->SetEnabled(true);
}

// ---------------------------------------------------------------------------------------------
// Senders

void TForm1::SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2) {
    FLastCID2 = CID2;
    SendFrame(TDH_Header{ProtocolVer, Addr, DeviceCID1, CID2}, {});
}

void TForm1::SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd) {
    FLastCID2 = 0x45;
    const std::uint8_t info[] = {SubCmd};
    SendFrame(TDH_Header{ProtocolVer, Addr, DeviceCID1, 0x45}, info);
}

void TForm1::SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value) {
    FLastCID2 = 0x49;
    const std::uint8_t info[] = {SubCmd, static_cast<std::uint8_t>(Value >> 8),
                                 static_cast<std::uint8_t>(Value & 0xFF)};
    SendFrame(TDH_Header{ProtocolVer, Addr, DeviceCID1, 0x49}, info);
}

void TForm1::SendFrame(TDH_Header Header, std::span<const std::uint8_t> Info) {
    // The buffer has the codec's length for the command, and never less than
    // the frame the INFO bytes make.
    const std::size_t length =
        std::max<std::size_t>(TDH::GetCmdPacketLen(Header.CID2), 18 + 2 * Info.size());
    std::vector<std::uint8_t> packet(length);
    TDH::GenCmdPacket(Header, packet, Info);
    ComPort1->Write(std::span<const std::uint8_t>(packet));
    Memo1->setPlainText(HexEcho(packet));
}

// ---------------------------------------------------------------------------------------------
// Reply intake

void TForm1::ComPort1RxBuf(TCustomComPort&, std::span<const std::uint8_t> Buffer) {
    if (FDH) FDH->ReceiveData(Buffer);
}

void TForm1::DH_RecAFrame(TDH&, std::span<const std::uint8_t>) {}

void TForm1::DH_RecCorrectFrame(TDH&, std::span<const std::uint8_t> Frame) {
    const std::vector<std::uint8_t> bytes = TDH::DeCodeFrame(Frame);
    Memo2->setPlainText(QLatin1Char(' ') + HexEcho(Frame));
    if (bytes.size() < 8) return;  // never from the codec: a checked frame has 18 characters

    const std::uint8_t rtn = bytes[3];
    if (rtn == 0) {
        lblComRes->clear();
        const TDH_Header header{bytes[0], bytes[1], bytes[2], FLastCID2};
        Decode_SM_Info(header, bytes.data() + 6, static_cast<std::uint16_t>(bytes.size() - 8));
    } else if (rtn <= 6) {
        lblComRes->setText(QString::fromStdString(TDH::RtnToString(rtn)));
        lblComRes->adjustSize();
    }
}

void TForm1::DH_RecErrorFrame(TDH&, std::span<const std::uint8_t>) {
    lblComRes->setText(QStringLiteral("接收错误帧："));
    lblComRes->adjustSize();
}

void TForm1::Decode_SM_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                            std::uint16_t DataSize) {
    Label14->setText(QStringLiteral("通讯状态：正常"));
    Label14->adjustSize();

    using TDecoder = std::string (TForm1::*)(TDH_Header, const std::uint8_t*, std::uint16_t);
    // Decoders by the CID2 of the last command sent, 0x41 to 0x51.
    static constexpr std::array<TDecoder, 0x51 - 0x41 + 1> decoders{
        nullptr,                  // 0x41
        &TForm1::Decode_42_Info,  // 0x42 analog values
        &TForm1::Decode_43_Info,  // 0x43 switch states
        &TForm1::Decode_44_Info,  // 0x44 alarm states
        nullptr,                  // 0x45 remote control
        nullptr,                  // 0x46
        &TForm1::Decode_47_Info,  // 0x47 user parameters
        nullptr,                  // 0x48
        nullptr,                  // 0x49 set parameter
        nullptr,                  // 0x4A
        nullptr,                  // 0x4B
        nullptr,                  // 0x4C
        nullptr,                  // 0x4D
        nullptr,                  // 0x4E
        &TForm1::Decode_4F_Info,  // 0x4F protocol version
        &TForm1::Decode_50_Info,  // 0x50 device address
        &TForm1::Decode_51_Info,  // 0x51 vendor information
    };
    const TDecoder decoder =
        Header.CID2 >= 0x41 && Header.CID2 <= 0x51 ? decoders[Header.CID2 - 0x41] : nullptr;
    if (OnDispatch)
        OnDispatch(Header, std::span<const std::uint8_t>(DataInfo, DataSize), decoder != nullptr);
    if (decoder) (this->*decoder)(Header, DataInfo, DataSize);
}
