// The link counters for the window's status bar: commands sent, replies, replies
// missing, error frames, RTN other than 0, noise bytes, the response times and the time
// since the last good reply, with a button to reset them, and the "通讯记录" switch that
// opens the traffic log panel.
//
// The counting is the core's TLinkCounters: the widget forwards the monitor's events to
// it and shows its figures, refreshed every RefreshMs (2 s) while the link is open (and
// once more when it closes), so that a busy link costs the window one repaint every 2 s.
#pragma once

#include <QWidget>

#include "Clock.h"
#include "LinkCounters.h"

class QLabel;
class QPushButton;
class QTimer;

class TLinkStatusWidget : public QWidget, public aircon::IMonitorObserver {
    Q_OBJECT
  public:
    static constexpr int RefreshMs = 2000;

    // Clock: the core's clock, for the time since the last good reply.
    explicit TLinkStatusWidget(const aircon::IClock& Clock, QWidget* Parent = nullptr);

    const aircon::TLinkCounters& Counters() const { return FCounters; }
    // Shows the figures as they are now.
    void Refresh();
    // "<1 s", "12 s", "3 分 5 秒", "2 小时 7 分"
    static QString AgeText(aircon::Millis Age);

    QLabel* lblSent = nullptr;
    QLabel* lblReplies = nullptr;
    QLabel* lblMissing = nullptr;
    QLabel* lblErrorFrames = nullptr;
    QLabel* lblRtn = nullptr;
    QLabel* lblNoise = nullptr;
    QLabel* lblResponse = nullptr;
    QLabel* lblLastGood = nullptr;
    QPushButton* btnReset = nullptr;
    QPushButton* btnTrafficLog = nullptr;  // checkable: the traffic log panel shown

    // --- IMonitorObserver: forwarded to the counters ---
    void OnLinkOpened(const aircon::TLinkOpened&) override;
    void OnLinkClosed(const aircon::TLinkClosed&) override;
    void OnCommandSent(const aircon::TCommandSent&) override;
    void OnFrameReceived(const aircon::TFrameReceived&) override;
    void OnReplyReceived(const aircon::TReplyReceived&) override;
    void OnReplyMissing(const aircon::TReplyMissing&) override;
    void OnReplyDecoded(const aircon::TDecodedReply&) override;
    void OnNoise(const aircon::TNoise&) override;

  signals:
    // After each refresh of the figures: Tick for those of the timer (every RefreshMs while
    // the link is open), not for those when the link opens or closes or on a reset.
    void refreshed(bool Tick);

  private:
    // Fit: the labels fitted to their texts anew (after a reset), else only grown.
    void Show(bool Fit, bool Tick = false);

    const aircon::IClock& FClock;
    aircon::TLinkCounters FCounters;
    QTimer* FTimer = nullptr;
    bool FOpen = false;
};
