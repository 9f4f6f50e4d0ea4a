// Cases that must hold alike on the scriptable platform and on a real line: one test body, run
// once per platform, so the fake cannot drift from the real line and the systems cannot drift
// from each other. The real line is a pseudo-terminal under Linux; under Windows it is a COM port
// whose far end is a second COM port (CPORT_TEST_LINE="COM7,COM8", under Wine two ports mapped
// to the two ends of a pseudo-terminal pair).
#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "CPort.h"
#include "FakeComPlatform.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

using testsupport::TReport;

// The far end of the port's line.
class TLine {
  public:
    virtual ~TLine() = default;
    virtual std::shared_ptr<IComPlatform> Platform() = 0;
    virtual std::string PortName() = 0;
    virtual void Send(const std::string& Bytes) = 0;  // the bytes arrive at the port
    // What the far end received within Limit, up to Count bytes.
    virtual std::string Receive(std::size_t Count, std::chrono::milliseconds Limit) = 0;
    virtual bool CanHangUp() const { return true; }
    virtual void HangUp() = 0;  // the far end goes
    // The settings the line carries out where systems differ; the others are refused.
    virtual TComAbilities Abilities() const { return kSystemComAbilities; }
};

class TFakeLine final : public TLine {
  public:
    std::shared_ptr<IComPlatform> Platform() override { return FFake; }
    std::string PortName() override { return "COM1"; }
    void Send(const std::string& Bytes) override { FFake->Feed(Bytes); }
    std::string Receive(std::size_t Count, std::chrono::milliseconds) override {
        const auto Written = FFake->Written();
        std::string Got(Written.begin(), Written.end());
        return Got.substr(0, Count);
    }
    // A device that has gone answers every request with an I/O error, as a tty does.
    void HangUp() override {
        for (TFakeOp Op :
             {TFakeOp::ClearError, TFakeOp::Read, TFakeOp::Purge, TFakeOp::ModemStatus})
            FFake->FailOn(Op, EIO);
        FFake->HangUp(EIO);
    }
    // The fake takes every setting.
    TComAbilities Abilities() const override { return {true, true, true}; }

  private:
    std::shared_ptr<TFakeComPlatform> FFake = std::make_shared<TFakeComPlatform>();
};

#ifndef _WIN32
class TSystemLine final : public TLine {
  public:
    std::shared_ptr<IComPlatform> Platform() override { return PosixComPlatform(); }
    std::string PortName() override { return FPty.SlavePath(); }
    void Send(const std::string& Bytes) override { ASSERT_TRUE(FPty.Write(Bytes)); }
    std::string Receive(std::size_t Count, std::chrono::milliseconds Limit) override {
        return FPty.Read(Count, Limit);
    }
    void HangUp() override { FPty.CloseMaster(); }

