#include "RecordTrendReport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>

#include "MessageBoxes.h"
#include "RecordingWords.h"
#include "SiteReport.h"
#include "TrendWindow.h"

namespace {

constexpr qint64 DefaultSizeLimitMB = 500;

QString FromPath(const std::filesystem::path& P) {
    return QFile::decodeName(QByteArray::fromStdString(P.native()));
}

std::filesystem::path ToPath(const QString& P) {
    return std::filesystem::path(QFile::encodeName(P).toStdString());
}

}  // namespace

QString TRecordTrendReport::SettingsFileIn(const QString& Folder) {
    return QDir(Folder).filePath("Recording.ini");
}

TRecordTrendReport::TRecordTrendReport(aircon::TMonitor& Monitor, aircon::IClock& Clock,
                                       QWidget* Owner, TContext Context)
    : FMonitor(Monitor), FOwner(Owner), FContext(std::move(Context)) {
    FSettingsFile = SettingsFileIn(FContext.SettingsFolder);
    aircon::TRecorderSettings settings;
    QSettings ini(FSettingsFile, QSettings::IniFormat);
    ini.beginGroup("Recording");
    settings.Enabled = ini.value("Enabled", true).toBool();
    const QString folder = ini.value("Folder").toString();
    if (!folder.isEmpty()) settings.Folder = ToPath(QDir::cleanPath(folder));
    bool ok = false;
    qint64 mb = ini.value("SizeLimitMB", DefaultSizeLimitMB).toLongLong(&ok);
    if (!ok || mb <= 0) mb = DefaultSizeLimitMB;
    settings.SizeLimit = aircon::SizeLimitFromMB(static_cast<std::uint64_t>(mb));

    ini.endGroup();
    ini.beginGroup("Report");
    FDetails.Site = ini.value("Site").toString();
    FDetails.Engineer = ini.value("Engineer").toString();
    FDetails.Notes = ini.value("Notes").toString();
    ini.endGroup();

    FRecorder = std::make_unique<aircon::TRecorder>(Clock, settings);
    FRecorder->OnEvent = [this](const aircon::TRecordingEvent& E) { OnRecordingEvent(E); };
    // From the writer thread: the events are taken on the window's thread.
    FRecorder->SetWakeUp([this] {
        QMetaObject::invokeMethod(
            this, [this] { FRecorder->Poll(); }, Qt::QueuedConnection);
    });
    FMonitor.AddObserver(FHistory);
    FMonitor.AddObserver(*FRecorder);

    FRecord = new QCheckBox("记录");
    FRecord->setObjectName("cbRecord");
    FRecord->setChecked(settings.Enabled);
    FRecord->setToolTip("把每个回复记入记录文件（每次打开串口一个文件）");
    FStatus = new QLabel;
    FStatus->setObjectName("lblRecording");
    FStatus->setMinimumWidth(220);
    auto button = [](const QString& Text, const QString& Name, const QString& Tip) {
        auto* b = new QToolButton;
        b->setText(Text);
        b->setObjectName(Name);
        b->setToolTip(Tip);
        b->setCursor(Qt::PointingHandCursor);
        return b;
    };
    FFolderButton = button("打开记录文件夹", "btnRecordFolder", "在文件管理器中打开记录文件夹");
    FTrendButton = button("趋势图", "btnTrends", "读数与状态随时间的曲线；也可打开旧的记录文件");
    FReportButton = button("现场报告…", "btnSiteReport", "把本次的数据写成 PDF 现场报告");
    connect(FRecord, &QCheckBox::toggled, this, &TRecordTrendReport::SetRecording);
    connect(FFolderButton, &QToolButton::clicked, this, &TRecordTrendReport::OpenFolder);
    connect(FTrendButton, &QToolButton::clicked, this, &TRecordTrendReport::ShowTrends);
    connect(FReportButton, &QToolButton::clicked, this, [this] { StartReport(); });
    ShowStatus(settings.Enabled ? "记录：打开串口后开始" : "记录已关闭",
               "记录文件夹：" + FromPath(FRecorder->Folder()), false);
}

TRecordTrendReport::~TRecordTrendReport() {
    delete FTrends;  // it shows the history that ends here
    FMonitor.RemoveObserver(*FRecorder);
    FMonitor.RemoveObserver(FHistory);
    FRecorder->OnEvent = nullptr;
    FRecorder->SetWakeUp(nullptr);
    CloseRecorder(*FRecorder, stderr);  // finishes the recording
    FRecorder.reset();
    for (QWidget* w : std::initializer_list<QWidget*>{FRecord, FStatus, FFolderButton, FTrendButton,
                                                      FReportButton}) {
        if (!w->parent()) delete w;
    }
}

