// The one-shot read of --once: a full poll cycle of both units, the user parameters and
// the identity, then a verdict.
//
// The poll commands carry no unit: the controller answers each for the unit it chooses.
// So polling goes on until the 0x42, 0x43 and 0x44 replies of both units have been seen,
// or until a bound of poll cycles has passed; commands of the identity that got no
// usable reply are asked again at the start of each cycle. A controller that answers
// nothing at all fails as soon as one whole poll cycle went unanswered.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Events.h"
#include "Monitor.h"

namespace airconpoll {

// Queues each command that is not waiting in the queue already, in the order given.
void QueueUnlessQueued(aircon::TMonitor& Monitor, std::span<const std::uint8_t> Commands);

class TOnceCheck : public aircon::IMonitorObserver {
  public:
    enum class TVerdict { Pending, Done, Silent, Incomplete };

    explicit TOnceCheck(int MaxCycles = 6) : FMaxCycles(MaxCycles) {}

    TVerdict Verdict() const { return FVerdict; }
    // Poll cycles begun (0x42 commands sent).
    int Cycles() const { return FCycles; }
    // True once when a poll cycle after the first has begun: the poller asks again what
    // is missing.
    bool TakeCycleStarted();
    // The commands of the identity and parameters without a usable reply so far, in the
    // order they are asked: 0x4F, 0x50, 0x51, 0x47.
    std::vector<std::uint8_t> MissingReads() const;
    // What was not read and why, one line per item ("unit 2: no reply to 0x42 ...").
    std::vector<std::string> Shortfalls() const;
    // The commands sent so far.
    std::uint64_t CommandsSent() const { return FCommands; }

    static constexpr std::array<std::uint8_t, 4> Reads{0x4F, 0x50, 0x51, 0x47};
    static std::string CommandName(std::uint8_t CID2);  // "0x42 (analog values)"

    void OnCommandSent(const aircon::TCommandSent& e) override;
    void OnFrameReceived(const aircon::TFrameReceived& e) override;
    void OnReplyReceived(const aircon::TReplyReceived& e) override;
    void OnReplyDecoded(const aircon::TDecodedReply& e) override;
    void OnReplyMissing(const aircon::TReplyMissing& e) override;

  private:
    bool Complete() const;
    void Note(std::uint8_t CID2, std::string Outcome);

    int FMaxCycles;
    int FCycles = 0;
    bool FCycleStarted = false;
    TVerdict FVerdict = TVerdict::Pending;
    std::uint64_t FCommands = 0;
    bool FAnyFrame = false;
    std::array<int, 3> FSilentPolls{};  // per poll step: unanswered since the last frame

    // Seen: [unit][0x42, 0x43, 0x44] and the four reads.
    std::array<std::array<bool, 3>, 2> FPolls{};
    std::array<bool, 4> FReads{};
    // What the last attempt of each command came to, when it failed (index CID2 - 0x40).
    std::array<std::string, 0x12> FOutcome;
    std::optional<std::uint8_t> FLastCID2;  // the last command sent
};

}  // namespace airconpoll
