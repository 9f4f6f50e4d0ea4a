// The serial component against the scriptable platform: failure reports, the settings rules,
// and the delivery of port events through the main-thread hand-over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CPort.h"
#include "FakeComPlatform.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

using testsupport::TReport;

std::vector<std::uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

int Count(const std::vector<std::string>& Calls, const std::string& Call) {
    return static_cast<int>(std::count(Calls.begin(), Calls.end(), Call));
}

class FakePortTest : public ::testing::Test {
  protected:
    std::shared_ptr<TFakeComPlatform> Fake = std::make_shared<TFakeComPlatform>();
    testsupport::TWakeCounter HandOver;
    testsupport::TReportRecorder Recorder;
    std::vector<TReport>& Reports = Recorder.Reports;
    std::function<void(const TReport&)>& OnReport = Recorder.OnReport;  // extra work of the handler
    TComPort Port{"ComPort1", Fake, &HandOver};  // last: closes before the rest goes

    // Handlers of a test refer to its locals: unbind them before the fixture closes the port.
    void TearDown() override {
        Port.OnRxChar = nullptr;
        Port.OnRxBuf = nullptr;
        Port.OnTxEmpty = Port.OnBreak = Port.OnRing = Port.OnRxFlag = Port.OnRx80Full = nullptr;
        Port.OnCTSChange = Port.OnDSRChange = Port.OnRLSDChange = nullptr;
        Port.OnError = nullptr;
        Port.OnAfterOpen = Port.OnAfterClose = Port.OnBeforeOpen = Port.OnBeforeClose = nullptr;
        Port.OnHandOverException = nullptr;
        OnReport = nullptr;
        Port.Close();
    }

    void BindHandler() { Recorder.Bind(Port); }

    // Pumps the hand-over until Done holds or a generous deadline passes.
    bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s) {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > Deadline) return false;
            Port.PumpHandOver(20ms);
        }
        return true;
    }

    void OpenOrFail() {
        Port.Open();
        ASSERT_TRUE(Port.Connected());
        ASSERT_TRUE(Fake->WaitUntilWaiting(10000));
    }
};

// ---------------------------------------------------------------------------------------------
// Error table and EComPort

TEST(ComErrorTable, CodesMapToKindsAndFixedMessages) {
    struct Case {
        int Code;
        TComExceptions Kind;
        const char* Message;
    };
    const Case Cases[] = {
        {1, TComExceptions::CE_OpenFailed, "Unable to open com port"},
        {2, TComExceptions::CE_WriteFailed, "WriteFile function failed"},
        {3, TComExceptions::CE_ReadFailed, "ReadFile function failed"},
        {4, TComExceptions::CE_InvalidAsync, "Invalid Async parameter"},
        {5, TComExceptions::CE_PurgeFailed, "PurgeComm function failed"},
        {6, TComExceptions::CE_AsyncCheck, "Unable to get async status"},
        {7, TComExceptions::CE_SetStateFailed, "SetCommState function failed"},
        {8, TComExceptions::CE_TimeoutsFailed, "SetCommTimeouts failed"},
        {9, TComExceptions::CE_SetupComFailed, "SetupComm function failed"},
        {10, TComExceptions::CE_ClearComFailed, "ClearCommError function failed"},
        {11, TComExceptions::CE_ModemStatFailed, "GetCommModemStatus function failed"},
        {12, TComExceptions::CE_EscapeComFailed, "EscapeCommFunction function failed"},
        {13, TComExceptions::CE_TransmitFailed, "TransmitCommChar function failed"},
        {14, TComExceptions::CE_ConnChangeProp, "Cannot set property while connected"},
        {15, TComExceptions::CE_EnumPortsFailed, "EnumPorts function failed"},
        {16, TComExceptions::CE_StoreFailed, "Failed to store settings"},
        {17, TComExceptions::CE_LoadFailed, "Failed to load settings"},
        {18, TComExceptions::CE_RegFailed, "Link (un)registration failed"},
        {19, TComExceptions::CE_LedStateFailed, "Cannot change led state if ComPort is selected"},
        {20, TComExceptions::CE_ThreadCreated, "Cannot wait for event if event thread is created"},
        {21, TComExceptions::CE_WaitFailed, "WaitForEvent method failed"},
        {22, TComExceptions::CE_HasLink, "A component is linked to OnRxBuf event"},
        {23, TComExceptions::CE_RegError, "Registry error"},
        {24, TComExceptions::CEPortNotOpen, "Port Not Open"},
    };
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.Code);
        EXPECT_EQ(ComErrorKind(c.Code), c.Kind);
        EXPECT_EQ(ComErrorMessage(c.Code), c.Message);
    }
    EXPECT_EQ(ComErrorMessage(0), "");
    EXPECT_EQ(ComErrorMessage(25), "");
    EXPECT_THROW(ComErrorKind(25), std::out_of_range);
}

TEST(ComErrorTable, EComPortMessagesCarryTheCodeOrNot) {
    const EComPort WithCode(9, 22);
    EXPECT_EQ(WithCode.Code(), 9);
    EXPECT_EQ(WithCode.WinCode(), 22);
    EXPECT_STREQ(WithCode.what(), "SetupComm function failed (Error: 22)");
    const EComPort NoCode = EComPort::CreateNoWinCode(24);
    EXPECT_EQ(NoCode.Code(), 24);
    EXPECT_EQ(NoCode.WinCode(), -1);
    EXPECT_STREQ(NoCode.what(), "Port Not Open");
}

