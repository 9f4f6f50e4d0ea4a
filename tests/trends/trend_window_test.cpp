// The trend window on a monitor driven by the fake clock: the recorded series appear
// live as replies go through the core, a value not detected is a gap, alarm changes are
// marked and listed; the recording file the recorder wrote opens and shows the same; a
// damaged or foreign file gives one clear message; zoom, pan and reset move the view.
#include <QCategoryAxis>
#include <QCheckBox>
#include <QGraphicsTextItem>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <fstream>

#include "CoreTestSupport.h"
#include "Recorder.h"
#include "TrendWindow.h"

using namespace coretest;
using aircon::SeriesIndex;
using aircon::TSeriesKind;

namespace {

// The monitor, a controller that answers on the fake clock, the history the window
// keeps, and the recorder writing into a temporary folder.
struct TTrendRig {
    explicit TTrendRig(const QString& Folder)
        : Rec(Clock, [&] {
              aircon::TRecorderSettings s;
              s.Folder = Folder.toStdString();
              return s;
          }()) {
        Monitor.AddObserver(History);
        Monitor.AddObserver(Rec);
        Rec.OnEvent = [this](const aircon::TRecordingEvent& e) {
            if (e.Kind == aircon::TRecordingEventKind::Started)
                File = QString::fromStdString(e.File.string());
        };
        Responder.Answers = [this](std::uint8_t Cid2) {
            if (Cid2 == 0x42) {
                const int i = N42++;
                Bytes b = AnalogInfo(static_cast<std::uint8_t>((i % 2) << 1));
                b[13] = 0;  // supply-air temperature 20 + i
                b[14] = static_cast<std::uint8_t>(20 + i);
                if (i == 4) b[13] = b[14] = 0x20;  // unit 1 not detected once
                return Reply(0, b);
            }
            if (Cid2 == 0x44) {
                const int i = N44++;
                Bytes b = AlarmInfo(static_cast<std::uint8_t>((i % 2) << 1));
                b[10] = i == 2 ? 0xF0 : 0;  // unit 1: compressor overload, once
                return Reply(0, b);
            }
            return NormalAnswer(Cid2);
        };
    }
    ~TTrendRig() {
        Monitor.RemoveObserver(Rec);
        Monitor.RemoveObserver(History);
    }

    void Open() {
        Link.Open = true;
        Monitor.LinkOpened("ttyUSB0");
    }
    void Close() {
        Link.Open = false;
        Monitor.LinkClosed();
    }

    TFakeClock Clock{WallTime(std::chrono::seconds(1796882587))};
    TFakeLink Link{Clock};
    TInputs Inputs;
    TMonitor Monitor{Clock, Link, Inputs};
    TResponder Responder{Clock, Link, Monitor};
    aircon::THistory History;
    aircon::TRecorder Rec;
    QString File;
    int N42 = 0, N44 = 0;
};

// The values drawn for a series, gaps as "gap".
QStringList Values(const QList<QPointF>& Points) {
    QStringList v;
    for (const QPointF& p : Points)
        v << (std::isnan(p.y()) ? QString("gap") : QString::number(p.y()));
    return v;
}

const int Supply1 = SeriesIndex({0, TSeriesKind::Analog, 6});
const int Supply2 = SeriesIndex({1, TSeriesKind::Analog, 6});
const int Compressor1 = SeriesIndex({0, TSeriesKind::Switch, 3});

}  // namespace

class TrendWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { qputenv("TZ", "CST-8"); }

    void showsTheRecordedSeriesLive() {
        QTemporaryDir dir;
        TTrendRig rig(dir.path());
        TTrendWindow window(&rig.History);
        window.resize(1100, 680);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The default choice: temperatures of both units.
        QVERIFY(window.Selected() ==
                (std::vector<int>{Supply1, SeriesIndex({0, TSeriesKind::Analog, 7}), Supply2,
                                  SeriesIndex({1, TSeriesKind::Analog, 7})}));
        window.SetSelected({Supply1, Supply2, Compressor1});

        rig.Open();
        rig.Clock.Advance(Millis(1600));  // one cycle: unit 1 only
        QTRY_COMPARE(Values(window.Chart()->DrawnPoints(Supply1)), QStringList{"20"});
        rig.Clock.Advance(Millis(9000));  // six more cycles, units in turn
        rig.Close();
        // Live: the window takes in the new replies within its refresh second.
        QTRY_COMPARE(Values(window.Chart()->DrawnPoints(Supply1)),
                     (QStringList{"20", "22", "gap", "26"}));
        QCOMPARE(window.Chart()->DrawnSegments(Supply1), 2);
        QCOMPARE(Values(window.Chart()->DrawnPoints(Supply2)), (QStringList{"21", "23", "25"}));
        // Points sit at the times of their replies: 14:03:07.870 for the first.
        QCOMPARE(window.Chart()->DrawnPoints(Supply1).front().x(), 1796882587870.0);
        QCOMPARE(Values(window.Chart()->DrawnPoints(Compressor1)).first(), QString("1"));
        // The alarm change is marked on the time line and listed.
        const QStringList marks = window.Chart()->AlarmMarks();
        QCOMPARE(marks.size(), 2);
        QVERIFY2(marks[0].endsWith("空调1 压缩机过载：正常 → 故障"), qPrintable(marks[0]));
        QVERIFY2(marks[1].endsWith("空调1 压缩机过载：故障 → 正常"), qPrintable(marks[1]));
        QTRY_COMPARE(window.AlarmList()->count(), 2);
        QVERIFY(window.AlarmList()->item(0)->text().endsWith("空调1 压缩机过载：正常 → 故障"));
        // Its tool tip where its mark stands.
        const auto t = rig.History.AlarmChanges()[0].T;
        const QRectF plot = window.Chart()->chart()->plotArea();
        const double x =
            plot.left() + double(t - window.Chart()->RangeFrom()) /
                              double(window.Chart()->RangeTo() - window.Chart()->RangeFrom()) *
                              plot.width();
        const QPoint at = window.Chart()->mapFromScene(
            window.Chart()->chart()->mapToScene(QPointF(x, plot.center().y())));
        QVERIFY2(window.Chart()->AlarmTipAt(at).contains("压缩机过载：正常 → 故障"),
                 qPrintable(window.Chart()->AlarmTipAt(at)));
        QCOMPARE(window.Chart()->AlarmTipAt(at + QPoint(40, 0)), QString());

        // The file the recorder wrote opens and shows the same.
        rig.Rec.Sync();
        QVERIFY(!rig.File.isEmpty());
        QSignalSpy opened(&window, &TTrendWindow::FileOpened);
        window.OpenFile(rig.File);
        QTRY_COMPARE(opened.count(), 1);
        QCOMPARE(opened.at(0).at(0).toBool(), true);
        QVERIFY(window.ShowingFile());
        QVERIFY2(window.SourceText().contains("2026-12-10_14-03-07_ttyUSB0.csv"),
                 qPrintable(window.SourceText()));
        QCOMPARE(Values(window.Chart()->DrawnPoints(Supply1)),
                 (QStringList{"20", "22", "gap", "26"}));
        QCOMPARE(Values(window.Chart()->DrawnPoints(Supply2)), (QStringList{"21", "23", "25"}));
        QCOMPARE(window.AlarmList()->count(), 2);
        window.ShowLive();
        QVERIFY(!window.ShowingFile());
    }

    // The controller falls silent for ten seconds with the link open: the lines break
    // there, live and in the recording read back, as for a closed link.
    void anOutageBreaksTheLinesLiveAndReadBack() {
        QTemporaryDir dir;
        TTrendRig rig(dir.path());
        const auto normal = rig.Responder.Answers;
        const auto start = rig.Clock.Now();
        rig.Responder.Answers = [&rig, normal, start](std::uint8_t Cid2) -> std::string {
            const auto ms = std::chrono::duration_cast<Millis>(rig.Clock.Now() - start).count();
            if (ms >= 6000 && ms < 16000) return {};
            return normal(Cid2);
        };
        TTrendWindow window(&rig.History);
        window.resize(1100, 680);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.SetSelected({Supply2, Compressor1});
        rig.Open();
        rig.Clock.Advance(Millis(22000));
        QTRY_COMPARE(Values(window.Chart()->DrawnPoints(Supply2)),
                     (QStringList{"21", "23", "gap", "25", "27"}));
        QCOMPARE(window.Chart()->DrawnSegments(Compressor1), 2);
        rig.Close();
        rig.Rec.Sync();
        QSignalSpy opened(&window, &TTrendWindow::FileOpened);
        window.OpenFile(rig.File);
        QTRY_COMPARE(opened.count(), 1);
        QCOMPARE(Values(window.Chart()->DrawnPoints(Supply2)),
                 (QStringList{"21", "23", "gap", "25", "27"}));
        QCOMPARE(window.Chart()->DrawnSegments(Compressor1), 2);
    }

    // One axis per quantity with its unit; a state's axis names its codes by their words;
    // the alarm marks can be switched off.
    void axesPerQuantityStatesInWordsMarksSwitchable() {
        QTemporaryDir dir;
        TTrendRig rig(dir.path());
        TTrendWindow window(&rig.History);
        window.resize(1100, 680);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int voltage = SeriesIndex({0, TSeriesKind::Analog, 0});
        const int pressure = SeriesIndex({1, TSeriesKind::Analog, 10});
        const int power = SeriesIndex({0, TSeriesKind::Power, 0});
        window.SetSelected({Supply1, voltage, Supply2, Compressor1, pressure, power});
        rig.Open();
        rig.Clock.Advance(Millis(9000));
        QCOMPARE(window.Chart()->AxisTitles(),
                 (QStringList{"温度 (°C)", "电压 (V)", "运转/停止", "压力", "空调状态"}));
        // Each line on the axis of its quantity; the axes alternate sides.
        QList<QAbstractAxis*> vertical = window.Chart()->chart()->axes(Qt::Vertical);
        QCOMPARE(vertical.size(), 5);
        QCOMPARE(vertical[0]->alignment(), Qt::AlignLeft);
        QCOMPARE(vertical[1]->alignment(), Qt::AlignRight);
        auto axisOf = [&](int Series) -> QString {
            for (QAbstractSeries* s : window.Chart()->chart()->series()) {
                if (s->name() != LegendName(aircon::SeriesKeyAt(Series))) continue;
                for (QAbstractAxis* a : s->attachedAxes())
                    if (a->orientation() == Qt::Vertical) return a->titleText();
            }
            return {};
        };
        QCOMPARE(axisOf(Supply2), QString("温度 (°C)"));
        QCOMPARE(axisOf(pressure), QString("压力"));
        auto* states = qobject_cast<QCategoryAxis*>(vertical[2]);
        QVERIFY(states);
        QCOMPARE(states->categoriesLabels(), (QStringList{"停止", "运转"}));
        QCOMPARE(states->endValue("运转"), 1.0);
        QCOMPARE(qobject_cast<QCategoryAxis*>(vertical[4])->categoriesLabels(),
                 (QStringList{"开机", "关机"}));
        QVERIFY(!qobject_cast<QCategoryAxis*>(vertical[0]));

        // The alarm changes of unit 1 are marked until the box is cleared.
        QTRY_COMPARE(window.Chart()->AlarmMarks().size(), 2);
        QVERIFY(window.AlarmMarksBox()->isChecked());
        window.AlarmMarksBox()->click();
        QCOMPARE(window.Chart()->AlarmMarks(), QStringList());
        QVERIFY(!window.Chart()->AlarmMarksShown());
        window.AlarmMarksBox()->click();
        QCOMPARE(window.Chart()->AlarmMarks().size(), 2);
        rig.Close();
    }

    void damagedOrForeignFilesGiveOneClearMessage() {
        QTemporaryDir dir;
        TTrendWindow window(nullptr);
        QStringList messages;
        window.OnMessage = [&](const QString& Title, const QString& Text) {
            messages << Title + "|" + Text;
        };
        window.show();
        const struct {
            const char* name;
            std::string text;
            const char* says;
        } cases[] = {
            {"picture.csv", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), "表头缺少“时间”列"},
            {"empty.csv", "", "文件是空的"},
            {"bad-rows.csv",
             std::string(aircon::Utf8Bom) + aircon::RecordingHeader() + "garbage\r\nmore\r\n",
             "文件中没有可读的数据行。\n2 行损坏，第一处：第 2 行：时间不对"},
        };
        for (const auto& c : cases) {
            const QString path = dir.filePath(c.name);
            std::ofstream(path.toStdString(), std::ios::binary) << c.text;
            QSignalSpy opened(&window, &TTrendWindow::FileOpened);
            window.OpenFile(path);
            QTRY_COMPARE(opened.count(), 1);
            QCOMPARE(opened.at(0).at(0).toBool(), false);
            QCOMPARE(messages.size(), 1);
            QVERIFY2(messages[0].startsWith("无法打开记录文件|文件：" + path),
                     qPrintable(messages[0]));
            QVERIFY2(messages[0].contains(QString::fromUtf8(c.says)), qPrintable(messages[0]));
            QVERIFY(!window.ShowingFile());
            messages.clear();
        }
        // A missing file.
        QSignalSpy opened(&window, &TTrendWindow::FileOpened);
        window.OpenFile(dir.filePath("gone.csv"));
        QTRY_COMPARE(opened.count(), 1);
        QVERIFY2(messages.value(0).contains("无法打开文件"), qPrintable(messages.value(0)));
    }

    void zoomPanAndReset() {
        aircon::THistory h;
        for (int i = 0; i < 3600; ++i) {
            aircon::TAnalogValues a;
            a.Count = 12;
            a.Values[6] = i % 50;
            h.Add(WallTime(std::chrono::seconds(1796882587 + i)), a);
        }
        TTrendWindow window(&h);
        window.resize(1000, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        TTrendChart* chart = window.Chart();
        chart->ResetView();
        const std::int64_t from = chart->RangeFrom(), to = chart->RangeTo();
        QCOMPARE(from, 1796882587000LL);
        QCOMPARE(to, 1796882587000LL + 3599000);
        QVERIFY(chart->Following());

        // The wheel zooms in around the pointer.
        const QPoint mid = chart->viewport()->rect().center();
        QWheelEvent wheel(mid, chart->viewport()->mapToGlobal(mid), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(chart->viewport(), &wheel);
        QVERIFY(!chart->Following());
        QVERIFY(chart->RangeTo() - chart->RangeFrom() < (to - from) * 0.85);
        QVERIFY(chart->RangeFrom() > from && chart->RangeTo() < to);
        // Fewer points are drawn for the narrower range, but never fewer than it holds.
        const int supply = SeriesIndex({0, TSeriesKind::Analog, 6});
        QVERIFY(chart->DrawnPoints(supply).size() > 0);

        // Shift and drag pans: to the right shows earlier times.
        const std::int64_t before = chart->RangeFrom();
        QTest::mousePress(chart->viewport(), Qt::LeftButton, Qt::ShiftModifier, mid);
        QMouseEvent move(QEvent::MouseMove, QPointF(mid + QPoint(100, 0)),
                         QPointF(chart->viewport()->mapToGlobal(mid + QPoint(100, 0))),
                         Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(chart->viewport(), &move);
        QTest::mouseRelease(chart->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                            mid + QPoint(100, 0));
        QVERIFY(chart->RangeFrom() < before);

        // A band dragged on the chart (the chart zooms its axis): the view takes it over.
        chart->chart()->zoomIn(QRectF(chart->chart()->plotArea().left() + 10,
                                      chart->chart()->plotArea().top(), 50,
                                      chart->chart()->plotArea().height()));
        QTRY_VERIFY(chart->RangeTo() - chart->RangeFrom() < 300000);

        // Reset shows everything and follows again.
        chart->ResetView();
        QCOMPARE(chart->RangeFrom(), from);
        QCOMPARE(chart->RangeTo(), to);
        QVERIFY(chart->Following());
    }

    // The legend tells every series apart by what it shows: the words as drawn (a long
    // caption used to be cut at its end, so the voltages AB, BC and CA of a unit read the
    // same), and the marker of unit 1 against unit 2 of one field (they share a colour and
    // used to have the same square marker); their lines are solid and dashed.
    void legendTellsEverySeriesApart() {
        aircon::THistory h;
        for (int i = 0; i < 100; ++i) {
            for (int unit = 0; unit < 2; ++unit) {
                aircon::TAnalogValues a;
                a.Unit = unit;
                a.Count = 12;
                for (std::size_t f = 0; f < 12; ++f)
                    a.Values[f] = 220 + static_cast<int>(f) + unit + i % 7;
                h.Add(WallTime(std::chrono::seconds(1796882587 + i)), a);
            }
        }
        std::vector<int> voltages;  // the report's chart of the working voltages
        for (int unit = 0; unit < 2; ++unit)
            for (int field : {0, 1, 2})
                voltages.push_back(SeriesIndex({unit, TSeriesKind::Analog, field}));
        std::vector<int> many = voltages;  // and twelve series in a narrow window
        for (int unit = 0; unit < 2; ++unit)
            for (int field : {3, 4, 5})
                many.push_back(SeriesIndex({unit, TSeriesKind::Analog, field}));
        struct TCase {
            const char* Name;
            QSize Size;
            std::vector<int> Series;
        };
        const TCase cases[] = {
            {"the site report's chart", QSize(900, 620), voltages},
            {"the trend window's chart", QSize(760, 560), voltages},
            {"a narrow window, twelve series", QSize(620, 480), many},
        };
        for (const TCase& c : cases) {
            TTrendChart chart;
            chart.resize(c.Size);
            chart.show();
            QVERIFY(QTest::qWaitForWindowExposed(&chart));
            chart.SetHistory(&h);
            chart.SetSelected(c.Series);
            QApplication::processEvents();
            chart.ResetView();
            QApplication::processEvents();
            // The words the legend draws.
            QStringList shown;
            QLegend* legend = chart.chart()->legend();
            for (QGraphicsItem* item : chart.scene()->items()) {
                auto* text = qgraphicsitem_cast<QGraphicsTextItem*>(item);
                if (text && text->isVisible() && legend->isAncestorOf(text))
                    shown << text->toPlainText();
            }
            QCOMPARE(shown.size(), int(c.Series.size()));
            QStringList distinct = shown;
            distinct.removeDuplicates();
            QVERIFY2(distinct.size() == shown.size(),
                     qPrintable(QString("%1: %2").arg(c.Name, shown.join(" | "))));
            // Each series' marker and line against the same field of the other unit.
            QHash<int, QLegendMarker*> markers;
            for (QLegendMarker* m : legend->markers()) {
                if (!m->isVisible()) continue;
                for (int s : c.Series)
                    if (m->label() == LegendName(aircon::SeriesKeyAt(s))) markers[s] = m;
            }
            QCOMPARE(markers.size(), int(c.Series.size()));
            for (int s : c.Series) {
                const int other = s < aircon::SeriesPerUnit ? s + aircon::SeriesPerUnit
                                                            : s - aircon::SeriesPerUnit;
                if (!markers.contains(other)) continue;
                auto* line = qobject_cast<QLineSeries*>(markers[s]->series());
                auto* otherLine = qobject_cast<QLineSeries*>(markers[other]->series());
                QVERIFY(line && otherLine);
                QCOMPARE(markers[s]->brush().color(), markers[other]->brush().color());
                QVERIFY2(markers[s]->shape() != markers[other]->shape(), c.Name);
                QVERIFY(line->pen().style() != otherLine->pen().style());
            }
        }
        QCOMPARE(LegendName(aircon::SeriesKeyAt(SeriesIndex({0, TSeriesKind::Analog, 0}))),
                 QString("1# …电压AB/A"));
        QCOMPARE(LegendName(aircon::SeriesKeyAt(SeriesIndex({1, TSeriesKind::Analog, 6}))),
                 QString("2# 送风温度"));
    }

    // A touchpad swipe is a few hundred wheel steps: zooming out stops at the data with a
    // margin (it used to grow by a quarter a step until the span overflowed and the chart
    // went empty), and so do the chart's own zoom-out and panning far away.
    void zoomingOutStopsAtTheDataWithAMargin() {
        aircon::THistory h;
        const std::int64_t t0 = 1796882587000LL;
        for (int i = 0; i < 3600; ++i) {
            aircon::TAnalogValues a;
            a.Count = 12;
            a.Values[6] = i % 50;
            h.Add(WallTime(Millis(t0 + i * 1000LL)), a);
        }
        const std::int64_t t1 = t0 + 3599000;
        TTrendWindow window(&h);
        window.resize(1000, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        TTrendChart* chart = window.Chart();
        const int supply = SeriesIndex({0, TSeriesKind::Analog, 6});
        const QPoint at = chart->viewport()->rect().center() + QPoint(200, 0);
        auto wheel = [&](int Steps, int Delta) {
            for (int i = 0; i < Steps; ++i) {
                QWheelEvent e(at, chart->viewport()->mapToGlobal(at), QPoint(), QPoint(0, Delta),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(chart->viewport(), &e);
            }
        };
        auto showsAllTheDataWithinItsMargin = [&] {
            QVERIFY2(chart->RangeFrom() <= t0 && chart->RangeTo() >= t1,
                     qPrintable(QString("%1..%2").arg(chart->RangeFrom()).arg(chart->RangeTo())));
            QVERIFY(chart->RangeTo() - chart->RangeFrom() <= (t1 - t0) * 12 / 10 + 1);
            QVERIFY(chart->DrawnPoints(supply).size() > 100);
        };
        wheel(400, -120);
        showsAllTheDataWithinItsMargin();
        // Back in: the wheel still zooms around the pointer.
        wheel(3, 120);
        QVERIFY(chart->RangeTo() - chart->RangeFrom() < (t1 - t0) * 8 / 10);

        // Panned far to the right: the data's end stays at the left edge.
        for (int i = 0; i < 500; ++i)
            QTest::keyClick(chart, Qt::Key_Right);
        QVERIFY(chart->RangeFrom() <= t1 + (t1 - t0) / 10);
        QVERIFY(chart->DrawnPoints(supply).size() > 0);

        // The chart's own zoom-out (a right click on the plot) is bounded too.
        for (int i = 0; i < 30; ++i) {
            chart->chart()->zoomOut();
            QCoreApplication::processEvents();
        }
        QTRY_VERIFY(chart->RangeTo() - chart->RangeFrom() <= (t1 - t0) * 12 / 10 + 1);
        showsAllTheDataWithinItsMargin();
    }
};

QTEST_MAIN(TrendWindowTest)
#include "trend_window_test.moc"
