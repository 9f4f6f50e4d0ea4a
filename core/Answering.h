// Whether the controller answers: the one rule every host takes it from (the window's
// status, the poller's aircon_up, the alerts built on it).
//
//   Answering  a reply with RTN 0 came within the last poll cycle;
//   Refusing   replies came, none with RTN 0 (a protocol version the controller does not
//              speak, a command it does not know, ...);
//   Silent     no reply: nothing at all, or only frames that failed the check.
//
// A poll cycle is the three poll commands 0x42, 0x43 and 0x44, each concluded: answered,
// reported missing, or followed by the next command before any reply. The state rises at
// once (the first RTN-0 reply makes it Answering, the first refusal of a Silent link
// makes it Refusing) and falls only when a whole poll cycle went by without an RTN-0
// reply: to Refusing when a reply came in that cycle, else to Silent. Other commands
// (identity, parameters, remote control) raise it like the poll commands but do not
// count towards a cycle. Opening and closing the link starts again at Silent.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "Events.h"

namespace aircon {

enum class TAnswering { Silent, Refusing, Answering };

std::string_view AnsweringName(TAnswering State);  // "silent", "refusing", "answering"

class TAnswerRule : public IMonitorObserver {
  public:
    TAnswering State() const { return FState; }
    // A reply came since the link opened (refused ones included).
    bool Replied() const { return FReplied; }

    // Called with the new state each time it changes.
    std::function<void(TAnswering)> OnChanged;

    void OnLinkOpened(const TLinkOpened&) override;
    void OnLinkClosed(const TLinkClosed&) override;
    void OnCommandSent(const TCommandSent&) override;
    void OnReplyReceived(const TReplyReceived&) override;
    void OnReplyMissing(const TReplyMissing&) override;

  private:
    void Set(TAnswering State);
    void Restart();
    // The last command's outcome is known; Good: a reply with RTN 0.
    void Conclude(bool Good);

    TAnswering FState = TAnswering::Silent;
    bool FReplied = false;
    // Poll steps (0x42, 0x43, 0x44) concluded without an RTN-0 reply in this cycle.
    std::bitset<3> FStepsWithout;
    bool FReplyInCycle = false;  // a refused reply came in this cycle
    struct TSent {
        std::uint8_t CID2 = 0;
        bool Concluded = false;
    };
    std::optional<TSent> FLast;
};

// Keeps the time of the last good reply (RTN 0): the values on screen are from then.
// It outlives the link: the panels keep their values when the link closes.
class TLastGoodReply : public IMonitorObserver {
  public:
    const std::optional<TStamp>& At() const { return FAt; }
    void OnReplyReceived(const TReplyReceived& Reply) override {
        if (Reply.Rtn == 0) FAt = Reply.At;
    }

  private:
    std::optional<TStamp> FAt;
};

}  // namespace aircon
