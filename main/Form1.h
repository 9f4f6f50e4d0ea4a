// The main window: the host of a monitoring session (aircon::TSession). It lays out the
// serial settings, the monitoring settings, the page control with the unit panels, the
// send and receive logs and the status labels; it opens and closes the session,
// forwards its buttons to the core (aircon::TMonitor), gives the core its number boxes
// as poll settings, and shows what the core tells its observers.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "CPort.h"
#include "Clock.h"
#include "DH.h"
#include "Events.h"
#include "Monitor.h"
#include "Session.h"
#include "UnitDecoders.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class THexLog;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QVBoxLayout;
class QTabWidget;
class TComComboBox;
class TDigitFilter;
class TLinkView;
class TPortHandOver;
class TfrmMonitorUnit;
class TfrmGetUnitParams;
class TAnsweringView;
class TCommandOutcomes;
class TRecordTrendReport;
class TListenView;
class TForm1 : public QWidget, private aircon::IMonitorObserver {
    Q_OBJECT
  public:
    // SettingsPath: the settings file; empty means the default place. Platform: the
    // serial platform of ComPort1; null means the POSIX one. Clock: the clock of the
    // poll and send timers; null means the Qt clock (a test gives a fake one).
    explicit TForm1(QString SettingsPath = {}, std::shared_ptr<IComPlatform> Platform = nullptr,
                    aircon::IClock* Clock = nullptr, QWidget* Parent = nullptr);
    ~TForm1() override;

    // The designed client area; what the window shows beyond it lies below.
    static constexpr int DesignWidth = 817;
    static constexpr int DesignHeight = 714;

    static QString DefaultSettingsPath();
    // The port for this run only (the command line's --port): selected in the port box
    // and opened, while the settings file keeps the port stored there.
    void SetPortForThisRun(const QString& Port);
    const QString& SettingsPath() const { return FSettingsPath; }

