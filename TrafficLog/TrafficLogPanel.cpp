#include "TrafficLogPanel.h"

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "SteadyLabel.h"
#include "TrafficDetail.h"
#include "TrafficLogModel.h"
#include "TrafficRowDelegate.h"
#include "TrafficTableView.h"

namespace {

QString Text(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QColor MarkColour(aircon::TDetailMark Mark) {
    switch (Mark) {
        case aircon::TDetailMark::Bad:
            return QColor(0xC0, 0x00, 0x00);
        case aircon::TDetailMark::Good:
            return QColor(0x1E, 0x6B, 0x2E);
        case aircon::TDetailMark::Warning:
            return QColor(0xA8, 0x50, 0x00);
        case aircon::TDetailMark::Plain:
        case aircon::TDetailMark::Heading:
            break;
    }
    return QColor(Qt::black);
}

}  // namespace

TTrafficLogPanel::TTrafficLogPanel(QWidget* Parent, std::size_t Capacity)
    : QWidget(Parent), FLog(Capacity) {
    setObjectName(QStringLiteral("TrafficLogPanel"));
    FModel = new TTrafficLogModel(FLog, this);

    auto* title = new QLabel(QStringLiteral("通讯记录"), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    btnPause = new QPushButton(QStringLiteral("暂停"), this);
    btnPause->setObjectName(QStringLiteral("btnPause"));
    btnPause->setCheckable(true);
    btnPause->setToolTip(
        QStringLiteral("表格停止滚动以便查看；记录照常进行，继续后显示期间的新记录，文件照常写入"));
    btnClear = new QPushButton(QStringLiteral("清除"), this);
    btnClear->setObjectName(QStringLiteral("btnClear"));
    btnClear->setToolTip(QStringLiteral("清除表格中的记录（不影响计数和正在写入的文件）"));
    btnSave = new QPushButton(QStringLiteral("保存…"), this);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnSave->setToolTip(QStringLiteral("把表格中的全部记录保存为文本文件"));
    btnFile = new QPushButton(QStringLiteral("写入文件…"), this);
    btnFile->setObjectName(QStringLiteral("btnFile"));
    btnFile->setCheckable(true);
    btnFile->setToolTip(QStringLiteral("每条记录随时追加写入所选文件，逐条写出"));
    lblState = new QLabel(this);
    lblState->setObjectName(QStringLiteral("lblState"));
    lblState->setTextFormat(Qt::PlainText);
    for (QPushButton* b : {btnPause, btnClear, btnSave, btnFile})
        b->setFixedHeight(22);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    bar->setSpacing(6);
    bar->addWidget(title);
    bar->addSpacing(6);
    bar->addWidget(btnPause);
    bar->addWidget(btnClear);
    bar->addWidget(btnSave);
    bar->addWidget(btnFile);
    bar->addSpacing(6);
    bar->addWidget(lblState);
    bar->addStretch(1);

    grdRows = new TTrafficTableView(this);
    grdRows->setObjectName(QStringLiteral("grdRows"));
    grdRows->setModel(FModel);
    FDelegate = new TTrafficRowDelegate(grdRows);
    grdRows->setItemDelegate(FDelegate);
    grdRows->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdRows->setSelectionMode(QAbstractItemView::SingleSelection);
    grdRows->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdRows->setWordWrap(false);
    grdRows->setShowGrid(false);
    grdRows->setCornerButtonEnabled(false);
    grdRows->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    QHeaderView* rows = grdRows->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* cols = grdRows->horizontalHeader();
    cols->setSectionResizeMode(QHeaderView::Interactive);
    cols->setHighlightSections(false);
    cols->setStretchLastSection(true);

    tvDetail = new QTreeWidget(this);
    tvDetail->setObjectName(QStringLiteral("tvDetail"));
    tvDetail->setColumnCount(2);
    tvDetail->setHeaderLabels({QStringLiteral("字段"), QStringLiteral("值")});
    tvDetail->setRootIsDecorated(false);
    tvDetail->setWordWrap(true);
    tvDetail->setColumnWidth(0, 96);
    tvDetail->setSelectionMode(QAbstractItemView::NoSelection);

    auto* split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(grdRows);
    split->addWidget(tvDetail);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    split->setSizes({507, 300});
    split->setChildrenCollapsible(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 3, 5, 3);
    layout->setSpacing(3);
    layout->addLayout(bar);
    layout->addWidget(split, 1);

    FSyncTimer = new QTimer(this);
    FSyncTimer->setSingleShot(true);
    FSyncTimer->setInterval(SyncDelayMs);
    connect(FSyncTimer, &QTimer::timeout, this, &TTrafficLogPanel::SyncNow);
    FLog.OnChanged = [this] { LogChanged(); };

    connect(grdRows->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowDetail(); });
    connect(btnPause, &QPushButton::toggled, this, &TTrafficLogPanel::PauseClicked);
    connect(btnClear, &QPushButton::clicked, this, &TTrafficLogPanel::ClearClicked);
    connect(btnSave, &QPushButton::clicked, this, &TTrafficLogPanel::SaveClicked);
    connect(btnFile, &QPushButton::clicked, this, &TTrafficLogPanel::FileClicked);

    AskFileName = [this](bool Save, const QString& Suggested) {
        if (Save)
            return QFileDialog::getSaveFileName(this, QStringLiteral("保存通讯记录"), Suggested,
                                                QStringLiteral("文本文件 (*.txt);;所有文件 (*)"));
        return QFileDialog::getSaveFileName(this, QStringLiteral("通讯记录写入文件（追加）"),
                                            Suggested,
                                            QStringLiteral("文本文件 (*.txt);;所有文件 (*)"),
                                            nullptr, QFileDialog::DontConfirmOverwrite);
    };
    ShowError = [this](const QString& Text) {
        QMessageBox::critical(this, QStringLiteral("错误"), Text);
    };
    ApplyFontMetrics();
    UpdateState();
}

void TTrafficLogPanel::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::FontChange) ApplyFontMetrics();
}

