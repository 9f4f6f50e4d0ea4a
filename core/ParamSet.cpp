#include "ParamSet.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <variant>

#include "DH.h"
#include "Frame.h"
#include "TextConv.h"

namespace aircon {

namespace {

// Where a value goes in the file: the column of the comment after it.
constexpr std::size_t CommentColumn = 32;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// An identity text as the file keeps it: on one line, without blanks at either end.
std::string IdentityText(std::string_view Text) {
    std::string out;
    for (const char c : Text) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? '?' : c;
    }
    return std::string(Trim(out));
}

std::span<const TStateWord> ChoicesOf(std::size_t Index) {
    return Index < ParamReadingCount ? std::span<const TStateWord>{}
                                     : ParamItemWords(Index - ParamReadingCount);
}

std::int32_t Lowest(std::size_t Index) {
    return ParamFields[Index].Signed ? -32768 : 0;
}
std::int32_t Highest(std::size_t Index) {
    return ParamFields[Index].Signed ? 32767 : 65535;
}

std::string Hex(std::uint8_t Code) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[Code >> 4] + digits[Code & 15];
}

std::string ChoiceList(std::span<const TStateWord> Words, std::string_view Separator) {
    std::string out;
    for (const TStateWord& w : Words) {
        if (!out.empty()) out += Separator;
        out += w.Text;
    }
    return out;
}

// The code of a choice written as its word (or as a code that has a word).
std::optional<std::uint16_t> ChoiceCode(std::span<const TStateWord> Words, std::string_view Text) {
    for (const TStateWord& w : Words)
        if (w.Text == Text) return w.Code;
    if (const auto n = util::TryStrToInt(Text); n && *n >= 0 && *n <= 0xFFFF)
        if (StateWord(Words, static_cast<std::uint16_t>(*n))) return static_cast<std::uint16_t>(*n);
    return std::nullopt;
}

std::optional<std::uint8_t> ProtocolVersionOf(std::string_view Text) {
    const std::size_t dot = Text.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const auto major = util::TryStrToInt(Text.substr(0, dot));
    const auto minor = util::TryStrToInt(Text.substr(dot + 1));
    if (!major || !minor || *major < 0 || *major > 15 || *minor < 0 || *minor > 15)
        return std::nullopt;
    return static_cast<std::uint8_t>(*major << 4 | *minor);
}

}  // namespace

std::size_t TParamSet::Count() const {
    return static_cast<std::size_t>(
        std::count_if(Values.begin(), Values.end(), [](const auto& v) { return v.has_value(); }));
}

std::optional<std::int32_t> ParamSetValue(const TUserParams& Params, std::size_t Index) {
    if (Index < ParamReadingCount) return Params.Readings[Index];
    const std::size_t item = Index - ParamReadingCount;
    if (item >= ParamItemCount || item >= Params.ItemCount) return std::nullopt;
    return Params.Items[item];
}

TParamSet ParamSetOf(const TUserParams& Params, const TParamSetIdentity& Identity,
                     std::string SavedAt) {
    TParamSet s;
    s.SavedAt = std::move(SavedAt);
    s.Identity = Identity;
    for (auto* text : {&s.Identity.Name, &s.Identity.SoftwareVersion, &s.Identity.Vendor})
        if (*text) *text = IdentityText(**text);
    for (std::size_t i = 0; i < ParamSetCount; ++i)
        s.Values[i] = ParamSetValue(Params, i);
    return s;
}

std::string ParamSetValueText(std::size_t Index, std::int32_t Value) {
    const auto words = ChoicesOf(Index);
    if (!words.empty() && Value >= 0 && Value <= 0xFFFF)
        if (const auto w = StateWord(words, static_cast<std::uint16_t>(Value)))
            return std::string(*w);
    return std::to_string(Value);
}