    // --- handlers, each a short forward into the core or a change of the view ---
    void FormCreate();
    void FormClose();
    void FormDestroy();
    void StartComm();
    void StopComm();
    void btnCommOpenClick();
    void btnReadAnalogClick();
    void btnReadSwitchClick();
    void btnReadAlarmClick();
    void cbAutoQueryClick();
    void cbBaudrateChange();
    void cbDatabitsChange();
    void cbParityChange();
    void cbStopBitsChange();
    // Digit filter shared by the numeric boxes: Key becomes 0 when it is discarded.
    void edIntKeyPress(QObject* Sender, QChar& Key);
    void Timer1Timer();
    void Timer2Timer();
    void ComPort1RxBuf(TCustomComPort& Sender, std::span<const std::uint8_t> Buffer);
    void ComPort1Exception(TCustomComPort& Sender, TComExceptions TComException,
                           const std::string& ComportMessage, std::int64_t WinError,
                           const std::string& WinMessage);
    // A failure thrown while a port event was handled: shown in the error box.
    void ComPort1HandOverException(std::exception_ptr Error);
    void DH_RecCorrectFrame(std::span<const std::uint8_t> Frame);
    void DH_RecErrorFrame(std::span<const std::uint8_t> Frame);
    void Decode_SM_Info(TDH_Header Header, const std::uint8_t* DataInfo, std::uint16_t DataSize);
    void SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2);
    void SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd);
    void SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value);
    void QueueCommand(TIntCMD Item);

    // --- the unit panels and the tab contents ---
    std::string Decode_42_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    std::string Decode_43_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    std::string Decode_44_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    std::string Decode_47_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    std::string Decode_4F_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    std::string Decode_50_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    std::string Decode_51_Info(TDH_Header Header, const std::uint8_t* DataInfo,
                               std::uint16_t DataSize);
    void btnGetParamClick();
    void cmbSetParamChange();
    void btnSetParamClick();
    void btnRemoteClick();
    void btnGetComVerClick();
    void btnGetDevAddrClick();
    void btnGetDevInfoClick();

    // --- named accessors (the controls are found by their object names) ---
    aircon::TSession& Session() { return *FSession; }
    aircon::TMonitor& Monitor() { return FSession->Monitor(); }
    TComPort& ComPort() { return FSession->Port(); }
    const std::deque<TIntCMD>& SendQueue() const { return FSession->Monitor().Queue(); }
    std::uint8_t LastCID2() const { return FSession->Monitor().LastCID2(); }
    std::int32_t QueryStep() const { return FSession->Monitor().QueryStep(); }
    aircon::TTimer& PollTimer() { return FSession->Monitor().PollTimer(); }  // Timer1
    aircon::TTimer& SendTimer() { return FSession->Monitor().SendTimer(); }  // Timer2
    const TIntCMD& IntCmd() const { return FIntCmd; }
    // A unit monitor panel (0 or 1) and the parameter panel; null once the window closed.
    TfrmMonitorUnit* MonitorPanel(std::size_t Unit) const { return FMonitors.at(Unit); }
    TfrmGetUnitParams* ParamsPanel() const { return FGetParams; }

    // --- below the designed area ---
    // The status bar at the bottom of the window.
    QStatusBar* StatusBar() const { return FStatusBar; }
    // The bar above it, for what is said about the link.
    QStatusBar* LinkBar() const { return FLinkBar; }
    // Adds a panel between the designed area and the status bar. Its owner shows and
    // hides it; the window grows and shrinks with it.
    void AddBottomPanel(QWidget* Panel);
    // Recording, trends and the site report (their controls are in the status bar).
    TRecordTrendReport* Recording() const { return FRecording.get(); }
    // The link counters in the status bar and the traffic log panel ("通讯记录").
    TLinkView& LinkView() const { return *FLinkView; }
    // The status label's state and the banner on the age of the values shown.
    TAnsweringView& AnsweringView() const { return *FAnswering; }
    // The outcome of the remote and set commands where they were given.
    TCommandOutcomes& Outcomes() const { return *FOutcomes; }

    // --- listening to another master (the "监听" switch in the status bar) ---
    // Listening: not one byte written, automatic polling and every sender off, the status
    // "通讯状态：监听中", the panels filled from the replies another master receives for
    // the address in edAddr. An open link is closed and opened again in the new mode.
    void SetListening(bool On);
    bool Listening() const { return FSession->Mode() == aircon::TSessionMode::Listen; }
    // Before a capture file is replayed into the closed window: it is shown as heard
    // while listening, and the tabs can be looked through while the senders stay off,
    // until the link opens again. False while the link is open.
    bool BeginReplay();
    // Whether what the core reports is shown as heard: listening, or a replay shown.
    bool ShowsHeard() const { return Listening() || FReplayShown; }
    // The listening controls in the status bar.
    TListenView& ListenView() const { return *FListenView; }
    // Widgets with this property set to true are senders that listening disables (for
    // buttons added to the status bar).
    static constexpr const char* SenderProperty = "airconSender";

  signals:
    // The window is being taken apart: views added from outside leave the core now.
    void destroying();

  protected:
    void closeEvent(QCloseEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    class TPollBoxes;
    // IMonitorObserver: what the view shows of the link.
    void OnCommandSent(const aircon::TCommandSent& Sent) override;
    void OnFrameReceived(const aircon::TFrameReceived& Frame) override;
    void OnReplyReceived(const aircon::TReplyReceived& Reply) override;
    // Shows a reply the core decoded, on the panel or tab of its kind.
    void ShowReply(const TDH_Header& Header, const aircon::TReplyData& Data);

    void CreateControls();
    void CreateExtension();
    // Places the panels and the status bar below the designed area and fits the
    // window's height to them.
    void FitExtension();
    void CreateSession(std::shared_ptr<IComPlatform> Platform);
    void CreatePanels();  // window creation: monitor panels, parameter panel, tab contents
    void FreePanels();    // window closing: the parameter panel and both monitor panels
    void AttachDigitFilter(QLineEdit* Edit);
    // The five line-setting selectors: usable only while the link is closed.
    void SetSelectorsEnabled(bool Enabled);
    // Asks before the remote off goes out, naming the controller's address.
    bool ConfirmRemoteOff();
    // The log boxes show the last frame sent and the last frame received.
    void ShowLog(THexLog* Memo, const QString& Text);
    // Senders on or off: off while listening or while a replay is shown.
    void UpdateSenders();
    // The listener's address from edAddr (none while it holds no address).
    void ListenAddressChanged();

    // --- the core and the port ---
    std::unique_ptr<aircon::IClock> FOwnedClock;  // the Qt clock, unless one was given
    aircon::IClock* FClock = nullptr;
    std::unique_ptr<TPollBoxes> FPollBoxes;          // read by the session's core: goes after it
    std::unique_ptr<aircon::TSession> FSession;      // ComPort1 and the core over it
    std::unique_ptr<TRecordTrendReport> FRecording;  // observes the core: goes first
    std::unique_ptr<TLinkView> FLinkView;            // goes before the core it observes
    std::unique_ptr<TAnsweringView> FAnswering;      // observes the core: goes before it
    std::unique_ptr<TCommandOutcomes> FOutcomes;     // observes the core: goes before it
    std::unique_ptr<TListenView> FListenView;
    TPortHandOver* FHandOver = nullptr;

    // --- state of the view ---
    TIntCMD FIntCmd;  // scratch record of the parameter editor
    std::array<TfrmMonitorUnit*, 2> FMonitors{};
    TfrmGetUnitParams* FGetParams = nullptr;
    QString FSettingsPath;
    TDigitFilter* FDigitFilter = nullptr;
    bool FClosed = false;          // FormClose has run
    bool FReplayShown = false;     // a replay fills the closed window
    bool FReadFollowsBox = false;  // the read buttons follow cbAutoQuery (once clicked)
    bool FCentred = false;
    QString FRunPort;         // the port of this run only, if one was given
    std::string FStoredPort;  // the port the settings file named at start

    // --- controls (object names as the member names) ---
    QGroupBox* grpComm = nullptr;
    QLabel* Label1 = nullptr;
    TComComboBox* cbPort = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* cbBaudrate = nullptr;
    QLabel* Label3 = nullptr;
    QComboBox* cbDatabits = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* cbParity = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* cbStopBits = nullptr;
    QPushButton* btnCommOpen = nullptr;
    QGroupBox* grpCmdSetting = nullptr;
    QLabel* Label9 = nullptr;
    QLineEdit* edAddr = nullptr;
    QCheckBox* cbAutoQuery = nullptr;
    QLabel* Label10 = nullptr;
    QLineEdit* edQueryInterval = nullptr;
    QLabel* Label11 = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* edRespOvTime = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label13 = nullptr;
    QPushButton* btnReadSwitch = nullptr;
    QPushButton* btnReadAnalog = nullptr;
    QPushButton* btnReadAlarm = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QWidget* TabSheet4 = nullptr;
    QWidget* TabSheet6 = nullptr;
    QWidget* TabSheet7 = nullptr;
    QWidget* TabSheet8 = nullptr;
    QLabel* Label8 = nullptr;
    THexLog* Memo1 = nullptr;
    QLabel* Label12 = nullptr;
    THexLog* Memo2 = nullptr;
    QLabel* lblComRes = nullptr;
    QWidget* FExtension = nullptr;
    QVBoxLayout* FPanels = nullptr;
    QStatusBar* FStatusBar = nullptr;
    QStatusBar* FLinkBar = nullptr;

    // The controls of the tabs that handlers and decoders use, kept from their layout.
    struct TParamEditor {
        QComboBox* cmbSetParam = nullptr;
        QLineEdit* edSetParamVal = nullptr;
        // By TParamSource: the radio group of each parameter with a group, and its
        // buttons in design order.
        std::array<QGroupBox*, 5> Groups{};
        std::array<std::vector<QRadioButton*>, 5> Radios{};
    };
    TParamEditor FEditor;
    QRadioButton* FRemoteOn = nullptr;
    TIdentityLabels FIdentity;
};
