#include "LinkView.h"

#include <QEvent>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>

#include "LinkStatusWidget.h"
#include "TrafficLogPanel.h"

TLinkView::TLinkView(const TLinkViewHost& Host, aircon::TMonitor& Monitor,
                     const aircon::IClock& Clock)
    : FHost(Host), FMonitor(Monitor) {
    FStatus = new TLinkStatusWidget(Clock, Host.StatusBar);
    Host.StatusBar->addPermanentWidget(FStatus, 1);
    FPanel = new TTrafficLogPanel(Host.Window);
    FPanel->setFixedHeight(PanelHeight);
    FPanel->hide();
    Host.AddBottomPanel(FPanel);
    FInLayout = true;

    aircon::IMonitorObserver* log = &FPanel->Log();
    aircon::IMonitorObserver* status = FStatus;
    Monitor.AddObserver(*log);
    Monitor.AddObserver(*status);
    // Should a widget go before the view does, the monitor forgets it at once.
    connect(FPanel, &QObject::destroyed, this, [this, log] { FMonitor.RemoveObserver(*log); });
    connect(FStatus, &QObject::destroyed, this,
            [this, status] { FMonitor.RemoveObserver(*status); });

    connect(FStatus->btnTrafficLog, &QPushButton::toggled, this, &TLinkView::ShowLog);
    // The table takes its new rows in the same pass as the counters refresh (every 2 s while
    // the link is open, and at once when it opens or closes or the counters are reset): a
    // repaint of the table costs more than the rest of the link view, and the file takes
    // each row at once anyway.
    FPanel->SetOwnPacing(false);
    connect(FStatus, &TLinkStatusWidget::refreshed, FPanel,
            [this](bool) { FPanel->SyncIfChanged(); });
    AvailableArea = [this] {
        const QScreen* s = FHost.Window->screen();
        return s ? s->availableGeometry() : QRect();
    };
}

TLinkView::~TLinkView() {
    if (FPanel) FMonitor.RemoveObserver(FPanel->Log());
    if (FStatus) FMonitor.RemoveObserver(static_cast<aircon::IMonitorObserver&>(*FStatus));
}

void TLinkView::ShowLog(bool Show) {
    if (FStatus) {
        const QSignalBlocker quiet(FStatus->btnTrafficLog);
        FStatus->btnTrafficLog->setChecked(Show);
    }
    if (Show == FShown || !FPanel) return;
    FShown = Show;
    QWidget* window = FHost.Window;

    if (!Show) {
        if (FDetached) {
            FDetached->hide();
            return;
        }
        FPanel->hide();  // the window shrinks with it
        if (!FMovedBy.isNull()) {
            window->move(window->pos() + FMovedBy);
            FMovedBy = {};
        }
        return;
    }

    int height = PanelHeight;
    const QRect area = AvailableArea ? AvailableArea() : QRect();
    if (area.isValid() && window->isVisible()) {
        const QRect frame = window->frameGeometry();
        const int room = area.height() - frame.height();
        if (room < MinPanelHeight) {
            Detach();
            return;
        }
        height = std::min(PanelHeight, room);
        // Keep the grown window on the screen: up by what its bottom would overhang.
        const int overhang = frame.bottom() + height - area.bottom();
        if (overhang > 0) {
            FMovedBy = QPoint(0, overhang);
            window->move(window->pos() - FMovedBy);
        }
    }
    Dock();
    FPanel->setFixedHeight(height);
    FPanel->show();
}

void TLinkView::Dock() {
    if (FInLayout) return;
    FPanel->setMinimumHeight(0);
    FPanel->setMaximumHeight(QWIDGETSIZE_MAX);
    FPanel->hide();
    FHost.AddBottomPanel(FPanel);  // takes the panel back from its own window
    FInLayout = true;
    delete FDetached;
}

void TLinkView::Detach() {
    if (!FDetached) {
        FDetached = new QWidget(FHost.Window, Qt::Window);
        FDetached->setObjectName(QStringLiteral("TrafficLogWindow"));
        FDetached->setWindowTitle(QStringLiteral("通讯记录"));
        auto* layout = new QVBoxLayout(FDetached);
        layout->setContentsMargins(0, 0, 0, 0);
        FPanel->setMinimumHeight(MinPanelHeight);
        FPanel->setMaximumHeight(QWIDGETSIZE_MAX);
        layout->addWidget(FPanel);  // out of the window's layout, into this one
        FInLayout = false;
        FDetached->installEventFilter(this);
        const QRect area = AvailableArea ? AvailableArea() : QRect();
        FDetached->resize(FHost.Window->width(), PanelHeight);
        if (area.isValid())
            FDetached->move(area.left() + std::max(0, (area.width() - FDetached->width()) / 2),
                            std::max(area.top(), area.bottom() - PanelHeight - 40));
    }
    FPanel->show();
    FDetached->show();
    FDetached->raise();
}

bool TLinkView::eventFilter(QObject* Watched, QEvent* Event) {
    // The panel's own window closed by the operator: the switch goes off with it.
    if (Watched == FDetached && Event->type() == QEvent::Close && FShown) ShowLog(false);
    return QObject::eventFilter(Watched, Event);
}