std::string FormatParamSet(const TParamSet& Set) {
    std::string out =
        "# AirConTool 参数文件：空调控制器的用户参数 (0x47)，以及保存时控制器的身份。\n"
        "# AirConTool parameter set: the controller's user parameters and its identity.\n"
        "# 每行一个“键 = 值”，“#”之后是注释；选择项写文字（如 制冷、高风）。\n"
        "# One \"key = value\" a line; \"#\" starts a comment; choices are written as words.\n"
        "# 可以删去不需要比较和写入的参数行。Lines of parameters may be removed: only the\n"
        "# parameters the file holds are compared and written.\n";
    out += "format_version = " + std::to_string(ParamSetFormatVersion) + "\n";
    if (!Set.SavedAt.empty()) out += "saved_at = " + Set.SavedAt + "\n";

    const TParamSetIdentity& id = Set.Identity;
    out += "\n[controller]\n";
    auto line = [&out](std::string_view Key, const std::string& Value) {
        out += Key;
        out += " = ";
        out += Value;
        out += '\n';
    };
    if (id.Address) line("address", std::to_string(*id.Address));
    if (id.ProtocolVersion) line("protocol_version", ProtocolVersionText(*id.ProtocolVersion));
    if (id.Name) line(VendorFields[0].Key, IdentityText(*id.Name));
    if (id.SoftwareVersion) line(VendorFields[1].Key, IdentityText(*id.SoftwareVersion));
    if (id.Vendor) line(VendorFields[2].Key, IdentityText(*id.Vendor));

    out += "\n[parameters]\n";
    for (std::size_t i = 0; i < ParamSetCount; ++i) {
        const TFieldInfo& f = ParamFields[i];
        const auto words = ChoicesOf(i);
        std::string comment = "# " + std::string(f.Caption) + " (" + Hex(ParamFieldCode(i)) + ")";
        if (!words.empty()) comment += "：" + ChoiceList(words, " ");
        const auto& v = Set.Values[i];
        std::string entry;
        if (!v) {
            entry = "# " + std::string(f.Key) + " =";
            comment += "；未读到（控制器未报告或未检测），不比较也不写入";
        } else if (!words.empty() &&
                   (*v < 0 || !StateWord(words, static_cast<std::uint16_t>(*v)))) {
            // A code the controller reported that no choice has: kept, but not as a value
            // that could be written back.
            entry = "# " + std::string(f.Key) + " = " + std::to_string(*v);
            comment +=
                "；控制器报告的代码 " + std::to_string(*v) + " 不是可设定的选择，不比较也不写入";
        } else {
            entry = std::string(f.Key) + " = " + ParamSetValueText(i, *v);
        }
        out += entry;
        // Columns as a terminal shows them: a Chinese character takes two.
        std::size_t width = 0;
        for (std::size_t p = 0; p < entry.size();) {
            const auto c = util::NextUtf8(entry, p);
            if (!c) ++p;
            width += c && *c >= 0x2E80 ? 2 : 1;
        }
        out += std::string(width < CommentColumn ? CommentColumn - width : 1, ' ');
        out += comment;
        out += '\n';
    }
    return out;
}

std::string TParamSetError::Text() const {
    return Line > 0 ? "line " + std::to_string(Line) + ": " + Reason : Reason;
}

std::string TParamSetError::TextZh() const {
    return Line > 0 ? "第 " + std::to_string(Line) + " 行：" + ReasonZh : ReasonZh;
}

