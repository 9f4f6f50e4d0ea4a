// Fixtures shared by the window tests: a pseudo-terminal that plays the
// controller, a catcher for message boxes, and small helpers.
#pragma once

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "Form1.h"
#include "MessageBoxes.h"

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

// The hexadecimal echo of a text frame: "7E 31 ... 0D " (two digits and a space a byte).
QString Echo(const std::string& Frame);

// The frame text of a command as the codec builds it, from "~" to the carriage return.
std::string CommandFrame(std::uint8_t Addr, std::uint8_t CID2);
