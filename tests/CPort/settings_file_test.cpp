// Storing and loading the line settings through the settings file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "CPort.h"
#include "FakeComPlatform.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

using testsupport::TReport;

// Every setting the settings file can touch, for before/after comparisons.
struct TSnapshot {
    std::string Port;
    TBaudRate Rate;
    std::int32_t Custom;
    TStopBits Stop;
    TDataBits Data;
    TParityBits Parity;
    bool OutCTS, OutDSR, XonOut, XonIn;
    TDTRFlowControl Dtr;
    TRTSFlowControl Rts;
    friend bool operator==(const TSnapshot&, const TSnapshot&) = default;
};

void PrintTo(const TSnapshot& S, std::ostream* Os) {
    *Os << "{" << S.Port << " rate " << int(S.Rate) << " custom " << S.Custom << " stop "
        << int(S.Stop) << " data " << int(S.Data) << " parity " << int(S.Parity) << " cts "
        << S.OutCTS << " dsr " << S.OutDSR << " xon " << S.XonOut << S.XonIn << " dtr "
        << int(S.Dtr) << " rts " << int(S.Rts) << "}";
}

TSnapshot Snap(const TCustomComPort& P) {
    const auto& F = P.FlowControl();
    return {P.Port(),       P.BaudRate(),      P.CustomBaudRate(), P.StopBits(),
            P.DataBits(),   P.Parity().Bits(), F.OutCTSFlow(),     F.OutDSRFlow(),
            F.XonXoffOut(), F.XonXoffIn(),     F.ControlDTR(),     F.ControlRTS()};
}

class SettingsFileTest : public ::testing::Test {
  protected:
    void SetUp() override { Port = MakePort(); }
    void TearDown() override { Port.reset(); }
    // A component with the design values of the window's ComPort1 and a handler that records.
    std::unique_ptr<TComPort> MakePort() {
        auto P = std::make_unique<TComPort>("ComPort1", Platform);
        P->SetSyncMethod(TSyncMethod::SmWindowSync);
        Recorder.Bind(*P);
        return P;
    }
    void Put(const std::string& Content) const { std::ofstream(Path, std::ios::binary) << Content; }
    std::string Get() const {
        std::ifstream In(Path, std::ios::binary);
        std::stringstream S;
        S << In.rdbuf();
        return S.str();
    }
    void Load() { Port->LoadSettings(TStoreType::StIniFile, Path); }
    void Store() { Port->StoreSettings(TStoreType::StIniFile, Path); }
    // Settings far from the defaults, so that a fallback or a stray change shows.
    void SetUnusual() {
        Port->SetPort("ttyUSB7");
        Port->SetBaudRate(TBaudRate::Br57600);
        Port->SetStopBits(TStopBits::SbTwoStopBits);
        Port->SetDataBits(TDataBits::DbSeven);
        Port->Parity().SetBits(TParityBits::PrOdd);
        auto& F = Port->FlowControl();
        F.SetControlRTS(TRTSFlowControl::RtsEnable);
        F.SetControlDTR(TDTRFlowControl::DtrEnable);
        F.SetOutDSRFlow(true);
        F.SetXonXoffIn(true);
    }

    std::shared_ptr<TFakeComPlatform> Platform = std::make_shared<TFakeComPlatform>();
    testsupport::TReportRecorder Recorder;
    std::vector<TReport>& Reports = Recorder.Reports;
    std::unique_ptr<TComPort> Port;
    testsupport::TTempDir Temp{"settings_test"};
    fs::path Dir = Temp.Path();
    std::string Path = Temp.File("ComSetting.ini").string();
};

constexpr const char* kExample =
    "[ComPort1]\nPort=COM1\nBaudRate=19200\nStopBits=1\nDataBits=8\nParity=None\n"
    "FlowControl=None\n";

TEST_F(SettingsFileTest, StoresTheExampleAndSurvivesARestart) {
    Port->SetPort("COM1");
    Port->SetBaudRate(TBaudRate::Br19200);
    Store();
    EXPECT_EQ(Get(), kExample);
    EXPECT_TRUE(Reports.empty());

    const TSnapshot Stored = Snap(*Port);
    Port = MakePort();  // the next start
    ASSERT_NE(Snap(*Port), Stored);
    Load();
    EXPECT_EQ(Snap(*Port), Stored);
    Store();
    EXPECT_EQ(Get(), kExample);
    EXPECT_TRUE(Reports.empty());
}

