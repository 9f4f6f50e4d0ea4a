// Where the settings file lives: beside the executable for portable use, the per-user folder for
// an installed program; the starting values from the file beside the executable until the per-user
// file exists.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "CPort.h"
#include "SettingsLocation.h"

namespace fs = std::filesystem;

namespace {

class SettingsLocationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string Tmpl = (fs::temp_directory_path() / "settings_location_XXXXXX").string();
        ASSERT_NE(::mkdtemp(Tmpl.data()), nullptr);
        Root = Tmpl;
        fs::create_directories(Root / "app");
        fs::create_directories(Root / "home");
    }
    void TearDown() override {
        std::error_code Ec;
        fs::permissions(Root / "app", fs::perms::owner_all, Ec);
        fs::remove_all(Root, Ec);
    }

    // The environment of a user whose home is Root/home; paths in ReadOnly refuse writing.
    TSettingsEnvironment Env() const {
        TSettingsEnvironment E;
        E.ExeDir = (Root / "app").string();
        E.Home = (Root / "home").string();
        E.Access = [this](const std::string& Path, int Mode) {
            if ((Mode & W_OK) && ReadOnly.count(fs::path(Path).lexically_normal().string()))
                return false;
            return ::access(Path.c_str(), Mode) == 0;
        };
        return E;
    }
    std::string Beside() const { return (Root / "app" / "ComSetting.ini").string(); }
    std::string PerUser() const {
        return (Root / "home" / ".config" / "AirConTool" / "ComSetting.ini").string();
    }
    static void Touch(const fs::path& File) {
        fs::create_directories(File.parent_path());
        std::ofstream(File) << "[ComPort1]\nPort=ttyUSB0\n";
    }

    fs::path Root;
    std::set<std::string> ReadOnly;
};

TEST_F(SettingsLocationTest, PortableOnlyWhereTheFileCanBeReplacedAtomically) {
    const std::string App = (Root / "app").string();
    const struct Case {
        const char* What;
        bool FolderWritable, FileThere, FileWritable, PerUserThere;
        bool Portable;
        bool LoadBeside;  // the starting values come from the file beside the executable
    } Cases[] = {
        {"writable folder, no file", true, false, false, false, true, true},
        {"writable folder and file", true, true, true, false, true, true},
        {"read-only file in a writable folder", true, true, false, false, false, true},
        {"read-only folder, no file", false, false, false, false, false, false},
        {"writable file in a read-only folder", false, true, true, false, false, true},
        {"per-user file exists and wins", false, true, true, true, false, false},
        {"per-user file exists, nothing beside", false, false, false, true, false, false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.What);
        fs::remove(Beside());
        fs::remove_all(Root / "home" / ".config");
        ReadOnly.clear();
        if (!C.FolderWritable) ReadOnly.insert(App);
        if (C.FileThere) Touch(Beside());
        if (C.FileThere && !C.FileWritable) ReadOnly.insert(Beside());
        if (C.PerUserThere) Touch(PerUser());

        const TSettingsLocation L = ChooseSettingsLocation(Env());
        EXPECT_EQ(L.Portable, C.Portable);
        EXPECT_EQ(L.StorePath, C.Portable ? Beside() : PerUser());
        EXPECT_EQ(L.LoadPath, C.LoadBeside ? Beside() : (C.Portable ? Beside() : PerUser()));
        // Looking changes nothing.
        EXPECT_EQ(fs::exists(Root / "home" / ".config"), C.PerUserThere);
    }
}

TEST_F(SettingsLocationTest, LinkBesideTheExecutableIsWrittenThroughItsTarget) {
    // The program folder is read-only but its settings file is a link into a writable folder:
    // the store replaces the link's target, so portable use works.
    ReadOnly.insert((Root / "app").string());
    Touch(Root / "shared" / "ComSetting.ini");
    fs::create_symlink(Root / "shared" / "ComSetting.ini", Beside());
    TSettingsLocation L = ChooseSettingsLocation(Env());
    EXPECT_TRUE(L.Portable);
    EXPECT_EQ(L.StorePath, Beside());
    ReadOnly.insert((Root / "shared").string());
    L = ChooseSettingsLocation(Env());
    EXPECT_FALSE(L.Portable);
    EXPECT_EQ(L.LoadPath, Beside());
}

TEST_F(SettingsLocationTest, ConfigFolderFromTheEnvironment) {
    const std::string Xdg = (Root / "xdg").string();
    const std::string Home = (Root / "home").string();
    const struct Case {
        std::string XdgConfigHome, Home, ConfigHome;
    } Cases[] = {
        {"", Home, Home + "/.config"},
        {Xdg, Home, Xdg},
        {"relative/xdg", Home, Home + "/.config"},  // not absolute: ignored
        {Xdg, "", Xdg},
        {"", "", ""},
        {"", "relative", ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.XdgConfigHome + " | " + C.Home);
        TSettingsEnvironment E = Env();
        E.XdgConfigHome = C.XdgConfigHome;
        E.Home = C.Home;
        EXPECT_EQ(UserConfigHome(E), C.ConfigHome);
        ReadOnly = {(Root / "app").string()};
        const TSettingsLocation L = ChooseSettingsLocation(E);
        if (C.ConfigHome.empty()) {
            // Nowhere else to go: the file beside the executable, whose store then fails loudly.
            EXPECT_TRUE(L.Portable);
            EXPECT_EQ(L.StorePath, Beside());
        } else {
            EXPECT_FALSE(L.Portable);
            EXPECT_EQ(L.StorePath, C.ConfigHome + "/AirConTool/ComSetting.ini");
        }
    }
}

