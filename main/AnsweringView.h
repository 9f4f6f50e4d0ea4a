// The window's word on whether the controller answers, from the session's answering
// rule: the status label reads "通讯状态：正常" only while it answers, and says when it is
// silent or refusing; a banner below the designed area says how old the values shown
// are until the next good reply. The banner's age is brought up to date by the link
// bar's refresh, never per reply, and its label keeps its size, so a new text asks no
// relayout of the window.
#pragma once

#include <QObject>
#include <optional>

#include "Answering.h"
#include "Clock.h"

class QLabel;
class QWidget;
namespace aircon {
class TSession;
}

class TAnsweringView : public QObject, private aircon::IMonitorObserver {
    Q_OBJECT
  public:
    // Status: the designed status label. The banner is made here, hidden, for the host to
    // place (Banner()).
    TAnsweringView(aircon::TSession& Session, aircon::IClock& Clock, QLabel* Status,
                   QObject* Parent = nullptr);
    ~TAnsweringView() override;

    QLabel* Banner() const { return FBanner; }
    // The state the status label shows (none while the link is closed or no command has
    // been concluded yet).
    std::optional<aircon::TAnswering> Shown() const { return FShown; }
    // Brings the banner's age up to date (the host's refresh tick).
    void Refresh();

  private:
    void Show(aircon::TAnswering State);
    bool Listening() const;
    void OnReplyReceived(const aircon::TReplyReceived& Reply) override;
    void OnReplyMissing(const aircon::TReplyMissing& Missing) override;
    void OnLinkClosed(const aircon::TLinkClosed& Closed) override;

    aircon::TSession& FSession;
    aircon::IClock& FClock;
    QLabel* FStatus = nullptr;
    QLabel* FBanner = nullptr;
    aircon::TLastGoodReply FLastGood;
    std::optional<aircon::TAnswering> FShown;
};