  private:
    testsupport::TPtyPair FPty;
};
#else
// Two COM ports joined by a null-modem line: the port under test and its far end, which this
// test drives directly through the system.
class TSystemLine final : public TLine {
  public:
    TSystemLine() {
        const char* Pair = std::getenv("CPORT_TEST_LINE");
        const std::string Names = Pair ? Pair : "";
        const auto Comma = Names.find(',');
        if (Comma == std::string::npos) return;
        FPort = Names.substr(0, Comma);
        const std::string Far = "\\\\.\\" + Names.substr(Comma + 1);
        FFar = ::CreateFileA(Far.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
        if (FFar == INVALID_HANDLE_VALUE) return;
        DCB Dcb{};
        Dcb.DCBlength = sizeof Dcb;
        ::GetCommState(FFar, &Dcb);
        Dcb.BaudRate = 9600;
        Dcb.ByteSize = 8;
        Dcb.Parity = NOPARITY;
        Dcb.StopBits = ONESTOPBIT;
        Dcb.fBinary = 1;
        Dcb.fOutX = Dcb.fInX = Dcb.fOutxCtsFlow = Dcb.fOutxDsrFlow = 0;
        ::SetCommState(FFar, &Dcb);
        ::PurgeComm(FFar, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~TSystemLine() override {
        if (FFar != INVALID_HANDLE_VALUE) ::CloseHandle(FFar);
    }
    // Without the line the tests cannot run; saying so beats passing.
    bool Present() const { return FFar != INVALID_HANDLE_VALUE; }
    std::shared_ptr<IComPlatform> Platform() override { return Win32ComPlatform(); }
    std::string PortName() override { return FPort; }
    void Send(const std::string& Bytes) override {
        DWORD Done = 0;
        ASSERT_TRUE(
            ::WriteFile(FFar, Bytes.data(), static_cast<DWORD>(Bytes.size()), &Done, nullptr));
        ASSERT_EQ(Done, Bytes.size());
    }
    std::string Receive(std::size_t Count, std::chrono::milliseconds Limit) override {
        std::string Got;
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        COMMTIMEOUTS Quick{MAXDWORD, 0, 0, 0, 0};  // a read returns what is there
        ::SetCommTimeouts(FFar, &Quick);
        while (Got.size() < Count && std::chrono::steady_clock::now() < Deadline) {
            char Buf[512];
            DWORD Done = 0;
            const DWORD Want = static_cast<DWORD>(std::min<std::size_t>(Count - Got.size(), 512));
            if (!::ReadFile(FFar, Buf, Want, &Done, nullptr)) break;
            Got.append(Buf, Done);
            if (Done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return Got;
    }
    // The far end of a mapped pseudo-terminal pair cannot be made to go from here.
    bool CanHangUp() const override { return false; }
    // Wine carries the settings out on a pseudo-terminal, which keeps 8 data bits whatever it is
    // told (so 1.5 stop bits, which go with 5, do not hold), and Wine refuses RTS toggling.
    TComAbilities Abilities() const override {
        TComAbilities Can = kSystemComAbilities;
        if (UnderWine()) Can.OneAndHalfStopBits = Can.RtsToggle = false;
        return Can;
    }
    static bool UnderWine() {
        const HMODULE Ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return Ntdll && ::GetProcAddress(Ntdll, "wine_get_version") != nullptr;
    }
    void HangUp() override {}

  private:
    std::string FPort;
    HANDLE FFar = INVALID_HANDLE_VALUE;
};
#endif

enum class TPlatformKind { Fake, System };

std::unique_ptr<TLine> MakeLine(TPlatformKind Kind) {
    if (Kind == TPlatformKind::Fake) return std::make_unique<TFakeLine>();
    return std::make_unique<TSystemLine>();
}

class LineTest : public ::testing::TestWithParam<TPlatformKind> {
  protected:
    std::unique_ptr<TLine> Line = MakeLine(GetParam());
    testsupport::TWakeCounter Wakes;
    testsupport::TReportRecorder Recorder;
    TComPort Port{"ComPort1", Line->Platform(), &Wakes};

    void SetUp() override {
#ifdef _WIN32
        if (auto* System = dynamic_cast<TSystemLine*>(Line.get()); System && !System->Present())
            GTEST_FAIL() << "no COM port pair: set CPORT_TEST_LINE=\"COM7,COM8\"";
#endif
        Port.SetPort(Line->PortName());
        Port.SetTriggersOnRxChar(false);
        Port.SetSyncMethod(TSyncMethod::SmWindowSync);
    }
    void TearDown() override {
        Port.OnRxBuf = nullptr;
        Recorder.OnReport = nullptr;
        Port.Close();
    }
    bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s) {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > Deadline) return false;
            Port.PumpHandOver(20ms);
        }
        return true;
    }
};

// Close stops the event thread while an event waits for the main thread: the event is still
// handled, with every byte it announced, and nothing deadlocks.
TEST_P(LineTest, CloseTakesAHandOverThatIsWaitingAndDoesNotDeadlock) {
    std::string Received;
    bool ConnectedInHandler = false;
    Port.OnRxBuf = [&](TCustomComPort& p, std::span<const std::uint8_t> Buffer) {
        ConnectedInHandler = p.Connected();
        Received.append(Buffer.begin(), Buffer.end());
        p.Close();  // re-entered while closing: returns at once
    };
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    Line->Send("late");
    ASSERT_TRUE(Wakes.WaitFor(1, 10s));  // the thread now waits for the main thread
    const auto Start = std::chrono::steady_clock::now();
    Port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_EQ(Received, "late");  // the event handed over was handled, its bytes all there
    EXPECT_TRUE(ConnectedInHandler);
    EXPECT_FALSE(Port.ProcessHandOver());  // nothing left behind
}

// The far end goes while received data waits to be taken: the receive step finds the device
// gone and reports the hang-up (a read failure) once, not a failed count query; whatever the
// handler does, no second hang-up report follows.
TEST_P(LineTest, HangUpWhileDataWaitsIsReportedOnceAsTheHangUp) {
    if (!Line->CanHangUp()) GTEST_SKIP() << "the far end of this line cannot be made to go";
    for (const bool HandlerCloses : {true, false}) {
        SCOPED_TRACE(HandlerCloses ? "handler closes the link" : "handler leaves it open");
        Recorder.Reports.clear();
        Recorder.Bind(Port);
        Recorder.OnReport = [&](const TReport&) {
            if (HandlerCloses && Port.Connected()) Port.Close();  // what the window does
        };
        int Blocks = 0;
        Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t>) { ++Blocks; };
        const int WakesBefore = Wakes.Wakes();
        Port.Open();
        ASSERT_TRUE(Port.Connected());
        Line->Send("abc");
        ASSERT_TRUE(Wakes.WaitFor(WakesBefore + 1, 10s));
        Line->HangUp();
        ASSERT_TRUE(PumpUntil([&] { return !Recorder.Reports.empty(); }));
        // The event thread sees the hang-up too; give its report time to come.
        const auto Until = std::chrono::steady_clock::now() + 300ms;
        while (std::chrono::steady_clock::now() < Until)
            Port.PumpHandOver(20ms);
        EXPECT_EQ(Port.Connected(), !HandlerCloses);
        EXPECT_EQ(Recorder.Reports.front().Kind, TComExceptions::CE_ReadFailed);
        EXPECT_GT(Recorder.Reports.front().WinError, 0);
        EXPECT_EQ(Recorder.Count(TComExceptions::CE_ReadFailed), 1u);
        EXPECT_EQ(Recorder.Count(TComExceptions::CE_ClearComFailed), 0u);
        EXPECT_EQ(Blocks, 0);
        Port.Close();
        // Closing a port whose device has gone may fail to abort its transfers; nothing else.
        for (const TReport& R : Recorder.Reports)
            if (R.Kind != TComExceptions::CE_ReadFailed) {
                EXPECT_EQ(R.Kind, TComExceptions::CE_PurgeFailed);
            }
        // A fresh line for the next round: the far end of this one has gone for good.
        Line = MakeLine(GetParam());
        Port.SetPlatform(Line->Platform());
        Port.SetPort(Line->PortName());
    }
}

// Bytes go both ways unchanged: every byte value out, a stream of frames with line ends and
// control characters in, in order and none twice; a port without modem lines (a pseudo-terminal,
// a Wine mapping of one) reads them as all off and reports nothing.
TEST_P(LineTest, BytesPassBothWaysUnchangedAndNothingIsReported) {
    Recorder.Bind(Port);
    std::string Received;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t> Buffer) {
        Received.append(Buffer.begin(), Buffer.end());
    };
    bool Cts = true;
    Port.OnCTSChange = [&](TCustomComPort&, bool On) { Cts = On; };
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    EXPECT_FALSE(Cts);

