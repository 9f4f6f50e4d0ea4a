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
#include <type_traits>
#include <variant>
#include <vector>

#include "AnsweringView.h"
#include "ComComboBox.h"
#include "CommandOutcome.h"
#include "DesignGroupBox.h"
#include "DigitFilter.h"
#include "Frame.h"
#include "HexLog.h"
#include "IniFile.h"
#include "LineChoices.h"
#include "LinkStatusWidget.h"
#include "LinkView.h"
#include "ListenView.h"
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

// The frame as the logs show it: two upper-case hexadecimal digits and a space a byte.
QString HexEcho(std::span<const std::uint8_t> Bytes) {
    const std::string text = HexText(Bytes);
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string InvalidAddressMessage(std::string_view Text) {
    return "'" + std::string(Text) +
           "' is not a valid device address: enter a number from 0 to 255";
}
}  // namespace

// The number boxes and the polling switch as the session's poll settings. The core reads
// a box each time it uses it; the text is converted here, and a text that is no number
// (or no device address) is shown to the operator and gives the core no value. While
// the link is being opened the messages wait until the window shows the open link.
class TForm1::TPollBoxes : public aircon::IPollSettings {
  public:
    explicit TPollBoxes(TForm1& Form) : FForm(Form) {}

    std::optional<std::uint8_t> Address() override {
        const std::string text = FForm.edAddr->text().toStdString();
        const auto value = Integer(text);
        if (!value) return std::nullopt;
        if (*value < 0 || *value > 255) {
            // An address that is not a byte would poll another device.
            Error(InvalidAddressMessage(text));
            return std::nullopt;
        }
        return static_cast<std::uint8_t>(*value);
    }
    std::optional<std::int32_t> IntervalMs() override {
        return Integer(FForm.edQueryInterval->text().toStdString());
    }
    std::optional<std::int32_t> TimeoutMs() override {
        return Integer(FForm.edRespOvTime->text().toStdString());
    }
    bool AutoPoll() const override { return FForm.cbAutoQuery->isChecked(); }

    // Holds the messages back until TakeHeld.
    void Hold(bool On) { FHold = On; }
    std::vector<QString> TakeHeld() { return std::exchange(FHeld, {}); }

  private:
    std::optional<std::int32_t> Integer(const std::string& Text) {
        const auto value = aircon::TryStrToInt(Text);
        if (!value) Error(aircon::InvalidIntegerMessage(Text));
        return value;
    }
    void Error(const std::string& Message) {
        const QString text = QString::fromStdString(Message);
        if (FHold)
            FHeld.push_back(text);
        else
            MessageBoxes::ShowApplicationError(&FForm, text);
    }

    TForm1& FForm;
    bool FHold = false;
    std::vector<QString> FHeld;
};

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
    CreateSession(std::move(Platform));
    FLinkView = std::make_unique<TLinkView>(
        TLinkViewHost{this, LinkBar(), [this](QWidget* Panel) { AddBottomPanel(Panel); }},
        Monitor(), *FClock);
    // Inside the program's scrolling host the log always opens below the designed area,
    // never as a window over the panels: the host scrolls to it.
    FLinkView->AvailableArea = [this] {
        const QScreen* s = isWindow() ? screen() : nullptr;
        return s ? s->availableGeometry() : QRect();
    };
    FLinkView->Panel().ShowError = [this](const QString& Text) {
        MessageBoxes::ShowError(this, Text);
    };
    // The recorder and its status bar controls; Recording.ini beside the line settings.
    FRecording = std::make_unique<TRecordTrendReport>(
        Monitor(), *FClock, this,
        TRecordTrendReport::TContext{QFileInfo(FSettingsPath).absolutePath(),
                                     [this] { return QString::fromStdString(ComPort().Port()); },
                                     [this] { return FSession && FSession->IsOpen(); },
                                     // The report gives the figures the status bar shows.
                                     [this] {
                                         return std::optional<aircon::TLinkCountersData>(
                                             FLinkView->Status().Counters().Data());
                                     },
                                     // No reads of its own while the tool only listens.
                                     [this] { return FSession->Mode(); }});
    FRecording->AddTo(FStatusBar);
    FOutcomes = std::make_unique<TCommandOutcomes>(Monitor());
    // The status label from the answering rule, and the age of the values shown.
    FAnswering = std::make_unique<TAnsweringView>(*FSession, *FClock, Label14);
    AddBottomPanel(FAnswering->Banner());
    connect(&FLinkView->Status(), &TLinkStatusWidget::refreshed, FAnswering.get(),
            [this](bool Tick) {
                if (Tick) FAnswering->Refresh();
            });
    // Listening and replaying, first in the status bar.
    FListenView = std::make_unique<TListenView>(*this, FStatusBar);
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

