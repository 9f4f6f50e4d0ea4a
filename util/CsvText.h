// CSV text: a cell as written (RFC 4180 quoting), a line split back into cells, and lines
// read from a stream of any size in bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace util {

// Appends a cell, in quotes (inner quotes doubled) when it holds a comma, a quote or a line
// break, or when Always.
void AppendCsvCell(std::string& Out, std::string_view Cell, bool Always = false);

// Splits a line into cells, unquoted, into the first Count entries of Cells (which keeps its
// strings for reuse); false for a malformed quote (none closing, text after the closing one).
bool SplitCsvCells(std::string_view Line, std::vector<std::string>& Cells, std::size_t& Count);

// Lines up to their line feed (a carriage return before it removed). A line longer than
// MaxBytes is skipped up to its line feed. A line feed always ends a line: quoted line breaks
// are not read back.
class TBoundedLineReader {
  public:
    enum class TResult { Line, End, TooLong };

    TBoundedLineReader(std::istream& In, std::size_t MaxBytes);

    TResult ReadLine();
    const std::string& Text() const { return FText; }   // the line read
    std::uint64_t LineNumber() const { return FLine; }  // lines ended so far
    // The stream ended inside a line (it had no line feed): that line was dropped.
    bool Truncated() const { return FTruncated; }
    void ClearTruncated() { FTruncated = false; }

  private:
    bool FillBuffer();

    std::istream& FIn;
    std::size_t FMaxBytes;
    std::vector<char> FBuffer;
    std::size_t FPos = 0, FEnd = 0;
    bool FEof = false;
    bool FTruncated = false;
    std::string FText;
    std::uint64_t FLine = 0;
};

}  // namespace util
