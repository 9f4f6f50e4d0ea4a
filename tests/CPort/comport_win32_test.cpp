// The Win32 layer's own cases: open failures with the codes and texts of the POSIX layer, the
// claim on a port, the translation of system error codes, the port list from the registry. The
// cases that need a real line use the port under test of CPORT_TEST_LINE ("COM7,COM8").
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "CPort.h"
#include "PortList.h"
#include "TestSupport.h"
#include "Win32Errors.h"

namespace {

using testsupport::TReport;

std::string PortUnderTest() {
    const char* Pair = std::getenv("CPORT_TEST_LINE");
    const std::string Names = Pair ? Pair : "";
    return Names.substr(0, Names.find(','));
}

std::string LinuxText(int Error, const std::string& Text) {
    return "System Error.  Code: " + std::to_string(Error) + ".\r\n" + Text;
}

TEST(Win32Errors, SystemCodesBecomeTheErrnoValuesOfTheSameCause) {
    using win32errors::FromSystem;
    using win32errors::TWhere;
    struct Case {
        DWORD Code;
        TWhere Where;
        int Expected;
    };
    const Case Cases[] = {
        {ERROR_FILE_NOT_FOUND, TWhere::Open, ENOENT},
        {ERROR_PATH_NOT_FOUND, TWhere::Open, ENOENT},
        // Opened without sharing elsewhere; once open, the adapter was pulled out.
        {ERROR_ACCESS_DENIED, TWhere::Open, EBUSY},
        {ERROR_ACCESS_DENIED, TWhere::Transfer, ENODEV},
        {ERROR_BAD_COMMAND, TWhere::Transfer, ENODEV},
        {ERROR_DEVICE_REMOVED, TWhere::Transfer, ENODEV},
        {ERROR_GEN_FAILURE, TWhere::Transfer, EIO},
        {ERROR_INVALID_PARAMETER, TWhere::Transfer, EINVAL},
        {ERROR_NOT_SUPPORTED, TWhere::Transfer, ENOTTY},
        {ERROR_INVALID_HANDLE, TWhere::Transfer, EBADF},
        {ERROR_SUCCESS, TWhere::Transfer, 0},
        // No counterpart: the system's code passes, above every errno value.
        {ERROR_CANCELLED, TWhere::Transfer, kWin32ErrorBase + ERROR_CANCELLED},
    };
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.Code);
        EXPECT_EQ(FromSystem(c.Code, c.Where), c.Expected);
    }
    // The ones that mean the device has gone are a hang-up for the component.
    EXPECT_TRUE(DeviceGone(FromSystem(ERROR_ACCESS_DENIED, TWhere::Transfer)));
    EXPECT_TRUE(DeviceGone(FromSystem(ERROR_GEN_FAILURE, TWhere::Transfer)));
    EXPECT_FALSE(DeviceGone(FromSystem(ERROR_INVALID_PARAMETER, TWhere::Transfer)));
}

TEST(Win32Errors, TextsAreThoseOfLinuxAndSystemCodesAreNamed) {
    const auto Platform = Win32ComPlatform();
    EXPECT_EQ(Platform->ErrorText(EBUSY), "Device or resource busy");
    EXPECT_EQ(Platform->ErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(Platform->ErrorText(ENODEV), "No such device");
    EXPECT_EQ(Platform->ErrorText(EINVAL), "Invalid argument");
    const std::string Other = Platform->ErrorText(kWin32ErrorBase + ERROR_CANCELLED);
    EXPECT_EQ(Other.rfind("Windows error 1223", 0), 0u) << Other;
}

class Win32PortTest : public ::testing::Test {
  protected:
    testsupport::TReportRecorder Recorder;
    std::vector<TReport>& Reports = Recorder.Reports;
    TComPort Port{"ComPort1"};  // the system's platform

    void SetUp() override {
        Port.SetTriggersOnRxChar(false);
        Port.SetSyncMethod(TSyncMethod::SmWindowSync);
        Recorder.Bind(Port);
    }
    void TearDown() override { Port.Close(); }
};

TEST_F(Win32PortTest, TheSystemPlatformIsTheDefault) {
    EXPECT_EQ(Port.Platform(), Win32ComPlatform());
    EXPECT_EQ(SystemComPlatform(), Win32ComPlatform());
}

TEST_F(Win32PortTest, MissingPortOrAFileFailsWithCode1AndTheLinuxTexts) {
    Port.SetPort("COM199");
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_OpenFailed);
    EXPECT_EQ(Reports[0].Message, "Unable to open com port");
    EXPECT_EQ(Reports[0].WinError, ENOENT);
    EXPECT_EQ(Reports[0].WinMessage, LinuxText(ENOENT, "No such file or directory"));
    EXPECT_FALSE(Port.Connected());

    // An ordinary file opens, but is no communications device.
    testsupport::TTempDir Dir("win32port");
    const auto Plain = Dir.File("not_a_port.txt");
    std::ofstream(Plain) << "x";
    Reports.clear();
    Port.SetPort("\\\\?\\" + Plain.string());
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].WinError, ENOTTY);
    EXPECT_FALSE(Port.Connected());

    Reports.clear();
    Port.SetPort("");
    Port.Open();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].WinError, ENOENT);
}

