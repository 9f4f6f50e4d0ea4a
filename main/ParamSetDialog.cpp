#include "ParamSetDialog.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <map>

#include "Form1.h"
#include "LocalTime.h"
#include "MessageBoxes.h"

using namespace aircon;

namespace {

QString Q(const std::string& Text) {
    return QString::fromStdString(Text);
}

template <class T>
T* Named(T* Widget, const char* Name, const QString& Accessible) {
    Widget->setObjectName(QLatin1String(Name));
    Widget->setAccessibleName(Accessible);
    return Widget;
}

QString Hex(std::uint8_t Code) {
    return QStringLiteral("0x%1")
        .arg(Code, 2, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QStringLiteral("0X"), QStringLiteral("0x"));
}

QString IdentityText(const TParamSetIdentity& Id) {
    QStringList parts;
    if (Id.Address) parts << QStringLiteral("地址 %1").arg(*Id.Address);
    if (Id.ProtocolVersion)
        parts << QStringLiteral("协议 ") + Q(ProtocolVersionText(*Id.ProtocolVersion));
    if (Id.Name) parts << Q(*Id.Name);
    if (Id.Vendor) parts << QStringLiteral("厂商 ") + Q(*Id.Vendor);
    if (Id.SoftwareVersion) parts << QStringLiteral("软件 ") + Q(*Id.SoftwareVersion);
    return parts.isEmpty() ? QStringLiteral("身份未知") : parts.join(QStringLiteral("，"));
}

// Marks of a compared row: the differences stand out by colour and by word.
const QColor DifferentBackground(255, 214, 214);
const QColor NotInFileText(128, 128, 128);

}  // namespace