// Row heights and column widths from the font, set once: a new row never makes the view
// measure its cells.
void TTrafficLogPanel::ApplyFontMetrics() {
    const QFontMetrics fm = grdRows->fontMetrics();
    FModel->SetFrameFont(grdRows->font());
    FDelegate->ClearCache();
    const QFontMetrics fixed(FModel->FrameFont());
    grdRows->verticalHeader()->setDefaultSectionSize(fm.height() + 4);
    const int pad = 14;
    grdRows->setColumnWidth(TTrafficLogModel::ColTime,
                            fm.horizontalAdvance(QStringLiteral("00:00:00.000")) + pad);
    grdRows->setColumnWidth(TTrafficLogModel::ColDirection,
                            fm.horizontalAdvance(QStringLiteral("另一主机")) + pad);
    grdRows->setColumnWidth(
        TTrafficLogModel::ColSummary,
        fm.horizontalAdvance(QStringLiteral("无应答 350 ms, 0x47 读取用户参数")) + pad);
    grdRows->setColumnWidth(TTrafficLogModel::ColResponse,
                            fm.horizontalAdvance(QStringLiteral("9999 ms")) + pad);
    grdRows->setColumnWidth(TTrafficLogModel::ColHex, fixed.horizontalAdvance(QString(60, 'F')));
}

TTrafficLogPanel::~TTrafficLogPanel() {
    FLog.OnChanged = nullptr;
}

void TTrafficLogPanel::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    SyncNow();
    grdRows->scrollToBottom();
}

void TTrafficLogPanel::LogChanged() {
    FChanged = true;
    if (!FOwnPacing || !isVisible() || FSyncTimer->isActive()) return;
    FSyncTimer->start();
}

void TTrafficLogPanel::SetOwnPacing(bool On) {
    FOwnPacing = On;
    if (!On) FSyncTimer->stop();
}

void TTrafficLogPanel::SyncIfChanged() {
    if (FChanged && isVisible()) SyncNow();
}

void TTrafficLogPanel::SyncNow() {
    FSyncTimer->stop();
    FChanged = false;
    grdRows->Append([this] {
        const TTrafficLogModel::TSyncResult r = FModel->Sync();
        return TTrafficTableView::TChange{r.Removed, r.Added};
    });
    UpdateState();
}

bool TTrafficLogPanel::SelectSeq(std::uint64_t Seq) {
    const int row = FModel->RowOfSeq(Seq);
    if (row < 0) return false;
    grdRows->selectRow(row);
    grdRows->scrollTo(FModel->index(row, 0));
    ShowDetail();
    return true;
}

void TTrafficLogPanel::ShowDetail() {
    const QModelIndex current = grdRows->currentIndex();
    const aircon::TTrafficRow* row = current.isValid() ? FModel->RowAt(current.row()) : nullptr;
    if (!row) return;  // a row that left the ring keeps its detail on show
    if (row->Seq == FShownSeq) return;
    FShownSeq = row->Seq;
    tvDetail->clear();
    QList<QTreeWidgetItem*> items;
    for (const aircon::TDetailLine& line : aircon::DescribeRow(*row)) {
        QString value = Text(line.Value);
        if (line.Name == "INFO") {
            // Eight bytes a line, so that a long INFO can be read without scrolling.
            for (qsizetype at = 8 * 3 - 1; at < value.size() && value[at] == QLatin1Char(' ');
                 at += 8 * 3)
                value[at] = QLatin1Char('\n');
        }
        auto* item = new QTreeWidgetItem({Text(line.Name), value});
        item->setToolTip(1, Text(line.Value));
        const QColor colour = MarkColour(line.Mark);
        item->setForeground(0, colour);
        item->setForeground(1, colour);
        if (line.Mark == aircon::TDetailMark::Heading || line.Mark == aircon::TDetailMark::Bad) {
            QFont f = tvDetail->font();
            f.setBold(true);
            item->setFont(0, f);
            item->setFont(1, f);
        }
        items.push_back(item);
    }
    tvDetail->addTopLevelItems(items);
}