TEST_F(FakePortTest, ReportWithHandlerFormatsPlatformText) {
    BindHandler();
    Port.ReportError(3, EIO);
    Port.ReportError(16, 0);
    Port.ReportError(24, -24);
    ASSERT_EQ(Reports.size(), 3u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ReadFailed);
    EXPECT_EQ(Reports[0].Message, "ReadFile function failed");
    EXPECT_EQ(Reports[0].WinError, EIO);
    EXPECT_EQ(Reports[0].WinMessage,
              "System Error.  Code: " + std::to_string(EIO) + ".\r\n" + std::strerror(EIO));
    EXPECT_EQ(Reports[1].WinMessage, "");
    EXPECT_EQ(Reports[2].WinError, -24);
    EXPECT_EQ(Reports[2].WinMessage, "");
}

// ---------------------------------------------------------------------------------------------
// Open

TEST_F(FakePortTest, OpenAppliesSettingsInOrderAndStartsTheThread) {
    std::vector<std::string> Fired;
    Port.OnBeforeOpen = [&](TCustomComPort&) { Fired.push_back("BeforeOpen"); };
    Port.OnAfterOpen = [&](TCustomComPort&) { Fired.push_back("AfterOpen"); };
    Port.OnCTSChange = [&](TCustomComPort&, bool On) { Fired.push_back(On ? "CTS+" : "CTS-"); };
    Port.OnDSRChange = [&](TCustomComPort&, bool On) { Fired.push_back(On ? "DSR+" : "DSR-"); };
    Port.OnRLSDChange = [&](TCustomComPort&, bool On) { Fired.push_back(On ? "CD+" : "CD-"); };
    Fake->SetModemStatus(ComModemBits::DsrOn);
    OpenOrFail();
    EXPECT_TRUE(Port.ThreadCreated());
    EXPECT_EQ(Fired, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS-", "DSR+", "CD-"}));
    const auto Calls = Fake->Calls();
    const std::vector<std::string> Start(Calls.begin(), Calls.begin() + 5);
    EXPECT_EQ(Start, (std::vector<std::string>{"Open COM1", "SetupQueues 1024 1024", "SetState",
                                               "SetTimeouts", "SetEventMask 1535"}));
    EXPECT_EQ(Count(Calls, "ModemStatus"), 3);
    EXPECT_EQ(Fake->EventMask(), 0x05FFu);

    // A second Open does nothing.
    Fake->ClearCalls();
    Port.Open();
    EXPECT_TRUE(Fake->Calls().empty());
    EXPECT_EQ(Fake->OpenDevices(), 1);
}

struct OpenFailureCase {
    TFakeOp Op;
    int Code;
    TComExceptions Kind;
    const char* Message;
    const char* LastCall;  // the failing step; nothing after it but the release
};

class OpenFailureTest : public FakePortTest,
                        public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, WithHandlerStopsAtFailingStepAndReleasesTheDevice) {
    const auto& c = GetParam();
    BindHandler();
    bool ConnectedDuringReport = false;
    OnReport = [&](const TReport&) { ConnectedDuringReport = Port.Connected(); };
    bool AfterOpen = false;
    Port.OnAfterOpen = [&](TCustomComPort&) { AfterOpen = true; };
    Fake->FailOn(c.Op, EACCES);
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, c.Kind);
    EXPECT_EQ(Reports[0].Message, c.Message);
    EXPECT_EQ(Reports[0].WinError, EACCES);
    EXPECT_EQ(
        Reports[0].WinMessage.rfind(
            "System Error.  Code: " + std::to_string(EACCES) + ".\r\n" + std::strerror(EACCES), 0),
        0u);
    EXPECT_EQ(ConnectedDuringReport, c.Code != 1);  // a settings step fails on an open port
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_FALSE(AfterOpen);
    EXPECT_EQ(Fake->OpenDevices(), 0);
    auto Calls = Fake->Calls();
    if (c.Code != 1) {
        ASSERT_FALSE(Calls.empty());
        EXPECT_EQ(Calls.back(), "Close");
        Calls.pop_back();
    }
    ASSERT_FALSE(Calls.empty());
    EXPECT_EQ(Calls.back(), c.LastCall);
}

TEST_P(OpenFailureTest, WithoutHandlerRaisesAndReleasesTheDevice) {
    const auto& c = GetParam();
    Fake->FailOn(c.Op, EACCES);
    try {
        Port.Open();
        FAIL() << "Open did not raise";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), c.Code);
        EXPECT_EQ(e.WinCode(), EACCES);
        EXPECT_EQ(std::string(e.what()),
                  std::string(c.Message) + " (Error: " + std::to_string(EACCES) + ")");
    }
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_EQ(Fake->OpenDevices(), 0);
    // The port opens normally once the cause has gone.
    Fake->ClearFailure(c.Op);
    Port.Open();
    EXPECT_TRUE(Port.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenFailureTest,
    ::testing::Values(OpenFailureCase{TFakeOp::Open, 1, TComExceptions::CE_OpenFailed,
                                      "Unable to open com port", "Open COM1"},
                      OpenFailureCase{TFakeOp::SetupQueues, 9, TComExceptions::CE_SetupComFailed,
                                      "SetupComm function failed", "SetupQueues 1024 1024"},
                      OpenFailureCase{TFakeOp::SetState, 7, TComExceptions::CE_SetStateFailed,
                                      "SetCommState function failed", "SetState"},
                      OpenFailureCase{TFakeOp::SetTimeouts, 8, TComExceptions::CE_TimeoutsFailed,
                                      "SetCommTimeouts failed", "SetTimeouts"}));

TEST_F(FakePortTest, HandlerClosingDuringSettingsFailureClosesCompletely) {
    BindHandler();
    int AfterClose = 0;
    Port.OnAfterClose = [&](TCustomComPort&) { ++AfterClose; };
    OnReport = [&](const TReport&) {
        if (Port.Connected()) Port.Close();
    };
    Fake->FailOn(TFakeOp::SetState, EINVAL);
    Port.Open();
    EXPECT_EQ(Reports.size(), 1u);
    EXPECT_EQ(AfterClose, 1);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Fake->OpenDevices(), 0);
    EXPECT_EQ(Count(Fake->Calls(), "Close"), 1);
}

