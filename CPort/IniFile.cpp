#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>

#include <fstream>
#endif

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#ifndef _WIN32
#include "PosixIo.h"
#endif
#include "TextCase.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view S) {
    const auto First = S.find_first_not_of(kBlanks);
    if (First == std::string_view::npos) return {};
    const auto Last = S.find_last_not_of(kBlanks);
    return S.substr(First, Last - First + 1);
}

using textcase::SameText;

// Cuts Text after Max UTF-8 characters, never inside a multi-byte sequence.
std::string_view CutCharacters(std::string_view Text, std::size_t Max) {
    std::size_t Count = 0;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        const auto Byte = static_cast<unsigned char>(Text[I]);
        if ((Byte & 0xC0) != 0x80) {  // first byte of a character
            if (Count == Max) return Text.substr(0, I);
            ++Count;
        }
    }
    return Text;
}

enum class TLineKind { Blank, Comment, Section, Key, Other };

struct TLine {
    std::string Text;  // without the line ending
    std::string Eol;   // "\n", "\r\n" or "" for a last line without ending
    TLineKind Kind = TLineKind::Other;
    std::string_view Name() const;  // section or key name, trimmed
    std::string_view Value() const;
};

TLineKind Classify(std::string_view Text) {
    const auto T = Trim(Text);
    if (T.empty()) return TLineKind::Blank;
    if (T.front() == ';' || T.front() == '#') return TLineKind::Comment;
    if (T.front() == '[') return TLineKind::Section;
    if (T.find('=') != std::string_view::npos) return TLineKind::Key;
    return TLineKind::Other;
}

std::string_view TLine::Name() const {
    const auto T = Trim(Text);
    if (Kind == TLineKind::Section) {
        auto Inner = T.substr(1);
        return Trim(Inner.substr(0, Inner.find(']')));
    }
    return Trim(T.substr(0, T.find('=')));
}

std::string_view TLine::Value() const {
    std::string_view V(Text);
    V = Trim(V.substr(V.find('=') + 1));
    if (V.size() >= 2 && (V.front() == '"' || V.front() == '\'') && V.back() == V.front())
        V = V.substr(1, V.size() - 2);
    return V;
}

struct TDocument {
    std::string Bom;
    std::vector<TLine> Lines;

    static TDocument Parse(std::string_view Content) {
        TDocument Doc;
        if (Content.starts_with(kBom)) {
            Doc.Bom = kBom;
            Content.remove_prefix(kBom.size());
        }
        while (!Content.empty()) {
            TLine Line;
            const auto Nl = Content.find('\n');
            std::string_view Body = Content.substr(0, Nl);
            if (Nl == std::string_view::npos) {
                Content = {};
            } else {
                Content.remove_prefix(Nl + 1);
                const bool Crlf = Body.ends_with('\r');
                if (Crlf) Body.remove_suffix(1);
                Line.Eol = std::string_view(Crlf ? "\r\n" : "\n");
            }
            Line.Text = Body;
            Line.Kind = Classify(Body);
            Doc.Lines.push_back(std::move(Line));
        }
        return Doc;
    }

    std::string Serialize() const {
        std::string Out = Bom;
        for (const auto& L : Lines)
            Out += L.Text + L.Eol;
        return Out;
    }

    // The line ending the file already uses (first line's), so added lines match the rest.
    std::string Eol() const {
        for (const auto& L : Lines)
            if (!L.Eol.empty()) return L.Eol;
        return "\n";
    }

    // Index range [Begin, End) of the lines inside the first section named Section, Begin being
    // the header; nullopt when the section is missing.
    std::optional<std::pair<std::size_t, std::size_t>> FindSection(std::string_view Section) const {
        for (std::size_t I = 0; I < Lines.size(); ++I) {
            if (Lines[I].Kind != TLineKind::Section || !SameText(Lines[I].Name(), Section))
                continue;
            std::size_t End = I + 1;
            while (End < Lines.size() && Lines[End].Kind != TLineKind::Section)
                ++End;
            return std::make_pair(I, End);
        }
        return std::nullopt;
    }

    std::optional<std::size_t> FindKey(std::string_view Section, std::string_view Key) const {
        const auto Range = FindSection(Section);
        if (!Range) return std::nullopt;
        for (std::size_t I = Range->first + 1; I < Range->second; ++I)
            if (Lines[I].Kind == TLineKind::Key && SameText(Lines[I].Name(), Key)) return I;
        return std::nullopt;
    }
};

[[noreturn]] void FailWrite(const std::string& Path);

