// One home for the frame: the check with its reason, a parsed reply, the frame taken
// apart field by field, a command builder that sizes itself, hexadecimal text and the
// named codes of the protocol.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "DH.h"

// The codes of the protocol.
namespace CID2 {
inline constexpr std::uint8_t Analog = 0x42;       // read analog values
inline constexpr std::uint8_t Switches = 0x43;     // read switch states
inline constexpr std::uint8_t Alarms = 0x44;       // read alarm states
inline constexpr std::uint8_t Remote = 0x45;       // remote control
inline constexpr std::uint8_t UserParams = 0x47;   // read user parameters
inline constexpr std::uint8_t SetParam = 0x49;     // set one user parameter
inline constexpr std::uint8_t Version = 0x4F;      // read protocol version
inline constexpr std::uint8_t Address = 0x50;      // read device address
inline constexpr std::uint8_t VendorInfo = 0x51;   // read vendor information
}  // namespace CID2

// Why a frame fails the check; the tests apply in this order.
enum class TFrameCheck {
    Ok,
    TooShort,   // fewer than 18 characters
    OddLength,  // an odd number of characters
    ChkSum,     // CHKSUM differs from the sum of the characters
    LChkSum,    // LCHKSUM differs from the sum of the LENID nibbles
};
TFrameCheck CheckFrameReason(std::span<const std::uint8_t> Frame);
std::string_view FrameCheckText(TFrameCheck Check);  // "CHKSUM错", "LCHKSUM错", ...

// A frame that passed the check, decoded.
struct TParsedFrame {
    TDH_Header Header;  // VER, ADR, CID1, and CID2 (command) or RTN (reply)
    std::uint16_t Length = 0;               // LCHKSUM and LENID
    std::vector<std::uint8_t> Info;         // the INFO bytes present (size from the frame size)
    std::uint16_t ChkSum = 0;
};
std::optional<TParsedFrame> ParseFrame(std::span<const std::uint8_t> Frame);

// Any frame taken apart, also one that failed the check: every field the frame is long
// enough to hold, what it says and what it should say. Never reads beyond Frame.
struct TFrameAnatomy {
    std::optional<std::uint8_t> Ver, Addr, CID1, Cid2OrRtn;
    std::optional<std::uint16_t> Length;         // as received
    std::optional<std::uint16_t> LenId;          // low 12 bits of Length
    std::optional<std::uint8_t> LChkSum;         // as received
    std::optional<std::uint8_t> LChkSumExpected; // from the LENID received
    std::vector<std::uint8_t> Info;              // INFO bytes present
    bool InfoLengthMatches = false;              // LENID equals the INFO characters present
    std::optional<std::uint16_t> ChkSum;          // as received
    std::optional<std::uint16_t> ChkSumExpected;  // from the characters received
    TFrameCheck Check = TFrameCheck::TooShort;
};
TFrameAnatomy DissectFrame(std::span<const std::uint8_t> Frame);

// The whole command frame for Header and Info, sized by itself.
std::vector<std::uint8_t> BuildCommand(TDH_Header Header, std::span<const std::uint8_t> Info);

// Bytes as upper-case hexadecimal pairs, each followed by one space ("7E 31 0D ").
std::string HexText(std::span<const std::uint8_t> Bytes);
