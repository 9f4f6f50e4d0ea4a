#include "RecordingCsv.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>
#include <unordered_map>

#include "TextConv.h"

namespace aircon {

namespace {

using namespace std::chrono;

// ---------------------------------------------------------------------------
// The columns

// The blocks follow the alternatives of TReplyData; the lost-rows marker has none.
enum TBlock : int {
    AnalogBlock,
    SwitchBlock,
    AlarmBlock,
    ParamBlock,
    VersionBlock,
    AddressBlock,
    VendorBlock,
    BlockCount,
    NoBlock = -1
};
static_assert(std::variant_size_v<TReplyData> == BlockCount);

constexpr std::string_view KindNames[BlockCount] = {
    "模拟量", "开关量", "告警状态", "用户参数", "协议版本号", "设备地址", "厂商信息"};
constexpr std::string_view LostKindName = "丢失行";
constexpr std::string_view Dot = "·";
constexpr std::string_view CodeSuffix = "·代码";

// What a column holds.
enum class TRole {
    Fixed,    // 时间, 类型, 空调, 字段数
    Reading,  // a reading: decimal number, empty when not detected
    Count,    // the user-defined count byte
    Word,     // the word of a state, alarm or parameter code (written only)
    Code,     // the code itself
    Number,   // a whole 16-bit number without sentinel (parameter items, address)
    Version,  // "major.minor"
    Text,     // a controller text
};

struct TColumn {
    std::string Name;
    TBlock Block = NoBlock;
    TRole Role = TRole::Fixed;
    int Field = 0;  // the field within its reply (see FieldCount)
};

enum TFixedColumn { TimeCol, KindCol, UnitCol, FieldsCol };
constexpr std::string_view FixedNames[4] = {"时间", "类型", "空调", "字段数"};

// Fields of each kind, as counted by 字段数: analog readings 0..17; switch 0 the power
// state, 1..9 the items; alarms 0..35; parameters 0..6 the readings, 7..15 the items;
// version, address: one; vendor: the three texts.
constexpr int ParamWordItems = 4;  // items 0..3 have a word table

struct TLayout {
    std::vector<TColumn> Columns;
    std::vector<std::string> Names;
    int BlockStart[BlockCount] = {};
    int BlockEnd[BlockCount] = {};
};

const TLayout& Layout() {
    static const TLayout layout = [] {
        TLayout l;
        auto add = [&](std::string Name, TBlock Block, TRole Role, int Field) {
            l.Columns.push_back({std::move(Name), Block, Role, Field});
        };
        auto named = [](TBlock Block, std::string_view Caption) {
            return std::string(KindNames[Block]) + std::string(Dot) + std::string(Caption);
        };
        auto coded = [&](TBlock Block, std::string_view Caption, int Field) {
            add(named(Block, Caption), Block, TRole::Word, Field);
            add(named(Block, Caption) + std::string(CodeSuffix), Block, TRole::Code, Field);
        };
        for (int i = 0; i < 4; ++i)
            add(std::string(FixedNames[i]), NoBlock, TRole::Fixed, i);

        l.BlockStart[AnalogBlock] = static_cast<int>(l.Columns.size());
        for (std::size_t i = 0; i < AnalogFieldCount; ++i)
            add(named(AnalogBlock, AnalogFields[i].Caption), AnalogBlock, TRole::Reading,
                static_cast<int>(i));
        add(named(AnalogBlock, AnalogCountField.Caption), AnalogBlock, TRole::Count, 0);

        l.BlockStart[SwitchBlock] = static_cast<int>(l.Columns.size());
        coded(SwitchBlock, SwitchPowerField.Caption, 0);
        for (std::size_t i = 0; i < SwitchItemCount; ++i)
            coded(SwitchBlock, SwitchFields[i].Caption, static_cast<int>(i + 1));
        add(named(SwitchBlock, SwitchCountField.Caption), SwitchBlock, TRole::Count, 0);

        l.BlockStart[AlarmBlock] = static_cast<int>(l.Columns.size());
        for (std::size_t i = 0; i < AlarmFieldCount; ++i)
            coded(AlarmBlock, AlarmFields[i].Caption, static_cast<int>(i));
        add(named(AlarmBlock, AlarmCountField.Caption), AlarmBlock, TRole::Count, 0);

        l.BlockStart[ParamBlock] = static_cast<int>(l.Columns.size());
        for (std::size_t i = 0; i < ParamReadingCount; ++i)
            add(named(ParamBlock, ParamFields[i].Caption), ParamBlock, TRole::Reading,
                static_cast<int>(i));
        for (std::size_t i = 0; i < ParamItemCount; ++i) {
            const int field = static_cast<int>(ParamReadingCount + i);
            if (i < ParamWordItems)
                coded(ParamBlock, ParamFields[field].Caption, field);
            else
                add(named(ParamBlock, ParamFields[field].Caption), ParamBlock, TRole::Number,
                    field);
        }
        add(named(ParamBlock, ParamCountField.Caption), ParamBlock, TRole::Count, 0);

        l.BlockStart[VersionBlock] = static_cast<int>(l.Columns.size());
        add(std::string(KindNames[VersionBlock]), VersionBlock, TRole::Version, 0);
        l.BlockStart[AddressBlock] = static_cast<int>(l.Columns.size());
        add(std::string(KindNames[AddressBlock]), AddressBlock, TRole::Number, 0);
        l.BlockStart[VendorBlock] = static_cast<int>(l.Columns.size());
        for (std::size_t i = 0; i < VendorFields.size(); ++i)
            add(named(VendorBlock, VendorFields[i].Caption), VendorBlock, TRole::Text,
                static_cast<int>(i));

        for (int b = 0; b < BlockCount; ++b)
            l.BlockEnd[b] =
                b + 1 < BlockCount ? l.BlockStart[b + 1] : static_cast<int>(l.Columns.size());
        for (const TColumn& c : l.Columns)
            l.Names.push_back(c.Name);
        return l;
    }();
    return layout;
}

// How many fields a reply carried, as 字段数 says.
std::uint64_t FieldsCarried(const TReplyData& Data) {
    struct {
        std::uint64_t operator()(const TAnalogValues& v) const { return v.Count; }
        std::uint64_t operator()(const TSwitchStates& s) const { return 1 + s.Count; }
        std::uint64_t operator()(const TAlarmStates& a) const { return a.Count; }
        std::uint64_t operator()(const TUserParams& p) const {
            return ParamReadingCount + p.ItemCount;
        }
        std::uint64_t operator()(const TProtocolVersion&) const { return 1; }
        std::uint64_t operator()(const TDeviceAddress&) const { return 1; }
        std::uint64_t operator()(const TVendorInfo& v) const {
            std::uint64_t n = 0;
            while (n < v.Fields.size() && v.Fields[n])
                ++n;
            return n;
        }
    } count;
    return std::visit(count, Data);
}

std::optional<int> UnitOf(const TReplyData& Data) {
    if (auto* a = std::get_if<TAnalogValues>(&Data)) return a->Unit;
    if (auto* s = std::get_if<TSwitchStates>(&Data)) return s->Unit;
    if (auto* al = std::get_if<TAlarmStates>(&Data)) return al->Unit;
    return std::nullopt;
}

void AppendNumber(std::string& Out, long long Value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, Value);
    Out.append(buf, r.ptr);
}

void AppendUnsigned(std::string& Out, std::uint64_t Value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, Value);
    Out.append(buf, r.ptr);
}

