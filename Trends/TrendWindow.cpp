#include "TrendWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "TrendWords.h"

using namespace aircon;

namespace {

constexpr int SeriesRole = Qt::UserRole;
constexpr int TimeRole = Qt::UserRole + 1;

// What a new window shows: the supply- and return-air temperatures of both units.
std::vector<int> DefaultSelection() {
    return {SeriesIndex({0, TSeriesKind::Analog, 6}), SeriesIndex({0, TSeriesKind::Analog, 7}),
            SeriesIndex({1, TSeriesKind::Analog, 6}), SeriesIndex({1, TSeriesKind::Analog, 7})};
}

}  // namespace

TTrendWindow::TTrendWindow(const THistory* Live, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FLive(Live) {
    setWindowTitle("趋势图");
    resize(1100, 680);

    FOpenButton = new QPushButton("打开记录…");
    FLiveButton = new QPushButton("实时");
    FLiveButton->setToolTip("回到本次运行的实时数据");
    auto* reset = new QPushButton("复位缩放");
    reset->setToolTip("显示全部时间，并随新数据滚动（Home 键）");
    FMarks = new QCheckBox("告警标记");
    FMarks->setChecked(true);
    FMarks->setToolTip("在时间轴上标出告警变化");
    FSource = new QLabel;
    auto* tools = new QHBoxLayout;
    tools->addWidget(FOpenButton);
    tools->addWidget(FLiveButton);
    tools->addWidget(reset);
    tools->addWidget(FMarks);
    tools->addSpacing(12);
    tools->addWidget(FSource, 1);
    auto* help = new QLabel("拖动选择时间段放大 · 滚轮缩放 · Shift+拖动或中键拖动平移");
    help->setStyleSheet("color: gray");
    tools->addWidget(help);

    FChooser = new QTreeWidget;
    FChooser->setHeaderHidden(true);
    FChooser->setMinimumWidth(250);
    FChart = new TTrendChart;
    FAlarms = new QListWidget;
    FAlarms->setToolTip("告警变化；双击在图中定位");

    auto* right = new QSplitter(Qt::Vertical);
    right->addWidget(FChart);
    right->addWidget(FAlarms);
    right->setStretchFactor(0, 1);
    right->setStretchFactor(1, 0);
    right->setSizes({520, 110});
    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(FChooser);
    split->addWidget(right);
    split->setStretchFactor(1, 1);
    split->setSizes({260, 840});

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(split, 1);

    BuildChooser();
    connect(FChooser, &QTreeWidget::itemChanged, this, [this] {
        if (!FUpdatingTicks) SelectionChanged();
    });
    connect(FOpenButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, "打开记录", FFolder,
                                                          "记录文件 (*.csv);;所有文件 (*)");
        if (!path.isEmpty()) OpenFile(path);
    });
    connect(FLiveButton, &QPushButton::clicked, this, &TTrendWindow::ShowLive);
    connect(reset, &QPushButton::clicked, FChart, &TTrendChart::ResetView);
    connect(FMarks, &QCheckBox::toggled, FChart, &TTrendChart::SetAlarmMarksShown);
    connect(FAlarms, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* Item) {
        const auto t = Item->data(TimeRole).toLongLong();
        const std::int64_t half =
            std::max<std::int64_t>((FChart->RangeTo() - FChart->RangeFrom()) / 2, 30000);
        FChart->ShowRange(t - half, t + half);
    });

    FTimer = new QTimer(this);
    FTimer->setInterval(1000);
    connect(FTimer, &QTimer::timeout, this, &TTrendWindow::Tick);

    SetSelected(DefaultSelection());
    Show(FLive);
}

TTrendWindow::~TTrendWindow() {
    if (FLoader) {
        FCancel = true;
        FLoader->wait();
    }
}

void TTrendWindow::BuildChooser() {
    FUpdatingTicks = true;
    for (int unit = 0; unit < 2; ++unit) {
        auto* top = new QTreeWidgetItem(FChooser, {QString("空调%1").arg(unit + 1)});
        auto* analog = new QTreeWidgetItem(top, {"模拟量"});
        auto* states = new QTreeWidgetItem(top, {"开关量"});
        for (int i = 0; i < SeriesPerUnit; ++i) {
            const TSeriesKey key = SeriesKeyAt(unit * SeriesPerUnit + i);
            auto* item = new QTreeWidgetItem(
                key.Kind == TSeriesKind::Analog ? analog : states,
                {QString::fromUtf8(SeriesField(key).Caption.data(),
                                   static_cast<int>(SeriesField(key).Caption.size()))});
            item->setData(0, SeriesRole, SeriesIndex(key));
            item->setCheckState(0, Qt::Unchecked);
        }
        top->setExpanded(true);
        analog->setExpanded(true);
    }
    FUpdatingTicks = false;
}

void TTrendWindow::SetSelected(const std::vector<int>& Series) {
    FUpdatingTicks = true;
    for (QTreeWidgetItemIterator it(FChooser); *it; ++it) {
        const QVariant v = (*it)->data(0, SeriesRole);
        if (!v.isValid()) continue;
        const bool on = std::find(Series.begin(), Series.end(), v.toInt()) != Series.end();
        (*it)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    }
    FUpdatingTicks = false;
    FChart->SetSelected(Series);
}

std::vector<int> TTrendWindow::Selected() const {
    return FChart->Selected();
}

