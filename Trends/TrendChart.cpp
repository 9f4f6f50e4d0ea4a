#include "TrendChart.h"
#include "TrendWords.h"

#include <QCategoryAxis>
#include <QChart>
#include <QDateTimeAxis>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QToolTip>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

using namespace aircon;

namespace {

// The colours of the chosen fields, in turn.
const QColor Palette[] = {
    QColor(31, 119, 180),  QColor(255, 127, 14), QColor(44, 160, 44),   QColor(214, 39, 40),
    QColor(148, 103, 189), QColor(140, 86, 75),  QColor(227, 119, 194), QColor(127, 127, 127),
    QColor(188, 189, 34),  QColor(23, 190, 207), QColor(0, 0, 128),     QColor(128, 0, 0),
    QColor(0, 128, 128),   QColor(255, 0, 255),
};

// A line broken by more gaps than this in the visible range is drawn with its later
// gaps closed: at that density a gap is narrower than a pixel anyway.
constexpr int MaxSegments = 200;
constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t MinSpanMs = 1000;
// Points handed to the chart: the first, lowest, highest and last of every two pixels.
// The line looks the same as with every point, and the chart maps a few thousand
// points instead of tens of thousands.
constexpr int PixelsPerColumn = 2;

QString TimeText(std::int64_t Ms) {
    return QDateTime::fromMSecsSinceEpoch(Ms).toString("yyyy-MM-dd HH:mm:ss.zzz");
}

// A caption longer than this is cut for the legend, keeping its end.
constexpr int LegendCaptionChars = 7;

// Unit 1 and unit 2 of one field share its colour; their legend markers differ in shape
// (and their lines in style: solid and dashed).
constexpr QLegend::MarkerShape UnitMarkers[2] = {QLegend::MarkerShapeCircle,
                                                 QLegend::MarkerShapeTriangle};

QString Q(std::string_view Text) {
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

// "温度 (°C)"; "压力" without a unit.
QString AxisTitle(TQuantity Quantity) {
    const TQuantityInfo& q = QuantityInfo(Quantity);
    if (q.Unit.empty()) return Q(q.Name);
    return QString("%1 (%2)").arg(Q(q.Name), Q(q.Unit));
}

// A state axis names at most this many codes (a code out of its table widens it).
constexpr int MaxStateLabels = 40;

QColor MarkColour(const TAlarmChange& C) {
    if (!C.To) return QColor(128, 128, 128);
    return IsAlarmRaised(C.To) ? QColor(220, 0, 0) : QColor(0, 160, 0);
}

}  // namespace

QString LegendName(TSeriesKey Key) {
    const std::string_view text = SeriesField(Key).Caption;
    QString caption = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    // The end tells the series of one kind apart (主机工作线/相电压AB/A, BC/B, CA/C), and a
    // legend short of room cuts its entries at their end: the entry is short and ends with
    // what tells it apart. The unit comes first, as "1#空调" names it on a site.
    if (caption.size() > LegendCaptionChars)
        caption = QChar(0x2026) + caption.right(LegendCaptionChars - 1);
    return QString("%1# %2").arg(Key.Unit + 1).arg(caption);
}

// The view owns the chart it is made with (a chart set later would leave the view's
// first one without an owner).
TTrendChart::TTrendChart(QWidget* Parent) : QChartView(new QChart, Parent) {
    chart()->setAnimationOptions(QChart::NoAnimation);
    chart()->legend()->setAlignment(Qt::AlignBottom);
    // Where an entry is cut after all (many series in a narrow window), the pointer shows it
    // whole.
    chart()->legend()->setShowToolTips(true);
    chart()->setMargins(QMargins(4, 4, 4, 4));
    setRenderHint(QPainter::Antialiasing);
    setRubberBand(QChartView::HorizontalRubberBand);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);

