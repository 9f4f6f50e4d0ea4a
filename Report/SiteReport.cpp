#include "SiteReport.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPicture>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextTable>
#include <QTextTableFormat>

#include "TrendChart.h"
#include "TrendWords.h"

using namespace aircon;

namespace {

constexpr int Dpi = 300;
const QString Title = "基站空调现场报告";
const QString NotRead = "未读取";

QString Q(std::string_view S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

QString TimeText(WallTime At) {
    return QDateTime::fromMSecsSinceEpoch(ToMs(At)).toString("yyyy-MM-dd HH:mm:ss");
}

// A controller text (Latin-1 bytes) as it is printed: each byte one character, a
// control character as "\xNN" and a backslash doubled, so that nothing invisible hides
// in it. Inserted as plain text, so "<b>" stays "<b>".
QString ControllerText(const std::string& Bytes) {
    QString s;
    s.reserve(static_cast<qsizetype>(Bytes.size()));
    for (char ch : Bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            s += "\\x" + QString::number(c, 16).rightJustified(2, '0').toUpper();
        else if (c == '\\')
            s += "\\\\";
        else
            s += QChar(c);
    }
    return s;
}

// The colour of an alarm word on paper.
QColor PaperColour(const TStateCode& Code) {
    switch (aircon::AlarmColour(Code)) {
        case TValueColour::BelowLowerLimit:
            return QColor(0, 150, 0);  // the panel's lime, readable on paper
        case TValueColour::AboveUpperLimit:
            return QColor(200, 0, 200);
        case TValueColour::Fault:
            return QColor(220, 0, 0);
        case TValueColour::NotDetected:
            return QColor(128, 128, 128);
        default:
            break;
    }
    return QColor(0, 0, 0);
}

// A cell: its text and, when not black, its colour (bold for an alarm).
struct TCell {
    QString Text;
    QColor Colour = Qt::black;
    bool Bold = false;
};

class TWriter {
  public:
    explicit TWriter(QTextDocument& Doc) : FCursor(&Doc) {
        QFont f = Doc.defaultFont();
        f.setPointSizeF(9);
        Doc.setDefaultFont(f);
    }

    void Heading(const QString& Text, double Size, bool First = false) {
        QTextBlockFormat b;
        b.setTopMargin(First ? 0 : Size * 1.2);
        b.setBottomMargin(Size * 0.4);
        QTextCharFormat c;
        c.setFontPointSize(Size);
        c.setFontWeight(QFont::Bold);
        if (First)
            FCursor.setBlockFormat(b);
        else
            FCursor.insertBlock(b);
        FCursor.setCharFormat(c);
        FCursor.insertText(Text, c);
    }

    void Paragraph(const QString& Text, const QColor& Colour = Qt::black) {
        QTextBlockFormat b;
        b.setTopMargin(2);
        QTextCharFormat c;
        c.setFontPointSize(9);
        c.setForeground(Colour);
        FCursor.insertBlock(b);
        FCursor.insertText(Text, c);
    }

    // A table of Columns columns; Rows in reading order, filled row by row.
    void Table(int Columns, const std::vector<TCell>& Cells, const QVector<double>& Widths,
               const std::vector<QString>& Header = {}) {
        const int headerRows = Header.empty() ? 0 : 1;
        const int rows = headerRows + (static_cast<int>(Cells.size()) + Columns - 1) / Columns;
        if (rows == 0) return;
        QTextTableFormat f;
        f.setBorder(0.5);
        f.setBorderBrush(QColor(170, 170, 170));
        f.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
        f.setCellPadding(3);
        f.setCellSpacing(0);
        f.setTopMargin(4);
        f.setWidth(QTextLength(QTextLength::PercentageLength, 100));
        QVector<QTextLength> widths;
        for (double w : Widths)
            widths << QTextLength(QTextLength::PercentageLength, w);
        f.setColumnWidthConstraints(widths);
        if (headerRows) f.setHeaderRowCount(1);
        QTextTable* table = FCursor.insertTable(rows, Columns, f);
        for (int c = 0; c < static_cast<int>(Header.size()) && c < Columns; ++c) {
            QTextCharFormat cf;
            cf.setFontWeight(QFont::Bold);
            QTextTableCell cell = table->cellAt(0, c);
            QTextCharFormat bg = cell.format();
            bg.setBackground(QColor(235, 235, 235));
            cell.setFormat(bg);
            cell.firstCursorPosition().insertText(Header[static_cast<std::size_t>(c)], cf);
        }
        for (std::size_t i = 0; i < Cells.size(); ++i) {
            const int r = headerRows + static_cast<int>(i) / Columns;
            const int c = static_cast<int>(i) % Columns;
            QTextCharFormat cf;
            cf.setForeground(Cells[i].Colour);
            if (Cells[i].Bold) cf.setFontWeight(QFont::Bold);
            table->cellAt(r, c).firstCursorPosition().insertText(Cells[i].Text, cf);
        }
        FCursor.movePosition(QTextCursor::End);
    }

  private:
    QTextCursor FCursor;
};

// Name/value pairs, two pairs per row.
void Pairs(TWriter& W, const std::vector<std::pair<QString, TCell>>& Items) {
    std::vector<TCell> cells;
    for (const auto& [name, value] : Items) {
        cells.push_back({name, QColor(60, 60, 60)});
        cells.push_back(value);
    }
    W.Table(4, cells, {27, 23, 27, 23});
}

// A reading with the unit of its field where the model knows it ("16 °C").
TCell Reading(const TReading& R, const TFieldInfo& Field) {
    QString text = Q(ReadingText(R));
    const std::string_view unit = QuantityInfo(ReadingQuantity(Field.Caption)).Unit;
    if (R && !unit.empty()) text += " " + Q(unit);
    return {text, R ? QColor(Qt::black) : QColor(128, 128, 128)};
}

void UnitSection(TWriter& W, const TLatestReplies& L, int Unit) {
    const auto u = static_cast<std::size_t>(Unit);
    W.Heading(QString("空调%1 最新数据").arg(Unit + 1), 12);

    const auto& analog = L.Analog[u];
    W.Paragraph("模拟量" + (analog ? "（" + TimeText(analog->At) + "）" : QString("：未收到")));
    if (analog) {
        std::vector<std::pair<QString, TCell>> items;
        for (std::size_t i = 0; i < AnalogFieldCount; ++i) {
            const TCell v = i < analog->Value.Count
                                ? Reading(analog->Value.Values[i], AnalogFields[i])
                                : TCell{"—", QColor(128, 128, 128)};
            items.push_back({Q(AnalogFields[i].Caption), v});
        }
        items.push_back(
            {Q(AnalogCountField.Caption), {QString::number(analog->Value.UserDefinedCount)}});
        Pairs(W, items);
    }

    const auto& sw = L.Switches[u];
    W.Paragraph("开关量" + (sw ? "（" + TimeText(sw->At) + "）" : QString("：未收到")));
    if (sw) {
        std::vector<std::pair<QString, TCell>> items;
        items.push_back({Q(SwitchPowerField.Caption), {Q(UnitPowerWord(sw->Value.Power))}});
        for (std::size_t i = 0; i < SwitchItemCount; ++i) {
            TCell v{"—", QColor(128, 128, 128)};
            if (i < sw->Value.Count) {
                const TStateCode code = sw->Value.Items[i];
                QString word = Q(SwitchItemWord(i, code));
                if (word.isEmpty()) word = QString("代码 %1").arg(*code);
                v = {word, code ? QColor(Qt::black) : QColor(128, 128, 128)};
            }
            items.push_back({Q(SwitchFields[i].Caption), v});
        }
        items.push_back(
            {Q(SwitchCountField.Caption), {QString::number(sw->Value.UserDefinedCount)}});
        Pairs(W, items);
    }

    const auto& al = L.Alarms[u];
    W.Paragraph("告警状态" + (al ? "（" + TimeText(al->At) + "）" : QString("：未收到")));
    if (al) {
        std::vector<std::pair<QString, TCell>> items;
        int raised = 0;
        for (std::size_t i = 0; i < AlarmFieldCount; ++i) {
            TCell v{"—", QColor(128, 128, 128)};
            if (i < al->Value.Count) {
                const TStateCode code = al->Value.Codes[i];
                QString word = Q(AlarmText(code));
                if (word.isEmpty()) word = QString("代码 %1").arg(*code);
                v = {word, PaperColour(code), IsAlarmRaised(code)};
                raised += IsAlarmRaised(code);
            }
            items.push_back({Q(AlarmFields[i].Caption), v});
        }
        items.push_back(
            {Q(AlarmCountField.Caption), {QString::number(al->Value.UserDefinedCount)}});
        W.Paragraph(raised == 0 ? QString("无告警。") : QString("%1 项告警。").arg(raised),
                    raised == 0 ? QColor(0, 120, 0) : QColor(200, 0, 0));
        Pairs(W, items);
    }
}

QString Ms(const std::optional<Millis>& M) {
    return M ? QString("%1 ms").arg(M->count()) : QString("—");
}

}  // namespace

std::vector<std::pair<QString, std::vector<int>>> StandardReportCharts() {
    auto both = [](std::initializer_list<std::pair<TSeriesKind, int>> Fields) {
        std::vector<int> s;
        for (int unit = 0; unit < 2; ++unit) {
            for (auto [kind, field] : Fields)
                s.push_back(SeriesIndex({unit, kind, field}));
        }
        return s;
    };
    using K = TSeriesKind;
    return {
        {"温度（送风、回风、室外）", both({{K::Analog, 6}, {K::Analog, 7}, {K::Analog, 12}})},
        {"湿度（送风、回风）", both({{K::Analog, 8}, {K::Analog, 9}})},
        {"主机工作电压", both({{K::Analog, 0}, {K::Analog, 1}, {K::Analog, 2}})},
        {"主机工作电流", both({{K::Analog, 3}, {K::Analog, 4}, {K::Analog, 5}})},
        {"压缩机压力", both({{K::Analog, 10}, {K::Analog, 11}})},
        {"空调状态与压缩机启停", both({{K::Power, 0}, {K::Switch, 3}})},
    };
}

std::unique_ptr<QTextDocument> BuildReportDocument(const TSiteReportData& Data) {
    auto doc = std::make_unique<QTextDocument>();
    doc->setDocumentMargin(0);
    TWriter w(*doc);
    static const THistory empty;
    const THistory& h = Data.History ? *Data.History : empty;
    const TLatestReplies& l = h.Latest();

    w.Heading(Title, 18, true);
    auto orDash = [](const QString& Text) { return Text.isEmpty() ? QString("—") : Text; };
    std::vector<std::pair<QString, TCell>> about = {
        {"站点", {orDash(Data.Details.Site)}},
        {"工程师", {orDash(Data.Details.Engineer)}},
        {"生成时间", {Data.Generated.toString("yyyy-MM-dd HH:mm:ss")}},
        {"程序版本", {Data.ToolVersion.isEmpty() ? QString("—") : Data.ToolVersion}},
        {"串口", {Data.Port.isEmpty() ? QString("—") : Data.Port}},
        {"连接状态", {Data.LinkOpen ? QString("已连接") : QString("未连接")}},
        {"数据时间",
         {h.FirstTime()
              ? QDateTime::fromMSecsSinceEpoch(*h.FirstTime()).toString("yyyy-MM-dd HH:mm:ss") +
                    " 至 " + QDateTime::fromMSecsSinceEpoch(*h.LastTime()).toString("HH:mm:ss")
              : QString("无数据")}},
        {"收到的回复", {QString::number(h.Replies())}},
    };
    Pairs(w, about);
    if (!Data.RecordingFile.isEmpty()) w.Paragraph("记录文件：" + Data.RecordingFile);
    if (!Data.Details.Notes.trimmed().isEmpty()) {
        w.Heading("备注", 13);
        for (const QString& line : Data.Details.Notes.split('\n'))
            w.Paragraph(line);
    }

    w.Heading("设备信息", 13);
    std::vector<std::pair<QString, TCell>> identity;
    identity.push_back(
        {"协议版本号", {l.Version ? Q(ProtocolVersionText(l.Version->Value.Ver)) : NotRead}});
    identity.push_back(
        {"设备地址", {l.Address ? QString::number(l.Address->Value.Addr) : NotRead}});
    for (std::size_t i = 0; i < VendorFields.size(); ++i) {
        const auto& field = l.Vendor ? l.Vendor->Value.Fields[i] : std::nullopt;
        identity.push_back(
            {Q(VendorFields[i].Caption), {field ? ControllerText(*field) : NotRead}});
    }
    Pairs(w, identity);
    if (!Data.ReadsNote.isEmpty()) w.Paragraph(Data.ReadsNote, QColor(110, 110, 110));
    if (!l.Version && !l.Address && !l.Vendor)
        w.Paragraph("（在“获取协议版本号”“获取设备地址”“获取设备厂商信息”页读取后即列入报告。）",
                    QColor(110, 110, 110));

    w.Heading("用户参数", 13);
    if (l.Params) {
        w.Paragraph("读取于 " + TimeText(l.Params->At));
        const TUserParams& p = l.Params->Value;
        std::vector<std::pair<QString, TCell>> items;
        for (std::size_t i = 0; i < ParamReadingCount; ++i)
            items.push_back({Q(ParamFields[i].Caption), Reading(p.Readings[i], ParamFields[i])});
        for (std::size_t i = 0; i < ParamItemCount; ++i) {
            const TCell v = i < p.ItemCount ? TCell{Q(ParamItemText(i, p.Items[i]))}
                                            : TCell{"—", QColor(128, 128, 128)};
            items.push_back({Q(ParamFields[ParamReadingCount + i].Caption), v});
        }
        items.push_back({Q(ParamCountField.Caption), {QString::number(p.UserDefinedCount)}});
        Pairs(w, items);
    } else {
        w.Paragraph(NotRead + "（在“获取用户参数”页读取后即列入报告）。", QColor(110, 110, 110));
    }

    for (int unit = 0; unit < 2; ++unit)
        UnitSection(w, l, unit);

    w.Heading("链路统计", 13);
    if (Data.Counters) {
        const TLinkCountersData& c = *Data.Counters;
        Pairs(w, {
                     {"发送命令", {QString::number(c.CommandsSent)}},
                     {"正确回复", {QString::number(c.Replies)}},
                     {"无应答",
                      {QString::number(c.RepliesMissing),
                       c.RepliesMissing ? QColor(200, 0, 0) : QColor(Qt::black)}},
                     {"错误帧",
                      {QString::number(c.ErrorFrames),
                       c.ErrorFrames ? QColor(200, 0, 0) : QColor(Qt::black)}},
                     {"RTN 非 0", {QString::number(c.RtnErrors)}},
                     {"杂散字节", {QString::number(c.NoiseBytes)}},
                     {"最近响应时间", {Ms(c.LastResponse)}},
                     {"最短 / 平均 / 最长",
                      {Ms(c.MinResponse) + " / " + Ms(c.MeanResponse) + " / " + Ms(c.MaxResponse)}},
                     {"最近正确回复",
                      {c.LastGoodReplyWall ? TimeText(*c.LastGoodReplyWall) : QString("—")}},
                 });
    } else {
        w.Paragraph("无链路统计。", QColor(110, 110, 110));
    }

    w.Heading("告警变化", 13);
    const auto& changes = h.AlarmChanges();
    if (changes.empty()) {
        w.Paragraph("本次没有告警变化。", QColor(0, 120, 0));
    } else {
        constexpr std::size_t shown = 200;
        const std::size_t first = changes.size() > shown ? changes.size() - shown : 0;
        if (first > 0)
            w.Paragraph(QString("共 %1 项，列出最近 %2 项。").arg(changes.size()).arg(shown));
        std::vector<TCell> cells;
        for (std::size_t i = first; i < changes.size(); ++i) {
            const TAlarmChange& c = changes[i];
            cells.push_back({QDateTime::fromMSecsSinceEpoch(c.T).toString("yyyy-MM-dd HH:mm:ss")});
            cells.push_back({AlarmChangeText(c), PaperColour(c.To), IsAlarmRaised(c.To)});
        }
        w.Table(2, cells, {25, 75}, {"时间", "变化"});
    }
    return doc;
}

bool WriteSiteReport(const QString& Path, const TSiteReportData& Data, QString* Error) {
    auto fail = [&](const QString& Why) {
        if (Error) *Error = Why;
        return false;
    };
    QPdfWriter pdf(Path);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(15, 15, 15, 12), QPageLayout::Millimeter);
    pdf.setResolution(Dpi);
    pdf.setTitle(Title);
    pdf.setCreator("AirConTool " + Data.ToolVersion);
    QPainter painter;
    if (!painter.begin(&pdf))
        return fail("无法写入文件“" + Path + "”（文件夹不存在或没有写入权限）。");

