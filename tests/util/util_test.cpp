// The helper library: hexadecimal and UTF-8 text, whole numbers from text, the rule of the
// user's folders, and the timer table every clock drives.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "HexText.h"
#include "LocalTime.h"
#include "Platform.h"
#include "TextConv.h"
#include "TimerTable.h"
#include "UserFolders.h"

namespace {

using namespace std::chrono_literals;

TEST(HexText, DigitsAndPairs) {
    EXPECT_EQ(util::Hex(0x3A, 2), "3A");
    EXPECT_EQ(util::Hex(0xABC, 3), "ABC");
    EXPECT_EQ(util::Hex(0x1F, 1), "F");  // the high digits dropped
    EXPECT_EQ(util::Hex(0x7, 4), "0007");
    EXPECT_EQ(util::HexCode(0x0F), "0x0F");
    const std::vector<std::uint8_t> bytes{0x7E, 0x00, 0xFF, 0x0D};
    EXPECT_EQ(util::SpacedHex(bytes), "7E 00 FF 0D");
    EXPECT_EQ(util::SpacedHex(bytes, true), "7E 00 FF 0D ");
    EXPECT_EQ(util::SpacedHex({}), "");
    EXPECT_EQ(util::SpacedHex({}, true), "");
}

TEST(TextConv, EveryLatin1ByteGoesToUtf8AndBack) {
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string utf8 = util::Latin1ToUtf8(all);
    EXPECT_EQ(utf8.size(), 128u + 2u * 128u);
    std::size_t pos = 0;
    for (int c = 0; c < 256; ++c) {
        const auto got = util::NextUtf8(utf8, pos);
        ASSERT_TRUE(got) << c;
        EXPECT_EQ(*got, static_cast<char32_t>(c));
    }
    EXPECT_EQ(pos, utf8.size());
}

TEST(TextConv, MalformedUtf8IsRefusedWithoutMoving) {
    const std::vector<std::string> cases{
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong three-byte form
        "\x80",              // a continuation byte alone
        "\xE2\x82",          // cut short
        "\xC3(",             // no continuation
        "\xF0\x9F\x98\x80",  // four bytes: no Latin-1 text has one
    };
    for (const std::string& c : cases) {
        std::size_t pos = 0;
        EXPECT_FALSE(util::NextUtf8(c, pos)) << c;
        EXPECT_EQ(pos, 0u);
    }
    std::string out;
    util::AppendUtf8(out, U'\u2400');
    EXPECT_EQ(out, "\xE2\x90\x80");
}

TEST(TextConv, WholeNumbersAsTheOperatorTypesThem) {
    struct TCase {
        const char* Text;
        std::optional<std::int32_t> Value;
    };
    const TCase cases[] = {
        {"0", 0},
        {"+17", 17},
        {"-2147483648", -2147483647 - 1},
        {"2147483647", 2147483647},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"0x10", std::nullopt},
        {"\xEF\xBC\x91", std::nullopt},  // a full-width digit
    };
    for (const TCase& c : cases)
        EXPECT_EQ(util::TryStrToInt(c.Text), c.Value) << '"' << c.Text << '"';
}