TEST_F(FakePortTest, BusyPortAndModemStatusFailures) {
    BindHandler();
    Fake->SetBusy("COM1");
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_OpenFailed);
    EXPECT_EQ(Reports[0].WinError, EBUSY);
    EXPECT_FALSE(Port.Connected());

    // Each of the three line queries at the end of Open reports on its own; the port stays open.
    Reports.clear();
    Fake->SetBusy("COM1", false);
    Fake->FailOn(TFakeOp::ModemStatus, EIO);
    std::vector<bool> Lines;
    Port.OnCTSChange = Port.OnDSRChange =
        Port.OnRLSDChange = [&](TCustomComPort&, bool On) { Lines.push_back(On); };
    Fake->SetModemStatus(ComModemBits::CtsOn | ComModemBits::DsrOn | ComModemBits::RlsdOn);
    Port.Open();
    ASSERT_EQ(Reports.size(), 3u);
    for (const auto& r : Reports)
        EXPECT_EQ(r.Kind, TComExceptions::CE_ModemStatFailed);
    EXPECT_EQ(Lines, (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(Port.Connected());
}

TEST_F(FakePortTest, EmptyEventsStartsNoThreadAndDeliversNothing) {
    int Blocks = 0;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t>) { ++Blocks; };
    Port.SetEvents({});
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    Fake->Feed("abc");
    EXPECT_FALSE(Port.PumpHandOver(200ms));
    EXPECT_EQ(Blocks, 0);
    EXPECT_EQ(Fake->WaitCalls(), 0);
    Port.Close();
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

// ---------------------------------------------------------------------------------------------
// Close

TEST_F(FakePortTest, CloseFiresLinesOffThenStopsThreadAndReleases) {
    OpenOrFail();
    std::vector<std::string> Fired;
    Port.OnCTSChange = [&](TCustomComPort&, bool On) { Fired.push_back(On ? "CTS+" : "CTS-"); };
    Port.OnDSRChange = [&](TCustomComPort&, bool On) { Fired.push_back(On ? "DSR+" : "DSR-"); };
    Port.OnRLSDChange = [&](TCustomComPort&, bool On) { Fired.push_back(On ? "CD+" : "CD-"); };
    Port.OnBeforeClose = [&](TCustomComPort& p) {
        Fired.push_back(p.Connected() ? "BeforeClose(open)" : "BeforeClose(closed)");
    };
    Port.OnAfterClose = [&](TCustomComPort& p) {
        Fired.push_back(p.Connected() ? "AfterClose(open)" : "AfterClose(closed)");
    };
    Fake->ClearCalls();
    Port.Close();
    EXPECT_EQ(Fired, (std::vector<std::string>{"CTS-", "DSR-", "CD-", "BeforeClose(open)",
                                               "AfterClose(closed)"}));
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_EQ(Fake->OpenDevices(), 0);
    // Abort first, then the thread's own clean-up, then the release.
    EXPECT_EQ(Fake->Calls(),
              (std::vector<std::string>{"Purge 3", "SetEventMask 0", "Purge 12", "Close"}));
    // Closing a closed port does nothing.
    Fired.clear();
    Port.Close();
    EXPECT_TRUE(Fired.empty());
}

TEST_F(FakePortTest, PurgeFailureWithReenteringHandlerStillClosesOnce) {
    BindHandler();
    int Reentered = 0, AfterClose = 0;
    OnReport = [&](const TReport&) {
        ++Reentered;
        if (Port.Connected()) Port.Close();  // what the window's handler does
    };
    Port.OnAfterClose = [&](TCustomComPort&) { ++AfterClose; };
    OpenOrFail();
    Fake->FailOn(TFakeOp::Purge, ENODEV, 1);
    Port.Close();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_PurgeFailed);
    EXPECT_EQ(Reports[0].WinError, ENODEV);
    EXPECT_EQ(Reentered, 1);
    EXPECT_EQ(AfterClose, 1);
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

TEST_F(FakePortTest, PurgeFailureWithoutHandlerRaisesAfterClosingCompletely) {
    OpenOrFail();
    Fake->FailOn(TFakeOp::Purge, ENODEV, 1);
    try {
        Port.Close();
        FAIL() << "Close did not raise";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 5);
        EXPECT_EQ(e.WinCode(), ENODEV);
    }
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

// ---------------------------------------------------------------------------------------------
// Write

TEST_F(FakePortTest, WriteOnClosedPortWithHandlerReports24Then2) {
    BindHandler();
    const auto Data = Bytes("~10016042E00202FD3A\r");
    EXPECT_EQ(Port.Write(Data.data(), static_cast<std::int32_t>(Data.size())), 0);
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CEPortNotOpen);
    EXPECT_EQ(Reports[0].Message, "Port Not Open");
    EXPECT_EQ(Reports[0].WinError, -24);
    EXPECT_EQ(Reports[0].WinMessage, "");
    EXPECT_EQ(Reports[1].Kind, TComExceptions::CE_WriteFailed);
    EXPECT_GT(Reports[1].WinError, 0);
    EXPECT_TRUE(Fake->Written().empty());
}

TEST_F(FakePortTest, WriteOnClosedPortWithoutHandlerRaises24) {
    const auto Data = Bytes("abc");
    try {
        Port.Write(Data);
        FAIL() << "Write did not raise";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 24);
        EXPECT_EQ(e.WinCode(), -1);
        EXPECT_STREQ(e.what(), "Port Not Open");
    }
    EXPECT_TRUE(Fake->Written().empty());
}

