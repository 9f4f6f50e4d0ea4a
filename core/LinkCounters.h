// Link counters: what the link did since the link opened (or since the last reset).
// An observer of the monitoring core, shared by the window's status bar and the
// headless poller's metrics.
#pragma once

#include <cstdint>
#include <optional>

#include "Events.h"

namespace aircon {

struct TLinkCountersData {
    std::uint64_t CommandsSent = 0;
    std::uint64_t Replies = 0;         // frames that passed the check
    std::uint64_t RepliesMissing = 0;  // commands without any frame within the reply time-out
    std::uint64_t ErrorFrames = 0;     // frames that failed the check
    std::uint64_t RtnErrors = 0;       // replies with an RTN other than 0
    std::uint64_t NoiseBytes = 0;      // received bytes in no frame
    // Response times of the first frame after each command, a late one included (its
    // command stays counted as missing).
    std::optional<Millis> LastResponse;  // of the last answered command
    std::optional<Millis> MinResponse;
    std::optional<Millis> MaxResponse;
    std::optional<Millis> MeanResponse;
    std::optional<SteadyTime> LastGoodReply;  // last reply with RTN 0
    std::optional<WallTime> LastGoodReplyWall;
};

class TLinkCounters : public IMonitorObserver {
  public:
    const TLinkCountersData& Data() const { return FData; }
    void Reset();

    void OnLinkOpened(const TLinkOpened&) override;  // resets
    void OnCommandSent(const TCommandSent&) override;
    void OnFrameReceived(const TFrameReceived&) override;
    void OnReplyReceived(const TReplyReceived&) override;
    void OnReplyMissing(const TReplyMissing&) override;
    void OnNoise(const TNoise&) override;

  private:
    TLinkCountersData FData;
    std::uint64_t FResponses = 0;
    Millis FResponseSum{};
};

}  // namespace aircon
