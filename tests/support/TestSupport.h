// Test support shared by the tests of the serial component and its users. Plain C++ and POSIX.
//
//   TPtyPair: a pseudo-terminal pair made with openpty, both ends released on destruction.
//     TPtyPair Pty;                          // raw mode (TPtyMode::AsOpened keeps the kernel's
//                                            // cooked defaults, for tests of who sets raw mode)
//     Pty.SlavePath();                       // "/dev/pts/N": what a port opens by name
//     Pty.Write("~1001...\r");               // to the far end (the master), all of it
//     Pty.Read(5, 2s);                       // up to 5 bytes from the master within 2 s
//     Pty.SlaveState();                      // the slave's termios, read through the master
//     Pty.CloseMaster();                     // the far end goes: the slave hangs up
//   The slave is not held open: the code under test opens it by name. Writes and reads resume
//   calls that a signal interrupted.
//
//   TTempDir: a fresh folder under the system's temporary folder, removed with everything in it
//   on destruction.
//     TTempDir Dir("settings");  Dir.Path();  Dir.File("ComSetting.ini");
//
//   TReportRecorder: records every failure report of a serial component.
//     TReportRecorder Rec;  Rec.Bind(Port);  // binds Port.OnException; Rec must outlive the
//     binding Rec.OnReport = [&](const TReport& R) { if (Port.Connected()) Port.Close(); };  //
//     optional Rec.Reports[0].Kind / Message / WinError / WinMessage;  Rec.Count(Kind);
//     Rec.Kinds();
//   A report from a component other than the bound one counts as a test failure.
//
//   RunAsOrdinaryUser: runs Body in a child process, as the user nobody when the test runs as
//   root (as the test's own user otherwise), and gives back the text Body returned; nothing
//   when the child could not drop its privileges or did not end normally.
//     auto Got = RunAsOrdinaryUser([&] { return std::to_string(OpenError(Path)); });
//
//   TWakeCounter: a hand-over (IComHandOver) that only counts the event thread's wake-ups; the
//   test thread pumps the component itself (PumpHandOver).
//     TWakeCounter Wakes;  TComPort Port("ComPort1", Platform, &Wakes);
//     Wakes.WaitFor(1, 10s);  // true once an event waits for the main thread
#pragma once

#ifndef _WIN32
#include <termios.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "CPort.h"

namespace testsupport {

#ifndef _WIN32
// Body runs in a forked child: it may only use what the fork left it (no threads of the test).
std::optional<std::string> RunAsOrdinaryUser(const std::function<std::string()>& Body);

enum class TPtyMode { Raw, AsOpened };

class TPtyPair {
  public:
    // Throws std::runtime_error when no pseudo-terminal can be had.
    explicit TPtyPair(TPtyMode Mode = TPtyMode::Raw);
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;
    ~TPtyPair();

    const std::string& SlavePath() const { return FSlavePath; }
    int Master() const { return FMaster; }  // -1 once closed
    // Writes every byte to the master; false when the master refuses (errno tells).
    bool Write(std::string_view Bytes);
    // Reads from the master until Count bytes came or Limit passed.
    std::string Read(std::size_t Count, std::chrono::milliseconds Limit);
    termios SlaveState() const;
    void CloseMaster();

  private:
    int FMaster = -1;
    std::string FSlavePath;
};
#endif  // the pseudo-terminal and the child process are POSIX only

class TTempDir {
  public:
    explicit TTempDir(std::string_view Prefix = "test");
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    ~TTempDir();

    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path File(std::string_view Name) const { return FPath / Name; }

  private:
    std::filesystem::path FPath;
};

struct TReport {
    TComExceptions Kind;
    std::string Message;
    std::int64_t WinError;
    std::string WinMessage;
};

class TReportRecorder {
  public:
    void Bind(TCustomComPort& Port);

    std::vector<TReport> Reports;
    std::function<void(const TReport&)> OnReport;  // runs inside the handler, after recording

    std::size_t Count(TComExceptions Kind) const;
    std::vector<TComExceptions> Kinds() const;
};

class TWakeCounter : public IComHandOver {
  public:
    void Wake(TCustomComPort& Port) override;
    bool WaitFor(int Count, std::chrono::milliseconds Limit);
    int Wakes();

  private:
    std::mutex FLock;
    std::condition_variable FCond;
    int FWakes = 0;
};

}  // namespace testsupport

// Failure kinds print by name in test messages.
void PrintTo(TComExceptions Kind, std::ostream* Os);