TEST_F(FakePortTest, WriteSendsBytesAndReportsShortOrFailedTransfers) {
    BindHandler();
    OpenOrFail();
    const auto Data = Bytes("~10016042E00202FD3A\r");
    EXPECT_EQ(Port.Write(Data), static_cast<std::int32_t>(Data.size()));
    EXPECT_EQ(Fake->Written(), Data);

    // Cut short (a write time-out): the smaller count, no failure.
    Fake->SetWriteLimit(4);
    EXPECT_EQ(Port.Write(Data), 4);
    EXPECT_TRUE(Reports.empty());

    Fake->SetWriteLimit(static_cast<std::size_t>(-1));
    Fake->FailOn(TFakeOp::Write, EIO, 1);
    EXPECT_EQ(Port.Write(Data), 0);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_WriteFailed);
    EXPECT_EQ(Reports[0].WinError, EIO);

    // A negative count is refused, not passed on.
    Reports.clear();
    EXPECT_EQ(Port.Write(Data.data(), -5), 0);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_WriteFailed);
}

// ---------------------------------------------------------------------------------------------
// Settings

TEST_F(FakePortTest, DefaultsAndControlBlockOfTheWindowsPort) {
    EXPECT_EQ(Port.BaudRate(), TBaudRate::Br9600);
    EXPECT_EQ(Port.Port(), "COM1");
    EXPECT_EQ(Port.SyncMethod(), TSyncMethod::SmThreadSync);
    EXPECT_TRUE(Port.TriggersOnRxChar());
    EXPECT_EQ(Port.Events(), AllComEvents);
    EXPECT_EQ(Port.StoredProps(), TStoredProps{TStoredProp::SpBasic});
    EXPECT_EQ(Port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(Port.FlowControl().XonChar(), 17);
    EXPECT_EQ(Port.FlowControl().XoffChar(), 19);

    // The port as the main window configures it.
    Port.Timeouts().SetReadInterval(10);
    Port.Timeouts().SetReadTotalMultiplier(1);
    Port.Timeouts().SetReadTotalConstant(10);
    Port.SetSyncMethod(TSyncMethod::SmWindowSync);
    Port.SetTriggersOnRxChar(false);
    OpenOrFail();
    TComControlBlock Expected;
    Expected.BaudRate = 9600;
    Expected.XonLim = Expected.XoffLim = 256;
    Expected.ByteSize = 8;
    EXPECT_EQ(Fake->LastState(), Expected);
    const TComTimeoutValues Timeouts = Fake->LastTimeouts();
    EXPECT_EQ(Timeouts, (TComTimeoutValues{10, 1, 10, 100, 1000}));
    EXPECT_EQ(Fake->LastInputSize(), 1024);
    EXPECT_EQ(Fake->LastOutputSize(), 1024);
}

TEST_F(FakePortTest, ControlBlockCarriesEveryLineSetting) {
    Port.SetBaudRate(TBaudRate::Br256000);
    Port.SetDataBits(TDataBits::DbSeven);
    Port.SetStopBits(TStopBits::SbTwoStopBits);
    Port.Parity().SetBits(TParityBits::PrMark);
    Port.Parity().SetCheck(true);
    Port.Parity().SetReplace(true);
    Port.Parity().SetReplaceChar(u'\x13f');
    Port.FlowControl().SetControlDTR(TDTRFlowControl::DtrEnable);
    Port.FlowControl().SetFlowControl(TFlowControl::FcHardware);
    Port.SetEventChar(u'\x10d');
    const TComControlBlock b = Port.ControlBlock();
    EXPECT_EQ(b.BaudRate, 256000);
    EXPECT_EQ(b.ByteSize, 7);
    EXPECT_EQ(b.StopBits, 2);
    EXPECT_EQ(b.Parity, 3);
    EXPECT_TRUE(b.ParityCheck);
    EXPECT_TRUE(b.ErrorCharEnabled);
    EXPECT_EQ(b.ErrorChar, 0x3f);  // low byte
    EXPECT_EQ(b.DtrControl, 1);
    EXPECT_EQ(b.RtsControl, 2);
    EXPECT_TRUE(b.OutxCtsFlow);
    EXPECT_EQ(b.EvtChar, 0x0d);
    Port.Parity().SetReplace(false);
    EXPECT_FALSE(Port.ControlBlock().ErrorCharEnabled);
    EXPECT_EQ(Port.ControlBlock().ErrorChar, 0);

    // Every listed rate reaches the block as its number.
    const std::pair<TBaudRate, int> Rates[] = {
        {TBaudRate::Br110, 110},     {TBaudRate::Br14400, 14400},   {TBaudRate::Br56000, 56000},
        {TBaudRate::Br57600, 57600}, {TBaudRate::Br128000, 128000}, {TBaudRate::Br115200, 115200}};
    for (auto [Rate, Value] : Rates) {
        Port.SetBaudRate(Rate);
        EXPECT_EQ(Port.ControlBlock().BaudRate, Value);
    }
    Port.SetBaudRate(TBaudRate::BrCustom);
    EXPECT_EQ(Port.ControlBlock().BaudRate, 9600);  // the custom rate's default
    Port.SetCustomBaudRate(250000);
    EXPECT_EQ(Port.ControlBlock().BaudRate, 250000);
}

struct SetterCase {
    const char* Name;
    std::function<void(TCustomComPort&)> Set;
    const char* Step;  // the platform call that re-applies it
};

class SetterTest : public FakePortTest, public ::testing::WithParamInterface<SetterCase> {};

TEST_P(SetterTest, ReappliesOnlyWhileOpenAndNoUpdatePending) {
    const auto& c = GetParam();
    // Closed: stored only.
    c.Set(Port);
    EXPECT_TRUE(Fake->Calls().empty());

    OpenOrFail();
    Fake->ClearCalls();
    // Unchanged value: nothing.
    c.Set(Port);
    EXPECT_TRUE(Fake->Calls().empty()) << c.Name;

    // Changed value: exactly its own step, once. (Undo by the default, then set again.)
    TComPort Defaults("Defaults", Fake);
    TComPort Reference("Reference", Fake);
    c.Set(Reference);
    Port.BeginUpdate();
    Port.SetParity(Defaults.Parity());
    Port.SetFlowControl(Defaults.FlowControl());
    Port.SetTimeouts(Defaults.Timeouts());
    Port.SetBuffer(Defaults.Buffer());
    Port.SetBaudRate(Defaults.BaudRate());
    Port.SetCustomBaudRate(Defaults.CustomBaudRate());
    Port.SetDataBits(Defaults.DataBits());
    Port.SetStopBits(Defaults.StopBits());
    Port.SetDiscardNull(false);
    Port.SetEventChar(0);
    EXPECT_TRUE(Fake->Calls().empty()) << "an update is pending";
    Port.EndUpdate();
    EXPECT_EQ(Fake->Calls(),
              (std::vector<std::string>{"SetupQueues 1024 1024", "SetState", "SetTimeouts"}));
    Fake->ClearCalls();
    c.Set(Port);
    EXPECT_EQ(Fake->Calls(), (std::vector<std::string>{c.Step})) << c.Name;
    // The step carried the new value (the others keep what EndUpdate applied).
    const std::string Step = c.Step;
    if (Step == "SetState") {
        EXPECT_EQ(Fake->LastState(), Reference.ControlBlock());
    }
    if (Step == "SetTimeouts") {
        EXPECT_EQ(Fake->LastTimeouts(), Reference.TimeoutValues());
    }
    EXPECT_EQ(Fake->LastInputSize(), Reference.Buffer().InputSize());
    EXPECT_EQ(Fake->LastOutputSize(), Reference.Buffer().OutputSize());
}

INSTANTIATE_TEST_SUITE_P(
    Properties, SetterTest,
    ::testing::Values(
        SetterCase{"BaudRate", [](TCustomComPort& p) { p.SetBaudRate(TBaudRate::Br19200); },
                   "SetState"},
        SetterCase{"DataBits", [](TCustomComPort& p) { p.SetDataBits(TDataBits::DbSeven); },
                   "SetState"},
        SetterCase{"StopBits", [](TCustomComPort& p) { p.SetStopBits(TStopBits::SbTwoStopBits); },
                   "SetState"},
        SetterCase{"Parity.Bits",
                   [](TCustomComPort& p) { p.Parity().SetBits(TParityBits::PrEven); }, "SetState"},
        SetterCase{"Parity.Check", [](TCustomComPort& p) { p.Parity().SetCheck(true); },
                   "SetState"},
        SetterCase{"DiscardNull", [](TCustomComPort& p) { p.SetDiscardNull(true); }, "SetState"},
        SetterCase{"FlowControl.XonXoffIn",
                   [](TCustomComPort& p) { p.FlowControl().SetXonXoffIn(true); }, "SetState"},
        SetterCase{
            "FlowControl.ControlRTS",
            [](TCustomComPort& p) { p.FlowControl().SetControlRTS(TRTSFlowControl::RtsEnable); },
            "SetState"},
        SetterCase{"Timeouts.WriteTotalConstant",
                   [](TCustomComPort& p) { p.Timeouts().SetWriteTotalConstant(50); },
                   "SetTimeouts"},
        SetterCase{"Timeouts.ReadInterval",
                   [](TCustomComPort& p) { p.Timeouts().SetReadInterval(10); }, "SetTimeouts"},
        SetterCase{"Buffer.InputSize", [](TCustomComPort& p) { p.Buffer().SetInputSize(4096); },
                   "SetupQueues 4096 1024"},
        SetterCase{"Buffer.OutputSize", [](TCustomComPort& p) { p.Buffer().SetOutputSize(2048); },
                   "SetupQueues 1024 2048"}),
    [](const auto& Info) {
        std::string n = Info.param.Name;
        std::replace(n.begin(), n.end(), '.', '_');
        return n;
    });

TEST_F(FakePortTest, InputSizeOddIsStoredEvenAndLimitsFollowAtNextBlock) {
    OpenOrFail();
    Fake->ClearCalls();
    Port.Buffer().SetInputSize(1025);
    EXPECT_EQ(Port.Buffer().InputSize(), 1024);
    Port.Buffer().SetInputSize(1026);
    EXPECT_EQ(Port.Buffer().InputSize(), 1026);
    EXPECT_EQ(Fake->LastInputSize(), 1026);
    // Changing the queue size does not re-apply the block: limits follow at the next one.
    EXPECT_EQ(Count(Fake->Calls(), "SetState"), 0);
    Port.Buffer().SetInputSize(4000);
    EXPECT_EQ(Fake->LastState().XonLim, 256);
    Port.SetBaudRate(TBaudRate::Br4800);
    EXPECT_EQ(Fake->LastState().XonLim, 1000);
    EXPECT_EQ(Fake->LastState().XoffLim, 1000);
    // Negative odd sizes stay as given.
    Port.Buffer().SetOutputSize(-3);
    EXPECT_EQ(Port.Buffer().OutputSize(), -3);
}

TEST_F(FakePortTest, AssigningAGroupReappliesUnconditionally) {
    OpenOrFail();
    Fake->ClearCalls();
    TComParity Same;  // equal to the current values
    Port.SetParity(Same);
    TComTimeouts Timeouts;
    Timeouts.SetWriteTotalMultiplier(7);
    Port.SetTimeouts(Timeouts);
    EXPECT_EQ(Fake->Calls(), (std::vector<std::string>{"SetState", "SetTimeouts"}));
    EXPECT_EQ(Fake->LastTimeouts().WriteTotalTimeoutMultiplier, 7u);
    // A copy never shares the back-reference.
    TComFlowControl Copy;
    Copy.Assign(Port.FlowControl());
    EXPECT_EQ(Copy.ComPort(), nullptr);
    EXPECT_EQ(Port.FlowControl().ComPort(), &Port);
}

TEST_F(FakePortTest, DerivedFlowControlReadsAndWrites) {
    auto& Flow = Port.FlowControl();
    EXPECT_EQ(Flow.FlowControl(), TFlowControl::FcNone);
    Flow.SetFlowControl(TFlowControl::FcHardware);
    EXPECT_EQ(Flow.ControlRTS(), TRTSFlowControl::RtsHandshake);
    EXPECT_TRUE(Flow.OutCTSFlow());
    EXPECT_EQ(Flow.FlowControl(), TFlowControl::FcHardware);
    Flow.SetFlowControl(TFlowControl::FcSoftware);
    EXPECT_EQ(Flow.ControlRTS(), TRTSFlowControl::RtsDisable);
    EXPECT_FALSE(Flow.OutCTSFlow());
    EXPECT_TRUE(Flow.XonXoffIn() && Flow.XonXoffOut());
    EXPECT_EQ(Flow.FlowControl(), TFlowControl::FcSoftware);
    // DTR and DSR are never touched; one XON/XOFF direction alone is custom.
    Flow.SetControlDTR(TDTRFlowControl::DtrEnable);
    Flow.SetOutDSRFlow(true);
    Flow.SetXonXoffIn(false);
    EXPECT_EQ(Flow.FlowControl(), TFlowControl::FcCustom);
    Flow.SetFlowControl(TFlowControl::FcCustom);
    EXPECT_TRUE(Flow.XonXoffOut());
    Flow.SetFlowControl(TFlowControl::FcNone);
    EXPECT_EQ(Flow.FlowControl(), TFlowControl::FcNone);
    EXPECT_EQ(Flow.ControlDTR(), TDTRFlowControl::DtrEnable);
    EXPECT_TRUE(Flow.OutDSRFlow());

    // Setting the kind re-applies the block even when it is unchanged.
    OpenOrFail();
    Fake->ClearCalls();
    Flow.SetFlowControl(TFlowControl::FcNone);
    EXPECT_EQ(Fake->Calls(), (std::vector<std::string>{"SetState"}));
}

TEST_F(FakePortTest, PortChangeWhileOpenReopensUnderTheNewName) {
    OpenOrFail();
    Fake->ClearCalls();
    Port.SetPort("COM1");
    EXPECT_TRUE(Fake->Calls().empty());
    Port.SetPort("com1");  // another name: letters compare with case
    EXPECT_TRUE(Port.Connected());
    auto Calls = Fake->Calls();
    EXPECT_EQ(Count(Calls, "Close"), 1);
    ASSERT_EQ(Count(Calls, "Open com1"), 1);
    EXPECT_LT(std::find(Calls.begin(), Calls.end(), "Close"),
              std::find(Calls.begin(), Calls.end(), "Open com1"));
    EXPECT_EQ(Fake->OpenDevices(), 1);
    ASSERT_TRUE(Fake->WaitUntilWaiting(10000));
    // While closed the name is only stored.
    Port.Close();
    Fake->ClearCalls();
    Port.SetPort("COM7");
    EXPECT_TRUE(Fake->Calls().empty());
}

TEST_F(FakePortTest, ThreadPropertiesAreRefusedWhileOpen) {
    BindHandler();
    Port.SetSyncMethod(TSyncMethod::SmWindowSync);
    Port.SetEventThreadPriority(TThreadPriority::tpHigher);
    EXPECT_TRUE(Reports.empty());
    OpenOrFail();
    Port.SetSyncMethod(TSyncMethod::SmWindowSync);  // unchanged: no report
    EXPECT_TRUE(Reports.empty());
    Port.SetSyncMethod(TSyncMethod::SmNone);
    Port.SetEventThreadPriority(TThreadPriority::tpLowest);
    ASSERT_EQ(Reports.size(), 2u);
    for (const auto& r : Reports) {
        EXPECT_EQ(r.Kind, TComExceptions::CE_ConnChangeProp);
        EXPECT_EQ(r.Message, "Cannot set property while connected");
        EXPECT_EQ(r.WinError, 0);
        EXPECT_EQ(r.WinMessage, "");
    }
    EXPECT_EQ(Port.SyncMethod(), TSyncMethod::SmWindowSync);
    EXPECT_EQ(Port.EventThreadPriority(), TThreadPriority::tpHigher);

    Port.OnException = nullptr;
    try {
        Port.SetSyncMethod(TSyncMethod::SmNone);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 14);
        EXPECT_EQ(e.WinCode(), -1);
    }
}