    FAxisX = new QDateTimeAxis;
    FAxisX->setTickCount(7);
    FAxisX->setTitleText("时间");
    chart()->addAxis(FAxisX, Qt::AlignBottom);
    RebuildAxes();
    connect(FAxisX, &QDateTimeAxis::rangeChanged, this, &TTrendChart::OnAxisRange);
    UpdateRange();
    ApplyRange();
}

TTrendChart::~TTrendChart() = default;

void TTrendChart::SetHistory(const THistory* History) {
    FHistory = History;
    FGeneration = ~std::uint64_t{0};
    FFollowing = true;
    Rebuild();
}

void TTrendChart::SetSelected(const std::vector<int>& Series) {
    FSelected.clear();
    for (int s : Series) {
        if (s >= 0 && s < SeriesCount &&
            std::find(FSelected.begin(), FSelected.end(), s) == FSelected.end())
            FSelected.push_back(s);
    }
    Rebuild();
}

QAbstractAxis* TTrendChart::TAxis::Axis() const {
    if (States) return States;
    return Values;
}

QStringList TTrendChart::AxisTitles() const {
    QStringList titles;
    for (const TAxis& a : FAxes)
        titles << a.Axis()->titleText();
    return titles;
}

void TTrendChart::SetAlarmMarksShown(bool Shown) {
    if (FAlarmMarks == Shown) return;
    FAlarmMarks = Shown;
    viewport()->update();
}