    const QRect area = pdf.pageLayout().paintRectPixels(Dpi);
    const double width = area.width();
    const double footer = 0.35 / 2.54 * Dpi * 2;  // about 7 mm
    const double bodyHeight = area.height() - footer;

    auto doc = BuildReportDocument(Data);
    doc->documentLayout()->setPaintDevice(&pdf);
    doc->setPageSize(QSizeF(width, bodyHeight));
    const int textPages = doc->pageCount();
    auto charts = StandardReportCharts();
    charts.insert(charts.begin(), Data.ExtraCharts.begin(), Data.ExtraCharts.end());
    const bool anyData = Data.History && Data.History->FirstTime();
    const int chartPages = anyData ? static_cast<int>((charts.size() + 1) / 2) : 0;
    const int pages = textPages + chartPages;

    QFont small = doc->defaultFont();
    small.setPointSizeF(7.5);
    auto decorate = [&](int Page) {
        painter.save();
        painter.setFont(small);
        painter.setPen(QColor(110, 110, 110));
        const QRectF foot(0, area.height() - footer * 0.7, width, footer * 0.7);
        painter.drawLine(QPointF(0, foot.top()), QPointF(width, foot.top()));
        painter.drawText(foot, Qt::AlignLeft | Qt::AlignVCenter,
                         Title + " · " + Data.Generated.toString("yyyy-MM-dd HH:mm"));
        painter.drawText(foot, Qt::AlignRight | Qt::AlignVCenter,
                         QString("第 %1 / %2 页").arg(Page + 1).arg(pages));
        painter.restore();
    };

