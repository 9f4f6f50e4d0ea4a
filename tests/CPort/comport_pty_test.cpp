// The serial component on a real pseudo-terminal, as a user with a virtual port meets it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CPort.h"
#include "PosixLine.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

using testsupport::TPtyMode;
using testsupport::TPtyPair;
using testsupport::TReport;

double CpuSeconds() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

class PtyPortTest : public ::testing::Test {
  protected:
    // The terminal keeps the kernel's cooked defaults: raw mode must come from the component.
    TPtyPair Pty{TPtyMode::AsOpened};
    const std::string& SlavePath = Pty.SlavePath();
    testsupport::TReportRecorder Recorder;
    std::vector<TReport>& Reports = Recorder.Reports;
    std::function<void(const TReport&)>& OnReport = Recorder.OnReport;
    TComPort Port{"ComPort1"};  // the POSIX platform, pumped by this thread

    void SetUp() override {
        Port.SetPort(SlavePath);
        Port.SetTriggersOnRxChar(false);
        Port.SetSyncMethod(TSyncMethod::SmWindowSync);
    }

    void TearDown() override {
        Port.OnRxBuf = nullptr;
        OnReport = nullptr;
        Port.Close();
    }

    void BindHandler() { Recorder.Bind(Port); }

    bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 15s) {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > Deadline) return false;
            Port.PumpHandOver(20ms);
        }
        return true;
    }

    std::string ReadMaster(std::size_t Count, std::chrono::milliseconds Limit = 10s) {
        return Pty.Read(Count, Limit);
    }
    void WriteMaster(const std::string& Bytes) {
        ASSERT_TRUE(Pty.Write(Bytes)) << std::strerror(errno);
    }
    termios SlaveState() { return Pty.SlaveState(); }
};

TEST_F(PtyPortTest, OpensAndClosesByPathAndByNameUnderDev) {
    BindHandler();
    Port.Open();
    EXPECT_TRUE(Port.Connected());
    // A pty has no modem lines: that reads as all lines off, not as a failure.
    EXPECT_TRUE(Reports.empty());
    EXPECT_TRUE(Port.ThreadCreated());
    Port.Close();
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());

    ASSERT_EQ(SlavePath.rfind("/dev/", 0), 0u);
    Port.SetPort(SlavePath.substr(5));  // "pts/N" names the device under /dev
    Port.Open();
    EXPECT_TRUE(Port.Connected());
    // Opened again after closing: nothing of the first open is left holding the port.
    Port.Close();
    Port.Open();
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Reports.empty());
}

struct LineCase {
    TBaudRate Rate;
    speed_t Speed;  // classic code, or 0 for a rate that only has a number
    std::int64_t Number;
    TDataBits Data;
    TParityBits Parity;
    tcflag_t ParityFlags;
    TStopBits Stop;
};

class PtyLineTest : public PtyPortTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(PtyLineTest, LineSettingsReachTheTerminal) {
    const LineCase& c = GetParam();
    Port.SetBaudRate(c.Rate);
    Port.SetDataBits(c.Data);
    Port.Parity().SetBits(c.Parity);
    Port.SetStopBits(c.Stop);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    const termios t = SlaveState();
    if (c.Speed != 0) {
        EXPECT_EQ(cfgetospeed(&t), c.Speed);
    }
    EXPECT_EQ(posixline::OutputSpeed(Pty.Master()), c.Number);
    // The pty driver itself always keeps 8 bits without parity enable (a pty has no wire); the
    // parity kind (odd, mark, space) and the stop bits stay as set.
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.ParityFlags & (PARODD | CMSPAR));
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.Stop == TStopBits::SbTwoStopBits);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    // Raw: nothing echoed, no lines, no signals, no CR/NL translation either way.
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PtyLineTest,
    ::testing::Values(LineCase{TBaudRate::Br9600, B9600, 9600, TDataBits::DbEight,
                               TParityBits::PrNone, 0, TStopBits::SbOneStopBit},
                      LineCase{TBaudRate::Br19200, B19200, 19200, TDataBits::DbSeven,
                               TParityBits::PrEven, PARENB, TStopBits::SbTwoStopBits},
                      LineCase{TBaudRate::Br115200, B115200, 115200, TDataBits::DbFive,
                               TParityBits::PrOdd, PARENB | PARODD, TStopBits::SbOneStopBit},
                      LineCase{TBaudRate::Br14400, 0, 14400, TDataBits::DbSix, TParityBits::PrMark,
                               PARENB | PARODD | CMSPAR, TStopBits::SbTwoStopBits},
                      LineCase{TBaudRate::Br56000, 0, 56000, TDataBits::DbEight,
                               TParityBits::PrSpace, PARENB | CMSPAR, TStopBits::SbOneStopBit},
                      LineCase{TBaudRate::Br128000, 0, 128000, TDataBits::DbEight,
                               TParityBits::PrNone, 0, TStopBits::SbOneStopBit},
                      LineCase{TBaudRate::Br256000, 0, 256000, TDataBits::DbSeven,
                               TParityBits::PrNone, 0, TStopBits::SbOneStopBit}));

