// The profile-file layer: reads, in-place writes, atomic replacement and failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "IniFile.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
  protected:
    // A test may take the folder's rights away: give them back before it is removed.
    void TearDown() override {
        std::error_code Ec;
        fs::permissions(Dir, fs::perms::owner_all, fs::perm_options::add, Ec);
    }
    void Put(const std::string& Content) const { std::ofstream(Path, std::ios::binary) << Content; }
    std::string Get() const {
        std::ifstream In(Path, std::ios::binary);
        std::stringstream S;
        S << In.rdbuf();
        return S.str();
    }
    std::size_t FilesInDir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(Dir), {}));
    }
    testsupport::TTempDir Temp{"ini_test"};
    fs::path Dir = Temp.Path();
    std::string Path = Temp.File("ComSetting.ini").string();
};

TEST_F(IniFileTest, ReadsStoredValuesAndDefaults) {
    Put("; Port=COMMENT\n"
        "[Other]\n"
        "Port=OTHER\n"
        "[comport1]\n"
        "  port =  ttyUSB0  \n"
        "Empty=\n"
        "Quoted=\"  spaced  \"\n"
        "Port=SECOND\n"
        "NoEquals\n"
        "[Last]\n");
    const TIniFile Ini(Path);
    struct Case {
        const char *Section, *Key, *Expected;
    } Cases[] = {
        {"ComPort1", "Port", "ttyUSB0"},  // case-insensitive names, blanks trimmed, first wins
        {"COMPORT1", "PORT", "ttyUSB0"},
        {"ComPort1", "Empty", ""},  // an existing empty value is returned, not the default
        {"ComPort1", "Quoted", "  spaced  "},
        {"ComPort1", "Missing", "dflt"},
        {"ComPort1", "NoEquals", "dflt"},
        {"Other", "Port", "OTHER"},
        {"Last", "Port", "dflt"},
        {"Absent", "Port", "dflt"},
        {"", "; Port", "dflt"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(std::string(C.Section) + "/" + C.Key);
        EXPECT_EQ(Ini.ReadString(C.Section, C.Key, "dflt"), C.Expected);
    }
    EXPECT_TRUE(Ini.ValueExists("comPORT1", "empty"));
    EXPECT_FALSE(Ini.ValueExists("ComPort1", "Missing"));
}

TEST_F(IniFileTest, MissingOrUnreadableFileGivesDefaults) {
    const TIniFile Missing((Dir / "nope.ini").string());
    EXPECT_EQ(Missing.ReadString("S", "K", "d"), "d");
    EXPECT_EQ(Missing.ReadInteger("S", "K", 42), 42);
    const TIniFile ADir(Dir.string());
    EXPECT_EQ(ADir.ReadString("S", "K", "d"), "d");
    EXPECT_FALSE(fs::exists(Dir / "nope.ini"));  // reading never creates the file
}

TEST_F(IniFileTest, ReadsCrLfFilesAndUtf8) {
    Put("\xEF\xBB\xBF[S]\r\nName=\xE7\xA9\xBA\xE8\xB0\x83\r\nK=v\r\n");
    const TIniFile Ini(Path);
    EXPECT_EQ(Ini.ReadString("S", "Name", ""), "\xE7\xA9\xBA\xE8\xB0\x83");
    EXPECT_EQ(Ini.ReadString("S", "K", ""), "v");
}

TEST_F(IniFileTest, ValuesAreCutAt2047CharactersOnACharacterBoundary) {
    const std::string Ascii(3000, 'a');
    std::string Wide;
    for (int I = 0; I < 2100; ++I)
        Wide += "\xE7\xA9\xBA";  // 3 bytes per character
    Put("[S]\nA=" + Ascii + "\nW=" + Wide + "\nE=" + std::string(2047, 'b') + "\n");
    const TIniFile Ini(Path);
    EXPECT_EQ(Ini.ReadString("S", "A", ""), std::string(2047, 'a'));
    EXPECT_EQ(Ini.ReadString("S", "W", ""), Wide.substr(0, 2047 * 3));
    EXPECT_EQ(Ini.ReadString("S", "E", ""), std::string(2047, 'b'));
}

TEST_F(IniFileTest, IntegerForms) {
    struct Case {
        const char* Text;
        bool Ok;
        std::int32_t Value;
    } Cases[] = {
        {"115200", true, 115200},
        {"  42 ", true, 42},
        {"-7", true, -7},
        {"+7", true, 7},
        {"0x1C200", true, 115200},
        {"0XfF", true, 255},
        {"0xFFFFFFFF", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"0x100000000", false, 0},
        {"0x", false, 0},
        {"", false, 0},
        {"12a", false, 0},
        {"$1F", false, 0},
        {"1.5", false, 0},
        {"-", false, 0},
        {"0x-1", false, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Text);
        std::int32_t V = 12345;
        EXPECT_EQ(IniTextToInt(C.Text, V), C.Ok);
        EXPECT_EQ(V, C.Ok ? C.Value : 12345);
    }
    Put("[S]\nA=0x10\nB=junk\n");
    const TIniFile Ini(Path);
    EXPECT_EQ(Ini.ReadInteger("S", "A", 9600), 16);
    EXPECT_EQ(Ini.ReadInteger("S", "B", 9600), 9600);
    EXPECT_EQ(Ini.ReadInteger("S", "C", 9600), 9600);
}

TEST_F(IniFileTest, WriteCreatesFileAndSection) {
    TIniFile Ini(Path);
    Ini.WriteString("ComPort1", "Port", "COM1");
    Ini.WriteInteger("ComPort1", "CustomBaudRate", 9600);
    EXPECT_EQ(Get(), "[ComPort1]\nPort=COM1\nCustomBaudRate=9600\n");
    Ini.WriteString("Second", "K", "");
    EXPECT_EQ(Get(), "[ComPort1]\nPort=COM1\nCustomBaudRate=9600\n\n[Second]\nK=\n");
    EXPECT_EQ(Ini.ReadString("Second", "K", "d"), "");
    EXPECT_EQ(FilesInDir(), 1u);  // no temporary file left behind
}

TEST_F(IniFileTest, WriteChangesOnlyItsOwnLine) {
    struct Case {
        const char* Name;
        std::string Before, Key, Value, After;
    } Cases[] = {
        {"replace in place, keeping the file's spelling and indent",
         "; head\n[A]\nx=1\n[comport1]\n  PORT = COM9\nBaudRate=9600\n\n[B]\ny=2\n", "Port", "COM1",
         "; head\n[A]\nx=1\n[comport1]\n  PORT=COM1\nBaudRate=9600\n\n[B]\ny=2\n"},
        {"append at the end of the section, before blank lines and the next section",
         "[ComPort1]\nPort=COM1\n; note\n\n[B]\ny=2\n", "StopBits", "1",
         "[ComPort1]\nPort=COM1\nStopBits=1\n; note\n\n[B]\ny=2\n"},
        {"CRLF file stays CRLF", "[B]\r\ny=2\r\n[ComPort1]\r\nPort=COM1\r\n", "Parity", "None",
         "[B]\r\ny=2\r\n[ComPort1]\r\nPort=COM1\r\nParity=None\r\n"},
        {"last line without newline", "[ComPort1]\nPort=COM1", "Parity", "None",
         "[ComPort1]\nPort=COM1\nParity=None\n"},
        {"new section after other content", "[B]\ny=2", "Port", "COM1",
         "[B]\ny=2\n\n[ComPort1]\nPort=COM1\n"},
        {"empty section gets the key right after its header", "[ComPort1]\n[B]\n", "Port", "x",
         "[ComPort1]\nPort=x\n[B]\n"},
        {"byte-order mark is kept", "\xEF\xBB\xBF[ComPort1]\nPort=a\n", "Port", "b",
         "\xEF\xBB\xBF[ComPort1]\nPort=b\n"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Put(C.Before);
        TIniFile(Path).WriteString("ComPort1", C.Key, C.Value);
        EXPECT_EQ(Get(), C.After);
    }
}

TEST_F(IniFileTest, WriteKeepsPermissionsAndFollowsLinks) {
    Put("[S]\nK=1\n");
    ::chmod(Path.c_str(), 0640);
    const auto Link = Dir / "link.ini";
    fs::create_symlink("ComSetting.ini", Link);
    TIniFile(Link.string()).WriteString("S", "K", "2");
    EXPECT_TRUE(fs::is_symlink(Link));
    EXPECT_EQ(Get(), "[S]\nK=2\n");
    struct stat St {};
    ASSERT_EQ(::stat(Path.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0640u);
}

TEST_F(IniFileTest, WriteFailuresThrowAndLeaveTheFileAlone) {
    // A parent that is a regular file fails for root too.
    Put("[S]\nK=1\n");
    const std::string Under = Path + "/x.ini";
    try {
        TIniFile(Under).WriteString("S", "K", "2");
        FAIL() << "no exception";
    } catch (const EIniFileError& E) {
        EXPECT_EQ(std::string(E.what()), "Unable to write to " + Under);
    }
    // A folder in place of the file is neither read as empty nor overwritten.
    const auto Sub = Dir / "sub";
    fs::create_directory(Sub);
    EXPECT_THROW(TIniFile(Sub.string()).WriteString("S", "K", "v"), EIniFileError);
    EXPECT_TRUE(fs::is_directory(Sub));
    // Texts that would break the line structure are refused, not written half-way.
    struct Case {
        const char *Section, *Key, *Value;
    } Bad[] = {
        {"S", "K", "a\n[Evil]\nx=1"},
        {"S", "K", "a\rb"},
        {"S", "K=", "v"},
        {"S]", "K", "v"},
        {"S", "", "v"},
        {"", "K", "v"},
        {"S", "[K", "v"},
        {"S", ";K", "v"},
        {"S", " K", "v"},
    };
    for (const auto& C : Bad) {
        SCOPED_TRACE(std::string(C.Section) + "/" + C.Key);
        EXPECT_THROW(TIniFile(Path).WriteString(C.Section, C.Key, C.Value), EIniFileError);
    }
    EXPECT_EQ(Get(), "[S]\nK=1\n");
    EXPECT_EQ(FilesInDir(), 2u);  // the file and sub/, no temporary leftovers
}

// Runs Write as an unprivileged user (root writes anywhere) and tells whether it threw
// EIniFileError (1), succeeded (0) or could not run (2).
int ExitCodeAsNobody(const std::function<void()>& Write) {
    auto Run = [&]() -> int {
        try {
            Write();
            return 0;
        } catch (const EIniFileError&) {
            return 1;
        }
    };
    if (::geteuid() != 0) return Run();
    const pid_t Child = ::fork();
    if (Child < 0) return 2;
    if (Child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        ::_exit(Run());
    }
    int Status = 0;
    if (::waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status)) return 2;
    return WEXITSTATUS(Status);
}

TEST_F(IniFileTest, ReadOnlyFolderOrFileRefusesTheWrite) {
    Put("[S]\nK=1\n");
    const auto ReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    const auto Traverse = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    // The folder may be read but not written; the file itself would take the write.
    fs::permissions(Dir, ReadOnly | Traverse);
    fs::permissions(
        Path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write | ReadOnly);
    EXPECT_EQ(ExitCodeAsNobody([&] { TIniFile(Path).WriteString("S", "K", "2"); }), 1);
    EXPECT_EQ(Get(), "[S]\nK=1\n");
    EXPECT_EQ(FilesInDir(), 1u);

    // The folder is the user's own and writable, the file is read-only.
    fs::permissions(Dir, fs::perms::owner_all | Traverse | ReadOnly);
    fs::permissions(Path, ReadOnly);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(Dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(Path.c_str(), 65534, 65534), 0);
    }
    EXPECT_EQ(ExitCodeAsNobody([&] { TIniFile(Path).WriteString("S", "K", "3"); }), 1);
    EXPECT_EQ(Get(), "[S]\nK=1\n");
    EXPECT_EQ(FilesInDir(), 1u);
    // Writable again, the same user's write goes through.
    fs::permissions(Path, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(ExitCodeAsNobody([&] { TIniFile(Path).WriteString("S", "K", "4"); }), 0);
    EXPECT_EQ(Get(), "[S]\nK=4\n");
}

}  // namespace
