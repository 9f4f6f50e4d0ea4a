#include "SimFrame.h"

#include <DH.h>
#include <Frame.h>
#include <HexText.h>

namespace acsim {
namespace {

void PutHex(std::string& out, std::uint8_t b) {
    util::AppendHex(out, b);
}

std::span<const std::uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::string BuildReply(std::uint8_t ver, std::uint8_t addr, std::uint8_t cid1, std::uint8_t rtn,
                       std::span<const std::uint8_t> info) {
    std::string out;
    out.reserve(18 + 2 * info.size());
    out.push_back('~');
    PutHex(out, ver);
    PutHex(out, addr);
    PutHex(out, cid1);
    PutHex(out, rtn);
    const auto lenid = static_cast<std::uint16_t>((2 * info.size()) & 0x0FFF);
    const auto length = static_cast<std::uint16_t>((TDH::CalcLChkSum(lenid) << 12) | lenid);
    PutHex(out, static_cast<std::uint8_t>(length >> 8));
    PutHex(out, static_cast<std::uint8_t>(length & 0xFF));
    for (std::uint8_t b : info)
        PutHex(out, b);
    const std::uint16_t sum = TDH::CalcChkSum(AsBytes(out));
    PutHex(out, static_cast<std::uint8_t>(sum >> 8));
    PutHex(out, static_cast<std::uint8_t>(sum & 0xFF));
    out.push_back('\r');
    return out;
}

CommandFrame ParseCommand(std::span<const std::uint8_t> f) {
    const TFrameAnatomy a = DissectFrame(f);
    CommandFrame c;
    c.addr = a.Addr;
    switch (a.Check) {
        case TFrameCheck::TooShort:
        case TFrameCheck::OddLength:
            return c;  // no field can be trusted
        case TFrameCheck::ChkSum:
            c.verdict = CommandFrame::Verdict::BadChkSum;
            break;
        case TFrameCheck::LChkSum:
            c.verdict = CommandFrame::Verdict::BadLChkSum;
            break;
        case TFrameCheck::Ok:
            c.verdict =
                a.InfoLengthMatches ? CommandFrame::Verdict::Ok : CommandFrame::Verdict::BadLength;
            break;
    }
    c.ver = a.Ver.value_or(0);
    c.cid1 = a.CID1.value_or(0);
    c.cid2 = a.Cid2OrRtn.value_or(0);
    if (c.verdict == CommandFrame::Verdict::Ok) c.info = a.Info;
    return c;
}

std::vector<std::uint8_t> ReplyInfo(std::string_view frame) {
    return DissectFrame(AsBytes(frame)).Info;
}

}  // namespace acsim
