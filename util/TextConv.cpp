#include "TextConv.h"

#include <limits>

namespace util {

void AppendUtf8(std::string& Out, char32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

std::string Latin1ToUtf8(std::string_view Bytes) {
    std::string out;
    out.reserve(Bytes.size() * 2);
    for (char ch : Bytes)
        AppendLatin1(out, static_cast<unsigned char>(ch));
    return out;
}

std::optional<char32_t> NextUtf8(std::string_view Text, std::size_t& Pos) {
    const auto c0 = static_cast<unsigned char>(Text[Pos]);
    auto cont = [&](std::size_t i) -> int {
        if (Pos + i >= Text.size()) return -1;
        const auto c = static_cast<unsigned char>(Text[Pos + i]);
        return (c & 0xC0) == 0x80 ? (c & 0x3F) : -1;
    };
    if (c0 < 0x80) {
        ++Pos;
        return c0;
    }
    if ((c0 & 0xE0) == 0xC0) {
        const int c1 = cont(1);
        if (c1 < 0) return std::nullopt;
        const char32_t c = (char32_t(c0 & 0x1F) << 6) | char32_t(c1);
        if (c < 0x80) return std::nullopt;
        Pos += 2;
        return c;
    }
    if ((c0 & 0xF0) == 0xE0) {
        const int c1 = cont(1), c2 = cont(2);
        if (c1 < 0 || c2 < 0) return std::nullopt;
        const char32_t c = (char32_t(c0 & 0x0F) << 12) | (char32_t(c1) << 6) | char32_t(c2);
        if (c < 0x800) return std::nullopt;
        Pos += 3;
        return c;
    }
    return std::nullopt;
}

std::optional<std::int32_t> TryStrToInt(std::string_view Text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
        negative = Text[i] == '-';
        ++i;
    }
    if (i == Text.size()) return std::nullopt;
    // Stop as soon as the magnitude leaves what 32 bits can hold (INT_MIN included).
    constexpr long long limit =
        static_cast<long long>(std::numeric_limits<std::int32_t>::max()) + 1;
    long long value = 0;
    for (; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace util
