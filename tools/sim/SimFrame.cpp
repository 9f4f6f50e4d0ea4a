#include "SimFrame.h"

#include <DH.h>

namespace acsim {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void PutHex(std::string& out, std::uint8_t b) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
}

std::span<const std::uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

int Nibble(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

std::uint8_t PairAt(std::span<const std::uint8_t> f, std::size_t pos) {
    return static_cast<std::uint8_t>(Nibble(f[pos]) * 16 + Nibble(f[pos + 1]));
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
    CommandFrame c;
    const std::size_t size = f.size();
    if (size >= 5) c.addr = PairAt(f, 3);
    if (size < 18 || size % 2 != 0) return c;
    c.ver = PairAt(f, 1);
    c.cid1 = PairAt(f, 5);
    c.cid2 = PairAt(f, 7);

    const std::uint16_t got_sum =
        static_cast<std::uint16_t>(PairAt(f, size - 5) << 8 | PairAt(f, size - 3));
    if (got_sum != TDH::CalcChkSum(f.first(size - 5))) {
        c.verdict = CommandFrame::Verdict::BadChkSum;
        return c;
    }
    const auto lenid =
        static_cast<std::uint16_t>(Nibble(f[10]) << 8 | Nibble(f[11]) << 4 | Nibble(f[12]));
    if (Nibble(f[9]) != TDH::CalcLChkSum(lenid)) {
        c.verdict = CommandFrame::Verdict::BadLChkSum;
        return c;
    }
    const std::size_t info_chars = size - 18;
    if (lenid != info_chars) {
        c.verdict = CommandFrame::Verdict::BadLength;
        return c;
    }
    for (std::size_t i = 0; i < info_chars / 2; ++i)
        c.info.push_back(PairAt(f, 13 + 2 * i));
    c.verdict = CommandFrame::Verdict::Ok;
    return c;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (std::uint8_t b : bytes)
        PutHex(out, b);
    return out;
}

std::vector<std::uint8_t> ReplyInfo(std::string_view frame) {
    std::vector<std::uint8_t> info;
    if (frame.size() < 18) return info;
    const auto f = AsBytes(frame);
    for (std::size_t pos = 13; pos + 2 <= frame.size() - 5; pos += 2)
        info.push_back(PairAt(f, pos));
    return info;
}

}  // namespace acsim
