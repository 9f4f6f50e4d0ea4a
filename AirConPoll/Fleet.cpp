#include "Fleet.h"

namespace airconpoll {

using namespace aircon;

TFleet::TFleet(IClock& Clock, TMonitor& Monitor, const TPollOptions& Options)
    : FPlan(Clock, Monitor, Options.Addresses, Options.TimeoutMs) {
    for (std::uint8_t addr : Options.Addresses) {
        TMember m;
        m.Addr = addr;
        m.State = std::make_unique<TPollState>(Options.Port, FPlan.Rule(addr));
        FPlan.AddObserver(addr, *m.State);
        if (Options.Once) {
            m.Once = std::make_unique<TOnceCheck>();
            FPlan.AddObserver(addr, *m.Once);
        }
        FMembers.push_back(std::move(m));
    }
}

void TFleet::AddObserver(IMonitorObserver& Observer) {
    for (const auto& m : FMembers)
        FPlan.AddObserver(m.Addr, Observer);
}

void TFleet::QueueReads(std::span<const std::uint8_t> Commands) {
    for (const auto& m : FMembers)
        FPlan.QueueReads(m.Addr, Commands);
}

bool TFleet::TakeWriteDue() {
    bool due = false;
    for (auto& m : FMembers)
        due = m.State->TakeWriteDue() || due;
    return due;
}

void TFleet::QueueIdentityReads() {
    for (auto& m : FMembers)
        if (m.State->TakeIdentityDue()) FPlan.QueueReads(m.Addr, TOnceCheck::Reads);
}

void TFleet::ExpireStale(SteadyTime Now, Millis MaxAge) {
    for (auto& m : FMembers)
        m.State->ExpireStale(Now, MaxAge);
}

void TFleet::Stopped() {
    for (auto& m : FMembers)
        m.State->Stopped();
}

std::vector<TMetricsData> TFleet::Metrics() const {
    std::vector<TMetricsData> out;
    out.reserve(FMembers.size());
    for (const auto& m : FMembers) {
        out.push_back(m.State->Metrics());
        out.back().Addr = m.Addr;
    }
    return out;
}

std::optional<std::vector<std::string>> TFleet::OnceVerdict(const TPollOptions& Options) {
    bool pending = false;
    for (auto& m : FMembers) {
        if (!m.Once) continue;
        if (m.Once->TakeCycleStarted()) FPlan.QueueReads(m.Addr, m.Once->MissingReads());
        if (m.Once->Verdict() == TOnceCheck::TVerdict::Pending) pending = true;
    }
    if (pending) return std::nullopt;
    std::vector<std::string> failed;
    for (auto& m : FMembers) {
        if (!m.Once) continue;
        const std::string who =
            "the controller at address " + std::to_string(m.Addr) + " on " + Options.Port;
        switch (m.Once->Verdict()) {
            case TOnceCheck::TVerdict::Pending:
            case TOnceCheck::TVerdict::Done:
                break;
            case TOnceCheck::TVerdict::Silent:
                failed.push_back(
                    "no reply from " + who + ": " + std::to_string(m.Once->CommandsSent()) +
                    " commands sent, none answered within " + std::to_string(Options.TimeoutMs) +
                    " ms (check the cable, the address and the line settings)");
                break;
            case TOnceCheck::TVerdict::Incomplete: {
                std::string text = who + " did not answer everything in " +
                                   std::to_string(m.Once->Cycles()) + " poll cycles:";
                for (const auto& line : m.Once->Shortfalls())
                    text += "\n  " + line;
                failed.push_back(text);
                break;
            }
        }
    }
    return failed;
}

}  // namespace airconpoll