void AppendCode(std::string& Out, const TStateCode& Code) {
    if (Code) AppendNumber(Out, *Code);
}

bool IsFormulaStart(char C) {
    return C == '=' || C == '+' || C == '-' || C == '@' || C == '\t' || C == '\r' || C == '\'';
}

// Our own words (UTF-8) never begin with a formula character; they still get the
// same guard as every text cell.
void AppendWord(std::string& Out, std::string_view Word) {
    const std::size_t firstShown = Word.find_first_not_of(' ');
    if (firstShown != std::string_view::npos && IsFormulaStart(Word[firstShown])) Out += '\'';
    AppendCsvCell(Out, Word);
}

// The cell of one column for a reply of the column's block.
void AppendCell(std::string& Out, const TColumn& Col, const TReplyData& Data) {
    const auto f = static_cast<std::size_t>(Col.Field);
    switch (Col.Block) {
        case AnalogBlock: {
            const auto& v = std::get<TAnalogValues>(Data);
            if (Col.Role == TRole::Count) {
                AppendNumber(Out, v.UserDefinedCount);
            } else if (f < v.Count && v.Values[f]) {
                AppendNumber(Out, *v.Values[f]);
            }
            return;
        }
        case SwitchBlock: {
            const auto& s = std::get<TSwitchStates>(Data);
            if (Col.Role == TRole::Count) {
                AppendNumber(Out, s.UserDefinedCount);
                return;
            }
            if (f == 0) {
                if (Col.Role == TRole::Word)
                    AppendWord(Out, UnitPowerWord(s.Power));
                else
                    AppendCode(Out, s.Power);
                return;
            }
            const std::size_t item = f - 1;
            if (item >= s.Count) return;
            if (Col.Role == TRole::Word)
                AppendWord(Out, SwitchItemWord(item, s.Items[item]));
            else
                AppendCode(Out, s.Items[item]);
            return;
        }
        case AlarmBlock: {
            const auto& a = std::get<TAlarmStates>(Data);
            if (Col.Role == TRole::Count) {
                AppendNumber(Out, a.UserDefinedCount);
                return;
            }
            if (f >= a.Count) return;
            if (Col.Role == TRole::Word)
                AppendWord(Out, AlarmText(a.Codes[f]));
            else
                AppendCode(Out, a.Codes[f]);
            return;
        }
        case ParamBlock: {
            const auto& p = std::get<TUserParams>(Data);
            if (Col.Role == TRole::Count) {
                AppendNumber(Out, p.UserDefinedCount);
                return;
            }
            if (f < ParamReadingCount) {
                if (p.Readings[f]) AppendNumber(Out, *p.Readings[f]);
                return;
            }
            const std::size_t item = f - ParamReadingCount;
            if (item >= p.ItemCount) return;
            if (Col.Role == TRole::Word)
                AppendWord(Out, ParamItemText(item, p.Items[item]));
            else
                AppendNumber(Out, p.Items[item]);
            return;
        }
        case VersionBlock:
            Out += ProtocolVersionText(std::get<TProtocolVersion>(Data).Ver);
            return;
        case AddressBlock:
            AppendNumber(Out, std::get<TDeviceAddress>(Data).Addr);
            return;
        case VendorBlock: {
            const auto& field = std::get<TVendorInfo>(Data).Fields[f];
            if (field) AppendCsvCell(Out, ControllerTextCell(*field), true);
            return;
        }
        default:
            return;
    }
}