TEST_F(SettingsFileTest, EveryStoredValueLoadsBack) {
    // One setting varied at a time over all its values; each store/load pair must agree.
    for (int R = 0; R < 16; ++R) {
        SCOPED_TRACE(R);
        Port = MakePort();
        Port->SetBaudRate(static_cast<TBaudRate>(R));
        Port->SetStopBits(static_cast<TStopBits>(R % 3));
        Port->SetDataBits(static_cast<TDataBits>(R % 4));
        Port->Parity().SetBits(static_cast<TParityBits>(R % 5));
        Port->FlowControl().SetFlowControl(static_cast<TFlowControl>(R % 3));
        if (R == 0) Port->SetCustomBaudRate(31250);  // stored only with the custom rate
        Port->SetPort("port" + std::to_string(R));
        Store();
        const TSnapshot Stored = Snap(*Port);
        Port = MakePort();
        Load();
        EXPECT_EQ(Snap(*Port), Stored);
    }
    EXPECT_TRUE(Reports.empty());
}

TEST_F(SettingsFileTest, ASectionWithOnlyTheRateChangesOnlyTheRate) {
    SetUnusual();
    TSnapshot Expected = Snap(*Port);
    Expected.Rate = TBaudRate::Br19200;
    Put("[ComPort1]\nBaudRate=19200\n");
    Load();
    EXPECT_EQ(Snap(*Port), Expected);
    EXPECT_TRUE(Reports.empty());
}

TEST_F(SettingsFileTest, TextsReadIgnoringCaseOrFallBack) {
    struct Case {
        const char* Line;
        void (*Check)(const TCustomComPort&);
    } Cases[] = {
        {"Parity=even",
         [](const TCustomComPort& P) { EXPECT_EQ(P.Parity().Bits(), TParityBits::PrEven); }},
        {"Parity=E",
         [](const TCustomComPort& P) { EXPECT_EQ(P.Parity().Bits(), TParityBits::PrNone); }},
        {"StopBits=1,5",
         [](const TCustomComPort& P) { EXPECT_EQ(P.StopBits(), TStopBits::SbOneStopBit); }},
        {"StopBits=1.5",
         [](const TCustomComPort& P) { EXPECT_EQ(P.StopBits(), TStopBits::SbOne5StopBits); }},
        {"BaudRate=", [](const TCustomComPort& P) { EXPECT_EQ(P.BaudRate(), TBaudRate::Br9600); }},
        {"BaudRate=115200",
         [](const TCustomComPort& P) { EXPECT_EQ(P.BaudRate(), TBaudRate::Br115200); }},
        {"DataBits=9",
         [](const TCustomComPort& P) { EXPECT_EQ(P.DataBits(), TDataBits::DbEight); }},
        {"DataBits=5", [](const TCustomComPort& P) { EXPECT_EQ(P.DataBits(), TDataBits::DbFive); }},
        {"Port=", [](const TCustomComPort& P) { EXPECT_EQ(P.Port(), ""); }},
        {"port = /home/me/vport ",
         [](const TCustomComPort& P) { EXPECT_EQ(P.Port(), "/home/me/vport"); }},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Line);
        SetUnusual();
        Put(std::string("[comport1]\n") + C.Line + "\n");
        Load();
        C.Check(*Port);
    }
    EXPECT_TRUE(Reports.empty());
}

TEST_F(SettingsFileTest, FlowControlTexts) {
    SetUnusual();
    Port->FlowControl().SetFlowControl(TFlowControl::FcSoftware);
    Put("[ComPort1]\nFlowControl=Hardware\n");
    Load();
    const auto& F = Port->FlowControl();
    EXPECT_EQ(F.ControlRTS(), TRTSFlowControl::RtsHandshake);
    EXPECT_TRUE(F.OutCTSFlow());
    EXPECT_FALSE(F.XonXoffIn());
    EXPECT_FALSE(F.XonXoffOut());
    EXPECT_EQ(F.FlowControl(), TFlowControl::FcHardware);

    // "Custom" and unknown texts leave a hand-made combination exactly as it is.
    for (const char* Text : {"Custom", "custom", "RTS/CTS"}) {
        SCOPED_TRACE(Text);
        SetUnusual();
        const TSnapshot Before = Snap(*Port);
        Put(std::string("[ComPort1]\nFlowControl=") + Text + "\n");
        Load();
        EXPECT_EQ(Snap(*Port), Before);
    }
}