void TTrendWindow::SelectionChanged() {
    // Ticks keep the order in which they were set: the legend grows at its end.
    std::vector<int> selected = FChart->Selected();
    std::vector<int> ticked;
    for (QTreeWidgetItemIterator it(FChooser); *it; ++it) {
        const QVariant v = (*it)->data(0, SeriesRole);
        if (v.isValid() && (*it)->checkState(0) == Qt::Checked) ticked.push_back(v.toInt());
    }
    std::erase_if(selected, [&](int s) {
        return std::find(ticked.begin(), ticked.end(), s) == ticked.end();
    });
    for (int s : ticked) {
        if (std::find(selected.begin(), selected.end(), s) == selected.end()) selected.push_back(s);
    }
    FChart->SetSelected(selected);
}

const THistory* TTrendWindow::Current() const {
    return FFileHistory ? FFileHistory.get() : FLive;
}

void TTrendWindow::Show(const THistory* History) {
    FChart->SetHistory(History);
    FChart->ResetView();
    FLiveButton->setEnabled(FFileHistory != nullptr);
    FSource->setText(SourceText());
    setWindowTitle(FFileHistory ? "趋势图 — " + FFileName : "趋势图");
    UpdateAlarmList(true);
}

QString TTrendWindow::SourceText() const {
    if (FFileHistory) {
        QString s = "记录文件：" + FFileName;
        if (!FFileNote.isEmpty()) s += "（" + FFileNote + "）";
        return s;
    }
    return FLive ? "实时：本次运行的数据" : "无数据";
}

void TTrendWindow::ShowLive() {
    FFileHistory.reset();
    FFileNote.clear();
    Show(FLive);
}

void TTrendWindow::showEvent(QShowEvent* E) {
    QWidget::showEvent(E);
    FTimer->start();
    Tick();
}

void TTrendWindow::Tick() {
    if (!isVisible()) {
        FTimer->stop();
        return;
    }
    if (FFileHistory) return;  // a file does not change
    FChart->Refresh();
    UpdateAlarmList(false);
}

void TTrendWindow::UpdateAlarmList(bool Rebuild) {
    const THistory* h = Current();
    if (Rebuild) {
        FAlarms->clear();
        FAlarmsShown = 0;
    }
    if (!h) return;
    const auto& changes = h->AlarmChanges();
    if (changes.size() < FAlarmsShown) {  // the oldest were dropped: start again
        FAlarms->clear();
        FAlarmsShown = 0;
    }
    for (std::size_t i = FAlarmsShown; i < changes.size(); ++i) {
        const TAlarmChange& c = changes[i];
        auto* item = new QListWidgetItem(
            QDateTime::fromMSecsSinceEpoch(c.T).toString("MM-dd HH:mm:ss  ") + AlarmChangeText(c));
        item->setData(TimeRole, static_cast<qlonglong>(c.T));
        item->setForeground(!c.To                 ? QColor(128, 128, 128)
                            : IsAlarmRaised(c.To) ? QColor(200, 0, 0)
                                                  : QColor(0, 128, 0));
        FAlarms->addItem(item);
    }
    if (changes.size() > FAlarmsShown) FAlarms->scrollToBottom();
    FAlarmsShown = changes.size();
}

void TTrendWindow::Message(const QString& Title, const QString& Text) {
    if (OnMessage) {
        OnMessage(Title, Text);
        return;
    }
    QMessageBox::warning(this, Title, Text);
}

void TTrendWindow::OpenFile(const QString& Path) {
    if (FLoader) return;
    auto history = std::make_shared<THistory>();
    auto result = std::make_shared<TRecordingLoad>();
    const std::filesystem::path file(QFile::encodeName(Path).toStdString());
    FCancel = false;
    FLoader = QThread::create(
        [this, history, result, file] { *result = LoadRecording(file, *history, &FCancel); });
    connect(FLoader, &QThread::finished, this, [this, Path, history, result] {
        FLoader->deleteLater();
        FLoader = nullptr;
        FOpenButton->setEnabled(true);
        unsetCursor();
        FileRead(Path, history, result);
    });
    FOpenButton->setEnabled(false);
    setCursor(Qt::BusyCursor);
    FSource->setText("正在读取 " + QFileInfo(Path).fileName() + " …");
    FLoader->start();
}

void TTrendWindow::FileRead(const QString& Path, std::shared_ptr<THistory> History,
                            std::shared_ptr<TRecordingLoad> Result) {
    const QString name = QFileInfo(Path).fileName();
    const QString where = "文件：" + QDir::toNativeSeparators(Path) + "\n\n";
    if (!Result->Ok || Result->Rows == 0) {
        QString reason = RecordingLoadFailureText(*Result);
        if (Result->Ok) {
            reason = "文件中没有可读的数据行。";
            if (Result->Damaged > 0 && Result->FirstDamage)
                reason += QString("\n%1 行损坏，第一处：%2")
                              .arg(Result->Damaged)
                              .arg(RowDamageText(*Result->FirstDamage));
        }
        FSource->setText(SourceText());
        Message("无法打开记录文件", where + "原因：" + reason);
        emit FileOpened(false);
        return;
    }
    FFileHistory = std::move(History);
    FFileName = name;
    QStringList notes;
    notes << QString("%1 行").arg(Result->Rows);
    if (Result->Damaged > 0) notes << QString("跳过 %1 行损坏的数据").arg(Result->Damaged);
    if (Result->Truncated) notes << "最后一行不完整，已略过";
    FFileNote = notes.join("，");
    Show(FFileHistory.get());
    if (Result->Damaged > 0 && Result->FirstDamage)
        Message("记录文件有损坏",
                where + QString("已跳过 %1 行损坏的数据，其余数据照常显示。\n第一处：%2")
                            .arg(Result->Damaged)
                            .arg(RowDamageText(*Result->FirstDamage)));
    emit FileOpened(true);
}
