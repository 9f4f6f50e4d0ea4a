#include "LinkCounters.h"

#include <algorithm>

namespace aircon {

void TLinkCounters::Reset() {
    FData = TLinkCountersData{};
    FResponses = 0;
    FResponseSum = Millis{};
}

void TLinkCounters::OnLinkOpened(const TLinkOpened&) {
    Reset();
}

void TLinkCounters::OnCommandSent(const TCommandSent&) {
    ++FData.CommandsSent;
}

// A late frame counts too: its response time says how late the answer was, while
// the command stays counted as missing.
void TLinkCounters::OnFrameReceived(const TFrameReceived& Frame) {
    if (Frame.Check != TFrameCheck::Ok) ++FData.ErrorFrames;
    if (!Frame.ResponseTime) return;
    const Millis t = *Frame.ResponseTime;
    FData.LastResponse = t;
    FData.MinResponse = FData.MinResponse ? std::min(*FData.MinResponse, t) : t;
    FData.MaxResponse = FData.MaxResponse ? std::max(*FData.MaxResponse, t) : t;
    ++FResponses;
    FResponseSum += t;
    FData.MeanResponse = FResponseSum / static_cast<Millis::rep>(FResponses);
}

void TLinkCounters::OnReplyReceived(const TReplyReceived& Reply) {
    ++FData.Replies;
    if (Reply.Rtn != 0) {
        ++FData.RtnErrors;
        return;
    }
    FData.LastGoodReply = Reply.At.Time;
    FData.LastGoodReplyWall = Reply.At.Wall;
}

void TLinkCounters::OnReplyMissing(const TReplyMissing&) {
    ++FData.RepliesMissing;
}

void TLinkCounters::OnNoise(const TNoise& Noise) {
    FData.NoiseBytes += Noise.Count;
}

}  // namespace aircon
