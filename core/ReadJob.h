// Reads the window sends on its own, beside the polling: commands without parameters
// (identity 0x4F, 0x50, 0x51; parameters 0x47), one at a time through the monitor's
// command queue, each waiting for its reply or its time-out before the next goes out.
// The job lives as long as its host keeps it; a closed link ends it, the reads not yet
// answered counting as unanswered.
//
// Whether a report needs such reads is the core's rule too: identity and parameters the
// session has not read since the link last opened, and none while the tool only listens
// (nothing may be written then) or the link is closed.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Events.h"
#include "History.h"
#include "Monitor.h"
#include "Session.h"

namespace aircon {

enum class TReadOutcome {
    Waiting,  // not sent yet
    Sent,     // written, no reply yet
    Read,     // a decoded reply came
    Refused,  // a reply with RTN other than 0 (Rtn), or one that did not decode
    NoReply,  // no reply within the time-out, another command went out first, or the link closed
};

struct TReadResult {
    std::uint8_t CID2 = 0;
    TReadOutcome Outcome = TReadOutcome::Waiting;
    std::uint8_t Rtn = 0;
};

class TReadJob : private IMonitorObserver {
  public:
    TReadJob(TMonitor& Monitor, std::vector<std::uint8_t> Commands);
    ~TReadJob() override;
    TReadJob(const TReadJob&) = delete;
    TReadJob& operator=(const TReadJob&) = delete;

    // Queues the first read.
    void Start();
    bool Done() const { return FDone; }
    const std::vector<TReadResult>& Results() const { return FResults; }

    // Every read concluded. Called from inside the monitor's events: the decoded reply
    // of the last read reaches the other observers after it, so a host that wants the
    // history to hold it acts on its next turn of the event loop.
    std::function<void()> OnDone;

  private:
    void OnCommandSent(const TCommandSent& Sent) override;
    void OnReplyReceived(const TReplyReceived& Reply) override;
    void OnReplyMissing(const TReplyMissing& Missing) override;
    void OnLinkClosed(const TLinkClosed& Closed) override;
    void Conclude(TReadOutcome Outcome, std::uint8_t Rtn = 0);
    void Finish();

    TMonitor& FMonitor;
    std::vector<TReadResult> FResults;
    std::size_t FCurrent = 0;
    bool FStarted = false;
    bool FOnLine = false;  // the current read was written and awaits its outcome
    bool FDone = false;
};

// The reads a site report needs first: each of identity (0x4F, 0x50, 0x51) and the
// parameters (0x47) that History has not had since the link last opened. None while
// the session only listens or the link is closed.
std::vector<std::uint8_t> ReadsBeforeReport(const THistory& History, TSessionMode Mode,
                                            bool LinkOpen);

}  // namespace aircon
