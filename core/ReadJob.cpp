#include "ReadJob.h"

namespace aircon {

TReadJob::TReadJob(TMonitor& Monitor, std::vector<std::uint8_t> Commands) : FMonitor(Monitor) {
    FResults.reserve(Commands.size());
    for (std::uint8_t c : Commands)
        FResults.push_back(TReadResult{c, TReadOutcome::Waiting, 0});
    FMonitor.AddObserver(*this);
}

TReadJob::~TReadJob() {
    FMonitor.RemoveObserver(*this);
}

void TReadJob::Start() {
    if (FStarted) return;
    FStarted = true;
    FCurrent = 0;
    if (FResults.empty()) {
        Finish();
        return;
    }
    FMonitor.QueueCommand(TIntCMD{FResults[0].CID2, 0, 0});
}

void TReadJob::OnCommandSent(const TCommandSent& Sent) {
    if (!FStarted || FDone) return;
    TReadResult& r = FResults[FCurrent];
    if (!FOnLine && r.Outcome == TReadOutcome::Waiting && Sent.CID2 == r.CID2 &&
        Sent.Item.Param == 0 && Sent.Item.Value == 0) {
        FOnLine = true;
        r.Outcome = TReadOutcome::Sent;
    } else if (FOnLine) {
        // Another command went out after ours: its reply is no longer ours to wait for.
        Conclude(TReadOutcome::NoReply);
    }
}

void TReadJob::OnReplyReceived(const TReplyReceived& Reply) {
    if (!FOnLine || Reply.LastCID2 != FResults[FCurrent].CID2) return;
    if (Reply.Rtn == 0 && Reply.Data)
        Conclude(TReadOutcome::Read);
    else
        Conclude(TReadOutcome::Refused, Reply.Rtn);
}

void TReadJob::OnReplyMissing(const TReplyMissing& Missing) {
    if (FOnLine && Missing.CID2 == FResults[FCurrent].CID2) Conclude(TReadOutcome::NoReply);
}

void TReadJob::OnLinkClosed(const TLinkClosed&) {
    if (!FStarted || FDone) return;
    // The queue was released: nothing not yet concluded gets a reply now.
    for (std::size_t i = FCurrent; i < FResults.size(); ++i)
        FResults[i].Outcome = TReadOutcome::NoReply;
    FOnLine = false;
    Finish();
}

void TReadJob::Conclude(TReadOutcome Outcome, std::uint8_t Rtn) {
    FOnLine = false;
    FResults[FCurrent].Outcome = Outcome;
    FResults[FCurrent].Rtn = Rtn;
    if (++FCurrent < FResults.size()) {
        FMonitor.QueueCommand(TIntCMD{FResults[FCurrent].CID2, 0, 0});
        return;
    }
    Finish();
}

void TReadJob::Finish() {
    if (FDone) return;
    FDone = true;
    if (OnDone) OnDone();
}

std::vector<std::uint8_t> ReadsBeforeReport(const THistory& History, TSessionMode Mode,
                                            bool LinkOpen) {
    if (Mode == TSessionMode::Listen || !LinkOpen) return {};
    const auto opened = History.LinkOpenedAt();
    const TLatestReplies& l = History.Latest();
    auto stale = [&](const auto& Latest) { return !Latest || (opened && Latest->At < *opened); };
    std::vector<std::uint8_t> reads;
    if (stale(l.Version)) reads.push_back(0x4F);
    if (stale(l.Address)) reads.push_back(0x50);
    if (stale(l.Vendor)) reads.push_back(0x51);
    if (stale(l.Params)) reads.push_back(0x47);
    return reads;
}

}  // namespace aircon
