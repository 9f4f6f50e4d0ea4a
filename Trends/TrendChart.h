// A chart of chosen series of a session's history over time.
//
// Time runs along the x-axis; each quantity shown has an axis of its own, with its unit
// where the core's model knows it ("温度 (°C)"), the first on the left, the next on the
// right, and so on; a switch state's axis names its codes by their words. Both units can be shown
// together: a field has one colour, unit 1 a solid line and a round legend marker, unit 2 a dashed
// line and a triangular one. A value that is not detected, and the time the link was closed, is a
// gap in the line. Alarm changes are vertical marks across the plot (red: raised, green: back to
// normal, grey: not detected), with their text as a tool tip; they can be switched off. Only the
// points that matter for the pixels shown are handed to the chart (per pixel column the first,
// lowest, highest and last), so an hour or a week of data redraws as fast as a minute.
//
// Zoom: drag a band with the left button, or turn the wheel (around the pointer);
// pan: drag with the middle button or with Shift and the left button, or the arrow
// keys; ResetView shows everything and follows new data again. Zooming out stops at
// the data's range with a margin, and panning keeps an edge of the data in view.
#pragma once

#include <QChartView>
#include <QDateTime>
#include <QPointer>
#include <vector>

#include "History.h"

class QAbstractAxis;
class QCategoryAxis;
class QLineSeries;
class QValueAxis;
class QDateTimeAxis;

// A series' name in the legend: "1# 送风温度" (unit 1); a long caption is cut so that its
// distinguishing end stays ("2# …电压AB/A").
QString LegendName(aircon::TSeriesKey Key);

class TTrendChart : public QChartView {
    Q_OBJECT

  public:
    explicit TTrendChart(QWidget* Parent = nullptr);
    ~TTrendChart() override;

    // The history shown (not owned); nullptr shows nothing.
    void SetHistory(const aircon::THistory* History);
    const aircon::THistory* History() const { return FHistory; }
    // The series shown, by SeriesIndex, in legend order.
    void SetSelected(const std::vector<int>& Series);
    const std::vector<int>& Selected() const { return FSelected; }

    // Takes in what the history holds now; while following, the view grows with it.
    void Refresh();
    // Everything there is, following new data.
    void ResetView();
    // Shows From..To (ms since the epoch) and stops following.
    void ShowRange(std::int64_t From, std::int64_t To);
    bool Following() const { return FFollowing; }
    std::int64_t RangeFrom() const { return FFrom; }
    std::int64_t RangeTo() const { return FTo; }

    // What is drawn, for tests and the report: the points of one shown series, a gap
    // between segments as a NaN point; the alarm marks in the range.
    QList<QPointF> DrawnPoints(int Series) const;
    int DrawnSegments(int Series) const;
    QStringList AlarmMarks() const;
    // The vertical axes, in the order of the series that brought them: "电压 (V)".
    QStringList AxisTitles() const;
    // Alarm changes marked on the plot (on by default).
    void SetAlarmMarksShown(bool Shown);
    bool AlarmMarksShown() const { return FAlarmMarks; }
    // The tool tip at a position in the view ("" when no mark is near).
    QString AlarmTipAt(QPoint Pos) const;

  signals:
    void RangeChanged();

  protected:
    void wheelEvent(QWheelEvent* E) override;
    void mousePressEvent(QMouseEvent* E) override;
    void mouseMoveEvent(QMouseEvent* E) override;
    void mouseReleaseEvent(QMouseEvent* E) override;
    void keyPressEvent(QKeyEvent* E) override;
    void resizeEvent(QResizeEvent* E) override;
    void drawForeground(QPainter* Painter, const QRectF& Rect) override;
    bool viewportEvent(QEvent* E) override;

  private:
    struct TLine {
        int Series = 0;
        QColor Colour;
        std::size_t Axis = 0;  // in FAxes
        std::vector<QLineSeries*> Segments;
        int Used = 0;
    };

    // The axis of one quantity: a value axis for readings, a category axis naming the
    // codes of states.
    struct TAxis {
        aircon::TQuantity Quantity = aircon::TQuantity::Reading;
        QValueAxis* Values = nullptr;
        QCategoryAxis* States = nullptr;
        double Lo = 0, Hi = -1;  // the codes the state axis names now
        QAbstractAxis* Axis() const;
    };

    void Rebuild();
    void RebuildAxes();
    void FitStates(TAxis& Axis, double Lo, double Hi);
    void PlaceLegend();
    void Redraw();
    void UpdateRange();  // FFrom, FTo of a following view
    void ApplyRange();   // the time axis to FFrom..FTo
    void OnAxisRange(const QDateTime& Min, const QDateTime& Max);
    QRectF PlotRect() const;  // in view coordinates
    double XOf(std::int64_t T) const;
    QLineSeries* NewSegment(TLine& Line, bool First);
    void Zoom(double Factor, double AtX);
    // The data's first and last time and the margin a view may show beyond them (an
    // empty history: the minute shown).
    struct TBounds {
        std::int64_t First = 0, Last = 0, Margin = 0;
    };
    TBounds DataBounds() const;
    void Pan(double Pixels);

    const aircon::THistory* FHistory = nullptr;
    std::vector<int> FSelected;
    std::vector<TLine> FLines;
    QDateTimeAxis* FAxisX = nullptr;
    std::vector<TAxis> FAxes;
    bool FAlarmMarks = true;
    std::int64_t FFrom = 0, FTo = 0;
    bool FFollowing = true;
    bool FApplying = false;  // setting the axis ourselves
    bool FPanning = false;
    QPoint FPanLast;
    std::uint64_t FGeneration = ~std::uint64_t{0};
    std::vector<aircon::TPoint> FScratch;
    std::vector<std::vector<QList<QPointF>>> FRuns;  // per line, its runs between gaps
};