void TForm1::CreateSession(std::shared_ptr<IComPlatform> Platform) {
    FHandOver = new TPortHandOver(this);
    FHandOver->setObjectName(QStringLiteral("ComPort1"));
    // The line and the core over it, with the poll timer Timer1 (500 ms, on) and the
    // send timer Timer2 (500 ms, off) on the window's clock; the core reads the number
    // boxes through FPollBoxes.
    FPollBoxes = std::make_unique<TPollBoxes>(*this);
    FSession =
        std::make_unique<aircon::TSession>(*FClock, aircon::TSessionSettings{}, std::move(Platform),
                                           FHandOver, FPollBoxes.get(), "ComPort1");
    FSession->OnPortFailure = [this](const aircon::TPortFailure& Failure) {
        ComPort1Exception(ComPort(), Failure.Kind, Failure.Message, Failure.WinError,
                          Failure.WinMessage);
    };
    // A failure thrown while a port event is handled is shown like every other one.
    ComPort().OnHandOverException = [this](TCustomComPort&, std::exception_ptr Error) {
        ComPort1HandOverException(Error);
    };
    aircon::IMonitorObserver& observer = *this;
    Monitor().AddObserver(observer);
    // A listener shows the readings of the address in the box as it is typed.
    ListenAddressChanged();
    connect(edAddr, &QLineEdit::textChanged, this, [this] { ListenAddressChanged(); });
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
    ComPort().LoadSettings(TStoreType::StIniFile,
                           store == where.StorePath ? where.LoadPath : store);

    FStoredPort = ComPort().Port();
    // Select the stored port; offer it when it exists but the scan did not list it.
    const QString stored = QString::fromStdString(ComPort().Port());
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
    if (FCentred || !isWindow()) return;  // inside the program's host, the host places itself
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
    // Both timers off, every queued command released, the port closed; a failure
    // reported while the port closes does not restart the close.
    FSession->Close();
    FreePanels();
}

void TForm1::FormDestroy() {
    emit destroying();
    if (FSession) {
        // No handler of this window may run while the window is taken apart.
        FSession->OnPortFailure = nullptr;
        ComPort().OnRxBuf = nullptr;
        try {
            ComPort().Close();
        } catch (const std::exception&) {
        }
    }
    // The event thread has ended, so no wake can reach the hand-over any more;
    // deleting it drops the calls it still has queued, then the port goes.
    delete FHandOver;
    FHandOver = nullptr;
    if (FSession) Monitor().RemoveObserver(static_cast<aircon::IMonitorObserver&>(*this));
    FAnswering.reset();
    FOutcomes.reset();
    FLinkView.reset();   // its observers leave the monitor first
    FRecording.reset();  // ends the recording
    FSession.reset();
    FPollBoxes.reset();
}

// ---------------------------------------------------------------------------------------------
// Link lifecycle

void TForm1::btnCommOpenClick() {
    if (FSession->IsOpen())
        StopComm();
    else
        StartComm();
}

