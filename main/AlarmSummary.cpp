#include "AlarmSummary.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#ifdef AIRCON_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#endif

#include "Form1.h"
#include "LinkStatusWidget.h"
#include "LinkView.h"
#include "LocalTime.h"
#include "Monitor.h"
#include "RecordTrendReport.h"
#include "Render.h"

namespace {

const QString SettingsGroup = QStringLiteral("AlarmSummary");
const QString BellKey = QStringLiteral("Bell");
const QString NotifyKey = QStringLiteral("DesktopNotification");
const QString ShownKey = QStringLiteral("Shown");

QString Q(std::string_view Text) {
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

// Local time to the second, with the date: an alarm may stand since yesterday.
QString TimeText(const aircon::TStamp& At) {
    return Q(util::LocalTimeText(At.Wall).substr(0, 19));
}

QString LevelText(const aircon::TActiveAlarm& A) {
    return A.Serious ? QStringLiteral("严重") : QStringLiteral("告警");
}

QString SinceText(const aircon::TActiveAlarm& A) {
    // Already standing in the unit's first reply: it began before that.
    return A.BeforeFirstRead ? QStringLiteral("早于 %1（首次读取时已有）").arg(TimeText(A.Since))
                             : TimeText(A.Since);
}

// One line a screen reader reads for an alarm, and the body of a notification.
QString AlarmSentence(const aircon::TActiveAlarm& A) {
    return QStringLiteral("%1：%2 %3 %4，开始于 %5")
        .arg(A.Serious ? QStringLiteral("严重告警") : QStringLiteral("告警"),
             Q(aircon::UnitName(A.Unit)), Q(A.Info().Caption), Q(aircon::AlarmStateText(A.Code)),
             SinceText(A));
}

}  // namespace

TAlarmSummaryView::TAlarmSummaryView(aircon::TMonitor& Monitor, QString SettingsFile,
                                     QWidget* Parent)
    : QWidget(Parent), FMonitor(&Monitor), FSettingsFile(std::move(SettingsFile)) {
    setObjectName(QStringLiteral("AlarmSummary"));
    setAccessibleName(QStringLiteral("告警汇总"));

    lblAlarmHead = new QLabel(this);
    lblAlarmHead->setObjectName(QStringLiteral("lblAlarmHead"));
    lblAlarmHead->setTextFormat(Qt::PlainText);

    grdAlarms = new QTableWidget(0, ColumnCount, this);
    grdAlarms->setObjectName(QStringLiteral("grdAlarms"));
    grdAlarms->setAccessibleName(QStringLiteral("当前告警"));
    grdAlarms->setAccessibleDescription(
        QStringLiteral("两台空调正在发生的全部告警，最新的在前；严重告警标有“严重”"));
    grdAlarms->setHorizontalHeaderLabels({QStringLiteral("级别"), QStringLiteral("空调"),
                                          QStringLiteral("告警项"), QStringLiteral("状态"),
                                          QStringLiteral("开始时间")});
    grdAlarms->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdAlarms->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdAlarms->setSelectionMode(QAbstractItemView::SingleSelection);
    grdAlarms->setTabKeyNavigation(false);
    grdAlarms->verticalHeader()->setVisible(false);
    grdAlarms->horizontalHeader()->setStretchLastSection(true);
    grdAlarms->setColumnWidth(ColLevel, 70);
    grdAlarms->setColumnWidth(ColUnit, 60);
    grdAlarms->setColumnWidth(ColField, 210);
    grdAlarms->setColumnWidth(ColState, 90);
    // A fixed height (five rows in view, more by scrolling): alarms that come and go never
    // make the window grow or shrink.
    grdAlarms->verticalHeader()->setDefaultSectionSize(22);
    grdAlarms->setFixedHeight(grdAlarms->horizontalHeader()->sizeHint().height() + 5 * 22 + 4);

    lblHiddenFields = new QLabel(this);
    lblHiddenFields->setObjectName(QStringLiteral("lblHiddenFields"));
    lblHiddenFields->setTextFormat(Qt::PlainText);
    // One line a unit under its title, never wrapped: the panel keeps its height.
    lblHiddenFields->setWordWrap(false);
    lblHiddenFields->setToolTip(QStringLiteral("监控面板上不显示的字段（控制器照常上报）"));

    cbAlarmBell = new QCheckBox(QStringLiteral("新告警时响铃"), this);
    cbAlarmBell->setObjectName(QStringLiteral("cbAlarmBell"));
    cbAlarmNotify = new QCheckBox(QStringLiteral("新告警时发桌面通知"), this);
    cbAlarmNotify->setObjectName(QStringLiteral("cbAlarmNotify"));
    {
        QSettings ini(FSettingsFile, QSettings::IniFormat);
        ini.beginGroup(SettingsGroup);
        cbAlarmBell->setChecked(ini.value(BellKey, false).toBool());
        cbAlarmNotify->setChecked(ini.value(NotifyKey, false).toBool());
    }
    connect(cbAlarmBell, &QCheckBox::toggled, this, [this](bool On) { Store(BellKey, On); });
    connect(cbAlarmNotify, &QCheckBox::toggled, this, [this](bool On) { Store(NotifyKey, On); });

    auto* options = new QHBoxLayout;
    options->addWidget(cbAlarmBell);
    options->addWidget(cbAlarmNotify);
    options->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(3);
    layout->addWidget(lblAlarmHead);
    layout->addWidget(grdAlarms);
    layout->addWidget(lblHiddenFields);
    layout->addLayout(options);

    FToggle = new QToolButton;
    FToggle->setObjectName(QStringLiteral("btnAlarmSummary"));
    FToggle->setCheckable(true);
    FToggle->setToolTip(QStringLiteral("显示或隐藏告警汇总：两台空调正在发生的全部告警"));
    FixToggleSize();
    connect(FToggle, &QToolButton::toggled, this, [this](bool On) {
        setVisible(On);
        Store(ShownKey, On);
    });

    Bell = [] { QApplication::beep(); };
    Notify = [](const QString& Title, const QString& Body) {
        SendDesktopNotification(Title, Body);
    };
    FSummary.OnChanged = [this](std::span<const aircon::TActiveAlarm> New) {
        Rebuild();
        if (!New.empty()) Appeared(New);
    };
    FMonitor->AddObserver(FSummary);
    Rebuild();
}

TAlarmSummaryView::~TAlarmSummaryView() {
    Detach();
    if (FToggle && !FToggle->parent()) delete FToggle;
}

void TAlarmSummaryView::Detach() {
    if (!FMonitor) return;
    FMonitor->RemoveObserver(FSummary);
    FMonitor = nullptr;
    FSummary.OnChanged = nullptr;
}

void TAlarmSummaryView::Store(const QString& Key, bool Value) const {
    QSettings ini(FSettingsFile, QSettings::IniFormat);
    ini.beginGroup(SettingsGroup);
    ini.setValue(Key, Value);
    ini.endGroup();
    ini.sync();
}

void TAlarmSummaryView::RefreshReads() {
    const auto& active = FSummary.Active();
    QString head;
    if (active.empty()) {
        head = QStringLiteral("当前无告警");
    } else {
        head = QStringLiteral("当前告警 %1 条").arg(active.size());
        if (const std::size_t serious = FSummary.SeriousCount(); serious > 0)
            head += QStringLiteral("，其中严重 %1 条").arg(serious);
    }
    QStringList reads;
    for (int unit = 0; unit < aircon::AlarmUnitCount; ++unit) {
        const auto& at = FSummary.LastRead(unit);
        reads << (at ? QStringLiteral("%1 告警读取于 %2")
                           .arg(Q(aircon::UnitName(unit)),
                                Q(util::LocalTimeText(at->Wall).substr(11, 8)))
                     : QStringLiteral("%1 尚未读取告警").arg(Q(aircon::UnitName(unit))));
    }
    head += QStringLiteral("　（") + reads.join(QStringLiteral("，")) + QStringLiteral("）");
    if (lblAlarmHead->text() != head) {
        lblAlarmHead->setText(head);
        lblAlarmHead->setAccessibleName(head);
    }
}

void TAlarmSummaryView::Rebuild() {
    const auto& active = FSummary.Active();
    grdAlarms->setRowCount(static_cast<int>(active.size()));
    for (int row = 0; row < static_cast<int>(active.size()); ++row) {
        const aircon::TActiveAlarm& a = active[static_cast<std::size_t>(row)];
        const QString cells[ColumnCount] = {LevelText(a), Q(aircon::UnitName(a.Unit)),
                                            Q(a.Info().Caption), Q(aircon::AlarmStateText(a.Code)),
                                            SinceText(a)};
        const QString sentence = AlarmSentence(a);
        for (int col = 0; col < ColumnCount; ++col) {
            auto* item = new QTableWidgetItem(cells[col]);
            item->setData(Qt::AccessibleTextRole, cells[col]);
            item->setData(Qt::AccessibleDescriptionRole, sentence);
            item->setToolTip(sentence);
            if (a.Serious) {
                QFont bold = item->font();
                bold.setBold(true);
                item->setFont(bold);
                item->setForeground(QColor(0xB0, 0x00, 0x00));
                item->setBackground(QColor(0xFF, 0xE4, 0xE1));
            }
            if (col == ColLevel && a.Serious) item->setIcon(WarningIcon());
            if (col == ColState) {
                // The state in the panel's colour for it (fault red, limits green/magenta).
                const QColor c = ColourOf(aircon::AlarmColour(a.Code));
                if (c.isValid() && !a.Serious)
                    item->setForeground(c == QColor(0, 255, 0) ? QColor(0x00, 0x80, 0x00) : c);
            }
            grdAlarms->setItem(row, col, item);
        }
    }

    // The hidden fields, unit by unit.
    QStringList units;
    const std::vector<aircon::THiddenField> hidden = FSummary.Hidden();
    for (int unit = 0; unit < aircon::AlarmUnitCount; ++unit) {
        QStringList fields;
        for (const aircon::THiddenField& h : hidden) {
            if (h.Unit != unit) continue;
            QString text = h.Read ? Q(h.Text) : QStringLiteral("未读取");
            if (h.Read && text.isEmpty()) text = QStringLiteral("（无文字）");
            if (h.Alarm) text += QStringLiteral("（告警）");
            fields << Q(h.Field->Caption) + QStringLiteral(" ") + text;
        }
        units << Q(aircon::UnitName(unit)) + QStringLiteral("：") +
                     fields.join(QStringLiteral("，"));
    }
    const QString hiddenText =
        QStringLiteral("面板未显示的字段：\n") + units.join(QLatin1Char('\n'));
    lblHiddenFields->setText(hiddenText);
    lblHiddenFields->setAccessibleName(hiddenText);
    RefreshReads();
    ShowToggle();
}

namespace {
const QString SeriousLook = QStringLiteral("QToolButton { color: #B00000; font-weight: bold; }");
}

void TAlarmSummaryView::FixToggleSize() {
    // One height for both looks (the sign and the bold text are taller than plain text),
    // and a width that only ever grows (see ShowToggle): a toggle that keeps its size
    // asks no relayout of the status bar, and through it of the whole window, when an
    // alarm comes or goes.
    FToggle->setText(QStringLiteral("告警 8 严重 8"));
    QPixmap sign(FToggle->iconSize());
    sign.fill(Qt::transparent);
    FToggle->setIcon(QIcon(sign));
    FToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    FToggle->setStyleSheet(SeriousLook);
    FToggle->ensurePolished();
    FToggle->setFixedHeight(FToggle->sizeHint().height());
    FToggle->setStyleSheet(QString());
    FToggle->setIcon(QIcon());
    FToggle->setToolButtonStyle(Qt::ToolButtonTextOnly);
    FToggleShows.reset();
}

const QIcon& TAlarmSummaryView::WarningIcon() {
    if (FWarning.isNull()) FWarning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    return FWarning;
}

void TAlarmSummaryView::ShowToggle() {
    const std::size_t count = FSummary.Active().size();
    const std::size_t serious = FSummary.SeriousCount();
    const bool wasSerious = FToggleShows && FToggleShows->second > 0;
    if (FToggleShows == std::pair{count, serious}) return;
    const bool look = !FToggleShows || wasSerious != (serious > 0);
    FToggleShows = std::pair{count, serious};
    // Short on the crowded bar; the whole sentence for the tooltip and assistive technology.
    QString text = QStringLiteral("告警 %1").arg(count);
    QString sentence = QStringLiteral("告警汇总：当前告警 %1 条").arg(count);
    if (serious > 0) {
        text = QStringLiteral("告警 %1 严重 %2").arg(count).arg(serious);
        sentence += QStringLiteral("，其中严重 %1 条").arg(serious);
    }
    FToggle->setText(text);
    FToggle->setAccessibleName(sentence);
    if (!look) {
        Widen();
        return;
    }
    FToggle->setToolButtonStyle(serious > 0 ? Qt::ToolButtonTextBesideIcon
                                            : Qt::ToolButtonTextOnly);
    FToggle->setIcon(serious > 0 ? WarningIcon() : QIcon());
    FToggle->setStyleSheet(serious > 0 ? SeriousLook : QString());
    Widen();
}

void TAlarmSummaryView::Widen() {
    // Grown to the text it shows now, with room for one more digit; never shrunk.
    const int need =
        FToggle->sizeHint().width() + FToggle->fontMetrics().horizontalAdvance(QLatin1Char('8'));
    if (FToggle->minimumWidth() != FToggle->maximumWidth() || need > FToggle->width())
        FToggle->setFixedWidth(std::max(need, FToggle->minimumWidth()));
}

void TAlarmSummaryView::Appeared(std::span<const aircon::TActiveAlarm> New) {
    if (cbAlarmBell->isChecked() && Bell) Bell();
    if (!cbAlarmNotify->isChecked() || !Notify) return;
    const bool serious = std::any_of(New.begin(), New.end(),
                                     [](const aircon::TActiveAlarm& a) { return a.Serious; });
    const QString title = serious ? QStringLiteral("空调严重告警") : QStringLiteral("空调新告警");
    QStringList lines;
    for (const aircon::TActiveAlarm& a : New)
        lines << AlarmSentence(a);
    Notify(title, lines.join(QLatin1Char('\n')));
}

TAlarmSummaryView* AddAlarmSummary(TForm1& Form) {
    const QString settings =
        TRecordTrendReport::SettingsFileIn(QFileInfo(Form.SettingsPath()).absolutePath());
    auto* view = new TAlarmSummaryView(Form.Monitor(), settings);
    // Open or closed as it was left, before the window takes its height from its panels.
    QSettings ini(settings, QSettings::IniFormat);
    ini.beginGroup(SettingsGroup);
    const bool shown = ini.value(ShownKey, false).toBool();
    view->Toggle()->setChecked(shown);
    view->setVisible(shown);
    Form.AddBottomPanel(view);
    Form.StatusBar()->addPermanentWidget(view->Toggle());
    // The core goes with the window: the panel leaves it first.
    QObject::connect(&Form, &TForm1::destroying, view, &TAlarmSummaryView::Detach);
    QObject::connect(&Form.LinkView().Status(), &TLinkStatusWidget::refreshed, view,
                     &TAlarmSummaryView::RefreshReads);
    return view;
}

bool SendDesktopNotification(const QString& Title, const QString& Body) {
#ifdef AIRCON_HAVE_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("AirConTool") << 0u << QStringLiteral("io.github.basestation.AirConTool")
         << Title << Body << QStringList() << QVariantMap() << -1;
    // Never waits: a desktop without the service just shows nothing.
    return bus.send(call);
#else
    (void)Title;
    (void)Body;
    return false;
#endif
}
