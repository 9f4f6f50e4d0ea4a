// Reply frames of the controller and the checks it applies to a command frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace acsim {

// Return codes a controller puts in the CID2 slot of its reply.
enum Rtn : std::uint8_t {
    RtnOk = 0x00,
    RtnVer = 0x01,
    RtnChkSum = 0x02,
    RtnLChkSum = 0x03,
    RtnCid2 = 0x04,
    RtnFormat = 0x05,
    RtnData = 0x06,
};

// Builds a reply frame "~ VER ADR CID1 RTN LENGTH INFO CHKSUM CR". LENID is
// twice the INFO length (the command table of the codec does not apply to
// replies), LCHKSUM and CHKSUM come from the codec.
std::string BuildReply(std::uint8_t ver, std::uint8_t addr, std::uint8_t cid1, std::uint8_t rtn,
                       std::span<const std::uint8_t> info);

// One command frame as the controller sees it, from "~" to the carriage
// return inclusive, after the checks that decide whether and how to answer
// (the codec's frame check, then whether LENID matches the INFO present).
struct CommandFrame {
    enum class Verdict {
        Ok,          // well formed: header, INFO and checksums agree
        Malformed,   // too short or of odd length: no field can be trusted
        BadChkSum,   // CHKSUM does not match the characters received
        BadLChkSum,  // LCHKSUM does not match LENID
        BadLength,   // LENID does not match the INFO characters present
    };
    Verdict verdict = Verdict::Malformed;
    // Address as read from the frame; absent when the frame is too short to
    // carry one before its carriage return.
    std::optional<std::uint8_t> addr;
    std::uint8_t ver = 0;
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    std::vector<std::uint8_t> info;
};

CommandFrame ParseCommand(std::span<const std::uint8_t> frame);

// Reads the INFO bytes of a reply frame (as built by BuildReply); empty when
// the frame is too short.
std::vector<std::uint8_t> ReplyInfo(std::string_view frame);

}  // namespace acsim
