// What a UART receiving at one rate makes of characters sent at another: the
// line's levels are sampled as a receiver does it (a falling edge starts a
// character, each bit is read in its middle, eight data bits, one stop bit),
// so a tool set to the wrong speed receives the garbled bytes a real line
// gives it. Characters are 8N1 both ways: a pseudo-terminal carries no other
// format. Exact (integer time), so equal input gives equal output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace acsim {

class UartListener {
  public:
    UartListener(long senderBaud, long receiverBaud);

    // Characters the sender put on the line back to back after the earlier
    // ones; gives what the receiver has made of the line so far. A character
    // whose stop bit is not yet on the line waits for the next call.
    std::string Feed(std::string_view sent);
    // The line falls idle (high) after what was sent: the rest is received.
    std::string End();

    long SenderBaud() const { return sender_; }
    long ReceiverBaud() const { return receiver_; }

  private:
    std::string Run(bool ended);
    // Line level of the sender's bit k (counted from the start of the burst).
    int Bit(std::int64_t k) const;

    long sender_, receiver_;
    std::int64_t senderBit_, halfReceiverBit_;  // in units of 1 / (2 * sender * receiver) s
    std::string burst_;                         // characters of this burst not yet passed
    std::int64_t firstChar_ = 0;                // index of burst_[0] in the burst
    std::int64_t hunt_ = -1;  // a character starts at a falling edge after this time
};

// The whole of `sent`, received by a UART at `receiverBaud` with the line idle
// before and after.
std::string Resample(std::string_view sent, long senderBaud, long receiverBaud);

}  // namespace acsim
