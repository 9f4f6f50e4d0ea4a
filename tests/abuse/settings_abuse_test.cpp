// The settings file under abuse: very long values, binary junk, a missing
// section, a folder that cannot be written, a folder in place of the file.
// In every case the window starts, opening the link behaves as it should, and
// storing the line settings never loses anything outside its own keys.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ComComboBox.h"
#include "Form1.h"
#include "FormTestSupport.h"
#include "IniFile.h"
#include "MessageBoxes.h"

namespace fs = std::filesystem;

namespace {

const char* const ChildDirVar = "SETTINGS_ABUSE_CHILD_DIR";
const char* const ChildPtyVar = "SETTINGS_ABUSE_CHILD_PTY";

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out << Bytes;
}

// The file without the lines of the [ComPort1] section (its header included,
// and the blank lines that set it apart): everything that storing the line
// settings must leave exactly as it was.
std::string WithoutOwnSection(const std::string& Text) {
    std::string out;
    bool own = false;
    std::size_t pos = 0;
    while (pos < Text.size()) {
        std::size_t end = Text.find('\n', pos);
        end = end == std::string::npos ? Text.size() : end + 1;
        const std::string line = Text.substr(pos, end - pos);
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r'))
            trimmed.pop_back();
        if (!trimmed.empty() && trimmed.front() == '[' && trimmed.back() == ']') {
            own = QString::fromStdString(trimmed).compare(QStringLiteral("[ComPort1]"),
                                                          Qt::CaseInsensitive) == 0;
            while (own && out.size() >= 2 && out.ends_with("\n\n"))
                out.pop_back();
        }
        if (!own) out += line;
        pos = end;
    }
    return out;
}

std::vector<std::string> FolderEntries(const std::string& Dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A pseudo-terminal whose slave side the window opens as its port.
class TPty {
  public:
    TPty() {
        if (openpty(&FMaster, &FSlave, nullptr, nullptr, nullptr) == 0) FPath = ttyname(FSlave);
    }
    ~TPty() {
        if (FMaster >= 0) close(FMaster);
        if (FSlave >= 0) close(FSlave);
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;
    const std::string& Path() const { return FPath; }

  private:
    int FMaster = -1, FSlave = -1;
    std::string FPath;
};

class SettingsAbuse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        Folder = FDir.path().toStdString();
        Ini = Folder + "/ComSetting.ini";
        MessageBoxes::SetHook(
            [this](QWidget*, const MessageBoxes::TBox& Box) { Boxes.push_back(Box); });
    }
    void TearDown() override {
        if (Form) Form->close();
        Form.reset();
        MessageBoxes::SetHook(nullptr);
    }

    // Creates the window on the settings file: start-up must neither throw nor
    // show anything, and the status stays "not connected".
    void Start() {
        ASSERT_NO_THROW(Form = std::make_unique<TForm1>(QString::fromStdString(Ini)));
        EXPECT_TRUE(Boxes.empty()) << "start-up showed: " << Boxes.front().Text.toStdString();
        EXPECT_EQ(Ui(*Form).Label14->text(), QStringLiteral("通讯状态：未连接"));
        EXPECT_FALSE(Form->ComPort().Connected());
    }

    // Opens the link on the pseudo-terminal, as the operator would.
    void Open() {
        ASSERT_FALSE(Pty.Path().empty());
        const QString port = QString::fromStdString(Pty.Path());
        if (Ui(*Form).cbPort->Text() != port) {
            Ui(*Form).cbPort->addItem(port);
            Ui(*Form).cbPort->setCurrentIndex(Ui(*Form).cbPort->count() - 1);
        }
        Form->btnCommOpenClick();
        ASSERT_TRUE(Form->ComPort().Connected());
    }

    // The line settings as they must be stored after opening with the defaults.
    void ExpectStoredDefaults() const {
        TIniFile ini(Ini);
        EXPECT_EQ(ini.ReadString("ComPort1", "Port", "?"), Pty.Path());
        EXPECT_EQ(ini.ReadString("ComPort1", "BaudRate", "?"), "9600");
        EXPECT_EQ(ini.ReadString("ComPort1", "StopBits", "?"), "1");
        EXPECT_EQ(ini.ReadString("ComPort1", "DataBits", "?"), "8");
        EXPECT_EQ(ini.ReadString("ComPort1", "Parity", "?"), "None");
        EXPECT_EQ(ini.ReadString("ComPort1", "FlowControl", "?"), "None");
    }

    // Opening on a file that cannot be written: the link works, the operator is
    // told once that the settings were not kept, and the file stays as it was.
    void ExpectOpenWithoutStore(const std::string& Before) {
        Open();
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Kind, MessageBoxes::TBoxKind::Error);
        EXPECT_TRUE(Boxes[0].Text.contains(QString::fromStdString(Ini)))
            << Boxes[0].Text.toStdString();
        EXPECT_TRUE(Ui(*Form).grpCmdSetting->isEnabled());
        EXPECT_FALSE(Ui(*Form).cbPort->isEnabled());
        if (!Before.empty()) {
            EXPECT_EQ(ReadFile(Ini), Before);
        }
    }

    QTemporaryDir FDir;
    std::string Folder, Ini;
    TPty Pty;
    std::unique_ptr<TForm1> Form;
    std::vector<MessageBoxes::TBox> Boxes;
};