TEST_F(PtyPortTest, ChangesWhileOpenAndCustomRatesApply) {
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    Port.SetBaudRate(TBaudRate::Br38400);
    termios t = SlaveState();
    EXPECT_EQ(cfgetospeed(&t), B38400);
    Port.SetCustomBaudRate(31250);
    Port.SetBaudRate(TBaudRate::BrCustom);
    EXPECT_EQ(posixline::OutputSpeed(Pty.Master()), 31250);
    // XON/XOFF input flow on this platform means sending goes on after XOFF was sent.
    Port.BeginUpdate();
    Port.FlowControl().SetFlowControl(TFlowControl::FcSoftware);
    Port.FlowControl().SetTxContinueOnXoff(true);
    Port.EndUpdate();
    t = SlaveState();
    EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);
    Port.FlowControl().SetFlowControl(TFlowControl::FcHardware);
    t = SlaveState();
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(PtyPortTest, SettingsThePlatformCannotTakeFailWithCode7) {
    BindHandler();
    struct Case {
        const char* Name;
        std::function<void(TCustomComPort&)> Set;
    };
    const Case Cases[] = {
        {"1.5 stop bits", [](TCustomComPort& p) { p.SetStopBits(TStopBits::SbOne5StopBits); }},
        {"zero custom rate",
         [](TCustomComPort& p) {
             p.SetBaudRate(TBaudRate::BrCustom);
             p.SetCustomBaudRate(0);
         }},
        {"DTR handshake",
         [](TCustomComPort& p) { p.FlowControl().SetControlDTR(TDTRFlowControl::DtrHandshake); }},
        // The terminal has CTS output flow and RTS handshake only together.
        {"CTS output flow with RTS held off",
         [](TCustomComPort& p) { p.FlowControl().SetOutCTSFlow(true); }},
        {"CTS output flow with RTS held on",
         [](TCustomComPort& p) {
             p.FlowControl().SetControlRTS(TRTSFlowControl::RtsEnable);
             p.FlowControl().SetOutCTSFlow(true);
         }},
        {"RTS handshake without CTS output flow",
         [](TCustomComPort& p) { p.FlowControl().SetControlRTS(TRTSFlowControl::RtsHandshake); }},
        // With XON/XOFF input flow the terminal keeps sending after its XOFF went out.
        {"sending held back after XOFF",
         [](TCustomComPort& p) { p.FlowControl().SetXonXoffIn(true); }},
        {"bad bytes replaced by NUL",
         [](TCustomComPort& p) {
             p.Parity().SetCheck(true);
             p.Parity().SetReplace(true);
         }},
        {"event character", [](TCustomComPort& p) { p.SetEventChar(u'\r'); }},
    };
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.Name);
        TComPort Fresh("ComPort1");
        Fresh.SetPort(SlavePath);
        Recorder.Bind(Fresh);
        Reports.clear();
        c.Set(Fresh);
        Fresh.Open();
        ASSERT_EQ(Reports.size(), 1u);
        EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_SetStateFailed);
        EXPECT_EQ(Reports[0].WinError, EINVAL);
        EXPECT_FALSE(Fresh.Connected());
        // The device was released: the port opens with sound settings.
        Port.Open();
        EXPECT_TRUE(Port.Connected());
        Port.Close();
    }
}