// The minute just before 1970 (number -1) was once mistaken for "no minute kept yet" by a fresh
// formatter, which then wrote an empty date and time; a stream of times across minutes and
// back must give what a fresh formatter gives for each. Local time here is that of the zone the
// tests run in: only agreement is checked.
TEST(LocalTimeText, AKeptMinuteNeverStandsInForAnother) {
    using std::chrono::milliseconds;
    const util::WallTime epoch{};
    const struct {
        util::WallTime At;
        const char* Millis;
    } cases[] = {
        {epoch - milliseconds(1), ".999"},      {epoch - milliseconds(60'001), ".999"},
        {epoch + milliseconds(59'999), ".999"}, {epoch + milliseconds(60'000), ".000"},
        {epoch - milliseconds(1), ".999"},      {epoch + milliseconds(1), ".001"},
    };
    util::TLocalTimeText kept;
    for (const auto& c : cases) {
        util::TLocalTimeText fresh;
        const std::string text = kept.Format(c.At);
        EXPECT_EQ(text, fresh.Format(c.At));
        ASSERT_EQ(text.size(), 23u);
        EXPECT_NE(text[0], '\0');
        EXPECT_EQ(text.substr(19), c.Millis);
        EXPECT_EQ(util::LocalTimeText(c.At, false), text.substr(11));
    }
}

TEST(UserFolders, OneRuleForHomeConfigurationAndData) {
    struct TCase {
        const char* What;
        platform::TUserEnvironment Env;
        util::TUserFolders Want;
    };
    // The same rule on every system, with its own absolute paths: on Windows the profile, the
    // roaming and the local application data folders stand for home, configuration and data.
#ifdef _WIN32
    const TCase cases[] = {
        {"profile and both application data folders",
         {"C:\\Users\\op", "C:\\Users\\op\\AppData\\Roaming", "C:\\Users\\op\\AppData\\Local",
          "C:\\Users\\op"},
         {"C:\\Users\\op", "C:\\Users\\op\\AppData\\Roaming", "C:\\Users\\op\\AppData\\Local"}},
        {"no application data folders: below the profile",
         {"C:\\Users\\op", "", "", ""},
         {"C:\\Users\\op", "C:\\Users\\op\\.config", "C:\\Users\\op\\.local/share"}},
        {"a folder without a drive is not absolute",
         {"\\Users\\op", "AppData", "D:\\data", "C:\\Users\\acct"},
         {"C:\\Users\\acct", "C:\\Users\\acct\\.config", "D:\\data"}},
        {"no profile at all", {"", "", "", ""}, {"", "", ""}},
    };
#else
    const TCase cases[] = {
        {"HOME alone",
         {"/home/op", "", "", "/home/acct"},
         {"/home/op", "/home/op/.config", "/home/op/.local/share"}},
        {"XDG folders win",
         {"/home/op", "/etc/cfg", "/srv/data", ""},
         {"/home/op", "/etc/cfg", "/srv/data"}},
        {"relative XDG ignored",
         {"/home/op", "cfg", "data", ""},
         {"/home/op", "/home/op/.config", "/home/op/.local/share"}},
        {"relative HOME: the account's",
         {"op", "", "", "/home/acct"},
         {"/home/acct", "/home/acct/.config", "/home/acct/.local/share"}},
        {"no HOME: the account's",
         {"", "", "", "/root"},
         {"/root", "/root/.config", "/root/.local/share"}},
        {"no home at all", {"", "", "", ""}, {"", "", ""}},
        {"no home, XDG set", {"", "/etc/cfg", "/srv/data", ""}, {"", "/etc/cfg", "/srv/data"}},
    };
#endif
    for (const TCase& c : cases) {
        const util::TUserFolders got = util::UserFoldersOf(c.Env);
        EXPECT_EQ(got.Home, c.Want.Home) << c.What;
        EXPECT_EQ(got.Config, c.Want.Config) << c.What;
        EXPECT_EQ(got.Data, c.Want.Data) << c.What;
    }
}

#ifndef _WIN32
// A pipe takes a large text in pieces: every byte arrives, in order; a file that is not open
// stops the write with the system's reason. (POSIX pipes; the Windows side of the write is
// tested through the poller's metrics file under Wine.)
TEST(PlatformWrite, AllOrTheReasonWhyNot) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string text(300'000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    const platform::TWriteResult r = platform::WriteAll(fds[1], text);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(r.Error, 0);
    EXPECT_EQ(r.Written, text.size());
    EXPECT_TRUE(got == text);

    const platform::TWriteResult closed = platform::WriteAll(fds[1], "x");
    EXPECT_EQ(closed.Error, EBADF);
    EXPECT_EQ(closed.Written, 0u);
}
#endif

// A new file takes no name already taken (a symbolic link neither); while its writer has it open
// it is kept from removal, once closed it goes. A plain file's facts are its size and time of
// change; a folder and a missing name have none. Folders: made once, found, writable here.
TEST(PlatformFiles, NewFilesInUseTheirFactsAndRemoval) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() /
        ("util-test-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    const fs::path file = dir / "2026-12-10_14-03-07_COM3.csv";
    int error = 0;
    const int fd = platform::CreateNewFile(file, error);
    ASSERT_GE(fd, 0) << platform::ErrorText(error);
    EXPECT_EQ(platform::WriteAll(fd, "abc").Error, 0);
    int again = 0;
    EXPECT_EQ(platform::CreateNewFile(file, again), -1);
    EXPECT_EQ(again, EEXIST);
#ifndef _WIN32
    fs::create_symlink(dir / "elsewhere.csv", dir / "link.csv");
    int linked = 0;
    EXPECT_EQ(platform::CreateNewFile(dir / "link.csv", linked), -1);
    EXPECT_EQ(linked, EEXIST);
    EXPECT_FALSE(fs::exists(dir / "elsewhere.csv")) << "made through the link";
    EXPECT_FALSE(platform::PlainFileFacts(dir / "link.csv")) << "a link is no plain file";
#endif

    const auto facts = platform::PlainFileFacts(file);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->Size, 3u);
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_LT(std::abs(now - facts->ModifiedNs), 60'000'000'000LL) << "not in ns since the epoch";
    EXPECT_FALSE(platform::PlainFileFacts(dir));
    EXPECT_FALSE(platform::PlainFileFacts(dir / "missing"));

    EXPECT_TRUE(platform::KeptInUse(file)) << "its writer has it open";
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(platform::CloseFile(fd), 0);
    EXPECT_FALSE(platform::KeptInUse(file));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(platform::KeptInUse(file)) << "gone already";

    const std::string sub = (dir / "sub").string();
    EXPECT_FALSE(platform::NameExists(sub));
    EXPECT_FALSE(platform::MayAccess(sub, platform::AccessWrite));
    EXPECT_EQ(platform::MakePrivateFolder(sub), 0);
    EXPECT_EQ(platform::MakePrivateFolder(sub), EEXIST);
    EXPECT_TRUE(platform::NameExists(sub));
    EXPECT_TRUE(platform::MayAccess(sub, platform::AccessWrite | platform::AccessSearch));
    EXPECT_TRUE(fs::is_empty(sub)) << "the write check leaves nothing behind";
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// A table driven by hand: each firing records the owner's "now" and which timer fired.
struct TTableRig {
    util::TTimerTable Table;
    util::TTimerTable::TTime Now{std::chrono::hours(1)};
    std::vector<std::pair<long long, int>> Fired;  // ms since the start, timer

    long long Ms() const { return (Now - util::TTimerTable::TTime(std::chrono::hours(1))) / 1ms; }
    // Runs every timer due up to Limit ms, time standing at each deadline as it fires.
    void RunTo(long long Limit) {
        const util::TTimerTable::TTime limit =
            util::TTimerTable::TTime(std::chrono::hours(1)) + std::chrono::milliseconds(Limit);
        while (auto due = Table.TakeDue(limit, Now)) {
            Now = std::max(Now, due->Due);
            if (due->Fire) due->Fire();
        }
        Now = std::max(Now, limit);
    }
};

TEST(TimerTable, FiresInOrderOfDeadlineThenOfStart) {
    TTableRig rig;
    std::function<void()> a = [&] { rig.Fired.push_back({rig.Ms(), 1}); };
    std::function<void()> b = [&] { rig.Fired.push_back({rig.Ms(), 2}); };
    const auto idB = rig.Table.Add(&b);
    const auto idA = rig.Table.Add(&a);
    rig.Table.Start(idA, 50ms, rig.Now);
    rig.Table.Start(idB, 100ms, rig.Now);
    // At 100 both are due: B's countdown started at 0, A's again at 50, so B goes first.
    EXPECT_EQ(rig.Table.Running(), 2u);
    rig.RunTo(200);
    const std::vector<std::pair<long long, int>> want{{50, 1},  {100, 2}, {100, 1},
                                                      {150, 1}, {200, 2}, {200, 1}};
    EXPECT_EQ(rig.Fired, want);
    rig.Table.Stop(idA);
    EXPECT_EQ(rig.Table.Running(), 1u);
    EXPECT_EQ(rig.Table.NextDue(), rig.Now + 100ms);
    rig.Table.Remove(idB);
    EXPECT_FALSE(rig.Table.NextDue());
}

TEST(TimerTable, ALateTimerFiresOnceAndKeepsItsCadence) {
    TTableRig rig;
    std::function<void()> tick = [&] { rig.Fired.push_back({rig.Ms(), 1}); };
    const auto id = rig.Table.Add(&tick);
    rig.Table.Start(id, 100ms, rig.Now);
    rig.RunTo(100);
    rig.Now += 150ms;  // the owner was busy until 250: the tick of 200 comes late
    rig.RunTo(420);
    rig.Now += 330ms;  // until 750: the ticks of 500, 600 and 700 are missed
    rig.RunTo(900);
    const std::vector<std::pair<long long, int>> want{{100, 1}, {250, 1}, {300, 1},
                                                      {400, 1}, {750, 1}, {850, 1}};
    EXPECT_EQ(rig.Fired, want);
}

TEST(TimerTable, AHandlerMayStopRebindOrRemoveTimers) {
    TTableRig rig;
    util::TTimerTable::TId idA = 0, idB = 0;
    std::function<void()> b = [&] { rig.Fired.push_back({rig.Ms(), 2}); };
    std::function<void()> a = [&] {
        rig.Fired.push_back({rig.Ms(), 1});
        rig.Table.Remove(idB);  // due at the same moment, but gone before its turn
        a = [&] { rig.Fired.push_back({rig.Ms(), 3}); };  // read again at the next firing
    };
    idA = rig.Table.Add(&a);
    idB = rig.Table.Add(&b);
    rig.Table.Start(idA, 100ms, rig.Now);
    rig.Table.Start(idB, 100ms, rig.Now);
    rig.RunTo(200);
    const std::vector<std::pair<long long, int>> want{{100, 1}, {200, 3}};
    EXPECT_EQ(rig.Fired, want);
}

}  // namespace