TParamSetDialog::TParamSetDialog(TForm1& Form) : QDialog(&Form), FForm(Form) {
    setObjectName(QStringLiteral("ParamSetDialog"));
    setWindowTitle(QStringLiteral("参数文件"));
    setAccessibleName(QStringLiteral("参数文件"));

    lblController = Named(new QLabel, "lblController", QStringLiteral("控制器"));
    lblFile = Named(new QLabel(QStringLiteral("文件：未打开")), "lblFile", QStringLiteral("文件"));
    lblFile->setWordWrap(true);
    lblController->setWordWrap(true);
    lblStatus = Named(new QLabel, "lblStatus", QStringLiteral("状态"));
    lblStatus->setWordWrap(true);

    tblParams = Named(new QTableWidget(0, ColCount), "tblParams", QStringLiteral("参数比较"));
    tblParams->setHorizontalHeaderLabels(
        {QStringLiteral("参数"), QStringLiteral("代码"), QStringLiteral("文件中的值"),
         QStringLiteral("控制器的值"), QStringLiteral("比较"), QStringLiteral("写入结果")});
    tblParams->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblParams->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblParams->verticalHeader()->hide();
    tblParams->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tblParams->horizontalHeader()->setSectionResizeMode(ColOutcome, QHeaderView::Stretch);
    // All sixteen rows at once, without scrolling.
    const int rowHeight = fontMetrics().height() + 8;
    tblParams->verticalHeader()->setDefaultSectionSize(rowHeight);
    tblParams->setMinimumHeight(static_cast<int>(ParamSetCount) * rowHeight + 2 * rowHeight);

    btnRead = Named(new QPushButton(QStringLiteral("读取控制器")), "btnRead",
                    QStringLiteral("读取控制器"));
    btnSave = Named(new QPushButton(QStringLiteral("保存到文件…")), "btnSave",
                    QStringLiteral("保存到文件"));
    btnOpen = Named(new QPushButton(QStringLiteral("打开文件并比较…")), "btnOpen",
                    QStringLiteral("打开文件并比较"));
    btnWrite = Named(new QPushButton(QStringLiteral("写入")), "btnWrite",
                     QStringLiteral("写入不同的参数"));
    btnWrite->setToolTip(QStringLiteral("把文件中与控制器不同的参数写入控制器（先确认）"));
    btnClose = Named(new QPushButton(QStringLiteral("关闭")), "btnClose", QStringLiteral("关闭"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnRead);
    buttons->addWidget(btnSave);
    buttons->addWidget(btnOpen);
    buttons->addStretch();
    buttons->addWidget(btnWrite);
    buttons->addWidget(btnClose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblController);
    layout->addWidget(lblFile);
    layout->addWidget(tblParams, 1);
    layout->addWidget(lblStatus);
    layout->addLayout(buttons);
    resize(820, 600);

    connect(btnRead, &QPushButton::clicked, this, [this] { btnReadClick(); });
    connect(btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
    connect(btnOpen, &QPushButton::clicked, this, [this] { btnOpenClick(); });
    connect(btnWrite, &QPushButton::clicked, this, [this] { btnWriteClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { reject(); });

    lblController->setText(QStringLiteral("控制器：未读取"));
    ShowRows();
    if (FForm.Session().IsOpen())
        btnReadClick();
    else
        SetStatus(QStringLiteral("串口未打开：可以打开文件查看，比较和写入需要先打开串口。"));
    UpdateButtons();
}

TParamSetDialog::~TParamSetDialog() {
    // Callbacks no more: the jobs end with the dialog, polling resumes.
    if (FReader) FReader->OnDone = nullptr;
    if (FWriter) {
        FWriter->OnDone = nullptr;
        FWriter->OnProgress = nullptr;
    }
}

bool TParamSetDialog::Busy() const {
    return (FReader && !FReader->Done()) || (FWriter && !FWriter->Done());
}

void TParamSetDialog::reject() {
    if (FWriter && !FWriter->Done()) {
        SetStatus(QStringLiteral("正在写入参数：请等到每个参数都有结果再关闭。"));
        return;
    }
    QDialog::reject();
}

void TParamSetDialog::SetStatus(const QString& Text) {
    lblStatus->setText(Text);
}

void TParamSetDialog::UpdateButtons() {
    const bool busy = Busy();
    const bool open = FForm.Session().IsOpen();
    btnRead->setEnabled(!busy && open);
    btnSave->setEnabled(!busy && FParams.has_value());
    btnOpen->setEnabled(!busy);
    btnWrite->setEnabled(!busy && open && FComparison && FComparison->Differing > 0 && FParams);
    btnClose->setEnabled(!(FWriter && !FWriter->Done()));
}

void TParamSetDialog::btnReadClick() {
    if (Busy()) return;
    if (!FForm.Session().IsOpen()) {
        SetStatus(QStringLiteral("串口未打开：请先打开串口。"));
        return;
    }
    FReader = std::make_unique<TParamSetReader>(FForm.Session().Monitor());
    FReader->OnDone = [this] {
        // Later: the reader is still inside its own call.
        QMetaObject::invokeMethod(
            this, [this] { ReadDone(); }, Qt::QueuedConnection);
    };
    SetStatus(QStringLiteral("正在读取控制器的身份和参数（自动轮询暂停）…"));
    FReader->Start();
    UpdateButtons();
}

void TParamSetDialog::ReadDone() {
    if (!FReader) return;
    if (FReader->Params()) {
        FParams = FReader->Params();
        FIdentity = FReader->Identity();
        lblController->setText(QStringLiteral("控制器：") + IdentityText(FIdentity));
        SetStatus(QStringLiteral("已读取控制器的参数。"));
    } else {
        SetStatus(QStringLiteral("读取失败：") + Q(FReader->Failure()));
    }
    Compare();
    UpdateButtons();
}

void TParamSetDialog::btnSaveClick(const QString& Path) {
    if (!FParams || Busy()) return;
    QString path = Path;
    if (path.isEmpty())
        path = QFileDialog::getSaveFileName(this, QStringLiteral("保存参数文件"),
                                            QStringLiteral("参数.ini"),
                                            QStringLiteral("参数文件 (*.ini);;所有文件 (*)"));
    if (path.isEmpty()) return;
    const TParamSet set =
        ParamSetOf(*FParams, FIdentity, util::LocalTimeText(util::WallTime::clock::now()));
    const std::string text = FormatParamSet(set);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        const QString why = file.errorString();
        SetStatus(QStringLiteral("无法保存 %1：%2").arg(path, why));
        MessageBoxes::ShowError(this, QStringLiteral("无法保存参数文件 %1：%2").arg(path, why));
        return;
    }
    SetStatus(QStringLiteral("已把 %1 个参数保存到 %2。").arg(set.Count()).arg(path));
}

void TParamSetDialog::btnOpenClick(const QString& Path) {
    if (Busy()) return;
    QString path = Path;
    if (path.isEmpty())
        path = QFileDialog::getOpenFileName(this, QStringLiteral("打开参数文件"), QString(),
                                            QStringLiteral("参数文件 (*.ini);;所有文件 (*)"));
    if (path.isEmpty()) return;
    const TParamSetParse parsed = ReadParamSetFile(path.toStdString());
    if (!parsed.Set) {
        QStringList lines;
        for (const TParamSetError& e : parsed.Errors)
            lines << Q(e.TextZh());
        const QString text =
            QStringLiteral("参数文件 %1 有错误，未使用（不比较，也不写入）：\n").arg(path) +
            lines.join(QLatin1Char('\n'));
        SetStatus(text);
        MessageBoxes::ShowError(this, text);
        return;
    }
    FFile = parsed.Set;
    FFilePath = path;
    Compare();
    // A controller not read yet (or read long ago) is read now and compared again.
    if (FForm.Session().IsOpen() && !FParams) btnReadClick();
    UpdateButtons();
}

void TParamSetDialog::Compare() {
    if (FFile) {
        QString about = QStringLiteral("文件：%1").arg(FFilePath);
        if (!FFile->SavedAt.empty())
            about += QStringLiteral("（保存于 %1）").arg(Q(FFile->SavedAt));
        if (FFile->Count() < ParamSetCount)
            about += QStringLiteral("；文件只含 %1 个参数，只比较和写入这些。").arg(FFile->Count());
        if (FParams) {
            FComparison = CompareParamSet(*FFile, *FParams, FIdentity);
            for (const TIdentityMismatch& m : FComparison->Mismatches)
                about +=
                    QStringLiteral("\n注意：文件保存自另一台控制器（%1：文件“%2”，控制器“%3”）。")
                        .arg(Q(std::string(m.Caption)), Q(m.File), Q(m.Controller));
        } else {
            FComparison.reset();
        }
        lblFile->setText(about);
    }
    ShowRows();
    if (FComparison)
        SetStatus(FComparison->Differing == 0
                      ? QStringLiteral("控制器与文件一致（%1 个参数）。").arg(FComparison->InFile)
                      : QStringLiteral("%1 个参数与文件不同（共比较 %2 个）。")
                            .arg(FComparison->Differing)
                            .arg(FComparison->InFile));
}

void TParamSetDialog::ShowRows() {
    // Outcomes of the last write stay beside their parameters.
    std::map<int, QString> outcomes;
    for (int row = 0; row < tblParams->rowCount(); ++row)
        if (auto* item = tblParams->item(row, ColOutcome); item && !item->text().isEmpty())
            outcomes[row] = item->text();
    tblParams->setRowCount(static_cast<int>(ParamSetCount));
    for (std::size_t i = 0; i < ParamSetCount; ++i) {
        const int row = static_cast<int>(i);
        QString file, held, compare;
        bool differs = false, inFile = true;
        if (FComparison) {
            const TParamCompareRow& r = FComparison->Rows[i];
            file = r.InFile ? Q(r.FileText) : QStringLiteral("—");
            held = Q(r.ControllerText);
            inFile = r.InFile;
            differs = r.Differs;
            compare = !r.InFile ? QStringLiteral("不在文件中")
                      : differs ? QStringLiteral("不同")
                                : QStringLiteral("相同");
        } else {
            if (FFile && FFile->Values[i]) file = Q(ParamSetValueText(i, *FFile->Values[i]));
            if (FParams) {
                const auto v = ParamSetValue(*FParams, i);
                held = v ? Q(ParamSetValueText(i, *v))
                         : (i < ParamReadingCount ? Q(std::string(NotDetectedText))
                                                  : QStringLiteral("未读到"));
            }
        }
        const QString cells[ColCount] = {Q(std::string(ParamFields[i].Caption)),
                                         Hex(ParamFieldCode(i)),
                                         file,
                                         held,
                                         compare,
                                         outcomes.count(row) ? outcomes[row] : QString()};
        for (int c = 0; c < ColCount; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (differs) {
                item->setBackground(DifferentBackground);
                if (c == ColCompare) {
                    QFont bold = item->font();
                    bold.setBold(true);
                    item->setFont(bold);
                }
            } else if (!inFile) {
                item->setForeground(NotInFileText);
            }
            tblParams->setItem(row, c, item);
        }
    }
}

void TParamSetDialog::btnWriteClick() {
    if (Busy() || !FComparison || !FParams || !FForm.Session().IsOpen()) return;
    const std::vector<TParamWrite> writes = FComparison->Writes();
    if (writes.empty()) return;
    QStringList changes;
    for (const TParamCompareRow& r : FComparison->Rows)
        if (r.Differs)
            changes << QStringLiteral("%1 (%2)：%3 → %4")
                           .arg(Q(std::string(r.Caption)), Hex(r.Code), Q(r.ControllerText),
                                Q(r.FileText));
    QString address = FIdentity.Address ? QString::number(*FIdentity.Address) : QStringLiteral("?");
    QString text = QStringLiteral("将向地址 %1 的控制器写入以下 %2 个参数：\n\n")
                       .arg(address)
                       .arg(writes.size()) +
                   changes.join(QLatin1Char('\n')) +
                   QStringLiteral("\n\n逐个写入，写完后回读确认。是否写入？");
    if (!FComparison->Mismatches.empty())
        text += QStringLiteral("\n\n注意：文件保存自另一台控制器。");
    if (!MessageBoxes::Confirm(this, QStringLiteral("写入参数"), text)) {
        SetStatus(QStringLiteral("未写入。"));
        return;
    }
    for (int row = 0; row < tblParams->rowCount(); ++row)
        if (auto* item = tblParams->item(row, ColOutcome)) item->setText(QString());
    FWriter = std::make_unique<TParamSetWriter>(FForm.Session().Monitor(), writes);
    FWriter->OnProgress = [this](std::size_t Index) { ShowOutcome(Index); };
    FWriter->OnDone = [this] {
        QMetaObject::invokeMethod(
            this, [this] { WriteDone(); }, Qt::QueuedConnection);
    };
    SetStatus(QStringLiteral("正在写入 %1 个参数（自动轮询暂停）…").arg(writes.size()));
    FWriter->Start();
    UpdateButtons();
}

void TParamSetDialog::ShowOutcome(std::size_t Index) {
    if (!FWriter || Index >= FWriter->Job().Results().size()) return;
    const TParamResult& r = FWriter->Job().Results()[Index];
    const auto row = ParamFieldIndex(r.Write.Code);
    if (!row) return;
    if (auto* item = tblParams->item(static_cast<int>(*row), ColOutcome))
        item->setText(Q(ParamOutcomeText(r)));
}

void TParamSetDialog::WriteDone() {
    if (!FWriter) return;
    for (std::size_t i = 0; i < FWriter->Job().Results().size(); ++i)
        ShowOutcome(i);
    const std::size_t total = FWriter->Job().Results().size();
    const std::size_t verified = FWriter->Verified();
    // The read-back is what the controller holds now.
    if (FWriter->Job().ReadBack()) FParams = FWriter->Job().ReadBack();
    Compare();
    SetStatus(
        QStringLiteral("写入完成：%1 个参数中 %2 个已写入并回读确认").arg(total).arg(verified) +
        (verified == total ? QStringLiteral("。") : QStringLiteral("，其余见“写入结果”一栏。")));
    UpdateButtons();
}

void AddParamSetButton(TForm1& Form) {
    auto* button = new QPushButton(QStringLiteral("参数文件…"));
    button->setObjectName(QStringLiteral("btnParamSet"));
    button->setAccessibleName(QStringLiteral("参数文件"));
    button->setToolTip(QStringLiteral("保存、比较和写入控制器的用户参数"));
    button->setProperty(TForm1::SenderProperty, true);  // off while listening
    Form.StatusBar()->addPermanentWidget(button);
    QObject::connect(button, &QPushButton::clicked, &Form, [&Form] {
        TParamSetDialog dialog(Form);
        dialog.exec();
    });
}
