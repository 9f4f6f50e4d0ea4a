// Hexadecimal characters of the frame, for the codec's own sources: every byte travels
// as two characters, high nibble first, written in upper case and read in either case;
// a character that is no hexadecimal digit reads as 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "HexText.h"

namespace dhhex {

constexpr std::array<std::uint8_t, 256> MakeNibbleTable() {
    std::array<std::uint8_t, 256> t{};
    for (int c = '0'; c <= '9'; ++c)
        t[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        t[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    return t;
}
inline constexpr std::array<std::uint8_t, 256> NibbleTable = MakeNibbleTable();

// One received character to its nibble.
constexpr std::uint8_t HexCharToNibble(std::uint8_t c) {
    return NibbleTable[c];
}

// The low nibble of v as one upper-case character.
constexpr std::uint8_t NibbleToHexChar(unsigned v) {
    return static_cast<std::uint8_t>(util::HexDigit(v));
}

// A character pair to its byte.
constexpr std::uint8_t HexStrToByte(std::uint8_t hi, std::uint8_t lo) {
    return static_cast<std::uint8_t>((HexCharToNibble(hi) << 4) | HexCharToNibble(lo));
}

// Writes the two characters of a byte at Pos and advances Pos by two.
inline void PutHexByte(std::uint8_t* out, std::size_t& Pos, std::uint8_t v) {
    out[Pos++] = NibbleToHexChar(v >> 4);
    out[Pos++] = NibbleToHexChar(v);
}

}  // namespace dhhex
