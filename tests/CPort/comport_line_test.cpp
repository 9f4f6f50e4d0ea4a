// Cases of the event hand-over that must hold alike on the scriptable platform and on a real
// pseudo-terminal: one test body, run once per platform, so the fake cannot drift from the
// real line.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

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
    virtual void HangUp() = 0;                        // the far end goes
};

class TFakeLine final : public TLine {
  public:
    std::shared_ptr<IComPlatform> Platform() override { return FFake; }
    std::string PortName() override { return "COM1"; }
    void Send(const std::string& Bytes) override { FFake->Feed(Bytes); }
    // A device that has gone answers every request with an I/O error, as a tty does.
    void HangUp() override {
        for (TFakeOp Op :
             {TFakeOp::ClearError, TFakeOp::Read, TFakeOp::Purge, TFakeOp::ModemStatus})
            FFake->FailOn(Op, EIO);
        FFake->HangUp(EIO);
    }

  private:
    std::shared_ptr<TFakeComPlatform> FFake = std::make_shared<TFakeComPlatform>();
};

class TPtyLine final : public TLine {
  public:
    std::shared_ptr<IComPlatform> Platform() override { return PosixComPlatform(); }
    std::string PortName() override { return FPty.SlavePath(); }
    void Send(const std::string& Bytes) override { ASSERT_TRUE(FPty.Write(Bytes)); }
    void HangUp() override { FPty.CloseMaster(); }

  private:
    testsupport::TPtyPair FPty;
};

enum class TPlatformKind { Fake, Pty };

std::unique_ptr<TLine> MakeLine(TPlatformKind Kind) {
    if (Kind == TPlatformKind::Fake) return std::make_unique<TFakeLine>();
    return std::make_unique<TPtyLine>();
}

class LineTest : public ::testing::TestWithParam<TPlatformKind> {
  protected:
    std::unique_ptr<TLine> Line = MakeLine(GetParam());
    testsupport::TWakeCounter Wakes;
    testsupport::TReportRecorder Recorder;
    TComPort Port{"ComPort1", Line->Platform(), &Wakes};

    void SetUp() override {
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

INSTANTIATE_TEST_SUITE_P(Platforms, LineTest,
                         ::testing::Values(TPlatformKind::Fake, TPlatformKind::Pty),
                         [](const auto& Info) {
                             return Info.param == TPlatformKind::Fake ? "Fake" : "Pty";
                         });

}  // namespace
