// Fixtures shared by the window tests: the window on the fake serial platform, a
// pseudo-terminal that plays the controller, a catcher for message boxes, and small helpers.
#pragma once

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "FakeComPlatform.h"
#include "Form1.h"
#include "MessageBoxes.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class THexLog;
class QPushButton;
class QTabWidget;
class TComComboBox;

// The window's own controls, found by their object names.
struct TFormUi {
    QGroupBox* grpComm;
    TComComboBox* cbPort;
    QComboBox* cbBaudrate;
    QComboBox* cbDatabits;
    QComboBox* cbParity;
    QComboBox* cbStopBits;
    QPushButton* btnCommOpen;
    QGroupBox* grpCmdSetting;
    QLineEdit* edAddr;
    QCheckBox* cbAutoQuery;
    QLineEdit* edQueryInterval;
    QLineEdit* edRespOvTime;
    QLabel* Label14;
    QPushButton* btnReadSwitch;
    QPushButton* btnReadAnalog;
    QPushButton* btnReadAlarm;
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QWidget* TabSheet4;
    THexLog* Memo1;
    THexLog* Memo2;
    QLabel* lblComRes;
};
TFormUi Ui(const TForm1& Form);

// Observes the replies with RTN 0 as the window dispatches them: the header (with the
// last CID2 sent), the INFO bytes and whether that CID2 has a decoder. Registered
// after the window, so the window has shown the reply when Seen runs.
class TDispatchSpy : public aircon::IMonitorObserver {
  public:
    using TSeen =
        std::function<void(TDH_Header Header, std::span<const std::uint8_t> Info, bool HasDecoder)>;
    TDispatchSpy(TForm1& Form, TSeen Seen);
    ~TDispatchSpy() override;
    TDispatchSpy(const TDispatchSpy&) = delete;
    TDispatchSpy& operator=(const TDispatchSpy&) = delete;
    void OnReplyReceived(const aircon::TReplyReceived& Reply) override;

  private:
    TForm1& FForm;
    TSeen FSeen;
};

// A pseudo-terminal: the window opens the slave by its path, the test reads the
// frames the window writes and answers on the master side.
class TPtyController {
  public:
    struct TFrame {
        std::string Bytes;  // from "~" to the carriage return inclusive
        qint64 At;          // ms since the controller was made
    };

    TPtyController();
    ~TPtyController();
    TPtyController(const TPtyController&) = delete;
    TPtyController& operator=(const TPtyController&) = delete;

    const QString& SlavePath() const { return FSlavePath; }
    // Frames received so far, each stamped with its arrival time.
    const std::vector<TFrame>& Frames() const { return FFrames; }
    void ClearFrames() { FFrames.clear(); }
    qint64 Now() const { return FClock.elapsed(); }
    // Waits (running the event loop) until Count frames have arrived.
    bool WaitFrames(std::size_t Count, int TimeoutMs = 5000);
    // Writes bytes towards the window.
    void Send(const std::string& Bytes);

  private:
    void ReadAvailable();

    int FMaster = -1;
    int FSlave = -1;  // kept open so that the master never sees a hang-up
    QString FSlavePath;
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::string FPartial;
    std::vector<TFrame> FFrames;
    QElapsedTimer FClock;
};

// Catches every message box while alive.
class TBoxCatcher {
  public:
    TBoxCatcher();
    ~TBoxCatcher();
    std::vector<MessageBoxes::TBox> Boxes;
};

// A settings file in a fresh temporary folder.
class TSettingsDir {
  public:
    TSettingsDir() = default;
    QString Path() const { return FDir.filePath(QStringLiteral("ComSetting.ini")); }
    void Write(const QString& Content) const;
    QString Read() const;

  private:
    QTemporaryDir FDir;
};

// Makes Port the selected entry of the port selector, adding it when missing.
void SelectPort(TForm1& Form, const QString& Port);

// Opens the port as the operator does, with its button; whether it is open.
bool OpenPort(TForm1& Form);
// The same, then automatic polling switched off: only the test's commands travel.
bool OpenPortQuiet(TForm1& Form);

// The window on the serial component's fake platform and the fake clock, the fake port
// selected and every message box caught. The poll and send timers run only when the
// test moves the clock on.
struct TFakeFormRig {
    static inline const QString Port = QStringLiteral("COM7");

    TFakeFormRig() : Form(std::make_unique<TForm1>(Settings.Path(), Platform, &Clock)) {
        SelectPort(*Form, Port);
    }
    bool Open() { return OpenPort(*Form); }
    bool OpenQuiet() { return OpenPortQuiet(*Form); }

    TSettingsDir Settings;
    std::shared_ptr<TFakeComPlatform> Platform = std::make_shared<TFakeComPlatform>();
    TBoxCatcher Catcher;
    aircon::TFakeClock Clock;
    std::unique_ptr<TForm1> Form;
};

// The hexadecimal echo of a text frame: "7E 31 ... 0D " (two digits and a space a byte).
QString Echo(const std::string& Frame);

// The frame text of a command as the codec builds it, from "~" to the carriage return.
std::string CommandFrame(std::uint8_t Addr, std::uint8_t CID2);
