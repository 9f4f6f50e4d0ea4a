#include "Uart.h"

#include <algorithm>

namespace acsim {
namespace {

constexpr std::int64_t kCharBits = 10;  // start, eight data bits, stop

}  // namespace

UartListener::UartListener(long senderBaud, long receiverBaud)
    : sender_(std::max(1L, senderBaud)),
      receiver_(std::max(1L, receiverBaud)),
      senderBit_(2 * static_cast<std::int64_t>(receiver_)),
      halfReceiverBit_(static_cast<std::int64_t>(sender_)) {}

int UartListener::Bit(std::int64_t k) const {
    if (k < 0) return 1;  // idle before the burst
    const std::int64_t c = k / kCharBits - firstChar_;
    if (c < 0 || c >= static_cast<std::int64_t>(burst_.size())) return 1;
    const std::int64_t b = k % kCharBits;
    if (b == 0) return 0;              // start bit
    if (b == kCharBits - 1) return 1;  // stop bit
    return (static_cast<unsigned char>(burst_[static_cast<std::size_t>(c)]) >> (b - 1)) & 1;
}

std::string UartListener::Run(bool ended) {
    std::string out;
    // Bits known so far; past them the line is idle once the burst has ended.
    const std::int64_t known = (firstChar_ + static_cast<std::int64_t>(burst_.size())) * kCharBits;
    for (;;) {
        // The next falling edge after hunt_: edges fall on the sender's bit boundaries.
        std::int64_t k = hunt_ < 0 ? 0 : hunt_ / senderBit_ + 1;
        while (k < known && !(Bit(k - 1) == 1 && Bit(k) == 0))
            ++k;
        if (k >= known) {
            if (!ended) hunt_ = std::max(hunt_, (known - 1) * senderBit_);
            break;  // no start of a character in what is on the line
        }
        const std::int64_t edge = k * senderBit_;
        const std::int64_t stopAt = edge + 19 * halfReceiverBit_;  // middle of the stop bit
        if (!ended && stopAt / senderBit_ >= known) break;         // wait for the rest
        auto level = [&](std::int64_t t) { return Bit(t / senderBit_); };
        if (level(edge + halfReceiverBit_) != 0) {  // a glitch, not a start bit
            hunt_ = edge + halfReceiverBit_;
            continue;
        }
        unsigned byte = 0;
        for (int i = 0; i < 8; ++i)
            byte |= static_cast<unsigned>(level(edge + (3 + 2 * i) * halfReceiverBit_)) << i;
        // A missing stop bit is a framing error; in raw mode the byte is still
        // passed on as read.
        out.push_back(static_cast<char>(byte));
        hunt_ = stopAt;
    }
    // Characters wholly behind the receiver are no longer needed (one is kept
    // for the level before the next edge).
    const std::int64_t done = hunt_ < 0 ? 0 : hunt_ / senderBit_ / kCharBits - 1;
    if (done > firstChar_) {
        const auto drop =
            std::min<std::int64_t>(done - firstChar_, static_cast<std::int64_t>(burst_.size()));
        burst_.erase(0, static_cast<std::size_t>(drop));
        firstChar_ += drop;
    }
    return out;
}

std::string UartListener::Feed(std::string_view sent) {
    burst_.append(sent);
    return Run(false);
}

std::string UartListener::End() {
    std::string out = Run(true);
    burst_.clear();
    firstChar_ = 0;
    hunt_ = -1;
    return out;
}

std::string Resample(std::string_view sent, long senderBaud, long receiverBaud) {
    if (senderBaud == receiverBaud) return std::string(sent);
    UartListener u(senderBaud, receiverBaud);
    std::string out = u.Feed(sent);
    return out + u.End();
}

}  // namespace acsim