TEST_F(SettingsLocationTest, SystemProgramFoldersAreNeverTheStore) {
    const struct Case {
        const char* Dir;
        bool System;
    } Cases[] = {
        {"/usr/bin", true},     {"/usr/bin/", true},
        {"/bin", true},         {"/usr/local/bin", true},
        {"/usr//bin", true},    {"/usr/games", true},
        {"/usr/bin/x", false},  {"/opt/aircon/bin", false},
        {"/home/u/bin", false}, {"", false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Dir);
        EXPECT_EQ(IsSystemProgramFolder(C.Dir), C.System);
    }
    // Root may write /usr/bin, but an installed program keeps its settings per user.
    TSettingsEnvironment E = Env();
    E.ExeDir = "/usr/bin";
    E.Access = [](const std::string&, int) { return true; };
    const TSettingsLocation L = ChooseSettingsLocation(E);
    EXPECT_FALSE(L.Portable);
    EXPECT_EQ(L.StorePath, PerUser());
}

TEST_F(SettingsLocationTest, RunningProgramMakesItsPerUserFolder) {
    // The program's own decision reads the environment and makes the per-user folder, so that the
    // first store can create the file. /usr/bin makes it per user even when the test runs as root.
    const char* SavedXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string Saved = SavedXdg ? SavedXdg : "";
    const fs::path Xdg = Root / "xdg";
    ::setenv("XDG_CONFIG_HOME", Xdg.c_str(), 1);
    const TSettingsLocation L = SettingsLocationFor("/usr/bin");
    if (SavedXdg)
        ::setenv("XDG_CONFIG_HOME", Saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_FALSE(L.Portable);
    EXPECT_EQ(L.StorePath, (Xdg / "AirConTool" / "ComSetting.ini").string());
    for (const fs::path& Dir : {Xdg, Xdg / "AirConTool"}) {
        struct stat St {};
        ASSERT_EQ(::stat(Dir.c_str(), &St), 0) << Dir;
        EXPECT_TRUE(S_ISDIR(St.st_mode));
        EXPECT_EQ(St.st_mode & 0777, 0700u) << Dir;
    }
}

TEST_F(SettingsLocationTest, StartingValuesBesideTheExecutableUntilTheFirstStore) {
    std::ofstream(Beside()) << "[ComPort1]\nPort=ttyS3\nBaudRate=19200\n";
    // The per-user store of an installed program whose folder holds starting values.
    ReadOnly = {(Root / "app").string()};
    TSettingsLocation L = ChooseSettingsLocation(Env());
    ASSERT_EQ(L.LoadPath, Beside());
    fs::create_directories(fs::path(L.StorePath).parent_path());
    TComPort Port("ComPort1");
    Port.LoadSettings(TStoreType::StIniFile, L.LoadPath);
    EXPECT_EQ(Port.Port(), "ttyS3");
    EXPECT_EQ(Port.BaudRate(), TBaudRate::Br19200);
    Port.SetBaudRate(TBaudRate::Br38400);
    Port.StoreSettings(TStoreType::StIniFile, L.StorePath);
    L = ChooseSettingsLocation(Env());
    EXPECT_EQ(L.LoadPath, PerUser());
    TComPort Again("ComPort1");
    Again.LoadSettings(TStoreType::StIniFile, L.LoadPath);
    EXPECT_EQ(Again.Port(), "ttyS3");
    EXPECT_EQ(Again.BaudRate(), TBaudRate::Br38400);
    // The file beside the executable is left as it was.
    std::ifstream In(Beside());
    std::string Text((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    EXPECT_NE(Text.find("BaudRate=19200"), std::string::npos);
}

// The real permission check, as a user who is not root (a child process drops to nobody when the
// test runs as root): a folder of root's with mode 0755 is no store for that user.
TEST_F(SettingsLocationTest, RealAccessCheckAsAnOrdinaryUser) {
    fs::permissions(Root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(Root / "app", fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    const bool AsRoot = ::geteuid() == 0;
    if (!AsRoot) fs::permissions(Root / "app", fs::perms::owner_read | fs::perms::owner_exec);
    int Pipe[2];
    ASSERT_EQ(::pipe(Pipe), 0);
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        ::close(Pipe[0]);
        if (AsRoot &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        TSettingsEnvironment E;
        E.ExeDir = (Root / "app").string();
        E.Home = (Root / "home").string();
        const TSettingsLocation L = ChooseSettingsLocation(E);
        const std::string Out = (L.Portable ? "portable " : "per-user ") + L.StorePath;
        const bool Ok =
            ::write(Pipe[1], Out.data(), Out.size()) == static_cast<ssize_t>(Out.size());
        ::_exit(Ok ? 0 : 3);
    }
    ::close(Pipe[1]);
    std::string Got;
    char Buf[512];
    for (ssize_t N; (N = ::read(Pipe[0], Buf, sizeof Buf)) > 0;)
        Got.append(Buf, static_cast<std::size_t>(N));
    ::close(Pipe[0]);
    int Status = 0;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    ASSERT_EQ(WEXITSTATUS(Status), 0);
    EXPECT_EQ(Got, "per-user " + PerUser());
}

}  // namespace
