#include "Form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <algorithm>
#include <vector>

#include "ComComboBox.h"
#include "ComPortLink.h"
#include "DesignGroupBox.h"
#include "DigitFilter.h"
#include "Frame.h"
#include "HexLog.h"
#include "LinkStatusWidget.h"
#include "LinkView.h"
#include "MessageBoxes.h"
#include "OpenFailureText.h"
#include "PanelKit.h"
#include "PortHandOver.h"
#include "QtClock.h"
#include "RecordTrendReport.h"
#include "Render.h"
#include "SettingsLocation.h"
#include "TrafficLogPanel.h"

namespace {

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

// The frame as the logs show it: two upper-case hexadecimal digits and a space a byte.
QString HexEcho(std::span<const std::uint8_t> Bytes) {
    const std::string text = HexText(Bytes);
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
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

TForm1::TForm1(QString SettingsPath, std::shared_ptr<IComPlatform> Platform, aircon::IClock* Clock,
               QWidget* Parent)
    : QWidget(Parent),
      FSettingsPath(SettingsPath.isEmpty() ? DefaultSettingsPath() : std::move(SettingsPath)) {
    setObjectName(QStringLiteral("Form1"));
    if (Clock == nullptr) {
        FOwnedClock = std::make_unique<aircon::TQtClock>(this);
        Clock = FOwnedClock.get();
    }
    FClock = Clock;
    CreateControls();
    CreateComPort(std::move(Platform));
    FLinkView = std::make_unique<TLinkView>(
        TLinkViewHost{this, LinkBar(), [this](QWidget* Panel) { AddBottomPanel(Panel); }},
        *FMonitor, *FClock);
    FLinkView->Panel().ShowError = [this](const QString& Text) {
        MessageBoxes::ShowError(this, Text);
    };
    // The recorder and its status bar controls; Recording.ini beside the line settings.
    FRecording = std::make_unique<TRecordTrendReport>(
        *FMonitor, *FClock, this,
        TRecordTrendReport::TContext{QFileInfo(FSettingsPath).absolutePath(),
                                     [this] { return QString::fromStdString(ComPort1->Port()); },
                                     [this] { return ComPort1 && ComPort1->Connected(); },
                                     // The report gives the figures the status bar shows.
                                     [this] {
                                         return std::optional<aircon::TLinkCountersData>(
                                             FLinkView->Status().Counters().Data());
                                     }});
    FRecording->AddTo(FStatusBar);
    FitExtension();
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
    // A failure thrown while a port event is handled is shown like every other one.
    port.OnHandOverException = [this](TCustomComPort&, std::exception_ptr Error) {
        ComPort1HandOverException(Error);
    };

    // The monitoring core over the port, with the poll timer Timer1 (500 ms, on)
    // and the send timer Timer2 (500 ms, off) on the window's clock.
    FLink = std::make_unique<aircon::TComPortLink>(port);
    aircon::IMonitorInputs& inputs = *this;
    aircon::IMonitorObserver& observer = *this;
    FMonitor = std::make_unique<aircon::TMonitor>(*FClock, *FLink, inputs);
    FMonitor->AddObserver(observer);
}

void TForm1::ComPort1HandOverException(std::exception_ptr Error) {
    QString text;
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
        text = QStringLiteral("Unknown failure while handling a port event");
    }
    MessageBoxes::ShowApplicationError(this, text);
}

void TForm1::AttachDigitFilter(QLineEdit* Edit) {
    FDigitFilter->Attach(Edit);
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
    // The codec, the last command sent (0xFF), the empty queue and poll step 0 are
    // the core's, made with it.
    FIntCmd = TIntCMD{0, 0x80, 25};
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
        FMonitor->LinkClosed();  // both timers off, every queued command released
        if (ComPort1->Connected()) {
            try {
                ComPort1->Close();
            } catch (const std::exception&) {
                // The port is released whatever the close reported.
            }
        }
    }
    FreePanels();
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
    if (FMonitor) FMonitor->RemoveObserver(static_cast<aircon::IMonitorObserver&>(*this));
    FLinkView.reset();   // its observers leave the monitor first
    FRecording.reset();  // ends the recording
    FMonitor.reset();
    FLink.reset();
    ComPort1.reset();
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

    // Poll step 0, and with automatic polling the poll timer started. A bad poll
    // interval leaves the link open with automatic polling off: the interval box can
    // only be corrected while the link is open.
    std::vector<QString> inputErrors;
    {
        TFlagGuard deferring(FDeferInputErrors);
        if (!FMonitor->LinkOpened(cbPort->Text().toStdString())) {
            // Polling cannot run on this interval: show it switched off, so that
            // ticking the box again after the correction starts it.
            cbAutoQuery->setChecked(false);
            cbAutoQueryClick();
        }
        inputErrors.swap(FDeferredInputErrors);
    }
    PageControl1->setEnabled(true);