TEST_F(FakePortTest, ConnectedSetterOpensAndCloses) {
    Port.SetConnected(true);
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Fake->OpenDevices(), 1);
    Port.SetConnected(false);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

// ---------------------------------------------------------------------------------------------
// Event delivery

TEST(ComEventMask, SetAndMaskConvertBitByBit) {
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask({}), 0u);
    const std::pair<TComEvent, std::uint32_t> Bits[] = {
        {TComEvent::EvRxChar, 0x0001}, {TComEvent::EvTxEmpty, 0x0004},
        {TComEvent::EvRxFlag, 0x0002}, {TComEvent::EvRing, 0x0100},
        {TComEvent::EvBreak, 0x0040},  {TComEvent::EvCTS, 0x0008},
        {TComEvent::EvDSR, 0x0010},    {TComEvent::EvError, 0x0080},
        {TComEvent::EvRLSD, 0x0020},   {TComEvent::EvRx80Full, 0x0400}};
    for (auto [Event, Bit] : Bits) {
        EXPECT_EQ(EventsToMask({Event}), Bit);
        EXPECT_EQ(MaskToEvents(Bit), TComEvents{Event});
    }
    EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
    EXPECT_EQ(MaskToEvents(0x0200 | 0x8000), TComEvents{});  // bits no event stands for
    EXPECT_EQ(AllComEvents.Bits(), 0x03FFu);                 // one bit per value, in order
}

