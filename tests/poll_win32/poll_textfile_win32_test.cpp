// The metrics file on Windows is replaced atomically: a reader sees the old content or the new
// one, never a mixture or an empty file, and a reader holding the file open only delays the
// replacement; a failed write leaves the old file and no temporary behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "TextFile.h"

namespace airconpoll {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& File) {
    std::ifstream In(File, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

std::set<std::string> Entries(const fs::path& Dir) {
    std::set<std::string> Names;
    for (const auto& E : fs::directory_iterator(Dir))
        Names.insert(E.path().filename().string());
    return Names;
}

TEST(TextFileWin32, ReplacesTheContentAndLeavesNoTemporary) {
    testsupport::TTempDir Dir("textfile");
    const fs::path File = Dir.File("aircon.prom");
    ASSERT_EQ(WriteFileAtomically(File.string(), "aircon_up 1\n"), "");
    EXPECT_EQ(ReadFile(File), "aircon_up 1\n");  // bytes as given: no CR added
    ASSERT_EQ(WriteFileAtomically(File.string(), ""), "");
    EXPECT_EQ(ReadFile(File), "");
    ASSERT_EQ(WriteFileAtomically(File.string(), std::string(100000, 'x')), "");
    EXPECT_EQ(ReadFile(File).size(), 100000u);
    EXPECT_EQ(Entries(Dir.Path()), std::set<std::string>{"aircon.prom"});

    // A writer killed between writing and moving leaves a temporary; it is cleared away, and
    // nothing else is.
    std::ofstream(Dir.File(".aircon.prom.abc123")) << "stale";
    std::ofstream(Dir.File("other.prom")) << "kept";
    RemoveStaleTemporaries(File.string());
    EXPECT_EQ(Entries(Dir.Path()), (std::set<std::string>{"aircon.prom", "other.prom"}));
}

TEST(TextFileWin32, FailuresKeepTheOldFileAndSayWhat) {
    testsupport::TTempDir Dir("textfile");
    const fs::path File = Dir.File("aircon.prom");
    ASSERT_EQ(WriteFileAtomically(File.string(), "old\n"), "");

    const fs::path Missing = Dir.Path() / "no";
    const std::string Got = WriteFileAtomically((Missing / "a.prom").string(), "x");
    EXPECT_TRUE(Got.starts_with("cannot create a file in " + Missing.string() +
                                ": No such file or directory"))
        << Got;
    // A folder in place of the file: the move fails, the temporary goes.
    fs::create_directory(Dir.Path() / "taken.prom");
    const std::string Taken = WriteFileAtomically((Dir.Path() / "taken.prom").string(), "x");
    EXPECT_TRUE(Taken.starts_with("cannot replace " + (Dir.Path() / "taken.prom").string()))
        << Taken;
    EXPECT_EQ(Entries(Dir.Path()), (std::set<std::string>{"aircon.prom", "taken.prom"}));
    EXPECT_EQ(ReadFile(File), "old\n");
}

TEST(TextFileWin32, AReaderNeverSeesAPartialFile) {
    testsupport::TTempDir Dir("textfile");
    const fs::path File = Dir.File("aircon.prom");
    auto Content = [](int I) {
        return std::string(static_cast<std::size_t>(1000 + (I % 7) * 3000),
                           static_cast<char>('a' + I % 26)) +
               "\n";
    };
    ASSERT_EQ(WriteFileAtomically(File.string(), Content(0)), "");
    std::atomic<bool> Done{false};
    std::atomic<int> Reads{0}, Bad{0};
    std::thread Reader([&] {
        while (!Done.load()) {
            // An open refused while the file is being replaced is no partial view: the reader
            // reads again later, as the exporter does at its next scrape.
            // A reader that holds the file open without a pause would hold the move off for
            // good: the exporter reads once per scrape.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::ifstream In(File, std::ios::binary);
            if (!In) continue;
            const std::string Got{std::istreambuf_iterator<char>(In),
                                  std::istreambuf_iterator<char>()};
            In.close();
            ++Reads;
            const bool Whole = !Got.empty() && Got.back() == '\n' &&
                               Got.find_first_not_of(Got.front()) == Got.size() - 1 &&
                               (Got.size() - 1 - 1000) % 3000 == 0;
            if (!Whole) ++Bad;
        }
    });
    int Failed = 0;
    for (int I = 1; I <= 40; ++I)
        if (!WriteFileAtomically(File.string(), Content(I)).empty()) ++Failed;
    Done.store(true);
    Reader.join();
    EXPECT_EQ(Failed, 0);
    EXPECT_GT(Reads.load(), 0);
    EXPECT_EQ(Bad.load(), 0) << "of " << Reads.load() << " reads";
    EXPECT_EQ(ReadFile(File), Content(40));
}

}  // namespace
}  // namespace airconpoll