void TForm1::StartComm() {
    if (cbPort->currentIndex() < 0) {
        MessageBoxes::ShowError(this, QStringLiteral("无可用的串口！"));
        return;
    }
    ComPort().SetPort(cbPort->Text().toStdString());
    const aircon::TOpenResult opened = FSession->OpenPort();
    if (!opened.Opened()) {
        MessageBoxes::ShowError(this, OpenFailureText(cbPort->Text(), opened.Error));
        return;
    }

    btnCommOpen->setText(QStringLiteral("关闭串口"));
    SetSelectorsEnabled(false);
    grpCmdSetting->setEnabled(true);
    FReplayShown = false;
    UpdateSenders();

    // The link works whether or not its settings could be kept for the next
    // start, so a failed store leaves the link open and only tells the operator.
    bool stored = FSession->StoreLineSettings(FSettingsPath.toStdString());
    // A port given for this run only leaves the stored one in the file.
    if (stored && !FRunPort.isEmpty() && cbPort->Text() == FRunPort) {
        try {
            TIniFile(FSettingsPath.toStdString())
                .WriteString(FSession->Port().Name(), "Port", FStoredPort);
        } catch (const EIniFileError&) {
            stored = false;
        }
    }

    // Poll step 0, and with automatic polling the poll timer started. A bad poll
    // interval leaves the link open with automatic polling off: the interval box can
    // only be corrected while the link is open.
    FPollBoxes->Hold(true);
    if (!FSession->Start()) {
        // Polling cannot run on this interval: show it switched off, so that
        // ticking the box again after the correction starts it.
        cbAutoQuery->setChecked(false);
        cbAutoQueryClick();
    }
    FPollBoxes->Hold(false);
    const std::vector<QString> inputErrors = FPollBoxes->TakeHeld();
    PageControl1->setEnabled(true);
    if (Listening()) SetCaption(Label14, QStringLiteral("通讯状态：监听中"));

    if (!stored)
        MessageBoxes::ShowError(this, QStringLiteral("串口已打开，但串口设置无法保存到文件“%1”。")
                                          .arg(QDir::toNativeSeparators(FSettingsPath)));
    for (const QString& text : inputErrors)
        MessageBoxes::ShowApplicationError(this, text);
}

void TForm1::StopComm() {
    // Both timers off, every queued command released, the port closed; the controls
    // return to the closed state whatever the close reported.
    FSession->Close();
    btnCommOpen->setText(QStringLiteral("打开串口"));
    SetCaption(Label14, QStringLiteral("通讯状态：断开"));
    SetSelectorsEnabled(true);
    grpCmdSetting->setEnabled(false);
    PageControl1->setEnabled(false);
    FReplayShown = false;
    UpdateSenders();
}

void TForm1::SetListening(bool On) {
    if (On == Listening()) return;
    // The mode changes on a closed port: an open link closes and opens again.
    const bool wasOpen = FSession->IsOpen();
    if (wasOpen) StopComm();
    FSession->SetMode(On ? aircon::TSessionMode::Listen : aircon::TSessionMode::PollOne);
    ListenAddressChanged();
    UpdateSenders();
    if (wasOpen) StartComm();
}

bool TForm1::BeginReplay() {
    if (FSession->IsOpen()) return false;
    FReplayShown = true;
    UpdateSenders();
    PageControl1->setEnabled(true);
    return true;
}

void TForm1::UpdateSenders() {
    const bool off = Listening() || FReplayShown;
    const bool autoPoll = cbAutoQuery->isChecked();
    cbAutoQuery->setEnabled(!off);
    // The read buttons start enabled and follow the box once it was clicked.
    for (QPushButton* read : {btnReadSwitch, btnReadAnalog, btnReadAlarm})
        read->setEnabled(!off && !(FReadFollowsBox && autoPoll));
    // The senders on the tabs, and those others placed in the status bar.
    for (const char* name : {"btnGetParam", "btnRemote", "btnSetParam", "btnGetComVer",
                             "btnGetDevAddr", "btnGetDevInfo"})
        if (auto* b = findChild<QPushButton*>(QLatin1String(name))) b->setEnabled(!off);
    for (QWidget* w : findChildren<QWidget*>())
        if (w->property(SenderProperty).toBool()) w->setEnabled(!off);
    if (FListenView) FListenView->Sync(Listening(), FSession->IsOpen());
}

void TForm1::ListenAddressChanged() {
    // Quietly: a box being edited holds no address for a moment, and the listener then
    // shows no readings until it does.
    const auto value = aircon::TryStrToInt(edAddr->text().toStdString());
    FSession->SetListenAddress(value && *value >= 0 && *value <= 255
                                   ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(*value))
                                   : std::nullopt);
}