TEST_F(SettingsAbuse, VeryLongValuesAreCutAndOtherSectionsKeptWhole) {
    const std::string big(1 << 20, 'x');
    std::string port;
    for (int i = 0; i < 3000; ++i)
        port += "端";  // three bytes a character: the cut must fall between characters
    const std::string extra(300000, 'e');
    const std::string before = "[Other]\nBig=" + big + "\n[ComPort1]\nPort=" + port +
                               "\nBaudRate=" + std::string(50000, '9') +
                               "\nStopBits=2\nExtra=" + extra + "\n[Tail]\nK=V\n";
    WriteFile(Ini, before);
    Start();
    std::string cut;
    for (int i = 0; i < 2047; ++i)
        cut += "端";
    EXPECT_EQ(Form->ComPort().Port(), cut);
    EXPECT_EQ(Form->ComPort().BaudRate(), TBaudRate::Br9600);         // no such rate: fallback
    EXPECT_EQ(Form->ComPort().StopBits(), TStopBits::SbTwoStopBits);  // read after the long ones

    Open();
    EXPECT_TRUE(Boxes.empty());
    const std::string after = ReadFile(Ini);
    EXPECT_EQ(WithoutOwnSection(after), WithoutOwnSection(before));
    EXPECT_NE(after.find("\nExtra=" + extra + "\n"), std::string::npos)
        << "a key of another name in the section was lost";
    TIniFile ini(Ini);
    EXPECT_EQ(ini.ReadString("ComPort1", "Port", "?"), Pty.Path());
    EXPECT_EQ(ini.ReadString("ComPort1", "BaudRate", "?"), "9600");
    EXPECT_EQ(ini.ReadString("ComPort1", "StopBits", "?"), "2");
}

TEST_F(SettingsAbuse, BinaryJunkStartsWithDefaultsAndSurvivesStoring) {
    // Junk of every byte value, NUL and lone carriage returns included, then a
    // section of another name; nothing of it names the window's section.
    std::mt19937 rng(20261209);
    std::string junk;
    for (int i = 0; i < 64 * 1024; ++i)
        junk.push_back(static_cast<char>(rng() & 0xFF));
    const std::string before = junk + "\n[Other]\nA=1\nB=\x01\x02\xFF\xFE\n";
    ASSERT_TRUE(WithoutOwnSection(before) == before);
    WriteFile(Ini, before);
    Start();
    EXPECT_EQ(Form->ComPort().Port(), "COM1");
    EXPECT_EQ(Form->ComPort().BaudRate(), TBaudRate::Br9600);

    Open();
    EXPECT_TRUE(Boxes.empty());
    ExpectStoredDefaults();
    // Compared whole, printed short: the junk is 64 KiB.
    const std::string after = WithoutOwnSection(ReadFile(Ini));
    EXPECT_TRUE(after == before) << "the file outside the section changed; " << after.size()
                                 << " bytes instead of " << before.size();
}

TEST_F(SettingsAbuse, JunkValuesInTheOwnSectionFallBack) {
    const std::string before = std::string("[ComPort1]\nPort=\nBaudRate=\x01\x02\x03\nStopBits=") +
                               std::string(1, '\0') + "\nDataBits=\xFF\xFF\nParity=\x7F" +
                               "\nFlowControl=\x80\n[Other]\nA=1\n";
    WriteFile(Ini, before);
    Start();
    EXPECT_EQ(Form->ComPort().Port(), "");  // an empty port name is taken as it is
    EXPECT_EQ(Form->ComPort().BaudRate(), TBaudRate::Br9600);
    EXPECT_EQ(Form->ComPort().StopBits(), TStopBits::SbOneStopBit);
    EXPECT_EQ(Form->ComPort().DataBits(), TDataBits::DbEight);

    Open();
    ExpectStoredDefaults();
    EXPECT_EQ(WithoutOwnSection(ReadFile(Ini)), WithoutOwnSection(before));
}

