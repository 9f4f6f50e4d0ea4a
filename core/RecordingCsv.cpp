#include "RecordingCsv.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>
#include <unordered_map>

#include "CsvText.h"
#include "TextConv.h"

namespace aircon {

namespace {

using namespace std::chrono;

// ---------------------------------------------------------------------------
// The columns

// The blocks of columns, one per alternative of TReplyData in its order; the lost-rows marker
// has none.
constexpr int BlockCount = static_cast<int>(std::variant_size_v<TReplyData>);
constexpr int NoBlock = -1;
using TBlock = int;

constexpr std::string_view LostKindName = "丢失行";
constexpr std::string_view Dot = "·";
constexpr std::string_view CodeSuffix = "·代码";

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

// ---------------------------------------------------------------------------
// Cells

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

// A cell being read back: its text, the row's 字段数, and where the row's first fault goes
// (a fault names the cell's column).
class TCellIn {
  public:
    TCellIn(std::string_view Text, const std::string& Name, std::uint64_t Fields,
            std::optional<TRowDamage>& Bad)
        : FText(Text), FName(Name), FFields(Fields), FBad(Bad) {}

    std::string_view Text() const { return FText; }
    std::uint64_t Fields() const { return FFields; }
    // The cell's number; empty when the cell is empty or holds no number from Min to Max
    // (a fault: BadCell).
    std::optional<long long> Number(long long Min, long long Max) const {
        if (FText.empty()) return std::nullopt;
        auto v = ParseInteger(FText, Min, Max);
        if (!v) Fail();
        return v;
    }
    // A number the row must have: an empty cell is a fault too (EmptyCell).
    long long Required(long long Min, long long Max) const {
        auto v = Number(Min, Max);
        if (!v) Fault(TRowDamageKind::EmptyCell);
        return v.value_or(0);
    }
    // A reading of a field signed or not.
    TReading Reading(bool Signed) const {
        auto v = Number(Signed ? -32768 : 0, Signed ? 32767 : 65535);
        if (!v) return std::nullopt;
        return static_cast<std::int32_t>(*v);
    }
    // A state or alarm code; 0x20 (not detected) reads as empty.
    TStateCode Code() const {
        auto v = Number(0, 255);
        if (!v || *v == 0x20) return std::nullopt;
        return static_cast<std::uint8_t>(*v);
    }
    void Fail() const { Fault(TRowDamageKind::BadCell); }

  private:
    void Fault(TRowDamageKind Kind) const {
        if (!FBad) FBad = TRowDamage{0, Kind, FName};
    }

    std::string_view FText;
    const std::string& FName;
    std::uint64_t FFields;
    std::optional<TRowDamage>& FBad;
};

// ---------------------------------------------------------------------------
// The columns: each writes its cell of a reply of its kind and reads it back

using TWrite = void (*)(std::string& Out, const TReplyData& Data, std::size_t Field);
using TRead = void (*)(const TCellIn& In, TReplyData& Data, std::size_t Field);

struct TColumn {
    std::string Name;
    TBlock Block = NoBlock;
    std::size_t Field = 0;   // the field within its reply (see each kind)
    TWrite Write = nullptr;  // null for the four fixed columns
    TRead Read = nullptr;    // null for a column written only (a word)
};

enum TFixedColumn { TimeCol, KindCol, UnitCol, FieldsCol };
constexpr std::string_view FixedNames[4] = {"时间", "类型", "空调", "字段数"};

// Adds the columns of one kind, named "<kind>·<caption>".
class TColumnsOf {
  public:
    TColumnsOf(std::vector<TColumn>& Columns, TBlock Block, std::string_view Kind)
        : FColumns(Columns), FBlock(Block), FKind(Kind) {}

    void Add(std::string_view Caption, std::size_t Field, TWrite Write, TRead Read) {
        FColumns.push_back({Named(Caption), FBlock, Field, Write, Read});
    }
    // A column named by the kind alone (a kind of one field).
    void AddWhole(TWrite Write, TRead Read) {
        FColumns.push_back({std::string(FKind), FBlock, 0, Write, Read});
    }
    // A coded field: its word (written only), then "·代码" with the code.
    void AddCoded(std::string_view Caption, std::size_t Field, TWrite Word, TWrite Code,
                  TRead Read) {
        FColumns.push_back({Named(Caption), FBlock, Field, Word, nullptr});
        FColumns.push_back({Named(Caption) + std::string(CodeSuffix), FBlock, Field, Code, Read});
    }

