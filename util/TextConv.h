// Text helpers: Latin-1 and UTF-8, whole numbers from text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace util {

// Appends one character as UTF-8 (characters up to U+FFFF).
void AppendUtf8(std::string& Out, char32_t C);
// Appends one Latin-1 byte as UTF-8: each byte is the character of the same number.
inline void AppendLatin1(std::string& Out, unsigned char C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}
// Latin-1 bytes as UTF-8 text.
std::string Latin1ToUtf8(std::string_view Bytes);
// The next UTF-8 character of Text from Pos (advanced past it); empty for a malformed or
// overlong sequence and for four-byte characters (no Latin-1 text or control picture has one).
std::optional<char32_t> NextUtf8(std::string_view Text, std::size_t& Pos);

// A whole number as the operator types it: optional sign, decimal digits, nothing else
// (no blanks); empty when the text is no such number or out of the range of a 32-bit int.
std::optional<std::int32_t> TryStrToInt(std::string_view Text);

}  // namespace util