using util::AppendUtf8;
using util::NextUtf8;

constexpr char32_t ControlPictures = 0x2400;  // U+2400..U+241F: pictures of 0x00..0x1F
constexpr char32_t DeletePicture = 0x2421;

// ---------------------------------------------------------------------------
// Reading numbers

std::optional<long long> ParseInteger(std::string_view Cell, long long Min, long long Max) {
    if (Cell.empty()) return std::nullopt;
    long long v = 0;
    const char* end = Cell.data() + Cell.size();
    auto r = std::from_chars(Cell.data(), end, v);
    if (r.ec != std::errc{} || r.ptr != end || v < Min || v > Max) return std::nullopt;
    return v;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view Cell) {
    if (Cell.empty()) return std::nullopt;
    std::uint64_t v = 0;
    const char* end = Cell.data() + Cell.size();
    auto r = std::from_chars(Cell.data(), end, v);
    if (r.ec != std::errc{} || r.ptr != end) return std::nullopt;
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing

const std::vector<std::string>& RecordingColumns() {
    return Layout().Names;
}

std::string RecordingHeader() {
    std::string out;
    bool first = true;
    for (const std::string& name : Layout().Names) {
        if (!first) out += ',';
        first = false;
        AppendCsvCell(out, name);
    }
    out += "\r\n";
    return out;
}

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

std::string ControllerTextCell(std::string_view Latin1) {
    std::string out;
    out.reserve(Latin1.size() + 4);
    const std::size_t firstShown = Latin1.find_first_not_of(' ');
    if (firstShown != std::string_view::npos && IsFormulaStart(Latin1[firstShown])) out += '\'';
    for (char ch : Latin1) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20)
            AppendUtf8(out, ControlPictures + c);
        else if (c == 0x7F)
            AppendUtf8(out, DeletePicture);
        else
            AppendUtf8(out, c);
    }
    return out;
}