TParamSetParse ParseParamSet(std::string_view Text) {
    TParamSetParse result;
    TParamSet set;
    auto error = [&result](int Line, TParamSetErrorKind Kind, std::string En, std::string Zh) {
        result.Errors.push_back(TParamSetError{Line, Kind, std::move(En), std::move(Zh)});
    };
    if (Text.find('\0') != std::string_view::npos) {
        error(0, TParamSetErrorKind::NotAParamSet, "not a text file (it holds zero bytes)",
              "不是文本文件（含有零字节）");
        return result;
    }
    if (Text.starts_with("\xEF\xBB\xBF")) Text.remove_prefix(3);

    enum class TSection { Header, Controller, Parameters } section = TSection::Header;
    bool haveFormat = false;
    std::vector<std::string> seen;  // "section/key" given so far
    int lineNo = 0;
    std::size_t pos = 0;
    while (pos < Text.size()) {
        const std::size_t nl = std::min(Text.find('\n', pos), Text.size());
        const std::string_view raw = Text.substr(pos, nl - pos);
        pos = nl + 1;
        ++lineNo;
        std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;

        if (line.front() == '[') {
            if (!haveFormat) {
                error(lineNo, TParamSetErrorKind::NotAParamSet,
                      "no format_version line before the first section: not a parameter set",
                      "第一个段落之前没有 format_version 行：不是参数文件");
                return result;
            }
            const std::string_view name =
                line.back() == ']' ? Trim(line.substr(1, line.size() - 2)) : std::string_view{};
            if (name == "controller") {
                section = TSection::Controller;
            } else if (name == "parameters") {
                section = TSection::Parameters;
            } else {
                error(lineNo, TParamSetErrorKind::UnknownSection,
                      "unknown section '" + std::string(line) +
                          "' (there are [controller] and "
                          "[parameters])",
                      "未知的段落“" + std::string(line) + "”（只有 [controller] 和 [parameters]）");
                section = TSection::Header;  // its lines are not taken for another section's
                haveFormat = true;
            }
            continue;
        }

        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            error(lineNo, TParamSetErrorKind::Syntax,
                  "'" + std::string(line) + "' is not \"key = value\"",
                  "“" + std::string(line) + "”不是“键 = 值”");
            continue;
        }
        const std::string key(Trim(line.substr(0, eq)));
        std::string_view value = Trim(line.substr(eq + 1));
        const std::string sectionName = section == TSection::Header       ? ""
                                        : section == TSection::Controller ? "controller/"
                                                                          : "parameters/";

        if (section == TSection::Parameters) {
            // A value of a parameter is a number or a word: a comment may follow it.
            value = Trim(value.substr(0, value.find('#')));
            std::optional<std::size_t> index;
            for (std::size_t i = 0; i < ParamSetCount; ++i)
                if (ParamFields[i].Key == key || ParamFields[i].Caption == key) index = i;
            if (!index) {
                error(lineNo, TParamSetErrorKind::UnknownKey, "unknown parameter '" + key + "'",
                      "未知的参数“" + key + "”");
                continue;
            }
            const TFieldInfo& f = ParamFields[*index];
            const std::string who = std::string(f.Key);
            const std::string whoZh = std::string(f.Caption);
            if (set.Values[*index]) {
                error(lineNo, TParamSetErrorKind::Duplicate, who + " is given twice",
                      whoZh + "（" + who + "）出现了两次");
                continue;
            }
            if (const auto words = ChoicesOf(*index); !words.empty()) {
                const auto code = ChoiceCode(words, value);
                if (!code) {
                    error(lineNo, TParamSetErrorKind::NotAChoice,
                          who + ": '" + std::string(value) +
                              "' is not a choice the controller takes (" + ChoiceList(words, ", ") +
                              ")",
                          whoZh + "：“" + std::string(value) + "”不是控制器可以设定的选择（" +
                              ChoiceList(words, "、") + "）");
                    continue;
                }
                set.Values[*index] = *code;
                continue;
            }
            const auto n = util::TryStrToInt(value);
            if (!n || *n < Lowest(*index) || *n > Highest(*index)) {
                error(lineNo, TParamSetErrorKind::OutOfRange,
                      who + ": '" + std::string(value) + "' is not a whole number from " +
                          std::to_string(Lowest(*index)) + " to " + std::to_string(Highest(*index)),
                      whoZh + "：“" + std::string(value) + "”不是 " +
                          std::to_string(Lowest(*index)) + " 到 " +
                          std::to_string(Highest(*index)) + " 之间的整数");
                continue;
            }
            set.Values[*index] = *n;
            continue;
        }

        const std::string full = sectionName + key;
        if (std::find(seen.begin(), seen.end(), full) != seen.end()) {
            error(lineNo, TParamSetErrorKind::Duplicate, key + " is given twice",
                  key + " 出现了两次");
            continue;
        }
        seen.push_back(full);
        if (section == TSection::Header) {
            if (key == "format_version") {
                const auto v = util::TryStrToInt(value);
                if (!v || *v != ParamSetFormatVersion) {
                    error(lineNo, TParamSetErrorKind::OtherFormat,
                          "format version '" + std::string(value) + "': this program reads " +
                              std::to_string(ParamSetFormatVersion),
                          "文件格式版本“" + std::string(value) + "”：本程序只读取版本 " +
                              std::to_string(ParamSetFormatVersion));
                    return result;  // the rest means something else in another version
                }
                haveFormat = true;
            } else if (key == "saved_at") {
                set.SavedAt = std::string(value);
            } else {
                error(lineNo, TParamSetErrorKind::UnknownKey, "unknown key '" + key + "'",
                      "未知的键“" + key + "”");
            }
            continue;
        }
        // [controller]
        if (key == "address") {
            const auto a = util::TryStrToInt(value);
            if (!value.empty() && (!a || *a < 0 || *a > 255)) {
                error(lineNo, TParamSetErrorKind::BadIdentity,
                      "address: '" + std::string(value) + "' is not 0 to 255",
                      "address：“" + std::string(value) + "”不是 0 到 255 之间的地址");
                continue;
            }
            if (a) set.Identity.Address = static_cast<std::uint8_t>(*a);
        } else if (key == "protocol_version") {
            const auto v = ProtocolVersionOf(value);
            if (!value.empty() && !v) {
                error(lineNo, TParamSetErrorKind::BadIdentity,
                      "protocol_version: '" + std::string(value) + "' is not such as 1.0",
                      "protocol_version：“" + std::string(value) + "”不是 1.0 这样的版本号");
                continue;
            }
            set.Identity.ProtocolVersion = v;
        } else if (key == VendorFields[0].Key || key == VendorFields[1].Key ||
                   key == VendorFields[2].Key) {
            auto& field = key == VendorFields[0].Key   ? set.Identity.Name
                          : key == VendorFields[1].Key ? set.Identity.SoftwareVersion
                                                       : set.Identity.Vendor;
            if (!value.empty()) field = std::string(value);
        } else {
            error(lineNo, TParamSetErrorKind::UnknownKey,
                  "unknown key '" + key + "' in [controller]",
                  "[controller] 中未知的键“" + key + "”");
        }
    }
    if (!haveFormat) {
        // Whatever else it holds, it is no parameter set: its lines mean nothing here.
        result.Errors.clear();
        error(0, TParamSetErrorKind::NotAParamSet, "no format_version line: not a parameter set",
              "没有 format_version 行：不是参数文件");
        return result;
    }
    if (result.Errors.empty() && set.Count() == 0)
        error(0, TParamSetErrorKind::Empty, "the file holds no parameter (section [parameters])",
              "文件中没有任何参数（[parameters] 段落）");
    if (result.Errors.empty()) result.Set = std::move(set);
    return result;
}

