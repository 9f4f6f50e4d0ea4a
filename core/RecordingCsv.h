// The recording file: every decoded reply of a session as one CSV row.
//
// Layout (UTF-8 with a byte-order mark, RFC 4180, CRLF line ends), one header row and one
// row per reply. The first four columns say what the row is:
//   时间    local time of the reply to the millisecond, "2026-12-10 14:03:07.123"
//   类型    the reply: 模拟量, 开关量, 告警状态, 用户参数, 协议版本号, 设备地址, 厂商信息,
//           or 丢失行 (rows that could not be written; their number in 字段数)
//   空调    the unit of a monitor reply, 1 or 2 (unit index 0 or 1); empty otherwise
//   字段数  how many of the kind's fields the reply carried, so that a field it did not
//           carry (a short reply) is told apart from one that is not detected
// Then one column per field of every kind, named "<kind>·<caption>": readings and counts
// as plain decimal numbers; states, alarms and the word-valued parameters as their word
// followed by a "<kind>·<caption>·代码" column with the code as a number. A field that is
// not detected is an empty cell (its word column says 未检测); the cells of other kinds
// are empty. A spreadsheet filters by 类型 and 空调 and plots any column directly.
//
// Texts that come from the controller (the vendor fields) are data: control characters
// are written as their visible pictures (U+2400 + code, U+2421 for DEL), so no cell ever
// holds a line break, and a text that begins (after blanks) with "=", "+", "-", "@" or an
// apostrophe gets a leading apostrophe, so a spreadsheet shows it as text instead of
// running it as a formula. The reader undoes both exactly.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Clock.h"
#include "CsvText.h"
#include "LocalTime.h"
#include "Model.h"

namespace aircon {

inline constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

// One row of a recording: a decoded reply, or a marker for rows that were lost.
struct TRecordedRow {
    WallTime At{};
    std::optional<TReplyData> Reply;  // empty: a 丢失行 marker
    std::uint64_t LostRows = 0;       // for a marker: how many rows are missing here
    friend bool operator==(const TRecordedRow&, const TRecordedRow&) = default;
};

// Local time "YYYY-MM-DD HH:MM:SS.mmm" of a wall time, and back: the helper library's.
using util::TLocalTimeText;

// Column names of the header, in order (the first four: 时间, 类型, 空调, 字段数).
const std::vector<std::string>& RecordingColumns();
// The header line (without the byte-order mark), CRLF at the end.
std::string RecordingHeader();

// Appends one row, CRLF at the end. TimeText formats the time.
void AppendRecordingRow(std::string& Out, const TRecordedRow& Row, TLocalTimeText& TimeText);
std::string RecordingRow(const TRecordedRow& Row);

// A controller text (Latin-1 bytes) as it is written into a cell, before CSV quoting:
// UTF-8, control characters as pictures, formula starts neutralised.
std::string ControllerTextCell(std::string_view Latin1);
// The reverse; empty when the cell holds a character no Latin-1 byte gives.
std::optional<std::string> ControllerTextFromCell(std::string_view Cell);
// A cell as RFC 4180 writes it: quoted (quotes doubled) when it holds a comma, a quote,
// CR or LF, or when Always.
using util::AppendCsvCell;

// Why a file is not read as a recording: its first line is no recording header.
enum class TRecordingRefusalKind {
    None,           // a recording
    Empty,          // the file is empty
    NoHeader,       // the first line ends without its line break (no header)
    HeaderTooLong,  // the first line is longer than a header can be
    HeaderQuotes,   // the first line's quotes do not pair up
    MissingColumn,  // the header lacks one of 时间, 类型, 空调, 字段数 (Column)
};
struct TRecordingRefusal {
    TRecordingRefusalKind Kind = TRecordingRefusalKind::None;
    std::string Column;  // MissingColumn: the first of the four the header lacks
    friend bool operator==(const TRecordingRefusal&, const TRecordingRefusal&) = default;
};

// What is wrong with a row that is skipped.
enum class TRowDamageKind {
    Quotes,      // its quotes do not pair up
    Time,        // 时间 is no local time
    LostCount,   // a 丢失行 row without a number of rows in 字段数
    Kind,        // 类型 names no kind of reply
    FieldCount,  // 字段数 is no number, or out of the kind's range
    Unit,        // 空调 of a monitor reply is neither 1 nor 2
    TooLong,     // the line is longer than MaxLineBytes
    EmptyCell,   // a cell the row must have is empty (Column)
    BadCell,     // a cell holds no value of its column (Column)
};
struct TRowDamage {
    std::uint64_t Line = 0;  // counted from 1, the header being line 1
    TRowDamageKind Kind = TRowDamageKind::Quotes;
    std::string Column;  // EmptyCell, BadCell: the column's name in the header
    friend bool operator==(const TRowDamage&, const TRowDamage&) = default;
};

// Reads a recording row by row, holding one line at a time (at most MaxLineBytes), so a
// file of any size reads in bounded memory. Damaged rows are skipped and counted; a last
// line without its line break (the file was cut off while being written) is dropped
// and reported as Truncated. A file whose first line is not a recording header is
// refused (Refusal).
class TRecordingReader {
  public:
    static constexpr std::size_t MaxLineBytes = 64 * 1024;

    explicit TRecordingReader(std::istream& In);

    // False when the file is not a recording (Refusal() says why); checked on construction.
    bool Ok() const { return FRefusal.Kind == TRecordingRefusalKind::None; }
    const TRecordingRefusal& Refusal() const { return FRefusal; }

    // The next good row; false at the end of the file or when reading failed.
    bool Next(TRecordedRow& Row);

    bool Truncated() const { return FLines.Truncated(); }
    std::uint64_t RowsRead() const { return FRowsRead; }
    std::uint64_t DamagedRows() const { return FDamaged; }
    // The first damaged row: its line number and what is wrong with it.
    const std::optional<TRowDamage>& FirstDamage() const { return FFirstDamage; }
    std::uint64_t Line() const { return FLines.LineNumber(); }

  private:
    bool ReadHeader();
    // What is wrong with the current line (its Line not yet set); empty when it is good.
    std::optional<TRowDamage> ParseRow(TRecordedRow& Row);

    util::TBoundedLineReader FLines;
    std::vector<std::string> FCells;  // the cells of the current line, unquoted
    std::array<int, 4> FFixed{};      // header index of 时间, 类型, 空调, 字段数
    std::vector<int> FKnownAt;        // known column -> header index, or -1
    TLocalTimeText FTime;
    TRecordingRefusal FRefusal;
    std::optional<TRowDamage> FFirstDamage;
    std::uint64_t FRowsRead = 0;
    std::uint64_t FDamaged = 0;
};

}  // namespace aircon