// The flow settings the terminal does carry out open as asked.
TEST_F(PtyPortTest, FlowSettingsTheTerminalHasAreTaken) {
    BindHandler();
    struct Case {
        const char* Name;
        std::function<void(TCustomComPort&)> Set;
        tcflag_t CFlags, IFlags;  // expected on the terminal
    };
    const Case Cases[] = {
        {"hardware",
         [](TCustomComPort& p) { p.FlowControl().SetFlowControl(TFlowControl::FcHardware); },
         CRTSCTS, 0},
        {"XON/XOFF output", [](TCustomComPort& p) { p.FlowControl().SetXonXoffOut(true); }, 0,
         IXON},
        {"XON/XOFF both ways, sending on after XOFF",
         [](TCustomComPort& p) {
             p.FlowControl().SetFlowControl(TFlowControl::FcSoftware);
             p.FlowControl().SetTxContinueOnXoff(true);
         },
         0, IXON | IXOFF},
        // A parity check passes bad bytes as they came (the driver counts the errors); the
        // terminal must not turn them into NUL.
        {"parity check", [](TCustomComPort& p) { p.Parity().SetCheck(true); }, 0, 0},
    };
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.Name);
        TComPort Fresh("ComPort1");
        Fresh.SetPort(SlavePath);
        Recorder.Bind(Fresh);
        Reports.clear();
        c.Set(Fresh);
        Fresh.Open();
        EXPECT_TRUE(Reports.empty());
        ASSERT_TRUE(Fresh.Connected());
        const termios t = SlaveState();
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.CFlags);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | IGNPAR | PARMRK), c.IFlags);
    }
}

// The window's own port: its design settings at every rate its list offers open on a virtual
// port, and the rate reads back as asked.
TEST_F(PtyPortTest, WindowSettingsOpenAtEveryOfferedRate) {
    BindHandler();
    Port.Timeouts().SetReadInterval(10);
    Port.Timeouts().SetReadTotalMultiplier(1);
    Port.Timeouts().SetReadTotalConstant(10);
    ASSERT_EQ(Port.FlowControl().FlowControl(), TFlowControl::FcNone);
    ASSERT_EQ(Port.FlowControl().ControlDTR(), TDTRFlowControl::DtrDisable);
    ASSERT_EQ(Port.FlowControl().ControlRTS(), TRTSFlowControl::RtsDisable);
    ASSERT_FALSE(Port.FlowControl().TxContinueOnXoff());
    ASSERT_EQ(Port.EventChar(), 0);
    ASSERT_EQ(Port.Events(), AllComEvents);
    for (int r = static_cast<int>(TBaudRate::Br110); r <= static_cast<int>(TBaudRate::Br256000);
         ++r) {
        const auto Rate = static_cast<TBaudRate>(r);
        SCOPED_TRACE(BaudRateValue(Rate));
        Port.SetBaudRate(Rate);
        Port.Open();
        ASSERT_TRUE(Port.Connected());
        EXPECT_EQ(posixline::OutputSpeed(Pty.Master()), BaudRateValue(Rate));
        Port.Close();
    }
    EXPECT_TRUE(Reports.empty());
}

TEST_F(PtyPortTest, WriteReachesTheMasterByteForByte) {
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    std::string All;
    for (int i = 0; i < 256; ++i)
        All.push_back(static_cast<char>(i));
    const std::string Frame = "~10016042E00202FD3A\r";
    EXPECT_EQ(Port.Write(All.data(), static_cast<std::int32_t>(All.size())), 256);
    EXPECT_EQ(Port.Write(Frame.data(), static_cast<std::int32_t>(Frame.size())),
              static_cast<std::int32_t>(Frame.size()));
    EXPECT_EQ(ReadMaster(All.size() + Frame.size()), All + Frame);
}

