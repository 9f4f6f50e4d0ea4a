// Shared by the recording tests: the time zone they run in, times on 10 December 2026,
// and a check of one CSV row cell by cell against the columns the test names.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "RecordingCsv.h"

namespace recordingtest {

using namespace aircon;

// China Standard Time, as a POSIX zone so that no zone database is needed.
struct TZone : ::testing::Environment {
    void SetUp() override {
#ifdef _WIN32
        _putenv_s("TZ", "CST-8");
        _tzset();
#else
        setenv("TZ", "CST-8", 1);
        tzset();
#endif
    }
};
inline const auto* const Zone = ::testing::AddGlobalTestEnvironment(new TZone);

// 2026-12-10 14:03:07.123 in China (06:03:07.123 UTC) plus Ms.
inline WallTime At(long long Ms = 0) {
    return WallTime(std::chrono::milliseconds(1796882587123LL + Ms));
}

// The cells of one CSV line (RFC 4180 quoting).
inline std::vector<std::string> Split(std::string_view Line) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (std::size_t i = 0; i < Line.size(); ++i) {
        const char c = Line[i];
        if (quoted) {
            if (c == '"' && i + 1 < Line.size() && Line[i + 1] == '"') {
                cells.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cells.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    return cells;
}

using TCells = std::map<std::string, std::string>;

// Every cell of Row is the one Expected names, every other cell is empty.
inline void ExpectRow(const std::string& Row, const TCells& Expected) {
    ASSERT_TRUE(Row.ends_with("\r\n")) << Row;
    const std::string line = Row.substr(0, Row.size() - 2);
    ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos);
    const auto cells = Split(line);
    const auto& names = RecordingColumns();
    ASSERT_EQ(cells.size(), names.size()) << Row;
    std::size_t matched = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto it = Expected.find(names[i]);
        const std::string want = it == Expected.end() ? "" : it->second;
        matched += it != Expected.end();
        EXPECT_EQ(cells[i], want) << "column " << names[i];
    }
    EXPECT_EQ(matched, Expected.size()) << "a column named in the test does not exist";
}

inline TRecordedRow RowOf(WallTime When, TReplyData Data) {
    TRecordedRow r;
    r.At = When;
    r.Reply = std::move(Data);
    return r;
}

inline TRecordedRow LostRow(WallTime When, std::uint64_t Count) {
    TRecordedRow r;
    r.At = When;
    r.LostRows = Count;
    return r;
}

}  // namespace recordingtest
