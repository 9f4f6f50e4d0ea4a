#include "Frame.h"

#include "Hex.h"

namespace {

constexpr std::size_t MinFrameSize = 18;  // a frame without INFO

using dhhex::HexCharToNibble;

// The byte of the character pair at Pos; the caller makes sure both characters exist.
std::uint8_t PairAt(std::span<const std::uint8_t> Frame, std::size_t Pos) {
    return dhhex::HexStrToByte(Frame[Pos], Frame[Pos + 1]);
}

// The CHKSUM field: the four characters before the carriage return.
std::uint16_t ReceivedChkSum(std::span<const std::uint8_t> Frame) {
    const std::size_t size = Frame.size();
    return static_cast<std::uint16_t>(PairAt(Frame, size - 5) << 8 | PairAt(Frame, size - 3));
}

// LENID: the three characters after LCHKSUM, most significant first.
std::uint16_t ReceivedLenId(std::span<const std::uint8_t> Frame) {
    return static_cast<std::uint16_t>(HexCharToNibble(Frame[10]) << 8 |
                                      HexCharToNibble(Frame[11]) << 4 | HexCharToNibble(Frame[12]));
}

}  // namespace

std::string_view FrameCheckText(TFrameCheck Check) {
    switch (Check) {
        case TFrameCheck::Ok:
            return "正常";
        case TFrameCheck::TooShort:
            return "帧长不足18字符";
        case TFrameCheck::OddLength:
            return "帧长为奇数";
        case TFrameCheck::ChkSum:
            return "CHKSUM错";
        case TFrameCheck::LChkSum:
            return "LCHKSUM错";
    }
    return "";
}

std::optional<TParsedFrame> ParseFrame(std::span<const std::uint8_t> Frame) {
    if (CheckFrameReason(Frame) != TFrameCheck::Ok) return std::nullopt;
    const std::size_t size = Frame.size();
    TParsedFrame p;
    p.Header = TDH_Header{PairAt(Frame, 1), PairAt(Frame, 3), PairAt(Frame, 5), PairAt(Frame, 7)};
    p.Length = static_cast<std::uint16_t>(PairAt(Frame, 9) << 8 | PairAt(Frame, 11));
    p.Info.resize((size - MinFrameSize) / 2);
    for (std::size_t i = 0; i < p.Info.size(); ++i)
        p.Info[i] = PairAt(Frame, 13 + 2 * i);
    p.ChkSum = ReceivedChkSum(Frame);
    return p;
}

// The fields lie between the "~" at index 0 and the carriage return at the last
// index; a field is read only when all its characters lie there.
TFrameAnatomy DissectFrame(std::span<const std::uint8_t> Frame) {
    TFrameAnatomy a;
    const std::size_t size = Frame.size();
    // Characters before the EOI: a field ending at index e needs e < size - 1.
    const std::size_t body = size >= 1 ? size - 1 : 0;
    auto has = [&](std::size_t From, std::size_t Count) { return From + Count <= body; };
    if (has(1, 2)) a.Ver = PairAt(Frame, 1);
    if (has(3, 2)) a.Addr = PairAt(Frame, 3);
    if (has(5, 2)) a.CID1 = PairAt(Frame, 5);
    if (has(7, 2)) a.Cid2OrRtn = PairAt(Frame, 7);
    if (has(9, 4)) {
        const std::uint16_t lenid = ReceivedLenId(Frame);
        a.Length = static_cast<std::uint16_t>(HexCharToNibble(Frame[9]) << 12 | lenid);
        a.LenId = lenid;
        a.LChkSum = HexCharToNibble(Frame[9]);
        a.LChkSumExpected = TDH::CalcLChkSum(lenid);
    }
    if (size >= MinFrameSize) {
        a.ChkSum = ReceivedChkSum(Frame);
        a.ChkSumExpected = TDH::CalcChkSum(Frame.first(size - 5));
        a.Info.resize((size - MinFrameSize) / 2);
        for (std::size_t i = 0; i < a.Info.size(); ++i)
            a.Info[i] = PairAt(Frame, 13 + 2 * i);
        a.InfoLengthMatches = a.LenId && *a.LenId == size - MinFrameSize;
    }
    a.Check = CheckFrameReason(Frame);
    return a;
}

std::vector<std::uint8_t> BuildCommand(TDH_Header Header, std::span<const std::uint8_t> Info) {
    std::vector<std::uint8_t> frame(MinFrameSize + 2 * Info.size());
    TDH::GenCmdPacket(Header, frame, Info);
    return frame;
}

std::string HexText(std::span<const std::uint8_t> Bytes) {
    return util::SpacedHex(Bytes, true);
}