#ifdef _WIN32
// Whole file, or nullopt when it is missing or cannot be read. Bytes as they are: no line-end
// translation.
std::optional<std::string> ReadFile(const std::string& Path, int* Error = nullptr) {
    std::ifstream In(fs::path(Path), std::ios::binary);
    if (!In) {
        if (Error) {
            std::error_code Ec;
            *Error = fs::exists(fs::path(Path), Ec) ? EACCES : ENOENT;
        }
        return std::nullopt;
    }
    std::string Content((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    if (In.bad()) {
        if (Error) *Error = EIO;
        return std::nullopt;
    }
    return Content;
}

// Written beside the target, then moved over it in one step (MoveFileExW replaces an existing
// file, which rename does not on Windows). File modes do not apply.
void ReplaceFile(const std::string& ShownName, const fs::path& Target, std::string_view Content,
                 std::optional<mode_t>) {
    static std::atomic<unsigned> Counter{0};
    const fs::path Dir = Target.has_parent_path() ? Target.parent_path() : fs::path(".");
    fs::path Temp;
    for (int Attempt = 0; Attempt < 100; ++Attempt) {
        Temp = Dir / ("." + Target.filename().string() + ".tmp" +
                      std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(Counter++));
        std::error_code Ec;
        if (!fs::exists(Temp, Ec)) break;
    }
    bool Ok = false;
    {
        std::ofstream Out(Temp, std::ios::binary | std::ios::trunc);
        if (Out) {
            Out.write(Content.data(), static_cast<std::streamsize>(Content.size()));
            Out.flush();
            Ok = static_cast<bool>(Out);
        }
    }
    if (!Ok || !::MoveFileExW(Temp.wstring().c_str(), Target.wstring().c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        std::error_code Ec;
        fs::remove(Temp, Ec);
        FailWrite(ShownName);
    }
}
#else
// Whole file, or nullopt when it is missing or cannot be read.
std::optional<std::string> ReadFile(const std::string& Path, int* Error = nullptr) {
    const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
        if (Error) *Error = errno;
        return std::nullopt;
    }
    std::string Content;
    char Buf[8192];
    for (;;) {
        const ssize_t N = posixio::RetryEintr([&] { return ::read(Fd, Buf, sizeof Buf); });
        if (N < 0) {
            if (Error) *Error = errno;
            ::close(Fd);
            return std::nullopt;
        }
        if (N == 0) break;
        Content.append(Buf, static_cast<std::size_t>(N));
    }
    ::close(Fd);
    return Content;
}

#endif

[[noreturn]] void FailWrite(const std::string& Path) {
    throw EIniFileError("Unable to write to " + Path);
}

// A settings path that is a symbolic link is written through: the link stays, its target changes.
fs::path ResolveLinks(fs::path Path) {
    for (int Depth = 0; Depth < 16; ++Depth) {
        std::error_code Ec;
        if (!fs::is_symlink(fs::symlink_status(Path, Ec))) return Path;
        const fs::path Target = fs::read_symlink(Path, Ec);
        if (Ec) return Path;
        Path = Target.is_absolute() ? Target : Path.parent_path() / Target;
    }
    return Path;
}

#ifndef _WIN32
bool WriteAll(int Fd, std::string_view Data) {
    while (!Data.empty()) {
        const ssize_t N =
            posixio::RetryEintr([&] { return ::write(Fd, Data.data(), Data.size()); });
        if (N < 0) return false;
        Data.remove_prefix(static_cast<std::size_t>(N));
    }
    return true;
}

void ReplaceFile(const std::string& ShownName, const fs::path& Target, std::string_view Content,
                 std::optional<mode_t> KeepMode) {
    static std::atomic<unsigned> Counter{0};
    const fs::path Dir = Target.has_parent_path() ? Target.parent_path() : fs::path(".");
    std::string TempName;
    int Fd = -1;
    for (int Attempt = 0; Attempt < 100 && Fd < 0; ++Attempt) {
        std::string Leaf = ".";
        Leaf.append(Target.filename().string())
            .append(".tmp")
            .append(std::to_string(::getpid()))
            .append("_")
            .append(std::to_string(Counter++));
        TempName = (Dir / Leaf).string();
        Fd = ::open(TempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (Fd < 0 && errno != EEXIST) break;
    }
    if (Fd < 0) FailWrite(ShownName);
    bool Ok =
        (!KeepMode || ::fchmod(Fd, *KeepMode) == 0) && WriteAll(Fd, Content) && ::fsync(Fd) == 0;
    Ok = (::close(Fd) == 0) && Ok;
    if (!Ok || ::rename(TempName.c_str(), Target.c_str()) != 0) {
        ::unlink(TempName.c_str());
        FailWrite(ShownName);
    }
}

#endif

bool StorableName(std::string_view Name, bool IsKey) {
    const auto T = Trim(Name);
    if (T.empty() || T.size() != Name.size()) return false;
    for (char C : Name)
        if (C == '\n' || C == '\r' || C == '\0' || (IsKey ? C == '=' : C == ']')) return false;
    return !IsKey || (T.front() != '[' && T.front() != ';' && T.front() != '#');
}

}  // namespace

bool IniTextToInt(std::string_view Text, std::int32_t& Value) {
    Text = Trim(Text);
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        std::uint64_t V = 0;
        for (char C : Text.substr(2)) {
            int Digit;
            if (C >= '0' && C <= '9')
                Digit = C - '0';
            else if (C >= 'a' && C <= 'f')
                Digit = C - 'a' + 10;
            else if (C >= 'A' && C <= 'F')
                Digit = C - 'A' + 10;
            else
                return false;
            V = V * 16 + static_cast<unsigned>(Digit);
            if (V > 0xFFFFFFFFu) return false;
        }
        // Hexadecimal gives the 32-bit pattern: 0xFFFFFFFF reads as -1.
        Value = static_cast<std::int32_t>(static_cast<std::uint32_t>(V));
        return true;
    }
    bool Negative = false;
    if (!Text.empty() && (Text[0] == '-' || Text[0] == '+')) {
        Negative = Text[0] == '-';
        Text.remove_prefix(1);
    }
    if (Text.empty()) return false;
    std::int64_t V = 0;
    for (char C : Text) {
        if (C < '0' || C > '9') return false;
        V = V * 10 + (C - '0');
        if (V > 2147483648LL) return false;
    }
    if (Negative) V = -V;
    if (V > 2147483647LL) return false;
    Value = static_cast<std::int32_t>(V);
    return true;
}

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 std::string_view Default) const {
    const auto Content = ReadFile(FFileName);
    if (!Content) return std::string(CutCharacters(Default, MaxValueLength));
    const auto Doc = TDocument::Parse(*Content);
    const auto Index = Doc.FindKey(Section, Key);
    const std::string_view Found = Index ? Doc.Lines[*Index].Value() : Default;
    return std::string(CutCharacters(Found, MaxValueLength));
}

