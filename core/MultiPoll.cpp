#include "MultiPoll.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace aircon {

namespace {

std::optional<int> Address(std::string_view Text) {
    if (Text.empty() || Text.size() > 3) return std::nullopt;
    int value = 0;
    for (char c : Text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 255) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view Text,
                                                          std::string& Error) {
    std::vector<std::uint8_t> list;
    std::vector<bool> seen(256, false);
    auto bad = [&](std::string Why) {
        Error = std::move(Why);
        return std::nullopt;
    };
    std::size_t start = 0;
    while (start <= Text.size()) {
        const std::size_t comma = std::min(Text.find(',', start), Text.size());
        const std::string_view item = Text.substr(start, comma - start);
        const std::size_t dash = item.find('-');
        const auto low = Address(item.substr(0, dash));
        const auto high = dash == std::string_view::npos ? low : Address(item.substr(dash + 1));
        if (!low || !high)
            return bad("'" + std::string(item) + "' is not " +
                       (dash == std::string_view::npos || dash == 0
                            ? "a whole number from 0 to 255"
                            : "a range A-B of whole numbers from 0 to 255"));
        if (*high < *low)
            return bad("'" + std::string(item) + "': the range ends before it begins");
        for (int a = *low; a <= *high; ++a) {
            if (seen[static_cast<std::size_t>(a)])
                return bad("address " + std::to_string(a) + " is given twice");
            seen[static_cast<std::size_t>(a)] = true;
            list.push_back(static_cast<std::uint8_t>(a));
        }
        start = comma + 1;
    }
    return list;
}

std::string_view StrayKindName(TStrayKind Kind) {
    switch (Kind) {
        case TStrayKind::Late:
            return "late";
        case TStrayKind::OtherAddress:
            return "other_address";
        case TStrayKind::NotPolled:
            return "not_polled";
    }
    return "?";
}

struct TMultiPoll::TController {
    std::uint8_t Addr = 0;
    TAnswerRule Rule;
    std::vector<IMonitorObserver*> Observers;
    std::deque<std::uint8_t> Reads;
    int Step = 0;        // the next poll step: 0x42, 0x43, 0x44
    bool Probe = false;  // silent when this round began: only probed
    int Left = 0;        // poll commands left in this round
    int Sent = 0;        // poll commands sent in this round
};

TMultiPoll::TMultiPoll(IClock& Clock, TMonitor& Monitor, std::vector<std::uint8_t> Addresses,
                       int TimeoutMs)
    : FClock(Clock),
      FMonitor(Monitor),
      FAddresses(std::move(Addresses)),
      FTimer(Clock, TimeoutMs, false) {
    if (FAddresses.empty()) throw std::invalid_argument("no address to poll");
    for (std::uint8_t a : FAddresses) {
        if (Find(a)) throw std::invalid_argument("an address is given twice");
        auto c = std::make_unique<TController>();
        c->Addr = a;
        c->Observers.push_back(&c->Rule);
        FControllers.push_back(std::move(c));
    }
    FTimer.OnTimer = [this] { Tick(); };
    FMonitor.SendTimer().SetInterval(TimeoutMs);
    FMonitor.AddObserver(static_cast<IMonitorObserver&>(*this));
}

TMultiPoll::~TMultiPoll() {
    FTimer.SetEnabled(false);
    FMonitor.RemoveObserver(static_cast<IMonitorObserver&>(*this));
}

TMultiPoll::TController* TMultiPoll::Find(std::uint8_t Addr) const {
    for (const auto& c : FControllers)
        if (c->Addr == Addr) return c.get();
    return nullptr;
}

const TAnswerRule& TMultiPoll::Rule(std::uint8_t Addr) const {
    const TController* c = Find(Addr);
    if (!c) throw std::out_of_range("address not polled");
    return c->Rule;
}

void TMultiPoll::AddObserver(std::uint8_t Addr, IMonitorObserver& Observer) {
    TController* c = Find(Addr);
    if (!c) throw std::out_of_range("address not polled");
    c->Observers.push_back(&Observer);
}

void TMultiPoll::QueueReads(std::uint8_t Addr, std::span<const std::uint8_t> Commands) {
    TController* c = Find(Addr);
    if (!c) return;
    for (std::uint8_t cid2 : Commands)
        if (std::find(c->Reads.begin(), c->Reads.end(), cid2) == c->Reads.end())
            c->Reads.push_back(cid2);
}

template <class F>
void TMultiPoll::Tell(TController& C, F&& Call) {
    for (IMonitorObserver* o : C.Observers)
        Call(*o);
}

void TMultiPoll::Resolve() {
    // The slot of the last command ends: without its controller's reply it is missing.
    if (!FSlot || FSlot->Booked || FSlot->Missing) return;
    FSlot->Missing = true;
    TController* c = Find(FSlot->Addr);
    if (!c) return;
    const TReplyMissing e{TStamp{FClock.Now(), FClock.WallNow()}, FSlot->CID2, FSlot->Item,
                          FSlot->SentAt, Millis(FTimer.Interval())};
    Tell(*c, [&](IMonitorObserver& o) { o.OnReplyMissing(e); });
}

void TMultiPoll::StartRound() {
    for (auto& c : FControllers) {
        c->Probe = FRounds > 0 && c->Rule.State() == TAnswering::Silent;
        c->Left = c->Probe ? ProbePolls : RoundPolls;
        c->Sent = 0;
    }
    ++FRounds;
    FCursor = 0;
}

void TMultiPoll::Tick() {
    Resolve();
    const std::size_t n = FControllers.size();
    // At most one pass over the controllers to end a round, one to find the next slot.
    for (std::size_t tries = 0; tries < 2 * n + 2; ++tries) {
        const bool done = std::all_of(FControllers.begin(), FControllers.end(),
                                      [](const auto& c) { return c->Left == 0; });
        if (FRounds == 0 || done) StartRound();
        TController& c = *FControllers[FCursor];
        FCursor = (FCursor + 1) % n;
        if (c.Left == 0) continue;
        // Fell silent in this round: left after its first unanswered poll cycle.
        if (!c.Probe && c.Sent >= FallingPolls && c.Rule.State() == TAnswering::Silent) {
            c.Left = 0;
            continue;
        }
        std::uint8_t cid2 = 0;
        // Reads wait until the controller answers: unanswered, they would be lost.
        if (!c.Reads.empty() && c.Rule.State() != TAnswering::Silent) {
            cid2 = c.Reads.front();
            c.Reads.pop_front();
        } else {
            static constexpr std::uint8_t steps[] = {CID2::Analog, CID2::Switches, CID2::Alarms};
            cid2 = steps[c.Step];
            c.Step = (c.Step + 1) % 3;
            --c.Left;
            ++c.Sent;
        }
        FMonitor.SendNoDataCmd(c.Addr, cid2);
        return;
    }
}

void TMultiPoll::OnLinkOpened(const TLinkOpened& e) {
    FSlot.reset();
    FPreviousAddr.reset();
    FBooked = nullptr;
    FRounds = 0;
    FCursor = 0;
    for (auto& c : FControllers) {
        c->Probe = false;
        c->Left = 0;
        c->Step = 0;
        Tell(*c, [&](IMonitorObserver& o) { o.OnLinkOpened(e); });
    }
    FTimer.SetEnabled(true);
}

void TMultiPoll::OnLinkClosed(const TLinkClosed& e) {
    FTimer.SetEnabled(false);
    FSlot.reset();
    FPreviousAddr.reset();
    FBooked = nullptr;
    for (auto& c : FControllers)
        Tell(*c, [&](IMonitorObserver& o) { o.OnLinkClosed(e); });
}

void TMultiPoll::OnCommandSent(const TCommandSent& e) {
    // A command sent by anyone else ends the slot before it too.
    Resolve();
    FPreviousAddr = FSlot ? std::optional<std::uint8_t>(FSlot->Addr) : std::nullopt;
    FPreviousBooked = FSlot && FSlot->Booked;
    FSlot = TSlot{e.Addr, e.CID2, e.Item, e.At.Time, false, false};
    if (TController* c = Find(e.Addr)) Tell(*c, [&](IMonitorObserver& o) { o.OnCommandSent(e); });
}

void TMultiPoll::OnReplyReceived(const TReplyReceived& e) {
    FBooked = nullptr;
    const std::uint8_t addr = e.Header.Addr;
    TController* c = Find(addr);
    if (c && e.Verdict.AddressAsAsked && FSlot && FSlot->Addr == addr && !FSlot->Booked &&
        !FSlot->Missing) {
        FSlot->Booked = true;
        FBooked = c;
        TFrameReceived frame{e.At, e.Frame, TFrameCheck::Ok,
                             std::chrono::duration_cast<Millis>(e.At.Time - FSlot->SentAt), false};
        Tell(*c, [&](IMonitorObserver& o) { o.OnFrameReceived(frame); });
        Tell(*c, [&](IMonitorObserver& o) { o.OnReplyReceived(e); });
        return;
    }
    TStrayKind kind = TStrayKind::OtherAddress;
    if (!c)
        kind = TStrayKind::NotPolled;
    else if ((FSlot && FSlot->Addr == addr) || (FPreviousAddr == addr && !FPreviousBooked))
        kind = TStrayKind::Late;  // a second reply in its slot, or its slot went unanswered
    switch (kind) {
        case TStrayKind::Late:
            ++FStrays.Late;
            break;
        case TStrayKind::OtherAddress:
            ++FStrays.OtherAddress;
            break;
        case TStrayKind::NotPolled:
            ++FStrays.NotPolled;
            break;
    }
    if (OnStray) OnStray(kind, addr);
}

void TMultiPoll::OnReplyDecoded(const TDecodedReply& e) {
    TController* c = FBooked;
    FBooked = nullptr;
    if (c) Tell(*c, [&](IMonitorObserver& o) { o.OnReplyDecoded(e); });
}

void TMultiPoll::OnReplyMissing(const TReplyMissing& e) {
    if (!FSlot || FSlot->Booked || FSlot->Missing) return;
    FSlot->Missing = true;
    if (TController* c = Find(FSlot->Addr))
        Tell(*c, [&](IMonitorObserver& o) { o.OnReplyMissing(e); });
}

}  // namespace aircon