    std::string All;
    for (int i = 0; i < 256; ++i)
        All.push_back(static_cast<char>(i));
    const std::string Frame = "~10016042E00202FD3A\r";
    EXPECT_EQ(Port.Write(All.data(), static_cast<std::int32_t>(All.size())), 256);
    EXPECT_EQ(Port.Write(Frame.data(), static_cast<std::int32_t>(Frame.size())),
              static_cast<std::int32_t>(Frame.size()));
    EXPECT_EQ(Line->Receive(All.size() + Frame.size(), 10s), All + Frame);

    std::string Sent;
    for (int i = 0; i < 20; ++i) {
        const std::string Chunk = "~2001604A" + std::to_string(i) + "\r\n\x03\x13\x7f\xff";
        Line->Send(Chunk);
        Sent += Chunk;
        if (i % 4 == 0) Port.PumpHandOver(5ms);
    }
    ASSERT_TRUE(PumpUntil([&] { return Received.size() >= Sent.size(); }))
        << Received.size() << " of " << Sent.size();
    Port.PumpHandOver(200ms);
    EXPECT_EQ(Received, Sent);
    EXPECT_TRUE(Recorder.Reports.empty());
    Port.Close();
    EXPECT_TRUE(Recorder.Reports.empty());
}

// Settings only some systems carry out: taken where the platform can, refused with code 7 and
// EINVAL where it cannot (never approximated); either way the port then opens with sound
// settings.
TEST_P(LineTest, SettingsSomeSystemsCannotTakeFollowThePlatformsAbilities) {
    struct Case {
        const char* Name;
        bool TComAbilities::*Ability;
        std::function<void(TCustomComPort&)> Set;
    };
    const Case Cases[] = {
        {"1.5 stop bits with 5 data bits", &TComAbilities::OneAndHalfStopBits,
         [](TCustomComPort& p) {
             p.SetDataBits(TDataBits::DbFive);
             p.SetStopBits(TStopBits::SbOne5StopBits);
         }},
        {"RTS toggle", &TComAbilities::RtsToggle,
         [](TCustomComPort& p) { p.FlowControl().SetControlRTS(TRTSFlowControl::RtsToggle); }},
        {"DTR handshake", &TComAbilities::DtrHandshake,
         [](TCustomComPort& p) { p.FlowControl().SetControlDTR(TDTRFlowControl::DtrHandshake); }},
    };
    const TComAbilities Can = Line->Abilities();
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.Name);
        TComPort Fresh("ComPort1", Line->Platform());
        Fresh.SetPort(Line->PortName());
        testsupport::TReportRecorder FreshRecorder;
        FreshRecorder.Bind(Fresh);
        c.Set(Fresh);
        Fresh.Open();
        if (Can.*c.Ability) {
            for (const TReport& R : FreshRecorder.Reports)
                ADD_FAILURE() << "reported: " << R.Message << " " << R.WinMessage;
            EXPECT_TRUE(Fresh.Connected());
        } else {
            ASSERT_EQ(FreshRecorder.Reports.size(), 1u);
            EXPECT_EQ(FreshRecorder.Reports[0].Kind, TComExceptions::CE_SetStateFailed);
            EXPECT_EQ(FreshRecorder.Reports[0].WinError, EINVAL);
            EXPECT_FALSE(Fresh.Connected());
        }
        Fresh.Close();
        // The device was released: the port opens with sound settings.
        Recorder.Bind(Port);
        Port.Open();
        EXPECT_TRUE(Port.Connected());
        Port.Close();
        EXPECT_TRUE(Recorder.Reports.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, LineTest,
                         ::testing::Values(TPlatformKind::Fake, TPlatformKind::System),
                         [](const auto& Info) {
#ifdef _WIN32
                             return Info.param == TPlatformKind::Fake ? "Fake" : "Com";
#else
                             return Info.param == TPlatformKind::Fake ? "Fake" : "Pty";
#endif
                         });

}  // namespace
