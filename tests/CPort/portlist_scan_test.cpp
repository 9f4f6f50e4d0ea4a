// The port list over fake sysfs and device trees, its order, and the device check for ports the
// scan cannot see.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PortList.h"

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class PortListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string Tmpl = (fs::temp_directory_path() / "portlist_test_XXXXXX").string();
        ASSERT_NE(::mkdtemp(Tmpl.data()), nullptr);
        Root = Tmpl;
        Roots.Sys = (Root / "sys").string();
        Roots.Dev = (Root / "dev").string();
        fs::create_directories(Root / "sys" / "class" / "tty");
        fs::create_directories(Root / "dev" / "pts");
    }
    void TearDown() override { fs::remove_all(Root); }

    static void Write(const fs::path& File, const std::string& Text) {
        fs::create_directories(File.parent_path());
        std::ofstream(File) << Text;
    }
    // A tty as sysfs shows it. Type "" means the driver publishes no UART type (USB, ACM);
    // WithNode creates its node in the device folder.
    void AddTty(const std::string& Name, const std::string& Type, bool WithDevice = true,
                bool WithNode = true) const {
        const fs::path Dir = Root / "sys" / "class" / "tty" / Name;
        Write(Dir / "uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + Name + "\n");
        if (WithDevice) fs::create_directories(Root / "sys" / "devices" / Name);
        if (WithDevice)
            fs::create_directory_symlink(Root / "sys" / "devices" / Name, Dir / "device");
        if (!Type.empty()) Write(Dir / "type", Type + "\n");
        if (WithNode) Write(Root / "dev" / Name, "");
    }
    void AddLink(const std::string& Name, const std::string& Target) const {
        fs::create_symlink(Target, Root / "dev" / Name);
    }
    Names List() const {
        Names Ports{"stale entry"};
        ListSerialPorts(Ports, Roots);
        return Ports;
    }

    fs::path Root;
    TPortScanRoots Roots;
};

TEST_F(PortListTest, FindsRealUsbAndVirtualPortsButNoPhantoms) {
    AddTty("ttyS0", "4");  // 16550A behind it
    AddTty("ttyS1", "0");  // legacy slot, no UART: left out
    AddTty("ttyS31", "0");
    AddTty("ttyUSB0", "");                     // USB adapter, no type published
    AddTty("ttyACM0", "");                     // USB modem class
    AddTty("ttyAMA0", "17");                   // another serial-core driver
    AddTty("tty0", "", /*WithDevice=*/false);  // virtual terminal
    AddTty("console", "", false, false);
    AddTty("ttyS2", "4", true, /*WithNode=*/false);  // no node: cannot be opened
    // A node in a subfolder: sysfs writes '!' for '/', and no uevent names it here.
    fs::create_directories(Root / "sys" / "class" / "tty" / "usb!ttyX" / "device");
    Write(Root / "dev" / "usb" / "ttyX", "");
    Write(Root / "dev" / "pts" / "3", "");
    Write(Root / "dev" / "pts" / "ptmx", "");
    Write(Root / "dev" / "null", "");
    AddLink("ttyV0", "/dev/pts/3");    // as socat makes them (absolute)
    AddLink("ttyV1", "pts/3");         // relative; two links to one pseudo-terminal
    AddLink("ttyV2", "ttyV0");         // a link to such a link
    AddLink("ttyGone", "/dev/pts/9");  // the pseudo-terminal has closed
    AddLink("ttyNull", "/dev/null");
    AddLink("ptmx", "pts/ptmx");
    AddLink("console", "pts/3");
    AddLink("stdin", "/proc/self/fd/0");
    EXPECT_EQ(List(), (Names{"ttyACM0", "ttyAMA0", "ttyS0", "ttyUSB0", "ttyV0", "ttyV1", "ttyV2",
                             "usb/ttyX"}));
}

TEST_F(PortListTest, SortsCaseInsensitivelyAndKeepsDuplicates) {
    for (const char* Name : {"ttyS2", "ttyS10", "ttyS1"})
        AddTty(Name, "4");
    EXPECT_EQ(List(), (Names{"ttyS1", "ttyS10", "ttyS2"}));

    struct Case {
        Names In, Out;
    } Cases[] = {
        {{"COM2", "COM10", "COM1"}, {"COM1", "COM10", "COM2"}},
        {{"b", "A", "a", "B"}, {"A", "a", "B", "b"}},  // letter case sorts together
        {{"ttyV0", "ttyUSB0", "ttyV0"}, {"ttyUSB0", "ttyV0", "ttyV0"}},
        {{"/home/u/vport", "ttyS0"}, {"/home/u/vport", "ttyS0"}},
        {{}, {}},
    };
    for (auto& C : Cases) {
        SortPortNames(C.In);
        EXPECT_EQ(C.In, C.Out);
    }
}

TEST_F(PortListTest, StandardStreamLinksAreNoPorts) {
    // Started from a terminal, /dev/stdin leads through /proc/self/fd/0 to that terminal's
    // pseudo-terminal: it is the program's own terminal, no port.
    int Master = -1, Slave = -1;
    char Pts[128] = {};
    ASSERT_EQ(::openpty(&Master, &Slave, Pts, nullptr, nullptr), 0);
    const std::string PtsName = fs::path(Pts).filename().string();
    Write(Root / "dev" / "pts" / PtsName, "");
    AddLink("stdin", "/proc/self/fd/" + std::to_string(Slave));
    AddLink("fd", "/proc/self/fd");
    AddLink("ttyV0", "pts/" + PtsName);  // a virtual port on the same terminal is one
    EXPECT_EQ(List(), Names{"ttyV0"});
    ::close(Master);
    ::close(Slave);
}