std::optional<std::string> ControllerTextFromCell(std::string_view Cell) {
    if (!Cell.empty() && Cell.front() == '\'') Cell.remove_prefix(1);
    std::string out;
    out.reserve(Cell.size());
    std::size_t pos = 0;
    while (pos < Cell.size()) {
        const auto c = NextUtf8(Cell, pos);
        if (!c) return std::nullopt;
        if (*c >= ControlPictures && *c < ControlPictures + 0x20)
            out += static_cast<char>(*c - ControlPictures);
        else if (*c == DeletePicture)
            out += static_cast<char>(0x7F);
        else if (*c < 0x20 || *c == 0x7F || *c > 0xFF)
            return std::nullopt;
        else
            out += static_cast<char>(*c);
    }
    return out;
}

void AppendRecordingRow(std::string& Out, const TRecordedRow& Row, TLocalTimeText& TimeText) {
    const TLayout& l = Layout();
    TimeText.AppendTo(Out, Row.At);
    Out += ',';
    if (!Row.Reply) {
        Out += LostKindName;
        Out += ",,";
        AppendUnsigned(Out, Row.LostRows);
        Out.append(l.Columns.size() - 4, ',');
        Out += "\r\n";
        return;
    }
    const TReplyData& data = *Row.Reply;
    const auto block = static_cast<int>(data.index());
    Out += KindNames[block];
    Out += ',';
    if (auto unit = UnitOf(data)) AppendNumber(Out, *unit + 1);
    Out += ',';
    AppendUnsigned(Out, FieldsCarried(data));
    Out.append(static_cast<std::size_t>(l.BlockStart[block] - 4), ',');
    for (int c = l.BlockStart[block]; c < l.BlockEnd[block]; ++c) {
        Out += ',';
        AppendCell(Out, l.Columns[static_cast<std::size_t>(c)], data);
    }
    Out.append(l.Columns.size() - static_cast<std::size_t>(l.BlockEnd[block]), ',');
    Out += "\r\n";
}

std::string RecordingRow(const TRecordedRow& Row) {
    TLocalTimeText time;
    std::string out;
    AppendRecordingRow(out, Row, time);
    return out;
}

// ---------------------------------------------------------------------------
// Reading

TRecordingReader::TRecordingReader(std::istream& In) : FIn(In), FBuffer(64 * 1024) {
    ReadHeader();
}

bool TRecordingReader::FillBuffer() {
    if (FEof) return false;
    FIn.read(FBuffer.data(), static_cast<std::streamsize>(FBuffer.size()));
    FEnd = static_cast<std::size_t>(FIn.gcount());
    FPos = 0;
    if (FEnd == 0) FEof = true;
    return FEnd > 0;
}

