#include "AnsweringView.h"

#include <QLabel>

#include "PanelKit.h"
#include "Session.h"
#include "SteadyLabel.h"

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
    if (changed) SetCaption(FStatus, aircon::AnsweringStatusText(State));
    const bool stale = State != aircon::TAnswering::Answering;
    if (stale) Refresh();
    if (FBanner->isHidden() == stale) FBanner->setVisible(stale);
}

void TAnsweringView::Refresh() {
    if (!FShown || *FShown == aircon::TAnswering::Answering) return;
    const aircon::TStamp now{FClock.Now(), FClock.WallNow()};
    const std::string text = aircon::StaleBannerText(*FShown, FLastGood.At(), now);
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
