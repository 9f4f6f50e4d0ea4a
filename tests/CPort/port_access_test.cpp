// Why a port did not open: the cause from the error the serial component reports, and the device
// node as the user meets it (there or not, a terminal or not, whose, may this session use it).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "CPort.h"
#include "PortAccess.h"

namespace fs = std::filesystem;

namespace {

class PortAccessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string Tmpl = (fs::temp_directory_path() / "port_access_XXXXXX").string();
        ASSERT_NE(::mkdtemp(Tmpl.data()), nullptr);
        Root = Tmpl;
        Roots.Dev = (Root / "dev").string();
        Roots.Sys = (Root / "sys").string();
        fs::create_directories(Root / "dev");
        ASSERT_EQ(::openpty(&Master, &Slave, Pts, nullptr, nullptr), 0);
    }
    void TearDown() override {
        ::close(Master);
        ::close(Slave);
        fs::remove_all(Root);
    }

    // The open as the serial component reports it: code 1 with the error number.
    static int OpenError(const std::string& Port) {
        TComPort P("ComPort1");
        P.SetEvents({});
        int Error = 0;
        P.OnException = [&](TCustomComPort&, TComExceptions Kind, const std::string&,
                            std::int64_t WinError, const std::string&) {
            if (Kind == TComExceptions::CE_OpenFailed) Error = static_cast<int>(WinError);
        };
        P.SetPort(Port);
        P.Open();
        const bool Opened = P.Connected();
        P.Close();
        return Opened ? 0 : Error;
    }

    fs::path Root;
    TPortScanRoots Roots;
    int Master = -1, Slave = -1;
    char Pts[128] = {};
};

TEST_F(PortAccessTest, CauseFromTheErrorNumber) {
    const struct Case {
        int Error;
        TOpenFailure Cause;
    } Cases[] = {
        {EBUSY, TOpenFailure::InUse},         {0, TOpenFailure::InUse},
        {EACCES, TOpenFailure::NoPermission}, {EPERM, TOpenFailure::NoPermission},
        {ENOENT, TOpenFailure::Gone},         {ENODEV, TOpenFailure::Gone},
        {ENXIO, TOpenFailure::Gone},          {ENOTTY, TOpenFailure::NotSerial},
        {EIO, TOpenFailure::Other},           {EINVAL, TOpenFailure::Other},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Error);
        EXPECT_EQ(ClassifyOpenFailure(C.Error), C.Cause);
    }
}

TEST_F(PortAccessTest, RealOpenFailuresGiveTheirCause) {
    // What the serial component reports for a port held by this component elsewhere, a name with
    // no device, and a file that is no terminal.
    TComPort Holder("ComPort1");
    Holder.SetEvents({});
    Holder.SetPort(Pts);
    Holder.Open();
    ASSERT_TRUE(Holder.Connected());
    EXPECT_EQ(ClassifyOpenFailure(OpenError(Pts)), TOpenFailure::InUse);
    Holder.Close();
    EXPECT_EQ(OpenError(Pts), 0);

    std::ofstream(Root / "plain") << "";
    EXPECT_EQ(ClassifyOpenFailure(OpenError((Root / "missing").string())), TOpenFailure::Gone);
    EXPECT_EQ(ClassifyOpenFailure(OpenError((Root / "plain").string())), TOpenFailure::NotSerial);
}

