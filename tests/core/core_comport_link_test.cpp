// The monitoring core on the serial component (scriptable platform): frames reach
// the line, received blocks reach the intake, and a failing write closes the link
// inside the send.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "ComPortLink.h"
#include "CoreTestSupport.h"
#include "FakeComPlatform.h"

namespace coretest {
namespace {

using namespace std::chrono_literals;

class ComPortLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Port.SetTriggersOnRxChar(false);
        Port.OnRxBuf = [this](TCustomComPort&, std::span<const std::uint8_t> Block) {
            Monitor.ReceiveData(Block);
        };
        // As the window does: a port failure closes the link.
        Port.OnException = [this](TCustomComPort&, TComExceptions Kind, const std::string&,
                                  std::int64_t, const std::string&) {
            Failures.push_back(Kind);
            Monitor.LinkClosed();
            Port.Close();
        };
        Port.OnHandOverException = [this](TCustomComPort&, std::exception_ptr Error) {
            try {
                std::rethrow_exception(Error);
            } catch (const std::exception& e) {
                HandOverErrors.push_back(e.what());
            }
        };
        Monitor.AddObserver(Rec);
        Port.Open();
        ASSERT_TRUE(Port.Connected());
        Monitor.LinkOpened(Port.Port());
        Rec.Take();
    }
    void TearDown() override {
        Port.OnRxBuf = nullptr;
        Port.OnException = nullptr;
        Port.OnHandOverException = nullptr;
        Port.Close();
    }
    bool PumpUntil(const std::function<bool()>& Done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Port.PumpHandOver(20ms);
        }
        return true;
    }

    std::shared_ptr<TFakeComPlatform> Fake = std::make_shared<TFakeComPlatform>();
    TComPort Port{"ComPort1", Fake, nullptr};
    TComPortLink Link{Port};
    TFakeClock Clock;
    TInputs Inputs;
    TMonitor Monitor{Clock, Link, Inputs};
    TRecorder Rec{Clock};
    std::vector<TComExceptions> Failures;
    std::vector<std::string> HandOverErrors;
};

TEST_F(ComPortLinkTest, FramesGoToTheLineAndRepliesComeBack) {
    EXPECT_TRUE(Link.Connected());
    Clock.Advance(850ms);  // the first poll command leaves
    EXPECT_EQ(Text(Fake->Written()), BuildCommandText(0x42));
    Fake->Feed(Reply(0, AnalogInfo()));
    ASSERT_TRUE(PumpUntil([&] { return Rec.Decoded.size() == 1; }));
    EXPECT_EQ(Rec.Take(), (std::vector<std::string>{"850 sent 42 addr 1", "850 frame ok 94 rt 0",
                                                    "850 reply rtn 00 to 42 info 38",
                                                    "850 decoded 42 analog"}));
}

TEST_F(ComPortLinkTest, FailedWriteClosesTheLinkInsideTheSend) {
    Monitor.QueueCommand(TIntCMD{0x45, 0x10, 0});
    Fake->FailOn(TFakeOp::Write, EIO, 1);
    // The poll tick at 500 queues 0x42 behind it and sets the send timer to the reply
    // time-out, so the button's command leaves at 850.
    Clock.Advance(850ms);
    EXPECT_EQ(Failures, std::vector<TComExceptions>{TComExceptions::CE_WriteFailed});
    EXPECT_FALSE(Link.Connected());
    EXPECT_EQ(Rec.Take(), (std::vector<std::string>{
                              "850 closed", "850 sent 45 addr 1 param 10 value 0 written 0"}));
    EXPECT_TRUE(Monitor.Queue().empty());
    EXPECT_FALSE(Monitor.SendTimer().Enabled());
    EXPECT_FALSE(Monitor.PollTimer().Enabled());
    Clock.Advance(5s);
    EXPECT_TRUE(Rec.Take().empty());
}

// A view that fails on one reply loses neither the rest of the block nor the report
// of its failure: the port's hand-over passes it on.
TEST_F(ComPortLinkTest, ObserverFailureReachesTheHandOverReport) {
    struct TThrower : IMonitorObserver {
        int calls = 0;
        void OnReplyDecoded(const TDecodedReply&) override {
            if (++calls == 1) throw std::runtime_error("label gone");
        }
    } thrower;
    Monitor.AddObserver(thrower);
    Monitor.SendNoDataCmd(1, 0x42);
    Fake->Feed(Reply(0, AnalogInfo()) + Reply(0, AnalogInfo()));
    ASSERT_TRUE(PumpUntil([&] { return thrower.calls == 2; }));
    EXPECT_EQ(HandOverErrors, std::vector<std::string>{"label gone"});
    EXPECT_TRUE(Port.Connected());
    Monitor.RemoveObserver(thrower);
}

}  // namespace
}  // namespace coretest