  private:
    std::string Named(std::string_view Caption) const {
        return std::string(FKind) + std::string(Dot) + std::string(Caption);
    }
    std::vector<TColumn>& FColumns;
    TBlock FBlock;
    std::string_view FKind;
};

template <class T>
const T& As(const TReplyData& Data) {
    return std::get<T>(Data);
}
template <class T>
T& As(TReplyData& Data) {
    return std::get<T>(Data);
}

// One kind of reply in the recording: its columns, how many fields a reply carried (字段数),
// its unit, and the empty record a row of that many fields reads into.
struct TKind {
    std::string_view Name;  // the word in 类型
    void (*Columns)(TColumnsOf& Add);
    std::uint64_t (*Fields)(const TReplyData& Data);
    std::optional<int> (*Unit)(const TReplyData& Data);  // null: the kind names no unit
    // Empty when Fields is out of the kind's range.
    std::optional<TReplyData> (*Begin)(std::uint64_t Fields, int Unit);
};

template <class T>
std::optional<int> UnitOf(const TReplyData& Data) {
    return As<T>(Data).Unit;
}
// A monitor reply of unit Unit carrying Count fields, when Count lies from Min to Max.
template <class T>
std::optional<TReplyData> MonitorRecord(std::uint64_t Count, std::uint64_t Min, std::uint64_t Max,
                                        int Unit) {
    if (Count < Min || Count > Max) return std::nullopt;
    T r;
    r.Unit = Unit;
    r.DataFlag = static_cast<std::uint8_t>(Unit << 1);
    r.Count = static_cast<std::size_t>(Count);
    return r;
}

// The user-defined count byte of a reply: a number the row must have.
template <class T>
void AddCount(TColumnsOf& Add, const TFieldInfo& Field) {
    Add.Add(
        Field.Caption, 0,
        [](std::string& Out, const TReplyData& D, std::size_t) {
            AppendNumber(Out, As<T>(D).UserDefinedCount);
        },
        [](const TCellIn& In, TReplyData& D, std::size_t) {
            As<T>(D).UserDefinedCount = static_cast<std::uint8_t>(In.Required(0, 255));
        });
}

// 模拟量: readings 0..17, then the count.
void AnalogColumns(TColumnsOf& Add) {
    for (std::size_t i = 0; i < AnalogFieldCount; ++i)
        Add.Add(
            AnalogFields[i].Caption, i,
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                const auto& v = As<TAnalogValues>(D);
                if (F < v.Count && v.Values[F]) AppendNumber(Out, *v.Values[F]);
            },
            [](const TCellIn& In, TReplyData& D, std::size_t F) {
                auto& v = As<TAnalogValues>(D);
                if (F < v.Count) v.Values[F] = In.Reading(AnalogFields[F].Signed);
            });
    AddCount<TAnalogValues>(Add, AnalogCountField);
}

// 开关量: field 0 the power state, 1..9 the items, then the count.
void SwitchColumns(TColumnsOf& Add) {
    auto code = [](const TCellIn& In, TReplyData& D, std::size_t F) {
        auto& s = As<TSwitchStates>(D);
        if (F == 0)
            s.Power = In.Code();
        else if (F - 1 < s.Count)
            s.Items[F - 1] = In.Code();
    };
    Add.AddCoded(
        SwitchPowerField.Caption, 0,
        [](std::string& Out, const TReplyData& D, std::size_t) {
            AppendWord(Out, UnitPowerWord(As<TSwitchStates>(D).Power));
        },
        [](std::string& Out, const TReplyData& D, std::size_t) {
            AppendCode(Out, As<TSwitchStates>(D).Power);
        },
        code);
    for (std::size_t i = 0; i < SwitchItemCount; ++i)
        Add.AddCoded(
            SwitchFields[i].Caption, i + 1,
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                const auto& s = As<TSwitchStates>(D);
                if (F - 1 < s.Count) AppendWord(Out, SwitchItemWord(F - 1, s.Items[F - 1]));
            },
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                const auto& s = As<TSwitchStates>(D);
                if (F - 1 < s.Count) AppendCode(Out, s.Items[F - 1]);
            },
            code);
    AddCount<TSwitchStates>(Add, SwitchCountField);
}

