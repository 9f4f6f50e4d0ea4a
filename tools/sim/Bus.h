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
    // Every controller answers again and holds no alarm of its own making.
    void Normal();

    std::vector<Controller>& Controllers() { return controllers_; }
    // The addresses on the line, in the order given.
    std::vector<std::uint8_t> Addresses() const;

  private:
    std::vector<Controller> controllers_;
    std::vector<bool> silent_;
};

}  // namespace acsim
