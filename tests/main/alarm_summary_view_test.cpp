// The alarm summary panel: what it shows of the core's list (rows, the serious ones
// marked in words and by icon, the hidden fields, the counts on its toggle), the bell and
// the notification of new alarms (off until chosen, remembered), and its place in the
// window below the designed area.
#include <QCheckBox>
#include <QLabel>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "AlarmSummary.h"
#include "CoreTestSupport.h"
#include "FakeClock.h"
#include "FormTestSupport.h"
#include "RecordTrendReport.h"

namespace {

using coretest::Bytes;

std::size_t FieldOf(std::string_view Key) {
    for (std::size_t i = 0; i < aircon::AlarmFields.size(); ++i)
        if (aircon::AlarmFields[i].Key == Key) return i;
    return 0;
}

// A 0x44 reply of Unit with the given codes, every other field normal.
std::string AlarmReply(int Unit, std::vector<std::pair<std::string_view, std::uint8_t>> Codes) {
    Bytes info = coretest::AlarmInfo(static_cast<std::uint8_t>(Unit << 1));
    for (const auto& [key, code] : Codes) {
        const std::size_t f = FieldOf(key);
        info[f < aircon::AlarmFixedCount ? 1 + f : 2 + f] = code;
    }
    return coretest::Reply(0, info);
}

struct TBench {
    QTemporaryDir Dir;
    coretest::TRig Rig;
    QString Settings = Dir.filePath(QStringLiteral("Recording.ini"));
    std::unique_ptr<TAlarmSummaryView> View;
    int Bells = 0;
    QStringList Notes;

    TBench() { Make(); }
    void Make() {
        View = std::make_unique<TAlarmSummaryView>(Rig.Monitor, Settings);
        View->Bell = [this] { ++Bells; };
        View->Notify = [this](const QString& Title, const QString& Body) {
            Notes << Title + QStringLiteral("|") + Body;
        };
    }
    void Alarms(long long At, const std::string& Reply) {
        Rig.RunTo(At);
        Rig.Monitor.SendNoDataCmd(1, 0x44);
        Rig.Feed(Reply);
    }
    QString Cell(int Row, int Col) const { return View->grdAlarms->item(Row, Col)->text(); }
};

}  // namespace

class AlarmSummaryViewTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }

    void showsTheStandingAlarmsNewestFirstTheSeriousMarked() {
        TBench b;
        QCOMPARE(b.View->grdAlarms->rowCount(), 0);
        QCOMPARE(b.View->Toggle()->text(), QStringLiteral("告警 0"));
        QCOMPARE(b.View->Toggle()->accessibleName(), QStringLiteral("告警汇总：当前告警 0 条"));
        QVERIFY(b.View->lblAlarmHead->text().startsWith(QStringLiteral("当前无告警")));

        b.Alarms(0, AlarmReply(0, {{"voltage_ab", 0x02}}));
        b.Alarms(1000,
                 AlarmReply(1, {{"water_leak", 0x01}, {"water_level", 0xF0}, {"filter", 0x02}}));
        auto* grid = b.View->grdAlarms;
        QCOMPARE(grid->rowCount(), 4);
        const QStringList want[] = {
            {"严重", "空调2", "水浸告警", "低于下限"},
            {"严重", "空调2", "水位故障", "故障"},  // a field the panel hides
            {"告警", "空调2", "过滤器", "高于上限"},
            {"告警", "空调1", "主机工作线/相电压AB/A", "高于上限"},
        };
        for (int row = 0; row < 4; ++row) {
            for (int col = 0; col < 4; ++col)
                QCOMPARE(b.Cell(row, col), want[row][col]);
            const bool serious = want[row][0] == QStringLiteral("严重");
            // Not by colour alone: the word, an icon, and a sentence for screen readers.
            QCOMPARE(!grid->item(row, TAlarmSummaryView::ColLevel)->icon().isNull(), serious);
            QCOMPARE(grid->item(row, TAlarmSummaryView::ColLevel)->font().bold(), serious);
            const QString sentence = grid->item(row, TAlarmSummaryView::ColField)
                                         ->data(Qt::AccessibleDescriptionRole)
                                         .toString();
            QVERIFY2(sentence.startsWith(serious ? QStringLiteral("严重告警：")
                                                 : QStringLiteral("告警：")),
                     qPrintable(sentence));
            QVERIFY(sentence.contains(want[row][2]));
        }
        // The first reply of a unit: its alarms began before it.
        QCOMPARE(b.Cell(3, TAlarmSummaryView::ColSince),
                 QStringLiteral("早于 2024-01-01 00:00:00（首次读取时已有）"));
        QCOMPARE(b.View->Toggle()->text(), QStringLiteral("告警 4 严重 2"));
        QCOMPARE(b.View->Toggle()->accessibleName(),
                 QStringLiteral("告警汇总：当前告警 4 条，其中严重 2 条"));
        // The toggle keeps its size while the counts change (a new size would lay out the
        // whole window again at every alarm), and that size holds the whole text.
        QToolButton* toggle = b.View->Toggle();
        const QSize toggleSize = toggle->size();
        QCOMPARE(toggle->minimumSize(), toggle->maximumSize());
        QVERIFY2(
            toggle->sizeHint().width() <= toggle->width(),
            qPrintable(
                QStringLiteral("%1 > %2").arg(toggle->sizeHint().width()).arg(toggle->width())));
        QVERIFY(!toggle->icon().isNull());
        QVERIFY(b.View->lblAlarmHead->text().startsWith(
            QStringLiteral("当前告警 4 条，其中严重 2 条")));
        QVERIFY(b.View->lblAlarmHead->text().contains(QStringLiteral("空调2 告警读取于 00:00:01")));
        // The hidden fields of both units, read or not.
        const QString hidden = b.View->lblHiddenFields->text();
        QVERIFY2(hidden.contains(QStringLiteral("空调2：排风机 未读取")), qPrintable(hidden));
        QVERIFY(hidden.contains(QStringLiteral("水位故障 故障（告警）")));
        QVERIFY(hidden.contains(QStringLiteral("空调1：")));
        QCOMPARE(b.View->lblHiddenFields->accessibleName(), hidden);

        // A later alarm comes first; its time is the reply's.
        b.Alarms(2000, AlarmReply(0, {{"voltage_ab", 0x02}, {"fire", 0x02}}));
        QCOMPARE(b.Cell(0, TAlarmSummaryView::ColField), QStringLiteral("消防报警"));
        QCOMPARE(b.Cell(0, TAlarmSummaryView::ColSince), QStringLiteral("2024-01-01 00:00:02"));
        QCOMPARE(grid->rowCount(), 5);
        QCOMPARE(toggle->text(), QStringLiteral("告警 5 严重 3"));
        QCOMPARE(toggle->size(), toggleSize);
    }

    void newAlarmsRingOrNotifyOnlyWhenChosenAndTheChoiceIsKept() {
        TBench b;
        QVERIFY(!b.View->cbAlarmBell->isChecked());
        QVERIFY(!b.View->cbAlarmNotify->isChecked());
        b.Alarms(0, AlarmReply(0, {{"filter", 0x02}}));
        QCOMPARE(b.Bells, 0);
        QVERIFY(b.Notes.isEmpty());

        b.View->cbAlarmBell->setChecked(true);
        b.View->cbAlarmNotify->setChecked(true);
        b.Alarms(500, AlarmReply(0, {{"filter", 0x02}}));  // nothing new
        QCOMPARE(b.Bells, 0);
        b.Alarms(1000, AlarmReply(0, {{"filter", 0x02}, {"fire", 0x01}}));
        QCOMPARE(b.Bells, 1);
        QCOMPARE(b.Notes.size(), 1);
        QVERIFY2(
            b.Notes[0].startsWith(QStringLiteral("空调严重告警|严重告警：空调1 消防报警 低于下限")),
            qPrintable(b.Notes[0]));
        b.Alarms(1500, AlarmReply(0, {}));  // cleared: nothing to tell
        QCOMPARE(b.Bells, 1);
        QCOMPARE(b.Notes.size(), 1);

        // Remembered for the next start.
        b.View.reset();
        b.Make();
        QVERIFY(b.View->cbAlarmBell->isChecked());
        QVERIFY(b.View->cbAlarmNotify->isChecked());
        QSettings ini(b.Settings, QSettings::IniFormat);
        QCOMPARE(ini.value(QStringLiteral("AlarmSummary/Bell")).toBool(), true);
    }

    void theWindowOpensItBelowTheDesignFromItsToggle() {
        TSettingsDir settings;
        aircon::TFakeClock clock;
        const QString ini =
            TRecordTrendReport::SettingsFileIn(QFileInfo(settings.Path()).absolutePath());
        {
            auto form = std::make_unique<TForm1>(settings.Path(), nullptr, &clock);
            TAlarmSummaryView* view = AddAlarmSummary(*form);
            form->show();
            QVERIFY(QTest::qWaitForWindowExposed(form.get()));
            QToolButton* toggle =
                form->StatusBar()->findChild<QToolButton*>(QStringLiteral("btnAlarmSummary"));
            QVERIFY(toggle != nullptr);
            QVERIFY(!view->isVisible());
            const int closed = form->height();
            toggle->click();
            QVERIFY(view->isVisible());
            QTRY_VERIFY(form->height() > closed);
            // Below the designed area, never over it.
            QVERIFY(view->mapTo(form.get(), QPoint(0, 0)).y() >= TForm1::DesignHeight);
            // The window's core goes before the panel: no observer left behind.
        }
        QSettings kept(ini, QSettings::IniFormat);
        QCOMPARE(kept.value(QStringLiteral("AlarmSummary/Shown")).toBool(), true);
        auto form = std::make_unique<TForm1>(settings.Path(), nullptr, &clock);
        TAlarmSummaryView* view = AddAlarmSummary(*form);
        QVERIFY(view->Toggle()->isChecked());
    }
};

QTEST_MAIN(AlarmSummaryViewTest)
#include "alarm_summary_view_test.moc"