// One axis per quantity of the lines, in the order the lines bring them; an empty chart
// keeps a plain value axis.
void TTrendChart::RebuildAxes() {
    for (const TAxis& a : FAxes) {
        chart()->removeAxis(a.Axis());
        delete a.Axis();
    }
    FAxes.clear();
    std::vector<TQuantity> quantities;
    for (TLine& line : FLines) {
        const TQuantity q = SeriesQuantity(SeriesKeyAt(line.Series));
        auto at = std::find(quantities.begin(), quantities.end(), q);
        if (at == quantities.end()) at = quantities.insert(quantities.end(), q);
        line.Axis = static_cast<std::size_t>(at - quantities.begin());
    }
    if (quantities.empty()) quantities.push_back(TQuantity::Reading);
    for (std::size_t i = 0; i < quantities.size(); ++i) {
        TAxis a;
        a.Quantity = quantities[i];
        if (QuantityInfo(a.Quantity).State()) {
            a.States = new QCategoryAxis;
            a.States->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
        } else {
            a.Values = new QValueAxis;
        }
        a.Axis()->setTitleText(AxisTitle(a.Quantity));
        chart()->addAxis(a.Axis(), i % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
        FAxes.push_back(a);
    }
}

// The state axis from Lo to Hi (the codes shown), each code named by its word.
void TTrendChart::FitStates(TAxis& Axis, double Lo, double Hi) {
    const auto words = QuantityInfo(Axis.Quantity).Words;
    // At least the codes of the table (not detected is a gap, never a value).
    double first = 0, last = 0;
    for (const TStateWord& w : words) {
        if (w.Code == 0x20) continue;
        last = std::max(last, static_cast<double>(w.Code));
    }
    if (Lo <= Hi) {
        first = std::min(first, std::floor(Lo));
        last = std::max(last, std::ceil(Hi));
    }
    last = std::min(last, first + MaxStateLabels - 1);
    Axis.States->setRange(first - 0.5, last + 0.5);
    if (first == Axis.Lo && last == Axis.Hi) return;
    Axis.Lo = first;
    Axis.Hi = last;
    for (const QString& label : Axis.States->categoriesLabels())
        Axis.States->remove(label);
    Axis.States->setStartValue(first - 0.5);
    for (double c = first; c <= last; ++c) {
        const auto code = static_cast<long long>(c);
        std::optional<std::string_view> word;
        if (code >= 0 && code <= 0xFFFF) word = StateWord(words, static_cast<std::uint16_t>(code));
        Axis.States->append(word ? Q(*word) : QString::number(code), c);
    }
}

void TTrendChart::Rebuild() {
    chart()->removeAllSeries();
    FLines.clear();
    // One colour per field, in the order the fields were chosen; the same field of the
    // other unit has the same colour (and a dashed line).
    std::vector<int> fields;
    for (int s : FSelected) {
        const int field = s % SeriesPerUnit;
        auto at = std::find(fields.begin(), fields.end(), field);
        if (at == fields.end()) at = fields.insert(fields.end(), field);
        TLine line;
        line.Series = s;
        line.Colour = Palette[static_cast<std::size_t>(at - fields.begin()) % std::size(Palette)];
        FLines.push_back(std::move(line));
    }
    RebuildAxes();
    for (TLine& line : FLines)
        NewSegment(line, true);  // every line has its legend entry, data or not
    PlaceLegend();
    Redraw();
}

QLineSeries* TTrendChart::NewSegment(TLine& Line, bool First) {
    auto* s = new QLineSeries;
    const TSeriesKey key = SeriesKeyAt(Line.Series);
    s->setName(LegendName(key));
    // A thin pen: a wider one, dashed above all, costs the raster engine many times
    // the time of drawing the line itself.
    QPen pen(Line.Colour);
    pen.setWidthF(1);
    if (key.Unit == 1) pen.setStyle(Qt::DashLine);
    s->setPen(pen);
    s->setUseOpenGL(false);
    chart()->addSeries(s);
    s->attachAxis(FAxisX);
    s->attachAxis(FAxes[Line.Axis].Axis());
    for (QLegendMarker* m : chart()->legend()->markers(s)) {
        if (!First) m->setVisible(false);
        m->setShape(UnitMarkers[key.Unit == 1 ? 1 : 0]);
    }
    Line.Segments.push_back(s);
    return s;
}

void TTrendChart::Refresh() {
    if (FHistory && FHistory->Generation() == FGeneration) return;
    Redraw();
}

void TTrendChart::ResetView() {
    FFollowing = true;
    Redraw();
    emit RangeChanged();
}

void TTrendChart::ShowRange(std::int64_t From, std::int64_t To) {
    if (To < From) std::swap(From, To);
    const auto [first, last, margin] = DataBounds();
    std::int64_t span = 0;
    const bool huge = __builtin_sub_overflow(To, From, &span);
    if (!huge && span < MinSpanMs) {
        const std::int64_t mid = From + span / 2;
        From = mid - MinSpanMs / 2;
        To = From + MinSpanMs;
        span = MinSpanMs;
    }
    // Zoomed out no further than the data with its margin: then all of it is shown.
    if (huge || span >= last - first + 2 * margin) {
        From = first - margin;
        To = last + margin;
    } else if (To < first - margin) {  // panned off the data: its edge stays in view
        From += first - margin - To;
        To = first - margin;
    } else if (From > last + margin) {
        To -= From - (last + margin);
        From = last + margin;
    }
    FFollowing = false;
    FFrom = From;
    FTo = To;
    Redraw();
    emit RangeChanged();
}

TTrendChart::TBounds TTrendChart::DataBounds() const {
    TBounds b;
    if (FHistory && FHistory->FirstTime()) {
        b.First = *FHistory->FirstTime();
        b.Last = std::max(*FHistory->LastTime(), b.First);
    } else {
        b.Last = std::max(FTo, FFrom);
        b.First = b.Last - 60000;
    }
    b.Margin = std::max<std::int64_t>((b.Last - b.First) / 10, 60000);
    return b;
}

void TTrendChart::UpdateRange() {
    if (FFollowing) {
        if (FHistory && FHistory->FirstTime()) {
            FFrom = *FHistory->FirstTime();
            FTo = std::max(*FHistory->LastTime(), FFrom + MinSpanMs);
        } else {
            FTo = QDateTime::currentMSecsSinceEpoch();
            FFrom = FTo - 60000;
        }
    }
}

void TTrendChart::ApplyRange() {
    const std::int64_t span = FTo - FFrom;
    FAxisX->setFormat(span > 2 * 86400000LL ? "MM-dd HH:mm" : span > 600000 ? "HH:mm" : "HH:mm:ss");
    FApplying = true;
    FAxisX->setRange(QDateTime::fromMSecsSinceEpoch(FFrom), QDateTime::fromMSecsSinceEpoch(FTo));
    FApplying = false;
}

void TTrendChart::OnAxisRange(const QDateTime& Min, const QDateTime& Max) {
    if (FApplying) return;
    // A zoom of the chart itself (the rubber band): take it over.
    FFollowing = false;
    FFrom = Min.toMSecsSinceEpoch();
    FTo = std::max<std::int64_t>(Max.toMSecsSinceEpoch(), FFrom + MinSpanMs);
    // Within the same bounds as every other zoom (the chart zooms out by two on a right
    // click).
    QTimer::singleShot(0, this, [this] { ShowRange(FFrom, FTo); });
}

void TTrendChart::Redraw() {
    if (FHistory) FGeneration = FHistory->Generation();
    UpdateRange();
    // First the points of every line and the value ranges they need; then the lines are
    // emptied, the axes set and the new points handed over, so that the chart maps
    // each point once (an axis change maps every point the lines hold at that moment).
    const int columns =
        std::max(1, static_cast<int>(chart()->plotArea().width()) / PixelsPerColumn);
    std::vector<double> lo(FAxes.size(), std::numeric_limits<double>::max());
    std::vector<double> hi(FAxes.size(), std::numeric_limits<double>::lowest());
    FRuns.resize(FLines.size());
    for (std::size_t l = 0; l < FLines.size(); ++l) {
        const TLine& line = FLines[l];
        auto& runs = FRuns[l];
        runs.clear();
        const std::size_t axis = line.Axis;
        if (FHistory)
            Decimate(FHistory->Series(line.Series), FFrom, FTo, columns, FScratch);
        else
            FScratch.clear();
        bool open = false;
        for (const TPoint& p : FScratch) {
            if (p.Gap()) {
                if (static_cast<int>(runs.size()) < MaxSegments) open = false;
                continue;
            }
            if (!open) runs.emplace_back();
            open = true;
            runs.back().append(QPointF(static_cast<double>(p.T), p.V));
            if (p.T >= FFrom && p.T <= FTo) {
                lo[axis] = std::min(lo[axis], p.V);
                hi[axis] = std::max(hi[axis], p.V);
            }
        }
    }
    for (TLine& line : FLines) {
        for (QLineSeries* s : line.Segments) {
            if (s->count() > 0) s->clear();
        }
    }
    ApplyRange();
    for (std::size_t a = 0; a < FAxes.size(); ++a) {
        TAxis& axis = FAxes[a];
        if (axis.States) {
            FitStates(axis, lo[a], hi[a]);
            continue;
        }
        double Lo = lo[a], Hi = hi[a];
        if (Lo > Hi) {
            Lo = 0;
            Hi = 100;
        }
        const double pad = Hi > Lo ? (Hi - Lo) * 0.05 : std::max(1.0, std::abs(Hi) * 0.05);
        axis.Values->setRange(Lo - pad, Hi + pad);
        axis.Values->applyNiceNumbers();
    }
    for (std::size_t l = 0; l < FLines.size(); ++l) {
        TLine& line = FLines[l];
        auto& runs = FRuns[l];
        for (std::size_t r = 0; r < runs.size(); ++r) {
            QLineSeries* s = r < line.Segments.size() ? line.Segments[r] : NewSegment(line, r == 0);
            s->setPointsVisible(runs[r].size() == 1);  // a lone value between gaps
            s->replace(runs[r]);
        }
        line.Used = static_cast<int>(runs.size());
    }
    viewport()->update();
}

QList<QPointF> TTrendChart::DrawnPoints(int Series) const {
    QList<QPointF> out;
    for (const TLine& line : FLines) {
        if (line.Series != Series) continue;
        for (int i = 0; i < line.Used; ++i) {
            if (i > 0) out.append(QPointF(Nan, Nan));
            out.append(line.Segments[static_cast<std::size_t>(i)]->points());
        }
    }
    return out;
}

int TTrendChart::DrawnSegments(int Series) const {
    for (const TLine& line : FLines) {
        if (line.Series == Series) return line.Used;
    }
    return 0;
}

QStringList TTrendChart::AlarmMarks() const {
    QStringList marks;
    if (!FHistory || !FAlarmMarks) return marks;
    for (const TAlarmChange& c : FHistory->AlarmChanges()) {
        if (c.T >= FFrom && c.T <= FTo) marks << TimeText(c.T) + " " + AlarmChangeText(c);
    }
    return marks;
}

QRectF TTrendChart::PlotRect() const {
    const QRectF scene = chart()->mapRectToScene(chart()->plotArea());
    return QRectF(mapFromScene(scene.topLeft()), mapFromScene(scene.bottomRight()));
}

double TTrendChart::XOf(std::int64_t T) const {
    const QRectF plot = chart()->plotArea();
    const double span = static_cast<double>(std::max<std::int64_t>(FTo - FFrom, 1));
    return plot.left() + static_cast<double>(T - FFrom) / span * plot.width();
}

void TTrendChart::drawForeground(QPainter* Painter, const QRectF& Rect) {
    QChartView::drawForeground(Painter, Rect);
    if (!FHistory || !FAlarmMarks) return;
    const QRectF plot = chart()->mapRectToScene(chart()->plotArea());
    Painter->save();
    Painter->setClipRect(plot);
    for (const TAlarmChange& c : FHistory->AlarmChanges()) {
        if (c.T < FFrom || c.T > FTo) continue;
        const double x = chart()->mapToScene(QPointF(XOf(c.T), 0)).x();
        QPen pen(MarkColour(c));
        pen.setWidthF(1);
        pen.setStyle(Qt::DotLine);
        Painter->setPen(pen);
        Painter->drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        Painter->setPen(Qt::NoPen);
        Painter->setBrush(MarkColour(c));
        const QPointF tri[3] = {{x - 4, plot.top()}, {x + 4, plot.top()}, {x, plot.top() + 7}};
        Painter->drawPolygon(tri, 3);
    }
    Painter->restore();
}

QString TTrendChart::AlarmTipAt(QPoint Pos) const {
    if (!FHistory || !FAlarmMarks) return {};
    const QRectF plot = PlotRect();
    if (!plot.adjusted(-4, 0, 4, 0).contains(Pos)) return {};
    QStringList lines;
    for (const TAlarmChange& c : FHistory->AlarmChanges()) {
        if (c.T < FFrom || c.T > FTo) continue;
        const double x = plot.left() + (XOf(c.T) - chart()->plotArea().left());
        if (std::abs(x - Pos.x()) <= 4) lines << TimeText(c.T).mid(11) + "  " + AlarmChangeText(c);
    }
    if (lines.size() > 20) {
        const auto more = lines.size() - 20;
        lines = lines.mid(0, 20);
        lines << QString("……另有 %1 项").arg(more);
    }
    return lines.join('\n');
}

bool TTrendChart::viewportEvent(QEvent* E) {
    if (E->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(E);
        const QString tip = AlarmTipAt(help->pos());
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, this);
        return true;
    }
    return QChartView::viewportEvent(E);
}