TEST_F(FakePortTest, ReceivedBytesReachOnRxBufOnThePumpingThreadInOrder) {
    Port.SetTriggersOnRxChar(false);
    std::string Received;
    int Blocks = 0;
    const auto Me = std::this_thread::get_id();
    Port.OnRxBuf = [&](TCustomComPort& Sender, std::span<const std::uint8_t> Buffer) {
        EXPECT_EQ(&Sender, &Port);
        EXPECT_EQ(std::this_thread::get_id(), Me);
        EXPECT_FALSE(Buffer.empty());
        Received.append(Buffer.begin(), Buffer.end());
        ++Blocks;
    };
    OpenOrFail();
    std::string Sent;
    for (int i = 0; i < 20; ++i) {
        const std::string Chunk = "~2001604A" + std::to_string(i) + "\r";
        Fake->Feed(Chunk);
        Sent += Chunk;
        if (i % 3 == 0) Port.PumpHandOver(5ms);
    }
    ASSERT_TRUE(PumpUntil([&] { return Received.size() >= Sent.size(); }));
    EXPECT_EQ(Received, Sent);
    EXPECT_GE(Blocks, 1);
    EXPECT_EQ(Fake->InputQueued(), 0u);
    // Nothing arrives twice: further events find the queue empty.
    Fake->RaiseEvents(ComEventBits::RxChar);
    Port.PumpHandOver(200ms);
    EXPECT_EQ(Received, Sent);
}

