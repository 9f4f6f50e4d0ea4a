// The main window: serial settings, monitoring settings, the page control with
// the unit panels, the send and receive logs, and the monitoring control behind
// them (command queue, poll and send timers, senders, reply intake, link
// lifecycle).
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "CPort.h"
#include "DH.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class TComComboBox;
class TDigitFilter;
class TPortHandOver;
class TTimer;
class TfrmMonitorUnit;
class TfrmGetUnitParams;

// One queued command: Custom holds the command's CID2, Param the remote-control or
// parameter code, Value the parameter value.
struct TIntCMD {
    std::uint8_t Custom = 0;
    std::uint8_t Param = 0;
    std::uint16_t Value = 0;
};
static_assert(sizeof(TIntCMD) == 4);

class TForm1 : public QWidget {
    Q_OBJECT
  public:
    // SettingsPath: the settings file; empty means "ComSetting.ini" beside the
    // executable. Platform: the serial platform of ComPort1; null means the POSIX one.
    explicit TForm1(QString SettingsPath = {}, std::shared_ptr<IComPlatform> Platform = nullptr,
                    QWidget* Parent = nullptr);
    ~TForm1() override;

    static QString DefaultSettingsPath();
    const QString& SettingsPath() const { return FSettingsPath; }

    // --- handlers (public so that the panels and the tests can drive them) ---
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
    // Installs edIntKeyPress on a numeric box (the panels use it for their own boxes).
    void AttachDigitFilter(QLineEdit* Edit);
    void Timer1Timer();
    void Timer2Timer();
    void ComPort1RxBuf(TCustomComPort& Sender, std::span<const std::uint8_t> Buffer);
    void ComPort1Exception(TCustomComPort& Sender, TComExceptions TComException,
                           const std::string& ComportMessage, std::int64_t WinError,
                           const std::string& WinMessage);
    void DH_RecAFrame(TDH& Sender, std::span<const std::uint8_t> Frame);
    void DH_RecCorrectFrame(TDH& Sender, std::span<const std::uint8_t> Frame);
    void DH_RecErrorFrame(TDH& Sender, std::span<const std::uint8_t> Frame);
    void Decode_SM_Info(TDH_Header Header, const std::uint8_t* DataInfo, std::uint16_t DataSize);

    // --- senders ---
    void SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2);
    void SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd);
    void SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value);

    // Observes every reply that reaches the dispatcher: its header, its INFO bytes
    // and whether a decoder is registered for the header's CID2.
    std::function<void(TDH_Header Header, std::span<const std::uint8_t> Info, bool HasDecoder)>
        OnDispatch;

    // Appends a command at the tail of the queue and enables the send timer.
    void QueueCommand(TIntCMD Item);

    // --- the unit panels and the tab contents ---
    void CreatePanels();  // window creation: monitor panels, parameter panel, tab contents
    void FreePanels();    // window closing: the parameter panel and both monitor panels
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

    // --- state ---
    std::unique_ptr<TDH> FDH;
    TIntCMD FIntCmd;
    std::uint8_t FLastCID2 = 0xFF;
    std::deque<TIntCMD> FSendCmdList;
    std::int32_t FQueryStep = 0;
    std::array<TfrmMonitorUnit*, 2> FMonitors{};
    TfrmGetUnitParams* FGetParams = nullptr;

    // --- components ---
    std::unique_ptr<TComPort> ComPort1;
    TTimer* Timer1 = nullptr;
    TTimer* Timer2 = nullptr;

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
    QPlainTextEdit* Memo1 = nullptr;
    QLabel* Label12 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QLabel* lblComRes = nullptr;

  protected:
    void closeEvent(QCloseEvent* Event) override;
    void showEvent(QShowEvent* Event) override;

  private:
    void CreateControls();
    void CreateComPort(std::shared_ptr<IComPlatform> Platform);
    // The device address from edAddr; shows the error box and returns nothing when
    // the text is not a number from 0 to 255.
    std::optional<std::uint8_t> ReadAddress();
    // The number in Edit; shows the application's error box and returns false
    // when the text is not a 32-bit integer.
    bool ReadInteger(QLineEdit* Edit, int& Value);
    // Releases every queued command.
    void ReleaseQueue();
    // The five line-setting selectors: usable only while the link is closed.
    void SetSelectorsEnabled(bool Enabled);
    // Builds the frame, writes it to the port and echoes it in Memo1.
    void SendFrame(TDH_Header Header, std::span<const std::uint8_t> Info);

    QString FSettingsPath;
    TPortHandOver* FHandOver = nullptr;
    TDigitFilter* FDigitFilter = nullptr;
    bool FStopping = false;             // StopComm is running
    bool FStoringSettings = false;      // StartComm is storing the line settings
    int FOpenError = 0;                 // error number of the last failed open, 0 when none
    std::uint64_t FLinkGeneration = 0;  // counts the closes of the link
    // Queue serials: items appended and removed so far, and the serial of the
    // last poll command appended.
    std::uint64_t FAppended = 0;
    std::uint64_t FRemoved = 0;
    std::uint64_t FLastPollSerial = 0;
    bool FStoreFailed = false;
    bool FClosed = false;  // FormClose has run
    bool FCentred = false;
};
