// The alarm summary below the designed area ("告警汇总"): every alarm that stands on
// either unit, the fields the unit panels hide included, newest first, the serious ones
// marked by word and icon as well as by colour; the values of the hidden fields; and the
// operator's choice of a bell or a desktop notification when a new alarm appears (both
// off until chosen, remembered in Recording.ini beside the line settings).
//
// The list and its rules are the core's (TAlarmSummary); this panel only shows them. A
// toggle in the status bar, which also counts the alarms, shows and hides it.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QToolButton>
#include <QWidget>
#include <functional>
#include <optional>
#include <span>
#include <utility>

#include "Alarms.h"

class QCheckBox;
class QLabel;
class QTableWidget;
class TForm1;
namespace aircon {
class TMonitor;
}

class TAlarmSummaryView : public QWidget {
    Q_OBJECT
  public:
    // Observes Monitor from here on. The monitor must outlive this panel, or the panel
    // must leave first (see AddAlarmSummary); SettingsFile: where the choices are kept.
    TAlarmSummaryView(aircon::TMonitor& Monitor, QString SettingsFile, QWidget* Parent = nullptr);
    ~TAlarmSummaryView() override;

    const aircon::TAlarmSummary& Summary() const { return FSummary; }
    // The status bar toggle that shows and hides the panel and counts the alarms.
    QToolButton* Toggle() const { return FToggle; }
    // Brings the times of the last reads up to date (the host's refresh tick).
    void RefreshReads();
    // Stops observing (the host's monitor is about to go).
    void Detach();

    // How a new alarm is told, when the operator chose it; replaceable for tests.
    std::function<void()> Bell;
    std::function<void(const QString& Title, const QString& Body)> Notify;

    QLabel* lblAlarmHead = nullptr;
    QTableWidget* grdAlarms = nullptr;
    QLabel* lblHiddenFields = nullptr;
    QCheckBox* cbAlarmBell = nullptr;
    QCheckBox* cbAlarmNotify = nullptr;

    enum TColumn { ColLevel, ColUnit, ColField, ColState, ColSince, ColumnCount };

  private:
    void Rebuild();
    void Appeared(std::span<const aircon::TActiveAlarm> New);
    void ShowToggle();
    const QIcon& WarningIcon();
    void FixToggleSize();
    void Widen();
    void Store(const QString& Key, bool Value) const;

    aircon::TMonitor* FMonitor = nullptr;
    aircon::TAlarmSummary FSummary;
    QString FSettingsFile;
    QPointer<QToolButton> FToggle;  // in the host's status bar, which may go first
    // The style's warning sign, looked up once when first needed (WarningIcon): the
    // lookup costs far more than a rebuild of the table.
    QIcon FWarning;
    // What the toggle shows (alarms, serious ones): it is touched only when that changes,
    // since each change of its text or look lays out the status bar again.
    std::optional<std::pair<std::size_t, std::size_t>> FToggleShows;
};

// Makes the alarm summary of the window: the panel below the designed area (hidden until
// its toggle is pressed, or shown when it was left shown) and its toggle in the status bar.
TAlarmSummaryView* AddAlarmSummary(TForm1& Form);

// Sends a desktop notification (freedesktop notification service) when there is one;
// false when it could not be sent.
bool SendDesktopNotification(const QString& Title, const QString& Body);