TEST_F(PtyPortTest, ReceivedBytesArriveThroughOnRxBufInOrderNoneTwice) {
    std::string Received;
    const auto Me = std::this_thread::get_id();
    bool OnPumpThread = true;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t> Buffer) {
        OnPumpThread = OnPumpThread && std::this_thread::get_id() == Me;
        Received.append(Buffer.begin(), Buffer.end());
    };
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    std::string Sent;
    for (int i = 0; i < 30; ++i) {
        // CR, LF, ^C, ^S, DEL and bytes above 0x7F must all pass unchanged.
        std::string Chunk = "~2001604A" + std::to_string(i) + "\r\n\x03\x13\x7f\xff";
        WriteMaster(Chunk);
        Sent += Chunk;
        if (i % 4 == 0) Port.PumpHandOver(5ms);
    }
    ASSERT_TRUE(PumpUntil([&] { return Received.size() >= Sent.size(); }))
        << Received.size() << " of " << Sent.size();
    EXPECT_EQ(Received, Sent);
    EXPECT_TRUE(OnPumpThread);
    // Nothing more arrives afterwards.
    Port.PumpHandOver(200ms);
    EXPECT_EQ(Received, Sent);
    // Nothing was echoed back to the sender.
    EXPECT_EQ(ReadMaster(1, 100ms), "");
}

TEST_F(PtyPortTest, SecondOpenOfTheSamePortFailsWithCode1) {
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    TComPort Second("Second");
    Second.SetPort(SlavePath);
    testsupport::TReportRecorder SecondRecorder;
    SecondRecorder.Bind(Second);
    const std::vector<TReport>& Got = SecondRecorder.Reports;
    Second.Open();  // as root too: the lock holds where the exclusive mode does not
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0].Kind, TComExceptions::CE_OpenFailed);
    EXPECT_EQ(Got[0].WinError, EBUSY);
    EXPECT_EQ(Got[0].WinMessage.rfind("System Error.  Code: " + std::to_string(EBUSY) + ".\r\n", 0),
              0u);
    EXPECT_FALSE(Second.Connected());
    EXPECT_FALSE(Second.ThreadCreated());
    // The first still works.
    EXPECT_EQ(Port.Write("ok", 2), 2);
    EXPECT_EQ(ReadMaster(2), "ok");
    // Without a handler the failure raises.
    Second.OnException = nullptr;
    try {
        Second.Open();
        FAIL() << "Open did not raise";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_EQ(e.WinCode(), EBUSY);
        EXPECT_EQ(std::string(e.what()),
                  "Unable to open com port (Error: " + std::to_string(EBUSY) + ")");
    }
    // Once the first lets go, the second gets it.
    Port.Close();
    Second.Open();
    EXPECT_TRUE(Second.Connected());
}

// Another program holding the slave, claimed or not; when it holds the master too, it plays
// the far end of the line (as socat does). Started while this process runs no other thread.
class THolder {
  public:
    enum TClaim { Plain, Exclusive, Locked };
    THolder(const std::string& SlavePath, int Master, TClaim Claim, bool FarEnd = false) {
        int Ready[2];
        if (pipe(Ready) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            close(Ready[0]);
            if (!FarEnd) close(Master);
            const int Fd = open(SlavePath.c_str(), O_RDWR | O_NOCTTY);
            if (Fd < 0) _exit(1);
            if (Claim == Exclusive && ioctl(Fd, TIOCEXCL) != 0) _exit(1);
            if (Claim == Locked && flock(Fd, LOCK_EX | LOCK_NB) != 0) _exit(1);
            const char One = 1;
            if (write(Ready[1], &One, 1) != 1) _exit(1);
            for (;;)
                pause();
        }
        close(Ready[1]);
        char Got = 0;
        Started = Pid > 0 && read(Ready[0], &Got, 1) == 1;
        close(Ready[0]);
    }
    ~THolder() { Stop(); }
    void Stop() {
        if (Pid <= 0) return;
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
        Pid = -1;
    }
    bool Started = false;

