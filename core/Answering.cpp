#include "Answering.h"

namespace aircon {

std::string_view AnsweringName(TAnswering State) {
    switch (State) {
        case TAnswering::Silent:
            return "silent";
        case TAnswering::Refusing:
            return "refusing";
        case TAnswering::Answering:
            return "answering";
    }
    return "?";
}

void TAnswerRule::Set(TAnswering State) {
    if (State == FState) return;
    FState = State;
    if (OnChanged) OnChanged(State);
}

void TAnswerRule::Restart() {
    FReplied = false;
    FStepsWithout.reset();
    FReplyInCycle = false;
    FLast.reset();
    Set(TAnswering::Silent);
}

void TAnswerRule::Conclude(bool Good) {
    if (!FLast || FLast->Concluded) return;
    FLast->Concluded = true;
    const std::uint8_t cid2 = FLast->CID2;
    if (Good || cid2 < CID2::Analog || cid2 > CID2::Alarms) return;
    FStepsWithout.set(cid2 - CID2::Analog);
    if (!FStepsWithout.all()) return;
    // A whole poll cycle without an RTN-0 reply.
    Set(FReplyInCycle ? TAnswering::Refusing : TAnswering::Silent);
    FStepsWithout.reset();
    FReplyInCycle = false;
}

void TAnswerRule::OnLinkOpened(const TLinkOpened&) {
    Restart();
}

void TAnswerRule::OnLinkClosed(const TLinkClosed&) {
    Restart();
}

void TAnswerRule::OnCommandSent(const TCommandSent& e) {
    Conclude(false);  // superseded before any reply
    FLast = TSent{e.CID2, false};
}

void TAnswerRule::OnReplyReceived(const TReplyReceived& e) {
    FReplied = true;
    if (e.Rtn == 0) {
        FStepsWithout.reset();
        FReplyInCycle = false;
        Set(TAnswering::Answering);
        Conclude(true);
        return;
    }
    FReplyInCycle = true;
    if (FState == TAnswering::Silent) Set(TAnswering::Refusing);
    Conclude(false);
}

void TAnswerRule::OnReplyMissing(const TReplyMissing&) {
    Conclude(false);
}

}  // namespace aircon