// One line up to its line feed (a CR before it removed). A line longer than
// MaxLineBytes is skipped up to its line feed. Quoted line breaks are not written by
// the recorder; here a line feed always ends the line.
TRecordingReader::TLineResult TRecordingReader::ReadLine() {
    FLineText.clear();
    bool tooLong = false;
    for (;;) {
        if (FPos == FEnd && !FillBuffer()) {
            // The end of the file: what is left had no line feed and was cut off.
            if (!FLineText.empty() || tooLong) FTruncated = true;
            FLineText.clear();
            return TLineResult::End;
        }
        const char* begin = FBuffer.data() + FPos;
        const char* end = FBuffer.data() + FEnd;
        const char* lf = std::find(begin, end, '\n');
        const std::size_t n = static_cast<std::size_t>(lf - begin);
        if (!tooLong) {
            if (FLineText.size() + n > MaxLineBytes) {
                tooLong = true;
                FLineText.clear();
            } else {
                FLineText.append(begin, n);
            }
        }
        FPos += n;
        if (lf != end) {
            ++FPos;  // the line feed
            ++FLine;
            if (tooLong) return TLineResult::TooLong;
            if (!FLineText.empty() && FLineText.back() == '\r') FLineText.pop_back();
            return TLineResult::Line;
        }
    }
}