void TTrendChart::Zoom(double Factor, double AtX) {
    const QRectF plot = PlotRect();
    if (plot.width() <= 0) return;
    const double frac = std::clamp((AtX - plot.left()) / plot.width(), 0.0, 1.0);
    const double span = static_cast<double>(FTo - FFrom);
    const double at = static_cast<double>(FFrom) + frac * span;
    // Computed in double, and within what ShowRange allows, before it becomes an integer.
    const TBounds b = DataBounds();
    const double newSpan = std::clamp(span * Factor, static_cast<double>(MinSpanMs),
                                      static_cast<double>(b.Last - b.First + 2 * b.Margin));
    const auto from = static_cast<std::int64_t>(at - frac * newSpan);
    ShowRange(from, from + static_cast<std::int64_t>(newSpan));
}

void TTrendChart::Pan(double Pixels) {
    const QRectF plot = PlotRect();
    if (plot.width() <= 0) return;
    const auto shift =
        static_cast<std::int64_t>(-Pixels / plot.width() * static_cast<double>(FTo - FFrom));
    ShowRange(FFrom + shift, FTo + shift);
}

void TTrendChart::wheelEvent(QWheelEvent* E) {
    const int delta = E->angleDelta().y();
    if (delta == 0) return;
    Zoom(delta > 0 ? 0.8 : 1.25, E->position().x());
    E->accept();
}

