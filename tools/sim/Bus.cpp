#include "Bus.h"

#include <stdexcept>

namespace acsim {

Bus::Bus(std::vector<ControllerConfig> configs) {
    controllers_.reserve(configs.size());
    for (auto& c : configs) {
        if (Find(c.address))
            throw std::invalid_argument("address " + std::to_string(c.address) + " given twice");
        controllers_.emplace_back(std::move(c));
    }
    silent_.assign(controllers_.size(), false);
}

void Bus::Advance(double t) {
    for (auto& c : controllers_)
        c.Advance(t);
}

Controller* Bus::Find(std::uint8_t addr) {
    for (auto& c : controllers_)
        if (c.Config().address == addr) return &c;
    return nullptr;
}

bool Bus::Silent(std::uint8_t addr) const {
    for (std::size_t i = 0; i < controllers_.size(); ++i)
        if (controllers_[i].Config().address == addr) return silent_[i];
    return false;
}

bool Bus::SetSilent(std::uint8_t addr, bool silent) {
    for (std::size_t i = 0; i < controllers_.size(); ++i)
        if (controllers_[i].Config().address == addr) {
            silent_[i] = silent;
            return true;
        }
    return false;
}

void Bus::Normal() {
    silent_.assign(controllers_.size(), false);
    for (auto& c : controllers_) {
        c.ClearHeldAlarms();
        c.SetPower(true);
    }
}

std::vector<std::uint8_t> Bus::Addresses() const {
    std::vector<std::uint8_t> out;
    for (const auto& c : controllers_)
        out.push_back(c.Config().address);
    return out;
}

Outcome Bus::Handle(std::span<const std::uint8_t> frame, std::optional<std::uint8_t> refuse) {
    Outcome o;
    o.addr = ParseCommand(frame).addr;
    Controller* c = o.addr ? Find(*o.addr) : nullptr;
    if (!c) return o;
    if (Silent(*o.addr)) {
        o.kind = Outcome::Kind::Silent;
        return o;
    }
    o.reply = c->Handle(frame, refuse);
    o.kind = o.reply ? Outcome::Kind::Answered : Outcome::Kind::NotOnLine;
    return o;
}

}  // namespace acsim