void TForm1::SetPortForThisRun(const QString& Port) {
    if (Port.isEmpty()) return;
    FRunPort = Port;
    int index = cbPort->findText(Port);
    if (index < 0) {
        // Any path will do (a simulator's pseudo-terminal, a link under /tmp).
        cbPort->addItem(Port);
        index = cbPort->findText(Port);
    }
    cbPort->setCurrentIndex(index);
}

bool TForm1::ConfirmRemoteOff() {
    const QString address = edAddr->text().trimmed();
    return MessageBoxes::Confirm(
        this, QStringLiteral("确认关机"),
        QStringLiteral("向地址 %1 的空调控制器发送关机命令？\n关机会停止机房的制冷。")
            .arg(address.isEmpty() ? QStringLiteral("（未填写）") : address));
}

void TForm1::SetSelectorsEnabled(bool Enabled) {
    for (QComboBox* box :
         {static_cast<QComboBox*>(cbPort), cbBaudrate, cbDatabits, cbParity, cbStopBits})
        box->setEnabled(Enabled);
}

void TForm1::ComPort1Exception(TCustomComPort&, TComExceptions, const std::string&, std::int64_t,
                               const std::string&) {
    // The session has noted what it needs (the error of a failed open, a failed store)
    // and passes on no failure of its own close; any other failure ends the link.
    StopComm();
}

// ---------------------------------------------------------------------------------------------
// Controls

void TForm1::cbAutoQueryClick() {
    const bool on = cbAutoQuery->isChecked();
    // A listener polls nothing; the box takes effect when listening ends.
    if (!Listening()) Monitor().SetAutoQuery(on);
    FReadFollowsBox = true;
    btnReadSwitch->setEnabled(!on);
    btnReadAnalog->setEnabled(!on);
    btnReadAlarm->setEnabled(!on);
    UpdateSenders();
}

void TForm1::cbBaudrateChange() {
    ComPort().SetBaudRate(
        linechoices::Pick(linechoices::BaudRates, cbBaudrate->currentIndex(), TBaudRate::Br9600));
}

void TForm1::cbDatabitsChange() {
    ComPort().SetDataBits(
        linechoices::Pick(linechoices::DataBits, cbDatabits->currentIndex(), TDataBits::DbEight));
}

void TForm1::cbParityChange() {
    ComPort().Parity().SetBits(
        linechoices::PickParity(cbParity->currentIndex(), TParityBits::PrNone));
}

void TForm1::cbStopBitsChange() {
    ComPort().SetStopBits(linechoices::Pick(linechoices::StopBits, cbStopBits->currentIndex(),
                                            TStopBits::SbOneStopBit));
}

void TForm1::edIntKeyPress(QObject*, QChar& Key) {
    const char16_t c = Key.unicode();
    if (c == 8 || (c >= u'0' && c <= u'9')) return;
    Key = QChar();
}

// ---------------------------------------------------------------------------------------------
// Forwards into the core: queue, timers, senders, intake

void TForm1::QueueCommand(TIntCMD Item) {
    // A listener sends nothing, whatever reaches this.
    if (Listening()) return;
    Monitor().QueueCommand(Item);
}

void TForm1::btnReadAnalogClick() {
    QueueCommand(TIntCMD{CID2::Analog, 0, 0});
}
void TForm1::btnReadSwitchClick() {
    QueueCommand(TIntCMD{CID2::Switches, 0, 0});
}
void TForm1::btnReadAlarmClick() {
    QueueCommand(TIntCMD{CID2::Alarms, 0, 0});
}

void TForm1::Timer1Timer() {
    if (Listening()) return;
    Monitor().PollTick();
}

void TForm1::Timer2Timer() {
    if (Listening()) return;
    Monitor().SendTick();
}

void TForm1::SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2) {
    if (Listening()) return;
    Monitor().SendNoDataCmd(Addr, CID2);
}

void TForm1::SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd) {
    if (Listening()) return;
    Monitor().SendRemoteCmd(Addr, SubCmd);
}

void TForm1::SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value) {
    if (Listening()) return;
    Monitor().SendSetParamsCmd(Addr, SubCmd, Value);
}

void TForm1::ComPort1RxBuf(TCustomComPort&, std::span<const std::uint8_t> Buffer) {
    if (aircon::TListener* listener = FSession->Listener())
        listener->ReceiveData(Buffer);
    else
        Monitor().ReceiveData(Buffer);
}