TEST_F(SettingsFileTest, CustomRate) {
    Put("[ComPort1]\nBaudRate=Custom\n");
    Load();
    EXPECT_EQ(Port->BaudRate(), TBaudRate::BrCustom);
    EXPECT_EQ(Port->CustomBaudRate(), 9600);
    Store();
    EXPECT_EQ(Get(),
              "[ComPort1]\nBaudRate=Custom\nPort=COM1\nCustomBaudRate=9600\nStopBits=1\n"
              "DataBits=8\nParity=None\nFlowControl=None\n");

    struct Case {
        const char* Value;
        std::int32_t Expected;
    } Cases[] = {{"250000", 250000}, {"0x1C200", 115200}, {"0X10", 16}, {"fast", 9600}, {"", 9600}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Value);
        Port->SetCustomBaudRate(1234);
        Put(std::string("[ComPort1]\nBaudRate=custom\nCustomBaudRate=") + C.Value + "\n");
        Load();
        EXPECT_EQ(Port->BaudRate(), TBaudRate::BrCustom);
        EXPECT_EQ(Port->CustomBaudRate(), C.Expected);
    }
    // A file that says Custom and names no rate means 9600, whatever custom rate was in use.
    Port->SetCustomBaudRate(31250);
    Put("[ComPort1]\nBaudRate=Custom\n");
    Load();
    EXPECT_EQ(Port->BaudRate(), TBaudRate::BrCustom);
    EXPECT_EQ(Port->CustomBaudRate(), 9600);
    // A file that names no rate at all changes neither the rate nor the custom rate in use.
    Port->SetCustomBaudRate(31250);
    Put("[ComPort1]\nParity=None\n");
    Load();
    EXPECT_EQ(Port->BaudRate(), TBaudRate::BrCustom);
    EXPECT_EQ(Port->CustomBaudRate(), 31250);
    // The custom rate is read only for the custom setting.
    Put("[ComPort1]\nBaudRate=4800\nCustomBaudRate=777\n");
    Load();
    EXPECT_EQ(Port->BaudRate(), TBaudRate::Br4800);
    EXPECT_EQ(Port->CustomBaudRate(), 31250);
    Store();
    EXPECT_EQ(Get().find("CustomBaudRate=31250"), std::string::npos);  // not written for 4800
    EXPECT_TRUE(Reports.empty());
}

TEST_F(SettingsFileTest, StoreLeavesEverythingElseAlone) {
    Put("; written by hand\n"
        "[Window]\nLeft=10\nPort=ttyS9\n\n"
        "[ComPort1]\n; my adapter\nPort=ttyS0\nExtra=keep me\nParity=Odd\n\n"
        "[Other]\nBaudRate=300\n");
    Port->SetPort("ttyUSB0");
    Port->SetBaudRate(TBaudRate::Br19200);
    Store();
    EXPECT_EQ(Get(),
              "; written by hand\n"
              "[Window]\nLeft=10\nPort=ttyS9\n\n"
              "[ComPort1]\n; my adapter\nPort=ttyUSB0\nExtra=keep me\nParity=None\n"
              "BaudRate=19200\nStopBits=1\nDataBits=8\nFlowControl=None\n\n"
              "[Other]\nBaudRate=300\n");
    EXPECT_TRUE(Reports.empty());
}

