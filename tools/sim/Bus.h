// Several controllers on one RS-485 line: every frame reaches all of them, the
// one whose address it carries answers, and a controller told to keep silent
// hears its commands without answering.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Controller.h"

namespace acsim {

struct Outcome {
    enum class Kind {
        Answered,   // `reply` holds the answer
        NotOnLine,  // no controller has that address, or the frame carries none
        Silent,     // the controller with that address keeps silent
    };
    Kind kind = Kind::NotOnLine;
    std::optional<std::uint8_t> addr;  // the address the frame carries
    std::optional<Reply> reply;
    double lateMs = 0;                    // the reply leaves this much later
    std::optional<std::uint8_t> replyAs;  // the reply carries this address instead
};

class Bus {
  public:
    // Addresses must be distinct.
    explicit Bus(std::vector<ControllerConfig> configs);

    void Advance(double t);
    Outcome Handle(std::span<const std::uint8_t> frame,
                   std::optional<std::uint8_t> refuse = std::nullopt);

    // The controller at `addr`, or null when none is on the line.
    Controller* Find(std::uint8_t addr);
    bool Silent(std::uint8_t addr) const;
    // Returns false when no controller has that address.
    bool SetSilent(std::uint8_t addr, bool silent);
    // Replies of the controller at `addr` leave `ms` later than they would
    // (0: on time). Returns false when no controller has that address.
    bool SetLate(std::uint8_t addr, double ms);
    // Replies of the controller at `addr` carry address `as` (none: its own).
    bool SetReplyAs(std::uint8_t addr, std::optional<std::uint8_t> as);
    // Every controller answers again, on time and with its own address, holds
    // no alarm of a control command's making and is switched on.
    void Normal();

    std::vector<Controller>& Controllers() { return controllers_; }
    // The addresses on the line, in the order given.
    std::vector<std::uint8_t> Addresses() const;

  private:
    struct Faults {
        bool silent = false;
        double lateMs = 0;
        std::optional<std::uint8_t> replyAs;
    };
    Faults* FaultsOf(std::uint8_t addr);
    const Faults* FaultsOf(std::uint8_t addr) const;

    std::vector<Controller> controllers_;
    std::vector<Faults> faults_;
};

}  // namespace acsim
