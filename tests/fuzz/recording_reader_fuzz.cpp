// Feeds any bytes to the recording reader as a file.
//
// Invariants: the reader never reads past its input or crashes; a file it refuses has
// a reason and yields no row; every row it yields, written again, reads back as the
// same row (the layout and the reader agree on every value they accept); rows read
// plus rows skipped never exceed the lines of the file.
#include "RecordingCsv.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "CST-8", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace aircon;
    const std::string file(reinterpret_cast<const char*>(data), size);
    std::istringstream in(file);
    TRecordingReader reader(in);
    TRecordedRow row;
    if (!reader.Ok()) {
        Require(reader.Refusal().Kind != TRecordingRefusalKind::None,
                "a refused file has a reason");
        Require((reader.Refusal().Kind == TRecordingRefusalKind::MissingColumn) ==
                    !reader.Refusal().Column.empty(),
                "a missing column is named");
        Require(!reader.Next(row), "a refused file yields no row");
        return 0;
    }
    TLocalTimeText time;
    std::string again = RecordingHeader();
    std::vector<TRecordedRow> rows;
    while (reader.Next(row)) {
        AppendRecordingRow(again, row, time);
        rows.push_back(row);
    }
    std::size_t lines = 0;
    for (char c : file)
        lines += c == '\n';
    Require(reader.RowsRead() == rows.size(), "rows counted");
    Require(reader.RowsRead() + reader.DamagedRows() <= lines, "no more rows than lines");
    const auto& damage = reader.FirstDamage();
    Require((reader.DamagedRows() == 0) == !damage, "damage named");
    if (damage) {
        Require(damage->Line >= 2 && damage->Line <= lines, "damage on a line of the file");
        const bool cell =
            damage->Kind == TRowDamageKind::EmptyCell || damage->Kind == TRowDamageKind::BadCell;
        Require(cell == !damage->Column.empty(), "a damaged cell names its column");
    }

    std::istringstream in2(again);
    TRecordingReader reader2(in2);
    Require(reader2.Ok(), "a written file is a recording");
    for (const TRecordedRow& expected : rows) {
        Require(reader2.Next(row), "a written row reads back");
        Require(row == expected, "a written row reads back the same");
    }
    Require(!reader2.Next(row), "nothing more");
    Require(reader2.DamagedRows() == 0 && !reader2.Truncated(), "a written file is whole");
    return 0;
}
