#include "PollState.h"

#include <type_traits>
#include <variant>

namespace airconpoll {

using namespace aircon;

namespace {

void Add(TLinkCountersData& Sum, const TLinkCountersData& Part) {
    Sum.CommandsSent += Part.CommandsSent;
    Sum.Replies += Part.Replies;
    Sum.RepliesMissing += Part.RepliesMissing;
    Sum.ErrorFrames += Part.ErrorFrames;
    Sum.RtnErrors += Part.RtnErrors;
    Sum.NoiseBytes += Part.NoiseBytes;
}

}  // namespace

TPollState::TPollState(std::string Port, const TAnswerRule& Rule) : FRule(Rule) {
    FData.Port = std::move(Port);
}

TMetricsData TPollState::Metrics() const {
    TMetricsData m = FData;
    m.Up = FUp;
    m.PortOpen = FPortOpen;
    m.Reconnects = FOpens > 1 ? FOpens - 1 : 0;
    TLinkCountersData sum = FCarried;
    Add(sum, FCounters.Data());
    m.Commands = sum.CommandsSent;
    m.Replies = sum.Replies;
    m.RepliesMissing = sum.RepliesMissing;
    m.ErrorFrames = sum.ErrorFrames;
    m.RtnErrors = sum.RtnErrors;
    return m;
}

bool TPollState::TakeWriteDue() {
    const bool due = FWriteDue;
    FWriteDue = false;
    return due;
}

bool TPollState::TakeIdentityDue() {
    const bool due = FIdentityDue;
    FIdentityDue = false;
    return due;
}

void TPollState::ExpireStale(SteadyTime Now, Millis MaxAge) {
    for (std::size_t u = 0; u < 2; ++u) {
        if (FData.Analog[u] && Now - FAnalogAt[u] > MaxAge) FData.Analog[u].reset();
        if (FData.Switches[u] && Now - FSwitchesAt[u] > MaxAge) FData.Switches[u].reset();
        if (FData.Alarms[u] && Now - FAlarmsAt[u] > MaxAge) FData.Alarms[u].reset();
    }
}

void TPollState::Stopped() {
    FPortOpen = false;
    FLast.reset();
    SetUp(false);
    FWriteDue = true;
}

void TPollState::SetUp(bool Value) {
    if (Value == FUp) return;
    FUp = Value;
    FWriteDue = true;
    if (!Value) {
        // Nothing is known of a controller that does not answer: no frozen readings.
        FData.ClearReadings();
        if (FPortOpen) FWentSilent = true;
    } else if (FWentSilent) {
        FWentSilent = false;
        FIdentityDue = true;
    }
    if (OnUpChanged) OnUpChanged(Value);
}

void TPollState::FollowRule() {
    SetUp(FRule.State() == TAnswering::Answering);
}

void TPollState::Conclude() {
    FLast->Concluded = true;
    if (FLast->CID2 == CID2::Alarms) FWriteDue = true;  // the poll cycle is complete
}

void TPollState::OnLinkOpened(const TLinkOpened& e) {
    Add(FCarried, FCounters.Data());
    FCounters.OnLinkOpened(e);
    ++FOpens;
    FPortOpen = true;
    FAnswered = false;
    FWentSilent = false;
    FLast.reset();
    FWriteDue = true;
    FollowRule();
}

void TPollState::OnLinkClosed(const TLinkClosed& e) {
    FCounters.OnLinkClosed(e);
    FPortOpen = false;
    FLast.reset();
    SetUp(false);
    FWriteDue = true;
}

void TPollState::OnCommandSent(const TCommandSent& e) {
    FCounters.OnCommandSent(e);
    if (FLast && !FLast->Concluded) Conclude();
    FLast = TSent{e.CID2, false};
    FollowRule();
}

void TPollState::OnFrameReceived(const TFrameReceived& e) {
    FCounters.OnFrameReceived(e);
}

void TPollState::OnReplyReceived(const TReplyReceived& e) {
    FCounters.OnReplyReceived(e);
    FAnswered = true;
    if (e.Rtn == 0)
        FData.LastReply = e.At.Wall;
    else
        ++FData.RtnCounts[e.Rtn];  // refused replies by their code, across reopenings
    FollowRule();
    if (FLast && !FLast->Concluded) Conclude();
}

void TPollState::OnReplyDecoded(const TDecodedReply& e) {
    FData.Apply(e.Data, e.At.Wall);
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, TAnalogValues> || std::is_same_v<T, TSwitchStates> ||
                          std::is_same_v<T, TAlarmStates>) {
                if (r.Unit != 0 && r.Unit != 1) return;
                const auto u = static_cast<std::size_t>(r.Unit);
                if constexpr (std::is_same_v<T, TAnalogValues>) FAnalogAt[u] = e.At.Time;
                if constexpr (std::is_same_v<T, TSwitchStates>) FSwitchesAt[u] = e.At.Time;
                if constexpr (std::is_same_v<T, TAlarmStates>) FAlarmsAt[u] = e.At.Time;
            }
        },
        e.Data);
}

void TPollState::OnReplyMissing(const TReplyMissing& e) {
    FCounters.OnReplyMissing(e);
    if (FLast && !FLast->Concluded && FLast->CID2 == e.CID2) Conclude();
    FollowRule();
}

void TPollState::OnNoise(const TNoise& e) {
    FCounters.OnNoise(e);
}

}  // namespace airconpoll