  private:
    pid_t Pid = -1;
};

// A port another program holds is busy, however that program came by it: with the lock, with
// the terminal's exclusive flag (which root would walk past), or plainly opened before us.
// The far end of a virtual port is no such program.
TEST_F(PtyPortTest, APortHeldElsewhereIsBusyForRootToo) {
    BindHandler();
    auto ExpectBusy = [&](const char* How) {
        SCOPED_TRACE(How);
        Reports.clear();
        Port.Open();
        ASSERT_EQ(Reports.size(), 1u);
        EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_OpenFailed);
        EXPECT_EQ(Reports[0].WinError, EBUSY);
        EXPECT_FALSE(Port.Connected());
    };
    {
        THolder Other(SlavePath, Pty.Master(), THolder::Exclusive);
        ASSERT_TRUE(Other.Started);
        ExpectBusy("exclusive flag");
        // The flag stays on a pseudo-terminal after its claimer has gone; nobody holds the port.
        Other.Stop();
        Reports.clear();
        Port.Open();
        EXPECT_TRUE(Port.Connected()) << "a claim left behind";
        EXPECT_TRUE(Reports.empty());
        Port.Close();
    }
    {
        THolder Other(SlavePath, Pty.Master(), THolder::Locked);
        ASSERT_TRUE(Other.Started);
        ExpectBusy("lock");
    }
    {
        THolder Other(SlavePath, Pty.Master(), THolder::Plain);
        ASSERT_TRUE(Other.Started);
        ExpectBusy("opened before us");
        // Once it lets go the port is free: our refusal left no claim behind.
        Other.Stop();
        Reports.clear();
        Port.Open();
        EXPECT_TRUE(Port.Connected());
        EXPECT_TRUE(Reports.empty());
        Port.Close();
    }
    {
        THolder FarEnd(SlavePath, Pty.Master(), THolder::Plain, true);
        ASSERT_TRUE(FarEnd.Started);
        Reports.clear();
        Port.Open();
        EXPECT_TRUE(Port.Connected()) << "the far end of the line";
        EXPECT_TRUE(Reports.empty());
        Port.Close();
    }
}

TEST_F(PtyPortTest, MissingOrNonTerminalPortFailsWithCode1) {
    BindHandler();
    Port.SetPort("ttyDoesNotExist42");
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_OpenFailed);
    EXPECT_EQ(Reports[0].WinError, ENOENT);
    EXPECT_EQ(Reports[0].WinMessage,
              "System Error.  Code: " + std::to_string(ENOENT) + ".\r\n" + std::strerror(ENOENT));
    EXPECT_FALSE(Port.Connected());

    const std::string Plain = ::testing::TempDir() + "not_a_port.txt";
    std::ofstream(Plain) << "x";
    Reports.clear();
    Port.SetPort(Plain);
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].WinError, ENOTTY);
    EXPECT_FALSE(Port.Connected());
    std::remove(Plain.c_str());
}

TEST_F(PtyPortTest, MasterClosingGivesOneReadFailureAndTheHandlerCloses) {
    BindHandler();
    OnReport = [&](const TReport&) {
        if (Port.Connected()) Port.Close();  // what the window does
    };
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    Pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !Port.Connected(); }));
    int ReadFailures = 0;
    for (const auto& r : Reports) {
        if (r.Kind == TComExceptions::CE_ReadFailed) {
            ++ReadFailures;
        } else {
            // Closing a port whose device has gone may also fail to abort its transfers.
            EXPECT_EQ(r.Kind, TComExceptions::CE_PurgeFailed);
        }
    }
    EXPECT_EQ(ReadFailures, 1);
    EXPECT_FALSE(Port.ThreadCreated());
    const double Before = CpuSeconds();
    EXPECT_FALSE(Port.PumpHandOver(500ms));
    EXPECT_LT(CpuSeconds() - Before, 0.1);
}

