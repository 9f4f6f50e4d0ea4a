// What the window tells the operator about whether the readings on screen are live: the
// status label's text for each answering state of an open link, and the banner that says
// how old the values shown are while the controller does not answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Answering.h"
#include "Events.h"

namespace aircon {

// "通讯状态：正常", "通讯状态：拒绝命令", "通讯状态：无应答".
std::string_view AnsweringStatusText(TAnswering State);

// A span of time as the banner says it: "8 秒", "2 分 5 秒", "3 小时 12 分".
std::string AgeText(Millis Age);

// The banner shown while the controller is silent or refusing: what it does, and since
// when the values shown have not changed. Empty while it answers.
//   "控制器无应答：显示的数值是 14:03:05 的读数，已 26 秒未更新"
//   "控制器拒绝命令：尚未收到任何读数"
std::string StaleBannerText(TAnswering State, const std::optional<TStamp>& LastGood,
                            const TStamp& Now);

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
