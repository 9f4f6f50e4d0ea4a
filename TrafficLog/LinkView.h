// The link view of a window: the link counters in its status bar and the traffic log
// in a panel below its designed area, opened and closed by the status bar's "通讯记录".
//
// Opening the panel grows the window by the panel's height (moving the window up when
// its bottom would leave the screen), closing it shrinks the window back to where it
// was. On a screen too low for the window and even a short panel, the panel opens in a
// window of its own instead.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <functional>

#include "LinkStatusWidget.h"
#include "Monitor.h"
#include "TrafficLogPanel.h"

class QStatusBar;
class QWidget;

struct TLinkViewHost {
    QWidget* Window = nullptr;  // the top-level window that grows with the panel
    QStatusBar* StatusBar = nullptr;
    // Puts a panel between the designed area and the status bar (hidden until shown).
    std::function<void(QWidget*)> AddBottomPanel;
};

class TLinkView : public QObject {
    Q_OBJECT
  public:
    static constexpr int PanelHeight = 300;     // as designed
    static constexpr int MinPanelHeight = 180;  // the least that still shows rows

    // Registers the traffic log and the counters with Monitor; the widgets belong to
    // the window.
    TLinkView(const TLinkViewHost& Host, aircon::TMonitor& Monitor, const aircon::IClock& Clock);
    // Unregisters them: to be destroyed before the monitor.
    ~TLinkView() override;

    TTrafficLogPanel& Panel() const { return *FPanel; }
    TLinkStatusWidget& Status() const { return *FStatus; }

    void ShowLog(bool Show);
    bool LogShown() const { return FShown; }
    bool LogDetached() const { return FDetached != nullptr; }

    // The part of the screen the window must stay in; the window's screen unless
    // replaced (tests).
    std::function<QRect()> AvailableArea;

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    void Dock();
    void Detach();

    TLinkViewHost FHost;
    aircon::TMonitor& FMonitor;
    QPointer<TTrafficLogPanel> FPanel;
    QPointer<TLinkStatusWidget> FStatus;
    QPointer<QWidget> FDetached;  // the panel's own window, when it has one
    bool FShown = false;
    bool FInLayout = false;  // the panel sits below the designed area
    QPoint FMovedBy;         // how far opening moved the window up
};