// 告警状态: alarms 0..35, then the count.
void AlarmColumns(TColumnsOf& Add) {
    for (std::size_t i = 0; i < AlarmFieldCount; ++i)
        Add.AddCoded(
            AlarmFields[i].Caption, i,
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                const auto& a = As<TAlarmStates>(D);
                if (F < a.Count) AppendWord(Out, AlarmText(a.Codes[F]));
            },
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                const auto& a = As<TAlarmStates>(D);
                if (F < a.Count) AppendCode(Out, a.Codes[F]);
            },
            [](const TCellIn& In, TReplyData& D, std::size_t F) {
                auto& a = As<TAlarmStates>(D);
                if (F < a.Count) a.Codes[F] = In.Code();
            });
    AddCount<TAlarmStates>(Add, AlarmCountField);
}

// 用户参数: readings 0..6, items 7..15 (the first four with a word), then the count.
constexpr std::size_t ParamWordItems = 4;

void ParamColumns(TColumnsOf& Add) {
    for (std::size_t i = 0; i < ParamReadingCount; ++i)
        Add.Add(
            ParamFields[i].Caption, i,
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                if (const auto& r = As<TUserParams>(D).Readings[F]) AppendNumber(Out, *r);
            },
            [](const TCellIn& In, TReplyData& D, std::size_t F) {
                As<TUserParams>(D).Readings[F] = In.Reading(ParamFields[F].Signed);
            });
    const TWrite number = [](std::string& Out, const TReplyData& D, std::size_t F) {
        const auto& p = As<TUserParams>(D);
        if (F - ParamReadingCount < p.ItemCount) AppendNumber(Out, p.Items[F - ParamReadingCount]);
    };
    const TRead item = [](const TCellIn& In, TReplyData& D, std::size_t F) {
        auto& p = As<TUserParams>(D);
        if (F - ParamReadingCount < p.ItemCount)
            p.Items[F - ParamReadingCount] = static_cast<std::uint16_t>(In.Required(0, 65535));
    };
    for (std::size_t i = 0; i < ParamItemCount; ++i) {
        const std::size_t field = ParamReadingCount + i;
        if (i < ParamWordItems)
            Add.AddCoded(
                ParamFields[field].Caption, field,
                [](std::string& Out, const TReplyData& D, std::size_t F) {
                    const auto& p = As<TUserParams>(D);
                    const std::size_t item = F - ParamReadingCount;
                    if (item < p.ItemCount) AppendWord(Out, ParamItemText(item, p.Items[item]));
                },
                number, item);
        else
            Add.Add(ParamFields[field].Caption, field, number, item);
    }
    AddCount<TUserParams>(Add, ParamCountField);
}

// 协议版本号: "major.minor".
void VersionColumns(TColumnsOf& Add) {
    Add.AddWhole([](std::string& Out, const TReplyData& D,
                    std::size_t) { Out += ProtocolVersionText(As<TProtocolVersion>(D).Ver); },
                 [](const TCellIn& In, TReplyData& D, std::size_t) {
                     const std::string_view t = In.Text();
                     const std::size_t dot = t.find('.');
                     if (dot == std::string_view::npos) return In.Fail();
                     auto major = ParseInteger(t.substr(0, dot), 0, 15);
                     auto minor = ParseInteger(t.substr(dot + 1), 0, 15);
                     if (!major || !minor) return In.Fail();
                     As<TProtocolVersion>(D).Ver = static_cast<std::uint8_t>(*major << 4 | *minor);
                 });
}

// 设备地址: a number.
void AddressColumns(TColumnsOf& Add) {
    Add.AddWhole([](std::string& Out, const TReplyData& D,
                    std::size_t) { AppendNumber(Out, As<TDeviceAddress>(D).Addr); },
                 [](const TCellIn& In, TReplyData& D, std::size_t) {
                     As<TDeviceAddress>(D).Addr = static_cast<std::uint8_t>(In.Required(0, 255));
                 });
}

// 厂商信息: the three controller texts, each within its field's size.
void VendorColumns(TColumnsOf& Add) {
    for (std::size_t i = 0; i < VendorFields.size(); ++i)
        Add.Add(
            VendorFields[i].Caption, i,
            [](std::string& Out, const TReplyData& D, std::size_t F) {
                if (const auto& field = As<TVendorInfo>(D).Fields[F])
                    AppendCsvCell(Out, ControllerTextCell(*field), true);
            },
            [](const TCellIn& In, TReplyData& D, std::size_t F) {
                if (F >= In.Fields()) return;
                auto text = ControllerTextFromCell(In.Text());
                if (!text || text->size() > VendorFields[F].Bytes) return In.Fail();
                As<TVendorInfo>(D).Fields[F] = std::move(*text);
            });
}