TParamSetParse ReadParamSetFile(const std::string& Path) {
    constexpr std::size_t Largest = 64 * 1024;
    TParamSetParse result;
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        const std::string why = std::strerror(errno);
        result.Errors.push_back(TParamSetError{0, TParamSetErrorKind::NotAParamSet,
                                               "cannot read it: " + why, "无法读取：" + why});
        return result;
    }
    std::string text;
    text.resize(Largest + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > Largest) {
        result.Errors.push_back(TParamSetError{0, TParamSetErrorKind::NotAParamSet,
                                               "larger than 64 KiB: not a parameter set",
                                               "大于 64 KiB：不是参数文件"});
        return result;
    }
    return ParseParamSet(text);
}

std::vector<TParamWrite> TParamComparison::Writes() const {
    std::vector<TParamWrite> out;
    for (const TParamCompareRow& r : Rows)
        if (r.Differs && r.File)
            out.push_back(TParamWrite{r.Code, static_cast<std::uint16_t>(*r.File)});
    return out;
}

TParamComparison CompareParamSet(const TParamSet& File, const TUserParams& Controller,
                                 const TParamSetIdentity& ControllerIdentity) {
    TParamComparison c;
    for (std::size_t i = 0; i < ParamSetCount; ++i) {
        TParamCompareRow r;
        r.Index = i;
        r.Code = ParamFieldCode(i);
        r.Key = ParamFields[i].Key;
        r.Caption = ParamFields[i].Caption;
        r.File = File.Values[i];
        r.Controller = ParamSetValue(Controller, i);
        r.InFile = r.File.has_value();
        if (r.File) r.FileText = ParamSetValueText(i, *r.File);
        if (r.Controller)
            r.ControllerText = ParamSetValueText(i, *r.Controller);
        else
            r.ControllerText = i < ParamReadingCount ? std::string(NotDetectedText) : "未读到";
        r.Differs = r.InFile && r.Controller != r.File;
        c.InFile += r.InFile ? 1 : 0;
        c.Differing += r.Differs ? 1 : 0;
        c.Rows.push_back(std::move(r));
    }
    auto check = [&c](const TFieldInfo& Field, const std::optional<std::string>& InFile,
                      const std::optional<std::string>& Held) {
        if (!InFile || !Held) return;
        const std::string held = IdentityText(*Held);
        if (IdentityText(*InFile) != held)
            c.Mismatches.push_back(TIdentityMismatch{Field.Key, Field.Caption, *InFile, held});
    };
    check(VendorFields[0], File.Identity.Name, ControllerIdentity.Name);
    check(VendorFields[2], File.Identity.Vendor, ControllerIdentity.Vendor);
    return c;
}

// ---------------------------------------------------------------------------
// Jobs

TPollPause::TPollPause(TMonitor& Monitor) : FMonitor(Monitor) {
    FWasPolling = FMonitor.PollTimer().Enabled();
    FMonitor.PollTimer().SetEnabled(false);
    FMonitor.AddObserver(*this);
}

TPollPause::~TPollPause() {
    End();
}

void TPollPause::End() {
    if (FEnded) return;
    FEnded = true;
    FMonitor.RemoveObserver(*this);
    // A link that closed meanwhile stopped polling for good; the next opening starts it.
    if (FWasPolling && FMonitor.LinkConnected()) FMonitor.PollTimer().SetEnabled(true);
}

TParamSetReader::TParamSetReader(TMonitor& Monitor) : FMonitor(Monitor) {}

