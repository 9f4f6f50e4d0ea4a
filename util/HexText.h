// Hexadecimal text: upper-case digits, high nibble first.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace util {

inline constexpr char HexDigits[] = "0123456789ABCDEF";

// The low nibble of V as one upper-case digit.
constexpr char HexDigit(unsigned V) {
    return HexDigits[V & 0xF];
}

// Value as exactly Digits digits (the high ones dropped): Hex(0x3A, 2) == "3A".
std::string Hex(std::uint32_t Value, int Digits = 2);
// Appends the two digits of a byte.
inline void AppendHex(std::string& Out, std::uint8_t Byte) {
    Out += HexDigit(Byte >> 4u);
    Out += HexDigit(Byte);
}
// "0x" and the two digits of a byte: "0x3A".
std::string HexCode(std::uint8_t Byte);
// Bytes as pairs of digits, a space between them ("7E 31 30"); with Trailing a space after
// the last one too.
std::string SpacedHex(std::span<const std::uint8_t> Bytes, bool Trailing = false);

}  // namespace util