    for (int page = 0; page < textPages; ++page) {
        if (page > 0) pdf.newPage();
        painter.save();
        painter.translate(0, -page * bodyHeight);
        QAbstractTextDocumentLayout::PaintContext ctx;
        ctx.clip = QRectF(0, page * bodyHeight, width, bodyHeight);
        painter.setClipRect(ctx.clip);
        doc->documentLayout()->draw(&painter, ctx);
        painter.restore();
        decorate(page);
    }

    if (anyData) {
        // The charts as the trend window draws them, two to a page, as vector graphics.
        const QSize viewSize(900, 620);
        const double slot = bodyHeight / 2;
        QFont heading = doc->defaultFont();
        heading.setPointSizeF(11);
        heading.setBold(true);
        for (std::size_t i = 0; i < charts.size(); ++i) {
            const int page = textPages + static_cast<int>(i / 2);
            if (i % 2 == 0) {
                pdf.newPage();
                decorate(page);
            }
            // A chart of its own for each: the axes a chart drops leave their drawing to
            // the event loop, which does not run here, so a reused chart would draw them.
            TTrendChart view;
            view.setAttribute(Qt::WA_DontShowOnScreen);
            view.resize(viewSize);
            view.show();
            view.SetHistory(Data.History);
            view.SetAlarmMarksShown(Data.AlarmMarks);
            view.SetSelected(charts[i].second);
            // The chart lays out its legend from the event loop; the operator's input waits,
            // so nothing can close the window or start another report meanwhile.
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            view.ResetView();
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            const double top = (i % 2) * slot;
            painter.save();
            painter.setFont(heading);
            painter.drawText(QRectF(0, top, width, 80), Qt::AlignLeft | Qt::AlignVCenter,
                             (i == 0 ? QString("趋势图 · ") : QString()) + charts[i].first);
            const double scale =
                std::min(width / viewSize.width(), (slot - 100) / viewSize.height());
            // Recorded at the screen's resolution, where the chart laid out its texts,
            // and played back scaled: still vector graphics in the PDF. A picture plays
            // itself at the same physical size on any device; the scale says how much
            // larger it should be.
            QPicture picture;
            QPainter recorder(&picture);
            static_cast<QWidget&>(view).render(&recorder, QPoint(), QRegion(),
                                               QWidget::DrawChildren);
            recorder.end();
            const double played = double(pdf.logicalDpiX()) / picture.logicalDpiX();
            painter.translate(0, top + 90);
            painter.scale(scale / played, scale / played);
            painter.drawPicture(0, 0, picture);
            painter.restore();
        }
    }
    if (!painter.end()) return fail("写入文件“" + Path + "”时出错。");
    return true;
}