// The kinds in the order of the alternatives of TReplyData: a new kind of reply is one more
// entry here.
const TKind Kinds[] = {
    {"模拟量", AnalogColumns,
     [](const TReplyData& D) -> std::uint64_t { return As<TAnalogValues>(D).Count; },
     UnitOf<TAnalogValues>,
     [](std::uint64_t N, int Unit) {
         return MonitorRecord<TAnalogValues>(N, AnalogFixedCount, AnalogFieldCount, Unit);
     }},
    {"开关量", SwitchColumns,
     [](const TReplyData& D) -> std::uint64_t { return 1 + As<TSwitchStates>(D).Count; },
     UnitOf<TSwitchStates>,
     [](std::uint64_t N, int Unit) -> std::optional<TReplyData> {
         // 字段数 counts the power state too.
         if (N < 1) return std::nullopt;
         return MonitorRecord<TSwitchStates>(N - 1, 0, SwitchItemCount, Unit);
     }},
    {"告警状态", AlarmColumns,
     [](const TReplyData& D) -> std::uint64_t { return As<TAlarmStates>(D).Count; },
     UnitOf<TAlarmStates>,
     [](std::uint64_t N, int Unit) {
         return MonitorRecord<TAlarmStates>(N, AlarmFixedCount, AlarmFieldCount, Unit);
     }},
    {"用户参数", ParamColumns,
     [](const TReplyData& D) -> std::uint64_t {
         return ParamReadingCount + As<TUserParams>(D).ItemCount;
     },
     nullptr,
     [](std::uint64_t N, int) -> std::optional<TReplyData> {
         if (N < ParamReadingCount || N > ParamReadingCount + ParamItemCount) return std::nullopt;
         TUserParams p;
         p.ItemCount = static_cast<std::size_t>(N - ParamReadingCount);
         return p;
     }},
    {"协议版本号", VersionColumns, [](const TReplyData&) -> std::uint64_t { return 1; }, nullptr,
     [](std::uint64_t N, int) -> std::optional<TReplyData> {
         if (N != 1) return std::nullopt;
         return TProtocolVersion{};
     }},
    {"设备地址", AddressColumns, [](const TReplyData&) -> std::uint64_t { return 1; }, nullptr,
     [](std::uint64_t N, int) -> std::optional<TReplyData> {
         if (N != 1) return std::nullopt;
         return TDeviceAddress{};
     }},
    {"厂商信息", VendorColumns,
     [](const TReplyData& D) -> std::uint64_t {
         const auto& v = As<TVendorInfo>(D);
         std::uint64_t n = 0;
         while (n < v.Fields.size() && v.Fields[n])
             ++n;
         return n;
     },
     nullptr,
     [](std::uint64_t N, int) -> std::optional<TReplyData> {
         if (N > VendorFields.size()) return std::nullopt;
         return TVendorInfo{};
     }},
};
static_assert(std::size(Kinds) == BlockCount);

struct TLayout {
    std::vector<TColumn> Columns;
    std::vector<std::string> Names;
    int BlockStart[BlockCount] = {};
    int BlockEnd[BlockCount] = {};
};