TParamSetReader::~TParamSetReader() {
    if (FStarted) FMonitor.RemoveObserver(*this);
}

void TParamSetReader::Start() {
    if (FStarted) return;
    FStarted = true;
    // The pause hears of a closing link before this reader ends it.
    FPause = std::make_unique<TPollPause>(FMonitor);
    FMonitor.AddObserver(*this);
    FWaiting = {CID2::Version, CID2::Address, CID2::VendorInfo, CID2::UserParams};
    for (const std::uint8_t cid : FWaiting)
        FMonitor.QueueCommand(TIntCMD{cid, 0, 0});
}

void TParamSetReader::OnCommandSent(const TCommandSent& e) {
    if (FDone || !FStarted) return;
    if (std::find(FWaiting.begin(), FWaiting.end(), e.CID2) != FWaiting.end()) FOnLine = e.CID2;
}

void TParamSetReader::OnReplyReceived(const TReplyReceived& e) {
    if (FDone || !FOnLine || e.LastCID2 != *FOnLine) return;
    const std::uint8_t cid = *FOnLine;
    if (e.Rtn == 0 && e.Data) {
        if (const auto* v = std::get_if<TProtocolVersion>(e.Data))
            FIdentity.ProtocolVersion = v->Ver;
        else if (const auto* a = std::get_if<TDeviceAddress>(e.Data))
            FIdentity.Address = a->Addr;
        else if (const auto* p = std::get_if<TUserParams>(e.Data))
            FParams = *p;
        else if (const auto* info = std::get_if<TVendorInfo>(e.Data)) {
            std::optional<std::string>* fields[] = {&FIdentity.Name, &FIdentity.SoftwareVersion,
                                                    &FIdentity.Vendor};
            for (std::size_t i = 0; i < 3; ++i)
                if (info->Fields[i]) *fields[i] = VendorFieldText(*info->Fields[i]);
        }
    } else if (cid == CID2::UserParams) {
        if (e.Rtn != 0) {
            FFailure = "控制器拒绝读取参数：" + TDH::RtnToString(e.Rtn) + "（RTN " +
                       std::to_string(e.Rtn) + "）";
            FFailureEn = "the controller refused to give its parameters (0x47): RTN " +
                         std::to_string(e.Rtn) + " " + TDH::RtnToString(e.Rtn);
        } else {
            FFailure = "控制器的参数应答无法解读（太短）";
            FFailureEn = "the controller's reply to 0x47 is too short to read";
        }
    }
    Conclude(cid);
}

void TParamSetReader::OnReplyMissing(const TReplyMissing& e) {
    if (FDone || !FOnLine || e.CID2 != *FOnLine) return;
    if (e.CID2 == CID2::UserParams) {
        FFailure = "控制器无应答：没有回复读取参数命令 (0x47)";
        FFailureEn = "no reply from the controller to 0x47 (read the parameters)";
    }
    Conclude(e.CID2);
}

void TParamSetReader::OnLinkClosed(const TLinkClosed&) {
    if (FDone || !FStarted) return;
    if (!FParams) {
        FFailure = "串口已关闭，参数未读完";
        FFailureEn = "the port closed before the parameters were read";
    }
    Finish();
}

void TParamSetReader::Conclude(std::uint8_t CID2) {
    FOnLine.reset();
    FWaiting.erase(std::remove(FWaiting.begin(), FWaiting.end(), CID2), FWaiting.end());
    if (FWaiting.empty()) Finish();
}

void TParamSetReader::Finish() {
    if (FDone) return;
    FDone = true;
    if (FPause) FPause->End();
    if (OnDone) OnDone();
}

TParamSetWriter::TParamSetWriter(TMonitor& Monitor, std::vector<TParamWrite> Writes)
    : FMonitor(Monitor), FJob(Monitor, std::move(Writes)) {
    FJob.OnProgress = [this](std::size_t Index) {
        if (OnProgress) OnProgress(Index);
    };
    FJob.OnDone = [this] {
        if (FPause) FPause->End();
        if (OnDone) OnDone();
    };
}

TParamSetWriter::~TParamSetWriter() = default;

void TParamSetWriter::Start() {
    if (FPause) return;
    // The pause observes before the job does (the job observes from its start): it hears of
    // a closing link before the job ends.
    FPause = std::make_unique<TPollPause>(FMonitor);
    FJob.Start();
}

std::size_t TParamSetWriter::Verified() const {
    return static_cast<std::size_t>(
        std::count_if(FJob.Results().begin(), FJob.Results().end(),
                      [](const TParamResult& r) { return r.Outcome == TParamOutcome::Verified; }));
}

}  // namespace aircon
