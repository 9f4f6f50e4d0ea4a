#include "HexText.h"

namespace util {

std::string Hex(std::uint32_t Value, int Digits) {
    std::string s(static_cast<std::size_t>(Digits > 0 ? Digits : 0), '0');
    for (int i = Digits - 1; i >= 0; --i, Value >>= 4)
        s[static_cast<std::size_t>(i)] = HexDigit(Value);
    return s;
}

std::string HexCode(std::uint8_t Byte) {
    std::string s = "0x";
    AppendHex(s, Byte);
    return s;
}

std::string SpacedHex(std::span<const std::uint8_t> Bytes, bool Trailing) {
    std::string out;
    if (Bytes.empty()) return out;
    out.reserve(Bytes.size() * 3);
    for (std::uint8_t b : Bytes) {
        AppendHex(out, b);
        out += ' ';
    }
    if (!Trailing) out.pop_back();
    return out;
}

}  // namespace util