TEST_F(SettingsAbuse, MissingSectionChangesNothingAndIsAdded) {
    const std::string before = "; kept by hand\n[Other]\nA=1\n\n[Another]\nB=two words\n";
    WriteFile(Ini, before);
    Start();
    EXPECT_EQ(Form->ComPort().Port(), "COM1");
    EXPECT_EQ(Form->ComPort().BaudRate(), TBaudRate::Br9600);
    EXPECT_EQ(Form->ComPort().StopBits(), TStopBits::SbOneStopBit);

    Open();
    EXPECT_TRUE(Boxes.empty());
    ExpectStoredDefaults();
    EXPECT_EQ(WithoutOwnSection(ReadFile(Ini)), WithoutOwnSection(before));
}

TEST_F(SettingsAbuse, FolderInPlaceOfTheFile) {
    ASSERT_TRUE(fs::create_directory(Ini));
    WriteFile(Ini + "/keep.txt", "inside");
    Start();
    EXPECT_EQ(Form->ComPort().Port(), "COM1");

    ExpectOpenWithoutStore({});
    EXPECT_TRUE(fs::is_directory(Ini));
    EXPECT_EQ(ReadFile(Ini + "/keep.txt"), "inside");
    EXPECT_EQ(FolderEntries(Folder), std::vector<std::string>{"ComSetting.ini"})
        << "a temporary file was left behind";
    EXPECT_EQ(FolderEntries(Ini), std::vector<std::string>{"keep.txt"});
}

// Runs the unwritable-folder case; as root, in a child process that has dropped
// to an unprivileged user, since root writes anywhere.
TEST_F(SettingsAbuse, UnwritableFolder) {
    const std::string before = "[ComPort1]\nBaudRate=19200\n[Other]\nA=1\n";
    WriteFile(Ini, before);
    if (geteuid() != 0) {
        fs::permissions(Folder,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        Start();
        EXPECT_EQ(Form->ComPort().BaudRate(), TBaudRate::Br19200);
        ExpectOpenWithoutStore(before);
        fs::permissions(Folder, fs::perms::owner_write, fs::perm_options::add);
        return;
    }
    // Readable and searchable by everyone, writable by root alone.
    fs::permissions(Folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(Ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read);
    ASSERT_EQ(chmod(Pty.Path().c_str(), 0666), 0);
    // The unprivileged user may not reach this program where it was built (a checkout in a
    // private home folder): it runs a copy placed where everyone may read and run it.
    QTemporaryDir exeDir;
    ASSERT_TRUE(exeDir.isValid());
    const std::string exe = exeDir.filePath(QStringLiteral("settings_abuse_test")).toStdString();
    fs::copy_file("/proc/self/exe", exe);
    fs::permissions(exeDir.path().toStdString(),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv(ChildDirVar, Folder.c_str(), 1);
        setenv(ChildPtyVar, Pty.Path().c_str(), 1);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        execl(exe.c_str(), "settings_abuse_test",
              "--gtest_filter=SettingsAbuseChild.UnwritableFolderAsUser", nullptr);
        _exit(4);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the unprivileged run did not end";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "the unprivileged run failed (3: could not drop root, 4: could not start)";
    EXPECT_EQ(ReadFile(Ini), before);
    EXPECT_EQ(FolderEntries(Folder), std::vector<std::string>{"ComSetting.ini"});
}

// The unprivileged half of UnwritableFolder; does nothing unless started by it.
TEST(SettingsAbuseChild, UnwritableFolderAsUser) {
    const char* dir = std::getenv(ChildDirVar);
    const char* pty = std::getenv(ChildPtyVar);
    if (!dir || !pty) GTEST_SKIP() << "run by SettingsAbuse.UnwritableFolder";
    const std::string ini = std::string(dir) + "/ComSetting.ini";
    const std::string before = ReadFile(ini);
    std::vector<MessageBoxes::TBox> boxes;
    MessageBoxes::SetHook([&](QWidget*, const MessageBoxes::TBox& Box) { boxes.push_back(Box); });
    auto form = std::make_unique<TForm1>(QString::fromStdString(ini));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(form->ComPort().BaudRate(), TBaudRate::Br19200);
    Ui(*form).cbPort->addItem(QString::fromLatin1(pty));
    Ui(*form).cbPort->setCurrentIndex(Ui(*form).cbPort->count() - 1);
    form->btnCommOpenClick();
    EXPECT_TRUE(form->ComPort().Connected());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].Text.contains(QString::fromStdString(ini)));
    EXPECT_EQ(ReadFile(ini), before);
    form->close();
    form.reset();
    MessageBoxes::SetHook(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