const TLayout& Layout() {
    static const TLayout layout = [] {
        TLayout l;
        for (std::size_t i = 0; i < 4; ++i)
            l.Columns.push_back({std::string(FixedNames[i]), NoBlock, i, nullptr, nullptr});
        for (int b = 0; b < BlockCount; ++b) {
            l.BlockStart[b] = static_cast<int>(l.Columns.size());
            TColumnsOf add(l.Columns, b, Kinds[b].Name);
            Kinds[b].Columns(add);
            l.BlockEnd[b] = static_cast<int>(l.Columns.size());
        }
        for (const TColumn& c : l.Columns)
            l.Names.push_back(c.Name);
        return l;
    }();
    return layout;
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
    const TKind& k = Kinds[block];
    Out += k.Name;
    Out += ',';
    if (k.Unit) AppendNumber(Out, *k.Unit(data) + 1);
    Out += ',';
    AppendUnsigned(Out, k.Fields(data));
    Out.append(static_cast<std::size_t>(l.BlockStart[block] - 4), ',');
    for (int c = l.BlockStart[block]; c < l.BlockEnd[block]; ++c) {
        Out += ',';
        const TColumn& col = l.Columns[static_cast<std::size_t>(c)];
        col.Write(Out, data, col.Field);
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

TRecordingReader::TRecordingReader(std::istream& In) : FLines(In, MaxLineBytes) {
    ReadHeader();
}

using TLineResult = util::TBoundedLineReader::TResult;

bool TRecordingReader::ReadHeader() {
    const TLineResult r = FLines.ReadLine();
    if (r == TLineResult::End) {
        FRefusal.Kind = FLines.LineNumber() == 0 && !FLines.Truncated()
                            ? TRecordingRefusalKind::Empty
                            : TRecordingRefusalKind::NoHeader;
        FLines.ClearTruncated();
        return false;
    }
    if (r == TLineResult::TooLong) {
        FRefusal.Kind = TRecordingRefusalKind::HeaderTooLong;
        return false;
    }
    std::string_view line = FLines.Text();
    if (line.starts_with(Utf8Bom)) line.remove_prefix(Utf8Bom.size());
    std::size_t count = 0;
    if (!util::SplitCsvCells(line, FCells, count)) {
        FRefusal.Kind = TRecordingRefusalKind::HeaderQuotes;
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
            FRefusal = {TRecordingRefusalKind::MissingColumn, std::string(FixedNames[i])};
            return false;
        }
    }
    return true;
}

// Fills Row from the cells of the current line; what is wrong when the row is damaged.
std::optional<TRowDamage> TRecordingReader::ParseRow(TRecordedRow& Row) {
    auto damage = [](TRowDamageKind Kind) { return TRowDamage{0, Kind, {}}; };
    std::size_t count = 0;
    if (!util::SplitCsvCells(FLines.Text(), FCells, count)) return damage(TRowDamageKind::Quotes);
    auto cell = [&](int HeaderIndex) -> std::string_view {
        if (HeaderIndex < 0 || static_cast<std::size_t>(HeaderIndex) >= count) return {};
        return FCells[static_cast<std::size_t>(HeaderIndex)];
    };
    auto column = [&](int Known) { return cell(FKnownAt[static_cast<std::size_t>(Known)]); };

    const auto at = FTime.Parse(cell(FFixed[TimeCol]));
    if (!at) return damage(TRowDamageKind::Time);
    Row.At = *at;
    const std::string_view kind = cell(FFixed[KindCol]);
    const auto fields = ParseUnsigned(cell(FFixed[FieldsCol]));
    if (kind == LostKindName) {
        if (!fields) return damage(TRowDamageKind::LostCount);
        Row.Reply.reset();
        Row.LostRows = *fields;
        return std::nullopt;
    }
    int block = NoBlock;
    for (int b = 0; b < BlockCount; ++b) {
        if (kind == Kinds[b].Name) block = b;
    }
    if (block == NoBlock) return damage(TRowDamageKind::Kind);
    if (!fields) return damage(TRowDamageKind::FieldCount);
    Row.LostRows = 0;

    const TKind& k = Kinds[block];
    int unit = 0;
    if (k.Unit) {
        const std::string_view u = cell(FFixed[UnitCol]);
        if (u == "1")
            unit = 0;
        else if (u == "2")
            unit = 1;
        else
            return damage(TRowDamageKind::Unit);
    }
    std::optional<TReplyData> reply = k.Begin(*fields, unit);
    if (!reply) return damage(TRowDamageKind::FieldCount);
    // Each column reads its cell; the first fault names its column.
    const TLayout& l = Layout();
    std::optional<TRowDamage> bad;
    for (int c = l.BlockStart[block]; c < l.BlockEnd[block]; ++c) {
        const TColumn& col = l.Columns[static_cast<std::size_t>(c)];
        if (col.Read) col.Read(TCellIn(column(c), col.Name, *fields, bad), *reply, col.Field);
    }
    if (bad) return bad;
    Row.Reply = std::move(*reply);
    return std::nullopt;
}

bool TRecordingReader::Next(TRecordedRow& Row) {
    if (!Ok()) return false;
    for (;;) {
        const TLineResult r = FLines.ReadLine();
        if (r == TLineResult::End) return false;
        std::optional<TRowDamage> damage;
        if (r == TLineResult::TooLong)
            damage = TRowDamage{0, TRowDamageKind::TooLong, {}};
        else if (FLines.Text().empty())
            continue;  // an empty line carries nothing
        else
            damage = ParseRow(Row);
        if (!damage) {
            ++FRowsRead;
            return true;
        }
        if (FDamaged++ == 0) {
            FFirstDamage = std::move(damage);
            FFirstDamage->Line = FLines.LineNumber();
        }
    }
}

}  // namespace aircon