TEST_F(FakePortTest, TriggersOnRxCharReportsTheCountAndLeavesTheBytes) {
    std::vector<int> Counts;
    int Blocks = 0;
    Port.OnRxChar = [&](TCustomComPort&, std::int32_t Count) { Counts.push_back(Count); };
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t>) { ++Blocks; };
    OpenOrFail();
    Fake->Feed("12345");
    ASSERT_TRUE(PumpUntil([&] { return !Counts.empty(); }));
    EXPECT_EQ(Counts.front(), 5);
    EXPECT_EQ(Blocks, 0);
    EXPECT_EQ(Fake->InputQueued(), 5u);
}

TEST_F(FakePortTest, EventsAreHandledInTheFixedOrder) {
    std::vector<std::string> Seen;
    Port.OnError = [&](TCustomComPort&, TComErrors Errors) {
        Seen.push_back("Error");
        EXPECT_TRUE(Errors.Contains(TComError::CeFrame));
        EXPECT_FALSE(Errors.Contains(TComError::CeRxParity));  // parity is not checked
    };
    Port.OnTxEmpty = [&](TCustomComPort&) { Seen.push_back("TxEmpty"); };
    Port.OnBreak = [&](TCustomComPort&) { Seen.push_back("Break"); };
    Port.OnRing = [&](TCustomComPort&) { Seen.push_back("Ring"); };
    Port.OnRxFlag = [&](TCustomComPort&) { Seen.push_back("RxFlag"); };
    Port.OnRx80Full = [&](TCustomComPort&) { Seen.push_back("Rx80Full"); };
    OpenOrFail();
    Port.OnCTSChange = [&](TCustomComPort&, bool On) { Seen.push_back(On ? "CTS+" : "CTS-"); };
    Port.OnDSRChange = [&](TCustomComPort&, bool On) { Seen.push_back(On ? "DSR+" : "DSR-"); };
    Port.OnRLSDChange = [&](TCustomComPort&, bool On) { Seen.push_back(On ? "CD+" : "CD-"); };
    Fake->SetModemStatus(ComModemBits::RlsdOn | ComModemBits::RingOn);
    Fake->SetCommErrors(ComErrorBits::Frame | ComErrorBits::RxParity);
    Fake->RaiseEvents(0x05FF & ~ComEventBits::RxChar);
    ASSERT_TRUE(PumpUntil([&] { return Seen.size() >= 9; }));
    EXPECT_EQ(Seen, (std::vector<std::string>{"Error", "TxEmpty", "Break", "Ring", "CTS-", "DSR-",
                                              "RxFlag", "CD+", "Rx80Full"}));

    // A ring is only a ring; a carrier change only the carrier.
    Seen.clear();
    Fake->RaiseEvents(ComEventBits::Ring);
    ASSERT_TRUE(PumpUntil([&] { return !Seen.empty(); }));
    Fake->RaiseEvents(ComEventBits::Rlsd);
    ASSERT_TRUE(PumpUntil([&] { return Seen.size() >= 2; }));
    Port.PumpHandOver(100ms);
    EXPECT_EQ(Seen, (std::vector<std::string>{"Ring", "CD+"}));

    // With the parity check on, a parity error counts; without any error OnError stays quiet.
    Seen.clear();
    Port.Parity().SetCheck(true);
    TComErrors Got;
    Port.OnError = [&](TCustomComPort&, TComErrors Errors) {
        Seen.push_back("Error");
        Got = Errors;
    };
    Fake->SetCommErrors(ComErrorBits::RxParity);
    Fake->RaiseEvents(ComEventBits::Err);
    ASSERT_TRUE(PumpUntil([&] { return !Seen.empty(); }));
    EXPECT_EQ(Got, TComErrors{TComError::CeRxParity});
    Fake->RaiseEvents(ComEventBits::Err);
    Port.PumpHandOver(2s);
    EXPECT_EQ(Seen.size(), 1u);
}

