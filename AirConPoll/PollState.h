// What the poller knows of the controller and the link: an observer of the monitoring
// core that keeps the last decoded reply of each kind, the link counters since the
// start (across every reopening of the port), whether the controller answers (as the
// session's answering rule says), and when the metrics file is due to be written.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Answering.h"
#include "Events.h"
#include "LinkCounters.h"
#include "Metrics.h"

namespace airconpoll {

class TPollState : public aircon::IMonitorObserver {
  public:
    // Rule: the session's answering rule, observing the same core ahead of this state.
    TPollState(std::string Port, const aircon::TAnswerRule& Rule);

    // The metrics as they stand, counters since the start.
    TMetricsData Metrics() const;
    // The controller answers: a reply with RTN 0 within the last poll cycle.
    bool Up() const { return FUp; }
    bool PortOpen() const { return FPortOpen; }
    // A reply arrived since the link opened.
    bool Answered() const { return FAnswered; }

    // True once after a poll cycle ended, the controller fell silent or answered again,
    // or the port opened or closed: the metrics file is due.
    bool TakeWriteDue();
    // True once after the controller answers again after a silence: its identity and
    // parameters are read again (it may have restarted, or been replaced).
    bool TakeIdentityDue();
    // Forgets the readings of a unit that has not been reported for MaxAge, so that a
    // unit the controller stopped answering for shows no frozen values.
    void ExpireStale(aircon::SteadyTime Now, aircon::Millis MaxAge);
    // The poller ends: nothing answers any more.
    void Stopped();

    // Called with the new state when the controller starts or stops answering.
    std::function<void(bool Up)> OnUpChanged;

    void OnLinkOpened(const aircon::TLinkOpened& e) override;
    void OnLinkClosed(const aircon::TLinkClosed& e) override;
    void OnCommandSent(const aircon::TCommandSent& e) override;
    void OnFrameReceived(const aircon::TFrameReceived& e) override;
    void OnReplyReceived(const aircon::TReplyReceived& e) override;
    void OnReplyDecoded(const aircon::TDecodedReply& e) override;
    void OnReplyMissing(const aircon::TReplyMissing& e) override;
    void OnNoise(const aircon::TNoise& e) override;

  private:
    void SetUp(bool Value);
    // Up as the rule has it now.
    void FollowRule();
    // The outcome of the last command sent is known.
    void Conclude();

    const aircon::TAnswerRule& FRule;
    TMetricsData FData;                  // readings; counters are filled in by Metrics()
    aircon::TLinkCounters FCounters;     // of the link open now (reset on opening)
    aircon::TLinkCountersData FCarried;  // of the links closed before
    std::uint64_t FOpens = 0;
    bool FUp = false;
    bool FPortOpen = false;
    bool FAnswered = false;
    bool FWentSilent = false;
    bool FWriteDue = true;
    bool FIdentityDue = false;

    // The last command sent, until its outcome is known.
    struct TSent {
        std::uint8_t CID2 = 0;
        bool Concluded = false;
    };
    std::optional<TSent> FLast;

    std::array<aircon::SteadyTime, 2> FAnalogAt{}, FSwitchesAt{}, FAlarmsAt{};
};

}  // namespace airconpoll
