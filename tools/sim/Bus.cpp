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
    faults_.assign(controllers_.size(), {});
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

Bus::Faults* Bus::FaultsOf(std::uint8_t addr) {
    for (std::size_t i = 0; i < controllers_.size(); ++i)
        if (controllers_[i].Config().address == addr) return &faults_[i];
    return nullptr;
}

const Bus::Faults* Bus::FaultsOf(std::uint8_t addr) const {
    return const_cast<Bus*>(this)->FaultsOf(addr);
}

bool Bus::Silent(std::uint8_t addr) const {
    const Faults* f = FaultsOf(addr);
    return f && f->silent;
}

bool Bus::SetSilent(std::uint8_t addr, bool silent) {
    Faults* f = FaultsOf(addr);
    if (f) f->silent = silent;
    return f != nullptr;
}

bool Bus::SetLate(std::uint8_t addr, double ms) {
    Faults* f = FaultsOf(addr);
    if (f) f->lateMs = ms;
    return f != nullptr;
}

bool Bus::SetReplyAs(std::uint8_t addr, std::optional<std::uint8_t> as) {
    Faults* f = FaultsOf(addr);
    if (f) f->replyAs = as == addr ? std::nullopt : as;
    return f != nullptr;
}

void Bus::Normal() {
    faults_.assign(controllers_.size(), {});
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
    const Faults& f = *FaultsOf(*o.addr);
    if (f.silent) {
        o.kind = Outcome::Kind::Silent;
        return o;
    }
    o.reply = c->Handle(frame, refuse);
    o.kind = o.reply ? Outcome::Kind::Answered : Outcome::Kind::NotOnLine;
    if (o.reply) {
        o.lateMs = f.lateMs;
        o.replyAs = f.replyAs;
        if (f.replyAs)
            o.reply->frame = BuildReply(c->Config().protocolVersion, *f.replyAs, 0x60, o.reply->rtn,
                                        o.reply->info);
    }
    return o;
}

}  // namespace acsim