// Without a handler the failure is an exception with the code and the system's number.
TEST_F(Win32PortTest, WithoutAHandlerAnOpenFailureRaisesEComPort) {
    TComPort Bare("Bare");
    Bare.SetPort("COM199");
    try {
        Bare.Open();
        FAIL() << "no exception";
    } catch (const EComPort& E) {
        EXPECT_EQ(E.Code(), 1);
        EXPECT_EQ(E.WinCode(), ENOENT);
        EXPECT_EQ(std::string(E.what()), "Unable to open com port (Error: 2)");
    }
}

TEST_F(Win32PortTest, AnOpenPortIsBusyForASecondComponentUntilClosed) {
    const std::string Name = PortUnderTest();
    ASSERT_FALSE(Name.empty()) << "set CPORT_TEST_LINE=\"COM7,COM8\"";
    Port.SetPort(Name);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    EXPECT_TRUE(Reports.empty());

    TComPort Second("Second");
    Second.SetPort(Name);
    testsupport::TReportRecorder SecondRecorder;
    SecondRecorder.Bind(Second);
    Second.Open();
    ASSERT_EQ(SecondRecorder.Reports.size(), 1u);
    EXPECT_EQ(SecondRecorder.Reports[0].Kind, TComExceptions::CE_OpenFailed);
    EXPECT_EQ(SecondRecorder.Reports[0].WinError, EBUSY);
    EXPECT_EQ(SecondRecorder.Reports[0].WinMessage, LinuxText(EBUSY, "Device or resource busy"));
    EXPECT_FALSE(Second.Connected());

    // Letter case does not make it another port.
    std::string Lower = Name;
    std::transform(Lower.begin(), Lower.end(), Lower.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    SecondRecorder.Reports.clear();
    Second.SetPort(Lower);
    Second.Open();
    ASSERT_EQ(SecondRecorder.Reports.size(), 1u);
    EXPECT_EQ(SecondRecorder.Reports[0].WinError, EBUSY);

    Port.Close();
    SecondRecorder.Reports.clear();
    Second.SetPort(Name);
    Second.Open();
    EXPECT_TRUE(Second.Connected());
    EXPECT_TRUE(SecondRecorder.Reports.empty());
    Second.Close();
}

// Settings a port keeps are read back; a rate the driver does not keep would be refused.
TEST_F(Win32PortTest, SettingsAreAppliedAndChangedWhileOpen) {
    const std::string Name = PortUnderTest();
    ASSERT_FALSE(Name.empty()) << "set CPORT_TEST_LINE=\"COM7,COM8\"";
    Port.SetPort(Name);
    Port.SetBaudRate(TBaudRate::Br19200);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    Port.SetBaudRate(TBaudRate::Br115200);
    Port.SetStopBits(TStopBits::SbTwoStopBits);
    Port.FlowControl().SetFlowControl(TFlowControl::FcSoftware);
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Reports.empty());
}

// The far end goes while the port is open (the line vanishes, as an adapter pulled out does): one
// read failure with the system's cause, as on Linux; the port then stays quiet until closed.
// Needs a line that vanishes a few seconds after the test starts (CPORT_TEST_VANISHING=COM9, the
// simulator with --vanish-after); left out otherwise.
TEST_F(Win32PortTest, VanishingLineIsReportedOnceAsAReadFailure) {
    const char* Name = std::getenv("CPORT_TEST_VANISHING");
    if (!Name) GTEST_SKIP() << "needs a line that vanishes: CPORT_TEST_VANISHING=COM9";
    Port.SetPort(Name);
    Port.Open();
    ASSERT_TRUE(Port.Connected());
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Reports.empty() && std::chrono::steady_clock::now() < Deadline)
        Port.PumpHandOver(std::chrono::milliseconds(20));
    ASSERT_EQ(Reports.size(), 1u) << "no hang-up seen";
    EXPECT_EQ(Reports[0].Kind, TComExceptions::CE_ReadFailed);
    EXPECT_GT(Reports[0].WinError, 0);
    EXPECT_TRUE(DeviceGone(static_cast<int>(Reports[0].WinError))) << Reports[0].WinMessage;
    // Nothing more while it is left open.
    const auto Quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < Quiet)
        Port.PumpHandOver(std::chrono::milliseconds(20));
    EXPECT_EQ(Reports.size(), 1u);
    EXPECT_TRUE(Port.Connected());
    Port.Close();
}

TEST(Win32PortList, TheRegistryListsThePortUnderTest) {
    const std::string Name = PortUnderTest();
    ASSERT_FALSE(Name.empty()) << "set CPORT_TEST_LINE=\"COM7,COM8\"";
    std::vector<std::string> Ports{"left over"};
    ASSERT_TRUE(ListSerialPorts(Ports));
    EXPECT_NE(std::find(Ports.begin(), Ports.end(), Name), Ports.end());
    EXPECT_TRUE(std::is_sorted(Ports.begin(), Ports.end(), PortNameLess));
    EXPECT_EQ(std::find(Ports.begin(), Ports.end(), "left over"), Ports.end());
    EXPECT_TRUE(PortDeviceExists(Name));
    EXPECT_FALSE(PortDeviceExists("COM199"));
}

}  // namespace