TEST_F(PortListTest, EmptyTreeGivesEmptyListUnreadableTreeLeavesTheList) {
    EXPECT_EQ(List(), Names{});
    Names Ports{"stale entry"};
    EXPECT_TRUE(ListSerialPorts(Ports, Roots));
    EXPECT_EQ(Ports, Names{});

    // A tree that cannot be read tells nothing about the ports: the list stays as it was.
    Write(Root / "file", "");
    const struct Case {
        const char* What;
        fs::path Sys, Dev;
    } Cases[] = {
        {"no sysfs", Root / "no-sys", Root / "dev"},
        {"no device folder", Root / "sys", Root / "no-dev"},
        {"neither", Root / "no-sys", Root / "no-dev"},
        {"sysfs tty folder is a file", Root / "file-sys", Root / "dev"},
        {"device folder is a file", Root / "sys", Root / "file"},
    };
    Write(Root / "file-sys" / "class" / "tty", "");
    AddTty("ttyUSB0", "");
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.What);
        TPortScanRoots R{C.Sys.string(), C.Dev.string()};
        Names Kept{"ttyS0", "ttyUSB7"};
        EXPECT_FALSE(ListSerialPorts(Kept, R));
        EXPECT_EQ(Kept, (Names{"ttyS0", "ttyUSB7"}));
    }
    EXPECT_EQ(List(), Names{"ttyUSB0"});
}

TEST_F(PortListTest, StableNamesOfUsbAdaptersAsFullPaths) {
    AddTty("ttyUSB0", "");
    AddTty("ttyUSB1", "");
    AddTty("ttyACM0", "");
    const fs::path ById = Root / "dev" / "serial" / "by-id";
    EXPECT_EQ(ListStablePortNames(Roots), Names{});  // no adapter ever plugged in: no folder
    fs::create_directories(ById);
    fs::create_symlink("../../ttyUSB1", ById / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    fs::create_symlink("../../ttyUSB0", ById / "usb-1a86_USB_Serial-if00-port0");
    fs::create_symlink("/dev/ttyACM0", ById / "usb-Arduino_Uno_85735313-if00");  // absolute
    fs::create_symlink("../../ttyUSB9", ById / "usb-Gone-if00-port0");           // unplugged
    fs::create_symlink("../../pts", ById / "usb-Folder-if00");
    Write(ById / "not-a-link", "");
    const std::string P = ById.string() + "/";
    EXPECT_EQ(ListStablePortNames(Roots),
              (Names{P + "usb-1a86_USB_Serial-if00-port0", P + "usb-Arduino_Uno_85735313-if00",
                     P + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"}));
    // The kernel names stay as they were; the stable names are a list of their own.
    EXPECT_EQ(List(), (Names{"ttyACM0", "ttyUSB0", "ttyUSB1"}));
}

TEST_F(PortListTest, DefaultRootsAreUsedAndCanBeChanged) {
    AddTty("ttyUSB3", "");
    const TPortScanRoots Saved = DefaultPortScanRoots();
    EXPECT_EQ(Saved.Sys, "/sys");
    EXPECT_EQ(Saved.Dev, "/dev");
    SetDefaultPortScanRoots(Roots);
    Names Ports;
    ListSerialPorts(Ports);
    SetDefaultPortScanRoots(Saved);
    EXPECT_EQ(Ports, Names{"ttyUSB3"});
}

TEST_F(PortListTest, DeviceCheckAcceptsCharacterDevicesAndLinksToThem) {
    int Master = -1, Slave = -1;
    char PtsName[128] = {};
    ASSERT_EQ(::openpty(&Master, &Slave, PtsName, nullptr, nullptr), 0);
    const fs::path UserLink = Root / "vport";  // made without root rights, outside /dev
    fs::create_symlink(PtsName, UserLink);
    fs::create_symlink(PtsName, Root / "dev" / "ttyV5");
    Write(Root / "dev" / "plain", "");
    fs::create_symlink(Root / "missing", Root / "dangling");

    struct Case {
        std::string Port;
        bool Present;
    } Cases[] = {
        {UserLink.string(), true},
        {PtsName, true},
        {"ttyV5", true},  // bare names live in the device folder
        {"plain", false},
        {(Root / "dev" / "plain").string(), false},
        {(Root / "dangling").string(), false},
        {Root.string(), false},
        {"", false},
        {"nothing", false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Port);
        EXPECT_EQ(PortDeviceExists(C.Port, Roots), C.Present);
    }
    EXPECT_EQ(PortDevicePath("ttyS0", Roots), (Root / "dev" / "ttyS0").string());
    EXPECT_EQ(PortDevicePath("/x/y", Roots), "/x/y");
    EXPECT_EQ(PortDevicePath("pts/3", Roots), (Root / "dev" / "pts" / "3").string());
    ::close(Master);
    ::close(Slave);
}

}  // namespace