namespace {

// Splits a CSV line into cells (RFC 4180 quoting); false for a malformed quote.
bool SplitCells(std::string_view Line, std::vector<std::string>& Cells, std::size_t& Count) {
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

}  // namespace

bool TRecordingReader::ReadHeader() {
    const TLineResult r = ReadLine();
    if (r == TLineResult::End) {
        FError = FLine == 0 && !FTruncated ? "文件是空的，不是记录文件。"
                                           : "不是本程序的记录文件：第一行不是记录的表头。";
        FTruncated = false;
        return false;
    }
    if (r == TLineResult::TooLong) {
        FError = "不是本程序的记录文件：第一行过长。";
        return false;
    }
    std::string_view line = FLineText;
    if (line.starts_with(Utf8Bom)) line.remove_prefix(Utf8Bom.size());
    std::size_t count = 0;
    if (!SplitCells(line, FCells, count)) {
        FError = "不是本程序的记录文件：表头的引号不成对。";
        return false;
    }
    const TLayout& l = Layout();
    static const std::unordered_map<std::string_view, int> known = [] {
        std::unordered_map<std::string_view, int> m;
        const TLayout& lay = Layout();
        for (std::size_t i = 0; i < lay.Names.size(); ++i)
            m.emplace(lay.Names[i], static_cast<int>(i));
        return m;
    }();
    FKnownAt.assign(l.Columns.size(), -1);
    for (std::size_t i = 0; i < count; ++i) {
        auto it = known.find(FCells[i]);
        if (it == known.end() || FKnownAt[static_cast<std::size_t>(it->second)] >= 0) continue;
        FKnownAt[static_cast<std::size_t>(it->second)] = static_cast<int>(i);
    }
    for (int i = 0; i < 4; ++i) {
        FFixed[static_cast<std::size_t>(i)] = FKnownAt[static_cast<std::size_t>(i)];
        if (FFixed[static_cast<std::size_t>(i)] < 0) {
            FError = "不是本程序的记录文件：表头缺少“" + std::string(FixedNames[i]) + "”列。";
            return false;
        }
    }
    return true;
}

// Fills Row from the cells of the current line; the reason when the row is damaged.
std::optional<std::string> TRecordingReader::ParseRow(TRecordedRow& Row) {
    std::size_t count = 0;
    if (!SplitCells(FLineText, FCells, count)) return "引号不成对";
    auto cell = [&](int HeaderIndex) -> std::string_view {
        if (HeaderIndex < 0 || static_cast<std::size_t>(HeaderIndex) >= count) return {};
        return FCells[static_cast<std::size_t>(HeaderIndex)];
    };
    auto column = [&](int Known) { return cell(FKnownAt[static_cast<std::size_t>(Known)]); };

    const auto at = FTime.Parse(cell(FFixed[TimeCol]));
    if (!at) return "时间不对";
    Row.At = *at;
    const std::string_view kind = cell(FFixed[KindCol]);
    const auto fields = ParseUnsigned(cell(FFixed[FieldsCol]));
    if (kind == LostKindName) {
        if (!fields) return "丢失行数不对";
        Row.Reply.reset();
        Row.LostRows = *fields;
        return std::nullopt;
    }
    int block = NoBlock;
    for (int b = 0; b < BlockCount; ++b) {
        if (kind == KindNames[b]) block = b;
    }
    if (block == NoBlock) return "类型不对";
    if (!fields) return "字段数不对";
    Row.LostRows = 0;

    const TLayout& l = Layout();
    int unit = 0;
    if (block == AnalogBlock || block == SwitchBlock || block == AlarmBlock) {
        const std::string_view u = cell(FFixed[UnitCol]);
        if (u == "1")
            unit = 0;
        else if (u == "2")
            unit = 1;
        else
            return "空调编号不对";
    }
    // Numbers of the block's columns by role; a bad number names its column.
    std::string bad;
    auto number = [&](int Col, long long Min, long long Max) -> std::optional<long long> {
        const std::string_view c = column(Col);
        if (c.empty()) return std::nullopt;
        auto v = ParseInteger(c, Min, Max);
        if (!v && bad.empty()) bad = l.Names[static_cast<std::size_t>(Col)] + "不对";
        return v;
    };
    auto code = [&](int Col) -> TStateCode {
        auto v = number(Col, 0, 255);
        if (!v || *v == 0x20) return std::nullopt;
        return static_cast<std::uint8_t>(*v);
    };
    auto required = [&](int Col, long long Min, long long Max) -> long long {
        auto v = number(Col, Min, Max);
        if (!v && bad.empty()) bad = l.Names[static_cast<std::size_t>(Col)] + "为空";
        return v.value_or(0);
    };

    const int start = l.BlockStart[block];
    const int end = l.BlockEnd[block];
    switch (block) {
        case AnalogBlock: {
            if (*fields < AnalogFixedCount || *fields > AnalogFieldCount) return "字段数不对";
            TAnalogValues v;
            v.Unit = unit;
            v.DataFlag = static_cast<std::uint8_t>(unit << 1);
            v.Count = static_cast<std::size_t>(*fields);
            for (int c = start; c < end; ++c) {
                const TColumn& col = l.Columns[static_cast<std::size_t>(c)];
                const auto f = static_cast<std::size_t>(col.Field);
                if (col.Role == TRole::Count) {
                    v.UserDefinedCount = static_cast<std::uint8_t>(required(c, 0, 255));
                } else if (f < v.Count) {
                    const bool sign = AnalogFields[f].Signed;
                    auto r = number(c, sign ? -32768 : 0, sign ? 32767 : 65535);
                    if (r) v.Values[f] = static_cast<std::int32_t>(*r);
                }
            }
            Row.Reply = v;
            break;
        }
        case SwitchBlock: {
            if (*fields < 1 || *fields > 1 + SwitchItemCount) return "字段数不对";
            TSwitchStates s;
            s.Unit = unit;
            s.DataFlag = static_cast<std::uint8_t>(unit << 1);
            s.Count = static_cast<std::size_t>(*fields - 1);
            for (int c = start; c < end; ++c) {
                const TColumn& col = l.Columns[static_cast<std::size_t>(c)];
                if (col.Role == TRole::Count) {
                    s.UserDefinedCount = static_cast<std::uint8_t>(required(c, 0, 255));
                } else if (col.Role == TRole::Code) {
                    if (col.Field == 0)
                        s.Power = code(c);
                    else if (static_cast<std::size_t>(col.Field - 1) < s.Count)
                        s.Items[static_cast<std::size_t>(col.Field - 1)] = code(c);
                }
            }
            Row.Reply = s;
            break;
        }
        case AlarmBlock: {
            if (*fields < AlarmFixedCount || *fields > AlarmFieldCount) return "字段数不对";
            TAlarmStates a;
            a.Unit = unit;
            a.DataFlag = static_cast<std::uint8_t>(unit << 1);
            a.Count = static_cast<std::size_t>(*fields);
            for (int c = start; c < end; ++c) {
                const TColumn& col = l.Columns[static_cast<std::size_t>(c)];
                if (col.Role == TRole::Count)
                    a.UserDefinedCount = static_cast<std::uint8_t>(required(c, 0, 255));
                else if (col.Role == TRole::Code && static_cast<std::size_t>(col.Field) < a.Count)
                    a.Codes[static_cast<std::size_t>(col.Field)] = code(c);
            }
            Row.Reply = a;
            break;
        }
        case ParamBlock: {
            if (*fields < ParamReadingCount || *fields > ParamReadingCount + ParamItemCount)
                return "字段数不对";
            TUserParams p;
            p.ItemCount = static_cast<std::size_t>(*fields - ParamReadingCount);
            for (int c = start; c < end; ++c) {
                const TColumn& col = l.Columns[static_cast<std::size_t>(c)];
                const auto f = static_cast<std::size_t>(col.Field);
                if (col.Role == TRole::Count) {
                    p.UserDefinedCount = static_cast<std::uint8_t>(required(c, 0, 255));
                } else if (col.Role == TRole::Reading) {
                    const bool sign = ParamFields[f].Signed;
                    auto r = number(c, sign ? -32768 : 0, sign ? 32767 : 65535);
                    if (r) p.Readings[f] = static_cast<std::int32_t>(*r);
                } else if (col.Role == TRole::Code || col.Role == TRole::Number) {
                    const std::size_t item = f - ParamReadingCount;
                    if (item < p.ItemCount)
                        p.Items[item] = static_cast<std::uint16_t>(required(c, 0, 65535));
                }
            }
            Row.Reply = p;
            break;
        }
        case VersionBlock: {
            if (*fields != 1) return "字段数不对";
            const std::string_view t = column(start);
            const std::size_t dot = t.find('.');
            if (dot == std::string_view::npos) return "协议版本号不对";
            auto major = ParseInteger(t.substr(0, dot), 0, 15);
            auto minor = ParseInteger(t.substr(dot + 1), 0, 15);
            if (!major || !minor) return "协议版本号不对";
            Row.Reply = TProtocolVersion{static_cast<std::uint8_t>(*major << 4 | *minor)};
            break;
        }
        case AddressBlock: {
            if (*fields != 1) return "字段数不对";
            Row.Reply = TDeviceAddress{static_cast<std::uint8_t>(required(start, 0, 255))};
            break;
        }
        case VendorBlock: {
            if (*fields > VendorFields.size()) return "字段数不对";
            constexpr std::size_t sizes[] = {30, 20, 20};
            TVendorInfo v;
            for (std::size_t i = 0; i < *fields; ++i) {
                const int c = start + static_cast<int>(i);
                auto text = ControllerTextFromCell(column(c));
                if (!text || text->size() > sizes[i])
                    return l.Names[static_cast<std::size_t>(c)] + "不对";
                v.Fields[i] = std::move(*text);
            }
            Row.Reply = v;
            break;
        }
        default:
            return "类型不对";
    }
    if (!bad.empty()) return bad;
    return std::nullopt;
}

bool TRecordingReader::Next(TRecordedRow& Row) {
    if (!Ok()) return false;
    for (;;) {
        const TLineResult r = ReadLine();
        if (r == TLineResult::End) return false;
        std::optional<std::string> damage;
        if (r == TLineResult::TooLong)
            damage = "行过长";
        else if (FLineText.empty())
            continue;  // an empty line carries nothing
        else
            damage = ParseRow(Row);
        if (!damage) {
            ++FRowsRead;
            return true;
        }
        if (FDamaged++ == 0) FFirstDamage = "第 " + std::to_string(FLine) + " 行：" + *damage;
    }
}

}  // namespace aircon