void TTrendChart::mousePressEvent(QMouseEvent* E) {
    if (E->button() == Qt::MiddleButton ||
        (E->button() == Qt::LeftButton && (E->modifiers() & Qt::ShiftModifier))) {
        FPanning = true;
        FPanLast = E->position().toPoint();
        setCursor(Qt::ClosedHandCursor);
        E->accept();
        return;
    }
    if (E->button() == Qt::RightButton) {
        E->accept();  // no zooming out step by step: the reset button shows everything
        return;
    }
    QChartView::mousePressEvent(E);
}

void TTrendChart::mouseMoveEvent(QMouseEvent* E) {
    if (FPanning) {
        const QPoint p = E->position().toPoint();
        Pan(p.x() - FPanLast.x());
        FPanLast = p;
        E->accept();
        return;
    }
    QChartView::mouseMoveEvent(E);
}

void TTrendChart::mouseReleaseEvent(QMouseEvent* E) {
    if (FPanning) {
        FPanning = false;
        unsetCursor();
        E->accept();
        return;
    }
    if (E->button() == Qt::RightButton) {
        E->accept();
        return;
    }
    QChartView::mouseReleaseEvent(E);
}

void TTrendChart::keyPressEvent(QKeyEvent* E) {
    const QRectF plot = PlotRect();
    switch (E->key()) {
        case Qt::Key_Left:
            Pan(plot.width() / 10);
            break;
        case Qt::Key_Right:
            Pan(-plot.width() / 10);
            break;
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            Zoom(0.8, plot.center().x());
            break;
        case Qt::Key_Minus:
            Zoom(1.25, plot.center().x());
            break;
        case Qt::Key_Home:
            ResetView();
            break;
        default:
            QChartView::keyPressEvent(E);
            return;
    }
    E->accept();
}

void TTrendChart::PlaceLegend() {
    // Below the plot while its entries fit in one row there; beside it, one entry a line,
    // when they do not (a legend short of room would cut every entry to its start).
    QLegend* legend = chart()->legend();
    const QFontMetrics metrics(legend->font());
    int needed = 0;
    for (const TLine& line : FLines) {
        needed +=
            metrics.horizontalAdvance(LegendName(SeriesKeyAt(line.Series))) + 3 * metrics.height();
    }
    const Qt::Alignment side = needed <= width() - 20 ? Qt::AlignBottom : Qt::AlignRight;
    if (legend->alignment() != side) legend->setAlignment(side);
}

void TTrendChart::resizeEvent(QResizeEvent* E) {
    QChartView::resizeEvent(E);
    PlaceLegend();
    // The points handed to the chart depend on its width.
    QTimer::singleShot(0, this, [this] { Redraw(); });
}