TEST_F(PtyPortTest, HungUpPortStaysQuietWhileLeftOpen) {
    BindHandler();
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    Pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ReadFailed);
    EXPECT_GT(Reports[0].WinError, 0);
    // The event thread now blocks until stopped: no reports, no CPU.
    const double Before = CpuSeconds();
    EXPECT_FALSE(Port.PumpHandOver(600ms));
    EXPECT_LT(CpuSeconds() - Before, 0.1);
    EXPECT_EQ(Reports.size(), 1u);
    const auto Start = std::chrono::steady_clock::now();
    Port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
    EXPECT_FALSE(Port.ThreadCreated());
}

TEST_F(PtyPortTest, WriteToAnUnreadPeerEndsByTheWriteTimeout) {
    Port.Timeouts().SetWriteTotalMultiplier(0);
    Port.Timeouts().SetWriteTotalConstant(300);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    // Far more than the terminal buffers hold while nobody reads the master.
    const std::vector<std::uint8_t> Big(4 << 20, 'A');
    const auto Start = std::chrono::steady_clock::now();
    const std::int32_t Sent = Port.Write(Big);
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_GT(Sent, 0);
    EXPECT_LT(Sent, static_cast<std::int32_t>(Big.size()));
    EXPECT_GE(Took, 250ms);
    EXPECT_LT(Took, 5s);
}

}  // namespace

namespace {

// With TriggersOnRxChar the bytes stay in the driver: the count is reported when data arrives,
// not again and again while the same bytes sit unread, and more bytes are reported again.
TEST_F(PtyPortTest, UnreadBytesAreCountedOnceAndNeverSpin) {
    Port.SetTriggersOnRxChar(true);
    std::vector<std::int32_t> Counts;
    Port.OnRxChar = [&](TCustomComPort&, std::int32_t Count) { Counts.push_back(Count); };
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    WriteMaster("~1001");
    ASSERT_TRUE(PumpUntil([&] { return !Counts.empty(); }));
    EXPECT_EQ(Counts.back(), 5);
    const double Before = CpuSeconds();
    const auto Until = std::chrono::steady_clock::now() + 600ms;
    while (std::chrono::steady_clock::now() < Until)
        Port.PumpHandOver(20ms);
    EXPECT_LT(CpuSeconds() - Before, 0.2);
    EXPECT_LE(Counts.size(), 2u);
    WriteMaster("6042");
    ASSERT_TRUE(PumpUntil([&] { return !Counts.empty() && Counts.back() == 9; }));
}

// A controller at 9600 bit/s brings a reply one character about every millisecond. The
// receiver should get it in few blocks (each block wakes the window), yet the last bytes
// must not wait long once the line falls quiet; a reply written whole is one block at once.
TEST_F(PtyPortTest, TricklingBytesGatherIntoFewBlocksAndTheLastComeSoonAfterTheLineFallsQuiet) {
    struct Case {
        const char* Name;
        std::size_t Bytes;
        std::chrono::microseconds Gap;  // between two bytes; 0: one write
        std::size_t MostBlocks;
    };
    const Case Cases[] = {
        {"reply at 9600 bit/s", 96, 1042us, 3},
        {"short reply at 9600 bit/s", 8, 1042us, 2},
        {"reply written whole", 96, 0us, 1},
    };
    using Clock = std::chrono::steady_clock;
    std::vector<std::pair<Clock::time_point, std::size_t>> Blocks;  // arrival, size
    std::string Received;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t> Buffer) {
        Blocks.emplace_back(Clock::now(), Buffer.size());
        Received.append(Buffer.begin(), Buffer.end());
    };
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Blocks.clear();
        Received.clear();
        std::string Reply;
        for (std::size_t i = 0; i < C.Bytes; ++i)
            Reply.push_back("0123456789ABCDEF"[i % 16]);
        Clock::time_point LastWritten;
        // The writer keeps to the line's pace by absolute times, so a writer delayed by a
        // busy machine catches up instead of leaving a gap.
        std::thread Writer([&] {
            if (C.Gap == 0us) {
                WriteMaster(Reply);
            } else {
                const auto Start = Clock::now();
                for (std::size_t i = 0; i < Reply.size(); ++i) {
                    std::this_thread::sleep_until(Start + C.Gap * static_cast<int>(i));
                    WriteMaster(Reply.substr(i, 1));
                }
            }
            LastWritten = Clock::now();
        });
        const bool All = PumpUntil([&] { return Received.size() >= Reply.size(); }, 10s);
        Writer.join();
        ASSERT_TRUE(All) << Received.size() << " of " << Reply.size();
        EXPECT_EQ(Received, Reply);
        EXPECT_LE(Blocks.size(), C.MostBlocks);
        // Gathering ends when the line falls quiet, well before its 200 ms limit.
        const auto Late = std::chrono::duration_cast<std::chrono::milliseconds>(
            Blocks.back().first - LastWritten);
        EXPECT_LT(Late, 120ms);
    }
}

}  // namespace

