// A strict reader of the Prometheus text exposition format, as far as the poller's
// metrics file uses it: HELP and TYPE comments, samples with labels and a value. It
// rejects what a scraper would reject or misread: a sample before its family's HELP and
// TYPE, a family split in two, a second TYPE, a bad escape, a raw line break inside a
// label value, a counter whose name does not end in _total, a value that is no number.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace exposition {

struct TSample {
    std::string Name;
    std::map<std::string, std::string> Labels;  // unescaped values
    std::string Value;
};

struct TParsed {
    std::vector<TSample> Samples;
    std::map<std::string, std::string> Types;  // family -> gauge, counter, ...
    std::string Error;                         // empty when the text is sound

    // The samples of Name whose labels include all of Want.
    std::vector<TSample> Find(const std::string& Name,
                              const std::map<std::string, std::string>& Want = {}) const {
        std::vector<TSample> out;
        for (const auto& s : Samples) {
            if (s.Name != Name) continue;
            bool all = true;
            for (const auto& [k, v] : Want) {
                auto it = s.Labels.find(k);
                if (it == s.Labels.end() || it->second != v) all = false;
            }
            if (all) out.push_back(s);
        }
        return out;
    }
    // The value of the one sample of Name with the labels Want; empty when there is
    // none or more than one.
    std::optional<std::string> Value(const std::string& Name,
                                     const std::map<std::string, std::string>& Want = {}) const {
        const auto found = Find(Name, Want);
        if (found.size() != 1) return std::nullopt;
        return found.front().Value;
    }
};

inline bool IsNameChar(char c, bool First) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           (!First && c >= '0' && c <= '9');
}

// Well-formed UTF-8, as scrapers require of label values.
inline bool ValidUtf8(const std::string& Text) {
    std::size_t i = 0;
    while (i < Text.size()) {
        const auto c = static_cast<unsigned char>(Text[i]);
        std::size_t n = c < 0x80                 ? 1
                        : c >= 0xC2 && c <= 0xDF ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        if (n == 0 || i + n > Text.size()) return false;
        unsigned cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(Text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

inline TParsed Parse(const std::string& Text) {
    TParsed out;
    auto fail = [&](std::size_t LineNo, const std::string& Why) {
        out.Error = "line " + std::to_string(LineNo) + ": " + Why;
        return out;
    };
    if (!Text.empty() && Text.back() != '\n')
        return fail(0, "the text does not end in a line feed");
    std::set<std::string> help, closed;
    std::string current;  // the family whose samples come now
    std::istringstream in(Text);
    std::string line;
    std::size_t no = 0;
    while (std::getline(in, line)) {
        ++no;
        if (line.empty()) continue;
        if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) {
            const bool isType = line[2] == 'T';
            const std::string rest = line.substr(7);
            const auto sp = rest.find(' ');
            if (sp == std::string::npos) return fail(no, "comment without text");
            const std::string name = rest.substr(0, sp);
            if (closed.count(name)) return fail(no, "family " + name + " comes twice");
            if (isType) {
                if (out.Types.count(name)) return fail(no, "second TYPE of " + name);
                const std::string type = rest.substr(sp + 1);
                if (type != "gauge" && type != "counter" && type != "untyped")
                    return fail(no, "unknown type " + type);
                if (type == "counter" && !name.ends_with("_total"))
                    return fail(no, "counter " + name + " does not end in _total");
                out.Types[name] = type;
            } else {
                if (!help.insert(name).second) return fail(no, "second HELP of " + name);
            }
            if (!current.empty() && current != name) closed.insert(current);
            current = name;
            continue;
        }
        if (line[0] == '#') continue;
        std::size_t i = 0;
        if (!IsNameChar(line[0], true)) return fail(no, "bad metric name");
        while (i < line.size() && IsNameChar(line[i], i == 0))
            ++i;
        TSample s;
        s.Name = line.substr(0, i);
        if (s.Name != current) return fail(no, s.Name + " outside its family");
        if (!out.Types.count(s.Name) || !help.count(s.Name))
            return fail(no, s.Name + " without HELP and TYPE");
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                std::size_t start = i;
                while (i < line.size() && IsNameChar(line[i], i == start))
                    ++i;
                const std::string label = line.substr(start, i - start);
                if (label.empty() || i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"')
                    return fail(no, "bad label");
                i += 2;
                std::string value;
                for (;;) {
                    if (i >= line.size()) return fail(no, "label value runs past the line");
                    const char c = line[i++];
                    if (c == '"') break;
                    if (c == '\\') {
                        if (i >= line.size()) return fail(no, "escape at the end of the line");
                        const char e = line[i++];
                        if (e == 'n')
                            value += '\n';
                        else if (e == '\\' || e == '"')
                            value += e;
                        else
                            return fail(no, std::string("bad escape \\") + e);
                        continue;
                    }
                    value += c;
                }
                if (!ValidUtf8(value)) return fail(no, "label " + label + " is not UTF-8");
                if (!s.Labels.emplace(label, value).second) return fail(no, "label twice");
                if (i < line.size() && line[i] == ',') ++i;
            }
            if (i >= line.size()) return fail(no, "labels not closed");
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') return fail(no, "no space before the value");
        s.Value = line.substr(i + 1);
        if (s.Value.empty() || s.Value.find(' ') != std::string::npos)
            return fail(no, "bad value '" + s.Value + "'");
        char* end = nullptr;
        std::strtod(s.Value.c_str(), &end);
        if (*end != '\0') return fail(no, "value '" + s.Value + "' is no number");
        out.Samples.push_back(std::move(s));
    }
    return out;
}

}  // namespace exposition