std::int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key,
                                   std::int32_t Default) const {
    std::int32_t Value = Default;
    if (!IniTextToInt(ReadString(Section, Key, ""), Value)) return Default;
    return Value;
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Key) const {
    const auto Content = ReadFile(FFileName);
    return Content && TDocument::Parse(*Content).FindKey(Section, Key).has_value();
}

void TIniFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
    // A name or value that would break the line structure (and could smuggle in other keys) is
    // refused instead of being written half-way.
    if (!StorableName(Section, false) || !StorableName(Key, true) ||
        Value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        FailWrite(FFileName);

    const fs::path Target = ResolveLinks(fs::path(FFileName));
    int Error = 0;
    auto Content = ReadFile(Target.string(), &Error);
    std::optional<mode_t> KeepMode;
    if (!Content) {
        // Only a missing file may start afresh; an unreadable one must not be overwritten.
        if (Error != ENOENT) FailWrite(FFileName);
        Content.emplace();
    } else {
        // A settings file made read-only stays as it is, although the folder would allow
        // replacing it.
        if (::access(Target.string().c_str(), W_OK) != 0) FailWrite(FFileName);
        struct stat St {};
        if (::stat(Target.string().c_str(), &St) == 0) KeepMode = St.st_mode & 07777;
    }

    auto Doc = TDocument::Parse(*Content);
    const std::string Eol = Doc.Eol();
    const std::string NewLine = std::string(Key) + "=" + std::string(Value);

    if (const auto Index = Doc.FindKey(Section, Key)) {
        TLine& Line = Doc.Lines[*Index];
        const auto Lead = Line.Text.find_first_not_of(kBlanks);
        Line.Text = Line.Text.substr(0, Lead) + std::string(Line.Name()) + "=" + std::string(Value);
    } else if (const auto Range = Doc.FindSection(Section)) {
        std::size_t After = Range->first;
        for (std::size_t I = Range->first + 1; I < Range->second; ++I)
            if (Doc.Lines[I].Kind == TLineKind::Key || Doc.Lines[I].Kind == TLineKind::Other)
                After = I;
        if (Doc.Lines[After].Eol.empty()) Doc.Lines[After].Eol = Eol;
        Doc.Lines.insert(Doc.Lines.begin() + static_cast<std::ptrdiff_t>(After) + 1,
                         TLine{NewLine, Eol, TLineKind::Key});
    } else {
        if (!Doc.Lines.empty()) {
            if (Doc.Lines.back().Eol.empty()) Doc.Lines.back().Eol = Eol;
            if (Doc.Lines.back().Kind != TLineKind::Blank)
                Doc.Lines.push_back(TLine{"", Eol, TLineKind::Blank});
        }
        Doc.Lines.push_back(TLine{"[" + std::string(Section) + "]", Eol, TLineKind::Section});
        Doc.Lines.push_back(TLine{NewLine, Eol, TLineKind::Key});
    }
    ReplaceFile(FFileName, Target, Doc.Serialize(), KeepMode);
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value) {
    WriteString(Section, Key, std::to_string(Value));
}