bool TRecordTrendReport::CloseRecorder(aircon::TRecorder& Recorder, std::FILE* Err) {
    if (Recorder.Close(Recorder.CloseTimeout())) return true;
    std::fprintf(Err, "%s\n", UnwrittenRowsText(Recorder.Unwritten()).toUtf8().constData());
    std::fflush(Err);
    return false;
}

void TRecordTrendReport::AddTo(QStatusBar* Bar) {
    Bar->addPermanentWidget(FStatus);
    Bar->addPermanentWidget(FRecord);
    Bar->addPermanentWidget(FFolderButton);
    Bar->addPermanentWidget(FTrendButton);
    Bar->addPermanentWidget(FReportButton);
}

void TRecordTrendReport::SetRecording(bool On) {
    FRecorder->SetEnabled(On);
    QSettings ini(FSettingsFile, QSettings::IniFormat);
    ini.beginGroup("Recording");
    ini.setValue("Enabled", On);
    ini.endGroup();
    ini.sync();
    if (!On) {
        FErrorStanding = false;
        ShowStatus("记录已关闭", "记录文件夹：" + FromPath(FRecorder->Folder()), false);
    } else if (!FRecorder->Recording()) {
        ShowStatus("记录：打开串口后开始", "记录文件夹：" + FromPath(FRecorder->Folder()), false);
    }
}

void TRecordTrendReport::ShowStatus(const QString& Text, const QString& Tip, bool Error) {
    FStatus->setText(Text);
    FStatus->setToolTip(Tip);
    FStatus->setStyleSheet(Error ? "color: rgb(200, 0, 0)" : "");
}

void TRecordTrendReport::OnRecordingEvent(const aircon::TRecordingEvent& E) {
    const QString file = FromPath(E.File);
    const QString name = QFileInfo(file).fileName();
    switch (E.Kind) {
        case aircon::TRecordingEventKind::Started:
            FCurrentFile = file;
            FErrorStanding = false;
            ShowStatus("记录中：" + name, QDir::toNativeSeparators(file), false);
            break;
        case aircon::TRecordingEventKind::Stopped: {
            if (FErrorStanding || file.isEmpty()) break;  // the error stays in view
            QString text = QString("记录已保存：%1（%2 行）").arg(name).arg(E.Rows);
            if (E.LostRows > 0) text += QString("，%1 行未能记录").arg(E.LostRows);
            ShowStatus(text, QDir::toNativeSeparators(file), E.LostRows > 0);
            break;
        }
        case aircon::TRecordingEventKind::Error: {
            const QString message = RecordingProblemText(E);
            FErrorStanding = true;
            ShowStatus("记录出错：" + message, message, true);
            // One message box, the first time; afterwards the status bar says it. Shown
            // from the event loop: the event may come from inside the core's intake.
            if (!FErrorShown) {
                FErrorShown = true;
                QTimer::singleShot(0, this,
                                   [this, message] { MessageBoxes::ShowError(FOwner, message); });
            }
            break;
        }
    }
}

TTrendWindow* TRecordTrendReport::TrendWindow() {
    if (!FTrends) {
        FTrends = new TTrendWindow(&FHistory, FOwner);
        FTrends->setObjectName("TrendWindow");
        FTrends->SetRecordingFolder(FromPath(FRecorder->Folder()));
        FTrends->OnMessage = [this](const QString& Title, const QString& Text) {
            MessageBoxes::ShowError(FTrends, Title + "\n\n" + Text);
        };
    }
    return FTrends;
}

void TRecordTrendReport::ShowTrends() {
    TTrendWindow* w = TrendWindow();
    w->show();
    w->raise();
    w->activateWindow();
}