// ---------------------------------------------------------------------------------------------
// What the view shows of the link

void TForm1::ShowLog(THexLog* Memo, const QString& Text) {
    // The same frame again (a steady reading) leaves the box alone.
    Memo->setPlainText(Text);
}

void TForm1::OnCommandSent(const aircon::TCommandSent& Sent) {
    // The frame sent, also one whose write failed and closed the link; while listening,
    // the other master's last command to the address chosen.
    if (Sent.Heard && Sent.Addr != FSession->ListenAddress()) return;
    ShowLog(Memo1, HexEcho(Sent.Frame));
}

void TForm1::OnFrameReceived(const aircon::TFrameReceived& Frame) {
    // While listening the receive log shows the replies for the address chosen (below).
    if (Frame.Check == TFrameCheck::Ok) {
        if (!ShowsHeard()) DH_RecCorrectFrame(Frame.Frame);
    } else {
        DH_RecErrorFrame(Frame.Frame);
    }
}

void TForm1::OnReplyReceived(const aircon::TReplyReceived& Reply) {
    if (ShowsHeard()) {
        // What another master received from the address chosen; the status keeps
        // saying that the tool listens.
        if (!Reply.Verdict.AddressAsAsked) return;
        DH_RecCorrectFrame(Reply.Frame);
        if (Reply.Rtn == 0)
            SetCaption(lblComRes, QString());
        else if (Reply.Rtn <= 6)
            SetCaption(lblComRes, TDH::RtnToString(Reply.Rtn));
        if (Reply.Data) {
            const TDH_Header header{Reply.Header.Ver, Reply.Header.Addr, Reply.Header.CID1,
                                    Reply.LastCID2};
            ShowReply(header, *Reply.Data);
        }
        return;
    }
    // Read as the answer to the last command sent, whatever its address or time (the
    // verdict is for modes that poll several addresses).
    if (Reply.Rtn == 0) {
        SetCaption(lblComRes, QString());
        SetCaption(Label14, QStringLiteral("通讯状态：正常"));
        // Shown from the record the core parsed: the reply is not decoded again.
        if (Reply.Data) {
            const TDH_Header header{Reply.Header.Ver, Reply.Header.Addr, Reply.Header.CID1,
                                    Reply.LastCID2};
            ShowReply(header, *Reply.Data);
        }
    } else if (Reply.Rtn <= 6) {
        SetCaption(lblComRes, TDH::RtnToString(Reply.Rtn));
    }
}

void TForm1::ShowReply(const TDH_Header&, const aircon::TReplyData& Data) {
    std::visit(
        [this](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, aircon::TAnalogValues>) {
                ShowAnalog(FMonitors, r);
            } else if constexpr (std::is_same_v<T, aircon::TSwitchStates>) {
                ShowSwitches(FMonitors, r);
            } else if constexpr (std::is_same_v<T, aircon::TAlarmStates>) {
                ShowAlarms(FMonitors, r);
            } else if constexpr (std::is_same_v<T, aircon::TUserParams>) {
                if (FGetParams) ShowUserParams(*FGetParams, r);
            } else if constexpr (std::is_same_v<T, aircon::TProtocolVersion>) {
                ShowProtocolVersion(FIdentity.DevVer, r.Ver);
            } else if constexpr (std::is_same_v<T, aircon::TDeviceAddress>) {
                ShowDeviceAddress(FIdentity.DevAddr, r.Addr);
            } else if constexpr (std::is_same_v<T, aircon::TVendorInfo>) {
                ShowVendorInfo(FIdentity.Vendor, r);
            }
        },
        Data);
}

void TForm1::DH_RecCorrectFrame(std::span<const std::uint8_t> Frame) {
    ShowLog(Memo2, QLatin1Char(' ') + HexEcho(Frame));
}

void TForm1::DH_RecErrorFrame(std::span<const std::uint8_t>) {
    SetCaption(lblComRes, QStringLiteral("接收错误帧："));
}

// The decoders by CID2 over bytes given to them: for a caller that has only the INFO.
// Replies from the core are shown from the record it parsed (OnReplyReceived).
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