TEST_F(FakePortTest, ReceiveStepFailuresReportAndDeliverNothing) {
    BindHandler();
    Port.SetTriggersOnRxChar(false);
    int Blocks = 0;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t>) { ++Blocks; };
    OpenOrFail();

    // A failure that does not mean the device has gone (that one is a hang-up).
    Fake->FailOn(TFakeOp::ClearError, EOVERFLOW, 1);
    Fake->Feed("abc");
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ClearComFailed);
    EXPECT_EQ(Reports[0].WinError, EOVERFLOW);
    EXPECT_EQ(Blocks, 0);
    EXPECT_EQ(Fake->InputQueued(), 3u);

    Reports.clear();
    Fake->FailOn(TFakeOp::Read, EPROTO, 1);
    Fake->RaiseEvents(ComEventBits::RxChar);
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ReadFailed);
    EXPECT_EQ(Reports[0].WinError, EPROTO);
    EXPECT_EQ(Blocks, 0);

    // The next event reads the bytes normally.
    Fake->RaiseEvents(ComEventBits::RxChar);
    ASSERT_TRUE(PumpUntil([&] { return Blocks == 1; }));
    EXPECT_EQ(Reports.size(), 1u);
}

TEST_F(FakePortTest, EventThreadIsReleasedBeforeTheBytesAreHandled) {
    Port.SetTriggersOnRxChar(false);
    bool ThreadWaitedAgain = false;
    int Blocks = 0;
    int Before = 0;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t>) {
        if (++Blocks == 1) {
            // Still inside the handler: the event thread must come back to its wait.
            const auto Deadline = std::chrono::steady_clock::now() + 10s;
            while (Fake->WaitCalls() <= Before && std::chrono::steady_clock::now() < Deadline)
                std::this_thread::sleep_for(1ms);
            ThreadWaitedAgain = Fake->WaitCalls() > Before;
        }
    };
    OpenOrFail();
    Before = Fake->WaitCalls();
    Fake->Feed("x");
    ASSERT_TRUE(PumpUntil([&] { return Blocks >= 1; }));
    EXPECT_TRUE(ThreadWaitedAgain);
}

TEST_F(FakePortTest, HangUpIsReportedOnceAsReadFailure) {
    BindHandler();
    OnReport = [&](const TReport&) {
        if (Port.Connected()) Port.Close();
    };
    OpenOrFail();
    Fake->HangUp(ENXIO);
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ReadFailed);
    EXPECT_EQ(Reports[0].WinError, ENXIO);
    EXPECT_FALSE(Port.Connected());
    EXPECT_FALSE(Port.ThreadCreated());
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

TEST_F(FakePortTest, HungUpThreadStaysQuietUntilClosed) {
    BindHandler();
    OpenOrFail();
    Fake->HangUp(EIO);
    ASSERT_TRUE(PumpUntil([&] { return !Reports.empty(); }));
    const int Waits = Fake->WaitCalls();
    EXPECT_FALSE(Port.PumpHandOver(300ms));  // no second report
    EXPECT_EQ(Fake->WaitCalls(), Waits);     // and no more waits: it does not spin
    EXPECT_EQ(Reports.size(), 1u);
    Port.Close();
    EXPECT_FALSE(Port.ThreadCreated());
}

TEST_F(FakePortTest, FailingWaitsHandNothingOverAndDoNotSpin) {
    Port.SetTriggersOnRxChar(false);
    std::string Received;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t> Buffer) {
        Received.append(Buffer.begin(), Buffer.end());
    };
    Fake->FailOn(TFakeOp::WaitEvent, EIO);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    std::this_thread::sleep_for(500ms);
    const int Failed = Fake->WaitCalls();
    EXPECT_GE(Failed, 1);
    EXPECT_LE(Failed, 20);  // paced, not a busy loop
    EXPECT_FALSE(Port.PumpHandOver(10ms));
    Fake->ClearFailure(TFakeOp::WaitEvent);
    Fake->Feed("ok");
    ASSERT_TRUE(PumpUntil([&] { return Received == "ok"; }));
    const auto Start = std::chrono::steady_clock::now();
    Port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
}

TEST_F(FakePortTest, ExceptionFromAHandlerGoesToTheHandOverHook) {
    Port.SetTriggersOnRxChar(false);
    int Blocks = 0;
    Port.OnRxBuf = [&](TCustomComPort&, std::span<const std::uint8_t>) {
        if (++Blocks == 1) throw std::runtime_error("frame handler failed");
    };
    std::string Caught;
    Port.OnHandOverException = [&](TCustomComPort&, std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            Caught = x.what();
        }
    };
    OpenOrFail();
    Fake->Feed("a");
    ASSERT_TRUE(PumpUntil([&] { return Blocks == 1; }));
    EXPECT_EQ(Caught, "frame handler failed");
    EXPECT_TRUE(Port.Connected());
    Fake->Feed("b");
    ASSERT_TRUE(PumpUntil([&] { return Blocks == 2; }));

    // Without a handler bound, a failure report inside the hand-over reaches the hook too.
    Caught.clear();
    Fake->FailOn(TFakeOp::Read, EIO, 1);
    Fake->Feed("c");
    ASSERT_TRUE(PumpUntil([&] { return !Caught.empty(); }));
    EXPECT_EQ(Caught, "ReadFile function failed (Error: " + std::to_string(EIO) + ")");
}

TEST_F(FakePortTest, DestroyingAnOpenPortClosesIt) {
    auto Other = std::make_unique<TComPort>("Other", Fake);
    Other->SetPort("COM9");
    Other->Open();
    ASSERT_TRUE(Other->Connected());
    ASSERT_TRUE(Fake->WaitUntilWaiting(10000));
    Fake->Feed("pending");
    Other.reset();
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

TEST_F(FakePortTest, PlatformAndHandOverCannotChangeWhileOpen) {
    BindHandler();
    OpenOrFail();
    auto Other = std::make_shared<TFakeComPlatform>();
    Port.SetPlatform(Other);
    Port.SetHandOver(nullptr);
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ConnChangeProp);
    EXPECT_EQ(Port.Platform(), Fake);
    EXPECT_EQ(Port.HandOver(), &HandOver);
    Port.Close();
    Port.SetPlatform(Other);
    Port.Open();
    EXPECT_EQ(Other->OpenDevices(), 1);
    EXPECT_EQ(Fake->OpenDevices(), 0);
}

}  // namespace