void TRecordTrendReport::OpenFolder() {
    const QString folder = FromPath(FRecorder->Folder());
    if (!QDir().mkpath(folder) || !QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        MessageBoxes::ShowError(FOwner,
                                "无法打开记录文件夹“" + QDir::toNativeSeparators(folder) + "”。");
}

bool TRecordTrendReport::WriteReport(QString Path) {
    if (Path.isEmpty()) {
        QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::homePath();
        const QString name =
            "现场报告_" + QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm") + ".pdf";
        Path = QFileDialog::getSaveFileName(FOwner, "保存现场报告", QDir(dir).filePath(name),
                                            "PDF 文件 (*.pdf)");
        if (Path.isEmpty()) return false;
        if (!Path.endsWith(".pdf", Qt::CaseInsensitive)) Path += ".pdf";
    }
    const TSiteReportData data = ReportData();
    QString error;
    if (!WriteSiteReport(Path, data, &error)) {
        MessageBoxes::ShowError(FOwner, "现场报告未能保存：" + error);
        return false;
    }
    if (auto* bar = qobject_cast<QStatusBar*>(FStatus->parentWidget()))
        bar->showMessage("现场报告已保存：" + QDir::toNativeSeparators(Path), 15000);
    return true;
}

bool TRecordTrendReport::AskDetailsDialog(TReportDetails& Details) {
    QDialog dialog(FOwner);
    dialog.setWindowTitle("现场报告");
    auto* site = new QLineEdit(Details.Site);
    site->setAccessibleName("站点名称");
    auto* engineer = new QLineEdit(Details.Engineer);
    engineer->setAccessibleName("工程师");
    auto* notes = new QPlainTextEdit(Details.Notes);
    notes->setAccessibleName("备注");
    notes->setTabChangesFocus(true);
    auto* form = new QFormLayout;
    form->addRow("站点名称：", site);
    form->addRow("工程师：", engineer);
    form->addRow("备注：", notes);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText("下一步…");
    buttons->button(QDialogButtonBox::Cancel)->setText("取消");
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    dialog.resize(460, 300);
    if (dialog.exec() != QDialog::Accepted) return false;
    Details.Site = site->text().trimmed();
    Details.Engineer = engineer->text().trimmed();
    Details.Notes = notes->toPlainText();
    return true;
}

bool TRecordTrendReport::StartReport(QString Path) {
    if (FReads) return false;  // one report at a time
    TReportDetails details = FDetails;
    if (!(AskDetails ? AskDetails(details) : AskDetailsDialog(details))) return false;
    FDetails = details;
    {
        QSettings ini(FSettingsFile, QSettings::IniFormat);
        ini.beginGroup("Report");
        ini.setValue("Site", FDetails.Site);
        ini.setValue("Engineer", FDetails.Engineer);
        ini.setValue("Notes", FDetails.Notes);
    }
    if (Path.isEmpty()) {
        QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::homePath();
        QString name = "现场报告_";
        if (!FDetails.Site.isEmpty()) name += FDetails.Site + "_";
        name += QDateTime::currentDateTime().toString("yyyy-MM-dd_HH-mm") + ".pdf";
        name.replace(QRegularExpression(R"([\\/:*?"<>|])"), "_");
        Path = QFileDialog::getSaveFileName(FOwner, "保存现场报告", QDir(dir).filePath(name),
                                            "PDF 文件 (*.pdf)");
        if (Path.isEmpty()) return false;
        if (!Path.endsWith(".pdf", Qt::CaseInsensitive)) Path += ".pdf";
    }
    const aircon::TSessionMode mode =
        FContext.Mode ? FContext.Mode() : aircon::TSessionMode::PollOne;
    const bool open = FContext.LinkOpen && FContext.LinkOpen();
    const std::vector<std::uint8_t> reads = aircon::ReadsBeforeReport(FHistory, mode, open);
    FReadsNote.clear();
    if (mode == aircon::TSessionMode::Listen)
        FReadsNote = "只监听模式：未发送读取命令，设备信息和参数为已收到的内容。";
    if (reads.empty()) {
        FinishReport(Path);
        return true;
    }
    FReads = std::make_unique<aircon::TReadJob>(FMonitor, reads);
    FReportButton->setEnabled(false);
    if (auto* bar = qobject_cast<QStatusBar*>(FStatus->parentWidget()))
        bar->showMessage("现场报告：正在读取设备信息和参数…");
    // The job ends inside the monitor's events, before the history has the last reply:
    // the report is written on the next turn of the event loop.
    FReads->OnDone = [this, Path] {
        QTimer::singleShot(0, this, [this, Path] {
            bool missing = false;
            for (const aircon::TReadResult& r : FReads->Results())
                missing = missing || r.Outcome != aircon::TReadOutcome::Read;
            if (missing)
                FReadsNote =
                    "部分设备信息或参数未能读取（控制器未应答或拒绝），报告中为已有的内容。";
            FReads.reset();
            FReportButton->setEnabled(true);
            FinishReport(Path);
        });
    };
    FReads->Start();
    return true;
}

void TRecordTrendReport::FinishReport(const QString& Path) {
    const bool ok = WriteReport(Path);
    if (OnReportDone) OnReportDone(ok);
}

TSiteReportData TRecordTrendReport::ReportData() const {
    TSiteReportData data;
    data.Details = FDetails;
    data.ReadsNote = FReadsNote;
    if (FTrends) data.AlarmMarks = FTrends->Chart()->AlarmMarksShown();
    data.History = &FHistory;
    data.Counters = FContext.Counters ? FContext.Counters() : std::nullopt;
    if (FContext.PortName) data.Port = FContext.PortName();
    if (FContext.LinkOpen) data.LinkOpen = FContext.LinkOpen();
    if (FRecorder->Recording()) data.RecordingFile = QDir::toNativeSeparators(FCurrentFile);
    data.ToolVersion = QCoreApplication::applicationVersion();
    if (data.ToolVersion.isEmpty()) data.ToolVersion = FOwner->window()->windowTitle();
    if (FTrends && !FTrends->Selected().empty())
        data.ExtraCharts.push_back({"当前选择", FTrends->Selected()});
    return data;
}
