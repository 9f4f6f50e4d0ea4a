#include "AnsweringView.h"

#include <QLabel>
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "LocalTime.h"
#include "PanelKit.h"
#include "Session.h"
#include "SteadyLabel.h"

namespace {

// The status label's text for each answering state.
std::string_view AnsweringStatusText(aircon::TAnswering State) {
    switch (State) {
        case aircon::TAnswering::Answering:
            return "通讯状态：正常";
        case aircon::TAnswering::Refusing:
            return "通讯状态：拒绝命令";
        case aircon::TAnswering::Silent:
            return "通讯状态：无应答";
    }
    return "";
}

// A span of time as the banner says it: "8 秒", "2 分 5 秒", "3 小时 12 分".
std::string AgeText(aircon::Millis Age) {
    const long long seconds = std::max<long long>(0, Age.count() / 1000);
    if (seconds < 60) return std::to_string(seconds) + " 秒";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " 分 " + std::to_string(seconds % 60) + " 秒";
    return std::to_string(seconds / 3600) + " 小时 " + std::to_string(seconds % 3600 / 60) + " 分";
}

// The banner shown while the controller is silent or refusing: what it does, and since
// when the values shown have not changed. Empty while it answers.
//   "控制器无应答：显示的数值是 14:03:05 的读数，已 26 秒未更新"
//   "控制器拒绝命令：尚未收到任何读数"
std::string StaleBannerText(aircon::TAnswering State, const std::optional<aircon::TStamp>& LastGood,
                            const aircon::TStamp& Now) {
    std::string text;
    switch (State) {
        case aircon::TAnswering::Answering:
            return {};
        case aircon::TAnswering::Refusing:
            text = "控制器拒绝命令：";
            break;
        case aircon::TAnswering::Silent:
            text = "控制器无应答：";
            break;
    }
    if (!LastGood) return text + "尚未收到任何读数";
    // The time of day to the second: the milliseconds of the log would only distract.
    std::string at = util::LocalTimeText(LastGood->Wall, false);
    if (const auto dot = at.find('.'); dot != std::string::npos) at.resize(dot);
    const auto age = std::chrono::duration_cast<aircon::Millis>(Now.Time - LastGood->Time);
    return text + "显示的数值是 " + at + " 的读数，已 " + AgeText(age) + "未更新";
}

}  // namespace

TAnsweringView::TAnsweringView(aircon::TSession& Session, aircon::IClock& Clock, QLabel* Status,
                               QObject* Parent)
    : QObject(Parent), FSession(Session), FClock(Clock), FStatus(Status) {
    FBanner = new QLabel;
    FBanner->setObjectName(QStringLiteral("lblStaleValues"));
    FBanner->setAccessibleName(QStringLiteral("读数状态"));
    FBanner->setContentsMargins(8, 3, 8, 3);
    FBanner->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FBanner->hide();
    FSession.Monitor().AddObserver(FLastGood);
    FSession.Monitor().AddObserver(*this);
    FSession.OnAnswering = [this](aircon::TAnswering State) {
        // Opening and closing start the rule again at silent: that says nothing of the
        // controller yet.
        if (!FSession.IsOpen() || FSession.Closing() || Listening()) return;
        if (State == aircon::TAnswering::Silent && !FShown) return;
        Show(State);
    };
}

TAnsweringView::~TAnsweringView() {
    FSession.OnAnswering = nullptr;
    FSession.Monitor().RemoveObserver(*this);
    FSession.Monitor().RemoveObserver(FLastGood);
}

void TAnsweringView::Show(aircon::TAnswering State) {
    const bool changed = FShown != State;
    FShown = State;
    if (changed) SetCaption(FStatus, AnsweringStatusText(State));
    const bool stale = State != aircon::TAnswering::Answering;
    if (stale) Refresh();
    if (FBanner->isHidden() == stale) FBanner->setVisible(stale);
}

void TAnsweringView::Refresh() {
    if (!FShown || *FShown == aircon::TAnswering::Answering) return;
    const aircon::TStamp now{FClock.Now(), FClock.WallNow()};
    const std::string text = StaleBannerText(*FShown, FLastGood.At(), now);
    const QString shown = QString::fromStdString(text);
    FBanner->setAccessibleDescription(shown);
    SetSteadyText(FBanner, shown);
}

bool TAnsweringView::Listening() const {
    // The status then says that the tool listens: whether the controller answers is
    // another master's business, shown by the counters. A capture replayed into the
    // closed window says nothing of the link either.
    return FSession.Mode() == aircon::TSessionMode::Listen || !FSession.IsOpen();
}

void TAnsweringView::OnReplyReceived(const aircon::TReplyReceived& Reply) {
    if (Listening()) return;
    if (Reply.Rtn == 0) Show(aircon::TAnswering::Answering);
}

void TAnsweringView::OnReplyMissing(const aircon::TReplyMissing&) {
    // A link that has not answered since it opened: the rule stays silent and says
    // nothing new, but the first command without a reply shows it.
    if (Listening()) return;
    if (FSession.Answering() == aircon::TAnswering::Silent) Show(aircon::TAnswering::Silent);
}

void TAnsweringView::OnLinkClosed(const aircon::TLinkClosed&) {
    FShown.reset();
    FBanner->hide();
}