TEST_F(SettingsFileTest, UnwritableFolderReportsStoreFailureOnce) {
    // The parent is a regular file: fails for root as well.
    std::ofstream(Dir / "file") << "x";
    const std::string Bad = (Dir / "file" / "ComSetting.ini").string();
    Port->StoreSettings(TStoreType::StIniFile, Bad);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_StoreFailed);
    EXPECT_EQ(Reports[0].Message, "Failed to store settings");
    EXPECT_EQ(Reports[0].WinError, 0);
    EXPECT_EQ(Reports[0].WinMessage, "");

    // A port name that would break the file's lines is refused the same way, file unchanged.
    Put(kExample);
    Port->SetPort("COM1\n[ComPort1]\nPort=evil");
    Store();
    EXPECT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Get(), kExample);

    // Without a handler the failure is raised.
    Port->OnException = nullptr;
    try {
        Port->StoreSettings(TStoreType::StIniFile, Bad);
        FAIL() << "no exception";
    } catch (const EComPort& E) {
        EXPECT_EQ(E.Code(), 16);
        EXPECT_EQ(E.WinCode(), -1);
        EXPECT_EQ(std::string(E.what()), "Failed to store settings");
    }
}

TEST_F(SettingsFileTest, MissingFileChangesNothingAndReportsNothing) {
    SetUnusual();
    Port->SetBaudRate(TBaudRate::BrCustom);
    Port->SetCustomBaudRate(31250);
    const TSnapshot Before = Snap(*Port);
    for (const std::string& Where :
         {Path, (Dir / "no" / "such" / "dir.ini").string(), Dir.string()}) {
        SCOPED_TRACE(Where);
        Port->LoadSettings(TStoreType::StIniFile, Where);
        EXPECT_EQ(Snap(*Port), Before);
    }
    EXPECT_TRUE(Reports.empty());
    EXPECT_FALSE(fs::exists(Path));
}

TEST_F(SettingsFileTest, NoRegistryOnThisPlatform) {
    Port->StoreSettings(TStoreType::StRegistry, Path);
    Port->LoadSettings(TStoreType::StRegistry, Path);
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_StoreFailed);
    EXPECT_EQ(Reports[1].Kind, TComExceptions::CE_LoadFailed);
    EXPECT_EQ(Reports[1].Message, "Failed to load settings");
    EXPECT_FALSE(fs::exists(Path));
}

TEST_F(SettingsFileTest, LoadIntoAnOpenPortAppliesOnceAtTheEnd) {
    Port->SetEvents({});  // no event thread needed here
    Port->Open();
    ASSERT_TRUE(Port->Connected());
    Platform->ClearCalls();
    Put("[ComPort1]\nPort=COM1\nBaudRate=38400\nStopBits=2\nDataBits=7\nParity=Even\n"
        "FlowControl=Hardware\n");
    Load();
    const auto Calls = Platform->Calls();
    auto Count = [&](std::string_view Op) {
        return std::count_if(Calls.begin(), Calls.end(),
                             [&](const std::string& C) { return C.starts_with(Op); });
    };
    EXPECT_EQ(Count("SetState"), 1);
    EXPECT_EQ(Count("SetTimeouts"), 1);
    EXPECT_EQ(Count("SetupQueues"), 1);
    const TComControlBlock Block = Platform->LastState();
    EXPECT_EQ(Block.BaudRate, 38400);
    EXPECT_EQ(Block.StopBits, 2);
    EXPECT_EQ(Block.ByteSize, 7);
    EXPECT_EQ(Block.Parity, 2);
    EXPECT_TRUE(Block.OutxCtsFlow);
    EXPECT_EQ(Block.RtsControl, 2);
    EXPECT_TRUE(Reports.empty());
    Port->Close();
}

TEST_F(SettingsFileTest, FailureWhileLoadingIsReportedAsLoadFailure) {
    // The stored port cannot be opened in place of the open one; without a handler that raises
    // inside the load, which ends it and turns into the load failure.
    Port->SetEvents({});
    Port->Open();
    ASSERT_TRUE(Port->Connected());
    Port->OnException = nullptr;
    Platform->SetBusy("ttyBusy");
    Put("[ComPort1]\nPort=ttyBusy\nBaudRate=38400\n");
    try {
        Load();
        FAIL() << "no exception";
    } catch (const EComPort& E) {
        EXPECT_EQ(E.Code(), 17);
        EXPECT_EQ(std::string(E.what()), "Failed to load settings");
    }
    EXPECT_EQ(Port->BaudRate(), TBaudRate::Br9600);  // keys after the failure were not read
}

}  // namespace
