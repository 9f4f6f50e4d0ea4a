#include "CsvText.h"

#include <algorithm>

namespace util {

void AppendCsvCell(std::string& Out, std::string_view Cell, bool Always) {
    const bool quote = Always || Cell.find_first_of(",\"\r\n") != std::string_view::npos;
    if (!quote) {
        Out += Cell;
        return;
    }
    Out += '"';
    for (char c : Cell) {
        if (c == '"') Out += '"';
        Out += c;
    }
    Out += '"';
}

bool SplitCsvCells(std::string_view Line, std::vector<std::string>& Cells, std::size_t& Count) {
    Count = 0;
    std::size_t pos = 0;
    for (;;) {
        if (Count == Cells.size()) Cells.emplace_back();
        std::string& cell = Cells[Count++];
        cell.clear();
        if (pos < Line.size() && Line[pos] == '"') {
            ++pos;
            for (;;) {
                if (pos >= Line.size()) return false;  // no closing quote
                const char c = Line[pos++];
                if (c == '"') {
                    if (pos < Line.size() && Line[pos] == '"') {
                        cell += '"';
                        ++pos;
                    } else {
                        break;
                    }
                } else {
                    cell += c;
                }
            }
            if (pos == Line.size()) return true;
            if (Line[pos] != ',') return false;  // text after the closing quote
            ++pos;
        } else {
            const std::size_t comma = Line.find(',', pos);
            if (comma == std::string_view::npos) {
                cell.assign(Line.substr(pos));
                return true;
            }
            cell.assign(Line.substr(pos, comma - pos));
            pos = comma + 1;
        }
    }
}

TBoundedLineReader::TBoundedLineReader(std::istream& In, std::size_t MaxBytes)
    : FIn(In), FMaxBytes(MaxBytes), FBuffer(64 * 1024) {}

bool TBoundedLineReader::FillBuffer() {
    if (FEof) return false;
    FIn.read(FBuffer.data(), static_cast<std::streamsize>(FBuffer.size()));
    FEnd = static_cast<std::size_t>(FIn.gcount());
    FPos = 0;
    if (FEnd == 0) FEof = true;
    return FEnd > 0;
}

TBoundedLineReader::TResult TBoundedLineReader::ReadLine() {
    FText.clear();
    bool tooLong = false;
    for (;;) {
        if (FPos == FEnd && !FillBuffer()) {
            // The end of the stream: what is left had no line feed and was cut off.
            if (!FText.empty() || tooLong) FTruncated = true;
            FText.clear();
            return TResult::End;
        }
        const char* begin = FBuffer.data() + FPos;
        const char* end = FBuffer.data() + FEnd;
        const char* lf = std::find(begin, end, '\n');
        const std::size_t n = static_cast<std::size_t>(lf - begin);
        if (!tooLong) {
            if (FText.size() + n > FMaxBytes) {
                tooLong = true;
                FText.clear();
            } else {
                FText.append(begin, n);
            }
        }
        FPos += n;
        if (lf != end) {
            ++FPos;  // the line feed
            ++FLine;
            if (tooLong) return TResult::TooLong;
            if (!FText.empty() && FText.back() == '\r') FText.pop_back();
            return TResult::Line;
        }
    }
}

}  // namespace util
