// Several controllers on one line: the poll plan that walks their addresses in turn, and
// the routing that books each event to the controller it belongs to.
//
// One command leaves per reply time-out. The plan goes in rounds; in each round every
// controller gets two poll cycles (0x42, 0x43, 0x44, twice: the poll commands carry no
// unit and the controller answers each for the unit it chooses, alternately), after the
// reads queued for it (identity, parameters; they wait while it is silent). The controllers take
// turns command by command (1, 2, 7, 1, 2, 7, ...), so that a reply that comes after its time-out
// always falls into the slot of another address and is told apart, never read as the answer to the
// same controller's next command. A controller that is silent when a round begins is only probed:
// one poll command in that round, until it answers; one that falls silent during a round is left
// for the rest of it after its first unanswered poll cycle. So for N answering controllers each is
// read in full every 6 N reply time-outs, and a silent one costs the others one time-out a round.
//
// Each controller has its own answering rule and its own observers. They hear the link's
// opening and closing, their own commands, the replies booked to them and their own
// missing replies; a frame that failed the check and noise belong to the line, not to a
// controller. A reply is booked only when its address is the one the last command went
// to (the session's verdict) and it is the first reply in that command's slot; every
// other reply is a stray, counted by its kind and booked to nobody:
//   - Late:         it carries the address of the command before, whose slot went without
//                   its reply (it came after the next command left), or it is a second
//                   reply of the slot's own address;
//   - OtherAddress: another polled controller's address, not the one asked;
//   - NotPolled:    an address that is not polled on this line.
// A command whose slot saw no frame of its own controller counts as missing for it, also
// when a stray frame came in its slot.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Answering.h"
#include "Clock.h"
#include "Monitor.h"

namespace aircon {

// "1,2,7", "1-3,7": addresses 0..255 in the order given, each once. Empty with Error set
// when the text is not such a list.
std::optional<std::vector<std::uint8_t>> ParseAddressList(std::string_view Text,
                                                          std::string& Error);

enum class TStrayKind { Late, OtherAddress, NotPolled };
std::string_view StrayKindName(TStrayKind Kind);  // "late", "other_address", "not_polled"

struct TStrayCounts {
    std::uint64_t Late = 0;
    std::uint64_t OtherAddress = 0;
    std::uint64_t NotPolled = 0;
};

class TMultiPoll : private IMonitorObserver {
  public:
    static constexpr int RoundPolls = 6;    // a round: two poll cycles, both units
    static constexpr int FallingPolls = 3;  // left once a cycle of the round went unanswered
    static constexpr int ProbePolls = 1;    // the round of a controller known silent

    // Monitor: the core of the line, with automatic polling off (the plan sends the
    // poll commands itself). TimeoutMs: the reply time-out, one command per time-out.
    TMultiPoll(IClock& Clock, TMonitor& Monitor, std::vector<std::uint8_t> Addresses,
               int TimeoutMs);
    ~TMultiPoll() override;
    TMultiPoll(const TMultiPoll&) = delete;
    TMultiPoll& operator=(const TMultiPoll&) = delete;

    const std::vector<std::uint8_t>& Addresses() const { return FAddresses; }
    bool Polls(std::uint8_t Addr) const { return Find(Addr) != nullptr; }
    // The controller's answering rule (Addr must be polled).
    const TAnswerRule& Rule(std::uint8_t Addr) const;
    // Adds an observer of one controller, heard after its rule (Addr must be polled).
    void AddObserver(std::uint8_t Addr, IMonitorObserver& Observer);
    // Reads for a controller, sent ahead of its poll commands once it answers (they wait
    // while it is silent); each command once (one already waiting is not queued again).
    void QueueReads(std::uint8_t Addr, std::span<const std::uint8_t> Commands);
    const TStrayCounts& Strays() const { return FStrays; }
    // Called for every stray reply, with its kind and address.
    std::function<void(TStrayKind, std::uint8_t Addr)> OnStray;

    // The plan's clock: one command per tick, running while the link is open.
    TTimer& Timer() { return FTimer; }

  private:
    struct TController;
    TController* Find(std::uint8_t Addr) const;
    void Tick();
    void Resolve();
    void StartRound();
    template <class F>
    void Tell(TController& C, F&& Call);

    void OnLinkOpened(const TLinkOpened& e) override;
    void OnLinkClosed(const TLinkClosed& e) override;
    void OnCommandSent(const TCommandSent& e) override;
    void OnReplyReceived(const TReplyReceived& e) override;
    void OnReplyDecoded(const TDecodedReply& e) override;
    void OnReplyMissing(const TReplyMissing& e) override;

    IClock& FClock;
    TMonitor& FMonitor;
    std::vector<std::uint8_t> FAddresses;
    std::vector<std::unique_ptr<TController>> FControllers;
    TTimer FTimer;
    TStrayCounts FStrays;

    // The round running: rounds begun since the link opened, whose slot is next.
    std::uint64_t FRounds = 0;
    std::size_t FCursor = 0;

    // The last command sent on the line, until its slot ends.
    struct TSlot {
        std::uint8_t Addr = 0;
        std::uint8_t CID2 = 0;
        TIntCMD Item;
        SteadyTime SentAt{};
        bool Booked = false;   // its controller's reply came
        bool Missing = false;  // reported missing to its controller
    };
    std::optional<TSlot> FSlot;
    std::optional<std::uint8_t> FPreviousAddr;  // the address of the slot before
    bool FPreviousBooked = false;               // and whether its reply came in it
    TController* FBooked = nullptr;             // the reply being reported is booked to it
};

}  // namespace aircon