void TTrafficLogPanel::UpdateState() {
    QString text;
    if (FLog.Paused()) {
        text = QStringLiteral("已暂停，另有 %1 条新记录").arg(FLog.HeldBack());
    } else {
        text = QStringLiteral("%1 条").arg(FModel->rowCount());
        if (FLog.Dropped() > 0 && FLog.Size() == FLog.Capacity())
            text += QStringLiteral("（只保留最新 %1 条）").arg(FLog.Capacity());
    }
    if (!FFilePath.isEmpty()) text += QStringLiteral("  写入 ") + FFilePath;
    if (!FStateNote.isEmpty()) text += QStringLiteral("  ") + FStateNote;
    SetSteadyText(lblState, text);
}

void TTrafficLogPanel::PauseClicked(bool Paused) {
    FLog.SetPaused(Paused);
    btnPause->setText(Paused ? QStringLiteral("继续") : QStringLiteral("暂停"));
    SyncNow();
}

void TTrafficLogPanel::ClearClicked() {
    FLog.Clear();
    FStateNote.clear();
    SyncNow();
    tvDetail->clear();
    FShownSeq = UINT64_MAX;
}

QString TTrafficLogPanel::SuggestedName() const {
    return QDir::home().filePath(
        QStringLiteral("通讯记录-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
}

void TTrafficLogPanel::SaveClicked() {
    const QString path = AskFileName ? AskFileName(true, SuggestedName()) : QString();
    if (path.isEmpty()) return;
    const auto rows = FLog.Size();
    FStateNote = QStringLiteral("正在保存…");
    UpdateState();
    // The writer reports on its own thread; the panel takes it up on its own.
    FSave =
        FLog.SaveText(path.toStdString(), [this, rows](const aircon::TLogFileWriter::TEvent& E) {
            if (E.Kind == aircon::TLogFileWriter::TEventKind::Opened) return;
            const QString path = Text(E.Path);
            const QString error = Text(aircon::LogFileFailureText(E.Path, E.Failure));
            const bool ok = E.Kind == aircon::TLogFileWriter::TEventKind::Finished;
            QMetaObject::invokeMethod(
                this,
                [this, path, error, ok, rows] {
                    FSave.reset();
                    if (ok) {
                        FStateNote = QStringLiteral("已保存 %1 条到 %2").arg(rows).arg(path);
                        UpdateState();
                    } else {
                        Fail(QStringLiteral("通讯记录未能保存。\n") + error);
                    }
                    emit saveDone(path, ok ? QString() : error);
                },
                Qt::QueuedConnection);
        });
}

void TTrafficLogPanel::FileClicked(bool On) {
    if (!On) {
        StopFile();
        return;
    }
    const QString path = AskFileName ? AskFileName(false, SuggestedName()) : QString();
    if (path.isEmpty()) {
        btnFile->setChecked(false);
        return;
    }
    FFilePath = path;
    FStateNote.clear();
    btnFile->setText(QStringLiteral("停止写入"));
    FLog.StartFile(path.toStdString(), [this](const aircon::TLogFileWriter::TEvent& E) {
        if (E.Kind != aircon::TLogFileWriter::TEventKind::Failed) return;
        const QString path = Text(E.Path);
        const QString error = Text(aircon::LogFileFailureText(E.Path, E.Failure));
        QMetaObject::invokeMethod(
            this,
            [this, path, error] {
                if (path != FFilePath) return;  // a file given up already
                StopFile();
                Fail(QStringLiteral("通讯记录文件写入失败，已停止写入。\n") + error);
            },
            Qt::QueuedConnection);
    });
    UpdateState();
}

void TTrafficLogPanel::StopFile() {
    FLog.StopFile();
    FFilePath.clear();
    btnFile->setChecked(false);
    btnFile->setText(QStringLiteral("写入文件…"));
    UpdateState();
}

void TTrafficLogPanel::Fail(const QString& Text) {
    FStateNote = QString(Text).replace(QLatin1Char('\n'), QLatin1Char(' '));
    UpdateState();
    if (ShowError) ShowError(Text);
}