    if (FStoreFailed)
        MessageBoxes::ShowError(this, QStringLiteral("串口已打开，但串口设置无法保存到文件“%1”。")
                                          .arg(QDir::toNativeSeparators(FSettingsPath)));
    for (const QString& text : inputErrors)
        MessageBoxes::ShowApplicationError(this, text);
}

void TForm1::StopComm() {
    {
        TFlagGuard stopping(FStopping);
        FMonitor->LinkClosed();  // both timers off, every queued command released
        try {
            if (ComPort1->Connected()) ComPort1->Close();
        } catch (const std::exception&) {
            // The controls return to the closed state whatever the close reported.
        }
        btnCommOpen->setText(QStringLiteral("打开串口"));
        SetCaption(Label14, QStringLiteral("通讯状态：断开"));
        SetSelectorsEnabled(true);
        grpCmdSetting->setEnabled(false);
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
    FMonitor->SetAutoQuery(on);
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
// Forwards into the core: queue, timers, senders, intake

void TForm1::QueueCommand(TIntCMD Item) {
    FMonitor->QueueCommand(Item);
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

void TForm1::Timer1Timer() {
    FMonitor->PollTick();
}

void TForm1::Timer2Timer() {
    FMonitor->SendTick();
}

void TForm1::SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2) {
    FMonitor->SendNoDataCmd(Addr, CID2);
}

void TForm1::SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd) {
    FMonitor->SendRemoteCmd(Addr, SubCmd);
}

void TForm1::SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value) {
    FMonitor->SendSetParamsCmd(Addr, SubCmd, Value);
}

void TForm1::ComPort1RxBuf(TCustomComPort&, std::span<const std::uint8_t> Buffer) {
    FMonitor->ReceiveData(Buffer);
}

// ---------------------------------------------------------------------------------------------
// What the core reads from the view

std::string TForm1::AddressText() const {
    return edAddr->text().toStdString();
}

std::string TForm1::QueryIntervalText() const {
    return edQueryInterval->text().toStdString();
}

std::string TForm1::ReplyTimeoutText() const {
    return edRespOvTime->text().toStdString();
}

bool TForm1::AutoQuery() const {
    return cbAutoQuery->isChecked();
}

// ---------------------------------------------------------------------------------------------
// What the view shows of the link

void TForm1::ShowLog(THexLog* Memo, const QString& Text) {
    // The same frame again (a steady reading) leaves the box alone.
    Memo->setPlainText(Text);
}

void TForm1::OnCommandSent(const aircon::TCommandSent& Sent) {
    // The frame sent, also one whose write failed and closed the link.
    ShowLog(Memo1, HexEcho(Sent.Frame));
}

void TForm1::OnFrameReceived(const aircon::TFrameReceived& Frame) {
    if (Frame.Check == TFrameCheck::Ok)
        DH_RecCorrectFrame(Frame.Frame);
    else
        DH_RecErrorFrame(Frame.Frame);
}

void TForm1::OnReplyReceived(const aircon::TReplyReceived& Reply) {
    // Read as the answer to the last command sent, whatever it is.
    if (Reply.Rtn == 0) {
        SetCaption(lblComRes, QString());
        const TDH_Header header{Reply.Header.Ver, Reply.Header.Addr, Reply.Header.CID1,
                                Reply.LastCID2};
        Decode_SM_Info(header, Reply.Info.data(), static_cast<std::uint16_t>(Reply.Info.size()));
    } else if (Reply.Rtn <= 6) {
        SetCaption(lblComRes, TDH::RtnToString(Reply.Rtn));
    }
}

void TForm1::OnInputError(const aircon::TInputError& Error) {
    const QString text = QString::fromStdString(Error.Message);
    if (FDeferInputErrors)
        FDeferredInputErrors.push_back(text);
    else
        MessageBoxes::ShowApplicationError(this, text);
}

void TForm1::DH_RecCorrectFrame(std::span<const std::uint8_t> Frame) {
    ShowLog(Memo2, QLatin1Char(' ') + HexEcho(Frame));
}

void TForm1::DH_RecErrorFrame(std::span<const std::uint8_t>) {
    SetCaption(lblComRes, QStringLiteral("接收错误帧："));
}

void TForm1::Decode_SM_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                            std::uint16_t DataSize) {
    SetCaption(Label14, QStringLiteral("通讯状态：正常"));

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
    if (decoder) (this->*decoder)(Header, DataInfo, DataSize);
}