namespace {

// The largest write time-outs (-1 is all bits set) mean "wait as long as it takes", however
// many bytes are written: the deadline must not wrap round into the past.
TEST_F(PtyPortTest, LargestWriteTimeoutsWaitForASlowReader) {
    Port.Timeouts().SetWriteTotalMultiplier(-1);
    Port.Timeouts().SetWriteTotalConstant(-1);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    const std::vector<std::uint8_t> Big(4 << 20, 'B');
    std::size_t Drained = 0;
    std::thread Reader([&] {
        std::this_thread::sleep_for(200ms);  // let the terminal buffers fill first
        Drained = ReadMaster(Big.size(), 20s).size();
    });
    const std::int32_t Sent = Port.Write(Big);
    Reader.join();
    EXPECT_EQ(Sent, static_cast<std::int32_t>(Big.size()));
    EXPECT_EQ(Drained, Big.size());
}

}  // namespace

namespace {

void OnAlarm(int) {}

// Signals arriving all the time (a profiler, a timer) interrupt the waits in writing and in the
// event thread; every interrupted call is resumed, so nothing fails and nothing is cut short.
TEST_F(PtyPortTest, InterruptedCallsAreResumed) {
    struct sigaction Action {};
    Action.sa_handler = OnAlarm;  // no SA_RESTART: blocking calls fail with EINTR
    sigemptyset(&Action.sa_mask);
    struct sigaction Old {};
    ASSERT_EQ(sigaction(SIGALRM, &Action, &Old), 0);
    const itimerval Every2ms{{0, 2000}, {0, 2000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &Every2ms, nullptr), 0);

    BindHandler();
    std::string Received;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t> Buffer) {
        Received.append(Buffer.begin(), Buffer.end());
    };
    Port.Timeouts().SetWriteTotalMultiplier(0);
    Port.Timeouts().SetWriteTotalConstant(300);
    Port.Open();
    const bool Opened = Port.Connected();
    std::string Sent;
    for (int i = 0; i < 20 && Opened; ++i) {
        const std::string Chunk = "~" + std::to_string(i) + "\r";
        WriteMaster(Chunk);
        Sent += Chunk;
        Port.PumpHandOver(5ms);
    }
    const bool AllReceived = PumpUntil([&] { return Received.size() >= Sent.size(); });
    // Nobody reads the master: the write ends by its time-out, not by the first signal.
    const std::vector<std::uint8_t> Big(4 << 20, 'C');
    const auto Start = std::chrono::steady_clock::now();
    const std::int32_t Written = Opened ? Port.Write(Big) : 0;
    const auto Took = std::chrono::steady_clock::now() - Start;

    const itimerval Off{};
    setitimer(ITIMER_REAL, &Off, nullptr);
    sigaction(SIGALRM, &Old, nullptr);

    ASSERT_TRUE(Opened);
    EXPECT_TRUE(AllReceived);
    EXPECT_EQ(Received, Sent);
    EXPECT_GT(Written, 0);
    EXPECT_GE(Took, 250ms);
    EXPECT_TRUE(Reports.empty()) << static_cast<int>(Reports.front().Kind);
}

}  // namespace