TEST_F(PortAccessTest, DeviceNodeAsTheUserMeetsIt) {
    ASSERT_EQ(::chmod(Pts, 0660), 0);
    struct stat St {};
    ASSERT_EQ(::stat(Pts, &St), 0);
    fs::create_symlink(Pts, Root / "dev" / "ttyV0");                 // a bare name below Dev
    fs::create_symlink(Root / "dev" / "ttyV0", Root / "vport");      // a link to a link
    fs::create_symlink(Root / "nothing", Root / "dev" / "ttyGone");  // leads nowhere
    std::ofstream(Root / "dev" / "file") << "";

    TUserIdentity Outsider;
    Outsider.Uid = 4242;
    Outsider.PrimaryGid = 4242;
    Outsider.Name = "operator";
    Outsider.SessionGroups = {4242};
    TUserIdentity Member = Outsider;
    Member.SessionGroups.push_back(St.st_gid);
    TUserIdentity NotLoggedInAgain = Outsider;  // the account's group, not yet this session's
    NotLoggedInAgain.PrimaryGid = St.st_gid;

    for (const std::string& Port : {std::string("ttyV0"), (Root / "vport").string()}) {
        SCOPED_TRACE(Port);
        const TDeviceAccess A = InspectPortDevice(Port, Roots, Outsider);
        EXPECT_TRUE(A.Exists);
        EXPECT_TRUE(A.CharDevice);
        EXPECT_EQ(A.Node, std::string(Pts));
        EXPECT_EQ(A.Gid, St.st_gid);
        EXPECT_EQ(A.OwnerUid, St.st_uid);
        EXPECT_TRUE(A.GroupMayUse);
        EXPECT_FALSE(A.InGroupNow);
        EXPECT_FALSE(A.InGroupListed);
        EXPECT_EQ(ModeText(A.Mode), "crw-rw----");
        // The group's name from the group database, or its number when it has none.
        const group* Gr = ::getgrgid(St.st_gid);
        EXPECT_EQ(A.Group, Gr ? std::string(Gr->gr_name) : std::to_string(St.st_gid));
    }
    EXPECT_EQ(InspectPortDevice("ttyV0", Roots, Outsider).Path, (Root / "dev" / "ttyV0").string());
    EXPECT_TRUE(InspectPortDevice("ttyV0", Roots, Member).InGroupNow);
    const TDeviceAccess Pending = InspectPortDevice("ttyV0", Roots, NotLoggedInAgain);
    EXPECT_TRUE(Pending.InGroupListed);
    EXPECT_FALSE(Pending.InGroupNow);

    ASSERT_EQ(::chmod(Pts, 0620), 0);  // as a terminal is made: the group may only write
    EXPECT_FALSE(InspectPortDevice("ttyV0", Roots, Member).GroupMayUse);

    for (const char* Gone : {"ttyGone", "ttyNone", ""}) {
        SCOPED_TRACE(Gone);
        const TDeviceAccess A = InspectPortDevice(Gone, Roots, Outsider);
        EXPECT_FALSE(A.Exists);
        EXPECT_FALSE(A.CharDevice);
    }
    const TDeviceAccess File = InspectPortDevice("file", Roots, Outsider);
    EXPECT_TRUE(File.Exists);
    EXPECT_FALSE(File.CharDevice);
    EXPECT_EQ(ModeText(File.Mode).front(), '-');
}

TEST_F(PortAccessTest, ModeTexts) {
    const struct Case {
        mode_t Mode;
        const char* Text;
    } Cases[] = {
        {S_IFCHR | 0660, "crw-rw----"}, {S_IFCHR | 0600, "crw-------"},
        {S_IFCHR | 0666, "crw-rw-rw-"}, {S_IFREG | 0644, "-rw-r--r--"},
        {S_IFDIR | 0755, "drwxr-xr-x"}, {S_IFBLK | 0660, "brw-rw----"},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(ModeText(C.Mode), C.Text);
}

// A device the user may not use, met for real: a terminal of root's with mode 0600 opened by an
// ordinary user (the test drops to nobody in a child process when it runs as root; as an ordinary
// user it takes every permission from its own terminal instead).
TEST_F(PortAccessTest, DeviceWithoutPermissionAsAnOrdinaryUser) {
    const bool AsRoot = ::geteuid() == 0;
    ASSERT_EQ(::chmod(Pts, AsRoot ? 0600 : 0), 0);
    int Pipe[2];
    ASSERT_EQ(::pipe(Pipe), 0);
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        ::close(Pipe[0]);
        if (AsRoot &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        const int Error = OpenError(Pts);
        const TDeviceAccess A = InspectPortDevice(Pts, Roots, CurrentUser());
        const std::string Out = std::to_string(static_cast<int>(ClassifyOpenFailure(Error))) +
                                (A.Exists ? " exists" : " missing") +
                                (!AsRoot        ? ""
                                 : A.InGroupNow ? " member"
                                                : " outsider");
        const bool Ok =
            ::write(Pipe[1], Out.data(), Out.size()) == static_cast<ssize_t>(Out.size());
        ::_exit(Ok ? 0 : 3);
    }
    ::close(Pipe[1]);
    std::string Got;
    char Buf[256];
    for (ssize_t N; (N = ::read(Pipe[0], Buf, sizeof Buf)) > 0;)
        Got.append(Buf, static_cast<std::size_t>(N));
    ::close(Pipe[0]);
    int Status = 0;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    ASSERT_EQ(WEXITSTATUS(Status), 0);
    const std::string Expected = std::to_string(static_cast<int>(TOpenFailure::NoPermission)) +
                                 " exists" + (AsRoot ? " outsider" : "");
    EXPECT_EQ(Got, Expected);
}

}  // namespace
