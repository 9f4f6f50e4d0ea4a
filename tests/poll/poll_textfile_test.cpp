// The metrics file is replaced atomically: a reader sees the old content or the new one,
// never a mixture or an empty file; the file is readable by the node exporter (0644)
// whatever the umask; a failed write leaves the old file and no temporary behind.
#include "TextFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "SimHarness.h"

namespace airconpoll {
namespace {

namespace fs = std::filesystem;
using simharness::ReadFile;
using simharness::TempDir;

std::set<std::string> Entries(const fs::path& Dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Dir))
        names.insert(e.path().filename().string());
    return names;
}

TEST(TextFile, WritesContentWithMode0644AndLeavesNoTemporary) {
    TempDir dir;
    const fs::path file = dir.path() / "aircon.prom";
    const mode_t old = ::umask(077);
    const std::string first = WriteFileAtomically(file.string(), "aircon_up 1\n");
    ::umask(old);
    ASSERT_EQ(first, "");
    EXPECT_EQ(ReadFile(file), "aircon_up 1\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"aircon.prom"});

    ASSERT_EQ(WriteFileAtomically(file.string(), ""), "");
    EXPECT_EQ(ReadFile(file), "");
    ASSERT_EQ(WriteFileAtomically(file.string(), std::string(100000, 'x')), "");
    EXPECT_EQ(ReadFile(file).size(), 100000u);
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"aircon.prom"});
}

TEST(TextFile, FailuresKeepTheOldFileAndSayWhat) {
    TempDir dir;
    const fs::path file = dir.path() / "aircon.prom";
    ASSERT_EQ(WriteFileAtomically(file.string(), "old\n"), "");

    // A folder that does not exist.
    const std::string missing = WriteFileAtomically((dir.path() / "no" / "a.prom").string(), "x");
    EXPECT_TRUE(missing.starts_with("cannot create a file in " + (dir.path() / "no").string() +
                                    ": No such file or directory"))
        << missing;
    // A folder in place of the file: the rename fails, the temporary goes.
    fs::create_directory(dir.path() / "taken.prom");
    fs::create_directory(dir.path() / "taken.prom" / "inside");
    const std::string taken = WriteFileAtomically((dir.path() / "taken.prom").string(), "x");
    EXPECT_TRUE(taken.starts_with("cannot replace " + (dir.path() / "taken.prom").string()))
        << taken;
    EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"aircon.prom", "taken.prom"}));
    EXPECT_EQ(ReadFile(file), "old\n");
    // A folder without write permission (root may write anyway: then nothing to check).
    if (::geteuid() != 0) {
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_NE(WriteFileAtomically(file.string(), "new\n"), "");
        fs::permissions(dir.path(), fs::perms::owner_all);
        EXPECT_EQ(ReadFile(file), "old\n");
    }
}

TEST(TextFile, AReaderNeverSeesAPartialFile) {
    TempDir dir;
    const fs::path file = dir.path() / "aircon.prom";
    // Contents of different sizes, each one whole line repeated.
    auto content = [](int i) {
        return std::string(static_cast<std::size_t>(1000 + (i % 7) * 3000),
                           static_cast<char>('a' + i % 26)) +
               "\n";
    };
    ASSERT_EQ(WriteFileAtomically(file.string(), content(0)), "");
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::string got = ReadFile(file);
            ++reads;
            const bool whole = !got.empty() && got.back() == '\n' &&
                               got.find_first_not_of(got.front()) == got.size() - 1 &&
                               (got.size() - 1 - 1000) % 3000 == 0;
            if (!whole) ++bad;
        }
    });
    for (int i = 1; i < 300; ++i)
        ASSERT_EQ(WriteFileAtomically(file.string(), content(i)), "");
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ReadFile(file), content(299));
}

TEST(TextFile, StaleTemporariesOfAKilledWriterAreRemoved) {
    TempDir dir;
    const fs::path file = dir.path() / "aircon.prom";
    for (const char* name : {".aircon.prom.Ab12Cd", ".aircon.prom.zzzzzz"})
        std::ofstream(dir.path() / name) << "partial";
    // Not ours: another file's temporaries, other names, the file itself.
    for (const char* name : {".other.prom.Ab12Cd", ".aircon.prom.toolong1", "keep.prom"})
        std::ofstream(dir.path() / name) << "x";
    ASSERT_EQ(WriteFileAtomically(file.string(), "x\n"), "");
    RemoveStaleTemporaries(file.string());
    EXPECT_EQ(Entries(dir.path()),
              (std::set<std::string>{".other.prom.Ab12Cd", ".aircon.prom.toolong1", "keep.prom",
                                     "aircon.prom"}));
}

}  // namespace
}  // namespace airconpoll
