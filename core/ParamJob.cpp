#include "ParamJob.h"

#include <variant>

#include "DH.h"
#include "Model.h"

namespace aircon {

namespace {
constexpr std::uint8_t SetParam = 0x49;
constexpr std::uint8_t ReadParams = 0x47;
}  // namespace

std::optional<std::uint16_t> ParamValueOf(const TUserParams& Params, std::uint8_t Code) {
    if (Code >= 0x80 && Code < 0x80 + ParamReadingCount) {
        const TReading& r = Params.Readings[Code - 0x80u];
        if (!r) return std::nullopt;
        return static_cast<std::uint16_t>(*r);  // the word as sent, signed ones too
    }
    if (Code >= 0xC0 && Code < 0xC0 + ParamItemCount) {
        const std::size_t i = Code - 0xC0u;
        if (i >= Params.ItemCount) return std::nullopt;
        return Params.Items[i];
    }
    return std::nullopt;
}

std::string ParamWordText(std::uint8_t Code, std::uint16_t Word) {
    const auto index = ParamFieldIndex(Code);
    if (index && ParamFields[*index].Signed)
        return std::to_string(static_cast<std::int16_t>(Word));  // as the panel shows it
    return std::to_string(Word);
}

std::string ParamOutcomeText(const TParamResult& Result) {
    switch (Result.Outcome) {
        case TParamOutcome::Waiting:
            return "等待发送";
        case TParamOutcome::Sent:
            return "已发送，等待应答";
        case TParamOutcome::Accepted:
            return "控制器已接受，正在回读参数";
        case TParamOutcome::Verified:
            return "已写入，回读确认控制器保存了 " +
                   ParamWordText(Result.Write.Code, Result.Write.Value);
        case TParamOutcome::Different:
            return "控制器已接受，但回读值为 " +
                   (Result.ReadBack ? ParamWordText(Result.Write.Code, *Result.ReadBack)
                                    : std::string("未知")) +
                   "，不是设定值 " + ParamWordText(Result.Write.Code, Result.Write.Value);
        case TParamOutcome::NotReadBack:
            return "控制器已接受，但回读参数失败：无法确认";
        case TParamOutcome::Refused:
            return "被拒绝：" + TDH::RtnToString(Result.Rtn) + "（RTN " +
                   std::to_string(Result.Rtn) + "）";
        case TParamOutcome::NoReply:
            return "无应答：控制器未回复设置命令";
    }
    return {};
}

TParamJob::TParamJob(TMonitor& Monitor, std::vector<TParamWrite> Writes) : FMonitor(Monitor) {
    FResults.reserve(Writes.size());
    for (const TParamWrite& w : Writes)
        FResults.push_back(TParamResult{w, TParamOutcome::Waiting, 0, std::nullopt});
}

TParamJob::~TParamJob() {
    FMonitor.RemoveObserver(*this);
}

TIntCMD TParamJob::Item(std::size_t Index) const {
    const TParamWrite& w = FResults[Index].Write;
    return TIntCMD{SetParam, w.Code, w.Value};
}

void TParamJob::Start() {
    if (FStep != TStep::Idle) return;
    FMonitor.AddObserver(*this);
    FStep = TStep::Writing;
    FCurrent = 0;
    if (FResults.empty()) {
        Finish();
        return;
    }
    FMonitor.QueueCommand(Item(0));
}

void TParamJob::Set(std::size_t Index, TParamOutcome Outcome) {
    FResults[Index].Outcome = Outcome;
    if (OnProgress) OnProgress(Index);
}

void TParamJob::OnCommandSent(const TCommandSent& Sent) {
    if (FStep == TStep::Writing && Sent.CID2 == SetParam && Sent.Item == Item(FCurrent) &&
        FResults[FCurrent].Outcome == TParamOutcome::Waiting) {
        FOnLine = true;
        Set(FCurrent, TParamOutcome::Sent);
    } else if (FStep == TStep::Reading && Sent.CID2 == ReadParams) {
        FOnLine = true;
    } else {
        // Another command went out after ours: its reply is no longer ours to wait for.
        if (FOnLine && FStep == TStep::Writing)
            Conclude(TParamOutcome::NoReply);
        else if (FOnLine && FStep == TStep::Reading)
            ReadBackDone(nullptr);
    }
}

void TParamJob::OnReplyReceived(const TReplyReceived& Reply) {
    if (!FOnLine) return;
    if (FStep == TStep::Writing && Reply.LastCID2 == SetParam) {
        if (Reply.Rtn == 0)
            Conclude(TParamOutcome::Accepted);
        else
            Conclude(TParamOutcome::Refused, Reply.Rtn);
    } else if (FStep == TStep::Reading && Reply.LastCID2 == ReadParams) {
        const TUserParams* params = Reply.Data ? std::get_if<TUserParams>(Reply.Data) : nullptr;
        ReadBackDone(Reply.Rtn == 0 ? params : nullptr);
    }
}

void TParamJob::OnReplyMissing(const TReplyMissing& Missing) {
    if (!FOnLine) return;
    if (FStep == TStep::Writing && Missing.CID2 == SetParam && Missing.Item == Item(FCurrent))
        Conclude(TParamOutcome::NoReply);
    else if (FStep == TStep::Reading && Missing.CID2 == ReadParams)
        ReadBackDone(nullptr);
}

void TParamJob::OnLinkClosed(const TLinkClosed&) {
    if (FStep == TStep::Done || FStep == TStep::Idle) return;
    // The queue was released: what was not concluded gets no reply now.
    if (FStep == TStep::Writing) {
        for (std::size_t i = FCurrent; i < FResults.size(); ++i)
            if (FResults[i].Outcome == TParamOutcome::Waiting ||
                FResults[i].Outcome == TParamOutcome::Sent)
                Set(i, TParamOutcome::NoReply);
    }
    FOnLine = false;
    ReadBackDone(nullptr);
}

void TParamJob::Conclude(TParamOutcome Outcome, std::uint8_t Rtn) {
    FOnLine = false;
    FResults[FCurrent].Rtn = Rtn;
    Set(FCurrent, Outcome);
    if (FStep == TStep::Done) return;  // the link closed in the host's handler
    Next();
}

void TParamJob::Next() {
    if (++FCurrent < FResults.size()) {
        FMonitor.QueueCommand(Item(FCurrent));
        return;
    }
    bool anyAccepted = false;
    for (const TParamResult& r : FResults)
        anyAccepted = anyAccepted || r.Outcome == TParamOutcome::Accepted;
    if (!anyAccepted) {
        Finish();
        return;
    }
    FStep = TStep::Reading;
    FMonitor.QueueCommand(TIntCMD{ReadParams, 0, 0});
}

void TParamJob::ReadBackDone(const TUserParams* Params) {
    FOnLine = false;
    if (Params) FReadBack = *Params;
    for (std::size_t i = 0; i < FResults.size(); ++i) {
        TParamResult& r = FResults[i];
        if (r.Outcome != TParamOutcome::Accepted) continue;
        if (!Params) {
            Set(i, TParamOutcome::NotReadBack);
            continue;
        }
        r.ReadBack = ParamValueOf(*Params, r.Write.Code);
        Set(i, r.ReadBack == r.Write.Value ? TParamOutcome::Verified : TParamOutcome::Different);
    }
    Finish();
}

void TParamJob::Finish() {
    if (FStep == TStep::Done) return;
    FStep = TStep::Done;
    FDone = true;
    if (OnDone) OnDone();
}

}  // namespace aircon
