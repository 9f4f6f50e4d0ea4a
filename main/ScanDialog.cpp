#include "ScanDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "Form1.h"
#include "LineChoices.h"
#include "Model.h"

using namespace aircon;

namespace {

enum TColumn { ColRate, ColAddr, ColVer, ColRtn, ColName, ColSoftware, ColVendor, ColCount };

QString TimeLeft(Millis Left) {
    const long long s = (Left.count() + 999) / 1000;
    if (s < 60) return QStringLiteral("剩余 %1 秒").arg(s);
    return QStringLiteral("剩余 %1 分 %2 秒").arg(s / 60).arg(s % 60);
}

QString Text(const std::optional<std::string>& t) {
    return t ? QString::fromStdString(*t) : QString();
}

template <class T>
T* Named(T* Widget, const char* Name, const QString& Accessible) {
    Widget->setObjectName(QLatin1String(Name));
    Widget->setAccessibleName(Accessible);
    return Widget;
}

}  // namespace

TScanDialog::TScanDialog(TForm1& Form)
    : QDialog(&Form), FForm(Form), FClock(this), FLine(Form.Session()) {
    setObjectName(QStringLiteral("ScanDialog"));
    setWindowTitle(QStringLiteral("查找设备"));
    setAccessibleName(QStringLiteral("查找设备"));

    auto* range = new QHBoxLayout;
    range->addWidget(new QLabel(QStringLiteral("地址从")));
    edFirst = Named(new QSpinBox, "edFirst", QStringLiteral("起始地址"));
    edFirst->setRange(0, 255);
    edFirst->setValue(0);
    range->addWidget(edFirst);
    range->addWidget(new QLabel(QStringLiteral("到")));
    edLast = Named(new QSpinBox, "edLast", QStringLiteral("结束地址"));
    edLast->setRange(0, 255);
    edLast->setValue(255);
    range->addWidget(edLast);
    range->addSpacing(16);
    range->addWidget(new QLabel(QStringLiteral("等待余量 (ms)")));
    edMargin = Named(new QSpinBox, "edMargin", QStringLiteral("等待余量 (毫秒)"));
    edMargin->setRange(static_cast<int>(TScanSettings::DefaultMargin.count()), 10000);
    edMargin->setValue(static_cast<int>(TScanSettings::DefaultMargin.count()));
    edMargin->setToolTip(QStringLiteral("每个地址的等待 = 命令在线路上的时间 + 余量"));
    range->addWidget(edMargin);
    range->addStretch();

    auto* rates = new QHBoxLayout;
    rates->addWidget(new QLabel(QStringLiteral("波特率")));
    for (std::size_t i = 0; i < Rates.size(); ++i) {
        const QString rate = QString::number(BaudRateValue(Rates[i]));
        const QByteArray name = "cbRate" + rate.toLatin1();
        cbRates[i] = Named(new QCheckBox(rate), name.constData(), rate + QStringLiteral(" bit/s"));
        cbRates[i]->setChecked(true);
        rates->addWidget(cbRates[i]);
    }
    rates->addWidget(new QLabel(QStringLiteral("8N1")));
    rates->addStretch();

    auto* progress = new QHBoxLayout;
    pbProgress = Named(new QProgressBar, "pbProgress", QStringLiteral("进度"));
    pbProgress->setRange(0, 1);
    pbProgress->setValue(0);
    pbProgress->setFormat(QStringLiteral("%v/%m"));
    progress->addWidget(pbProgress, 1);
    btnStart = Named(new QPushButton(QStringLiteral("开始")), "btnStart", QStringLiteral("开始"));
    btnStop = Named(new QPushButton(QStringLiteral("停止")), "btnStop", QStringLiteral("停止"));
    progress->addWidget(btnStart);
    progress->addWidget(btnStop);
    lblProgress = Named(
        new QLabel(Form.Session().IsOpen() ? QStringLiteral("选择地址范围和波特率，再点“开始”。")
                                           : QStringLiteral("请先打开串口，再点“开始”。")),
        "lblProgress", QStringLiteral("状态"));

    tblFound = Named(new QTableWidget(0, ColCount), "tblFound", QStringLiteral("找到的设备"));
    tblFound->setHorizontalHeaderLabels({QStringLiteral("波特率"), QStringLiteral("地址"),
                                         QStringLiteral("协议版本"), QStringLiteral("RTN"),
                                         QStringLiteral("名称"), QStringLiteral("软件版本"),
                                         QStringLiteral("厂商")});
    tblFound->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblFound->setSelectionMode(QAbstractItemView::SingleSelection);
    tblFound->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblFound->verticalHeader()->hide();
    tblFound->horizontalHeader()->setStretchLastSection(true);
    tblFound->setMinimumHeight(160);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    btnUse = Named(new QPushButton(QStringLiteral("使用")), "btnUse", QStringLiteral("使用"));
    btnClose = Named(new QPushButton(QStringLiteral("关闭")), "btnClose", QStringLiteral("关闭"));
    buttons->addWidget(btnUse);
    buttons->addWidget(btnClose);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(range);
    layout->addLayout(rates);
    layout->addLayout(progress);
    layout->addWidget(lblProgress);
    layout->addWidget(tblFound, 1);
    layout->addLayout(buttons);
    resize(760, 420);

    connect(btnStart, &QPushButton::clicked, this, [this] { btnStartClick(); });
    connect(btnStop, &QPushButton::clicked, this, [this] { btnStopClick(); });
    connect(btnUse, &QPushButton::clicked, this, [this] { btnUseClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { reject(); });
    connect(tblFound, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    UpdateButtons();
}

TScanDialog::~TScanDialog() {
    if (FScan) {
        FScan->OnFinished = nullptr;
        FScan->Stop();
    }
}

void TScanDialog::btnStartClick() {
    if (Running()) return;
    if (!FForm.Session().IsOpen()) {
        lblProgress->setText(QStringLiteral("串口未打开：请先打开串口。"));
        return;
    }
    TScanSettings s;
    s.Rates.clear();
    for (std::size_t i = 0; i < Rates.size(); ++i)
        if (cbRates[i]->isChecked()) s.Rates.push_back(Rates[i]);
    if (s.Rates.empty()) {
        lblProgress->setText(QStringLiteral("请至少选择一个波特率。"));
        return;
    }
    if (edFirst->value() > edLast->value()) {
        lblProgress->setText(QStringLiteral("起始地址大于结束地址。"));
        return;
    }
    s.FirstAddr = static_cast<std::uint8_t>(edFirst->value());
    s.LastAddr = static_cast<std::uint8_t>(edLast->value());
    s.Margin = Millis(edMargin->value());
    tblFound->setRowCount(0);
    FScan = std::make_unique<TScan>(FClock, FLine, s);
    FScan->OnProgress = [this](const TScanProgress& p) { ShowProgress(p); };
    FScan->OnFound = [this](const TScanFound& f) { ShowFound(f); };
    FScan->OnIdentified = [this](const TScanFound& f) { ShowFound(f); };
    FScan->OnFinished = [this](TScanEnd e) { Finished(e); };
    FScan->OnOtherMaster = [this](const TOtherMaster& m) {
        const auto answer = QMessageBox::question(
            this, QStringLiteral("查找设备"),
            QStringLiteral("在 %1 bit/s 听到另一台主机正在通讯（%2 帧，%3 字节噪声）。"
                           "继续查找会与现场的监控单元冲突。是否继续？")
                .arg(m.Rate)
                .arg(m.Frames)
                .arg(static_cast<qulonglong>(m.Noise)));
        if (answer == QMessageBox::Yes)
            FScan->Continue();
        else
            FScan->Stop();
    };
    if (!FScan->Start()) {
        lblProgress->setText(QStringLiteral("无法开始查找。"));
        FScan.reset();
        return;
    }
    UpdateButtons();
}

void TScanDialog::btnStopClick() {
    if (Running()) FScan->Stop();
}

void TScanDialog::ShowProgress(const TScanProgress& p) {
    pbProgress->setRange(0, p.Total);
    pbProgress->setValue(p.Done);
    pbProgress->setFormat(QStringLiteral("%v/%m  ") + TimeLeft(p.Left));
    lblProgress->setText(QStringLiteral("正在查找：%1 bit/s，地址 %2").arg(p.Rate).arg(p.Addr));
}

void TScanDialog::ShowFound(const TScanFound& f) {
    int row = 0;
    for (; row < tblFound->rowCount(); ++row) {
        const auto* rate = tblFound->item(row, ColRate);
        const auto* addr = tblFound->item(row, ColAddr);
        if (rate && addr && rate->text().toInt() == f.Rate && addr->text().toInt() == f.Addr) break;
    }
    if (row == tblFound->rowCount()) tblFound->insertRow(row);
    const QString cells[ColCount] = {QString::number(f.Rate),
                                     QString::number(f.Addr),
                                     QString::fromStdString(ProtocolVersionText(f.Ver)),
                                     f.Rtn == 0
                                         ? QStringLiteral("0")
                                         : QStringLiteral("%1 %2").arg(f.Rtn).arg(
                                               QString::fromStdString(TDH::RtnToString(f.Rtn))),
                                     Text(f.Name),
                                     Text(f.SoftwareVersion),
                                     Text(f.Vendor)};
    for (int c = 0; c < ColCount; ++c)
        tblFound->setItem(row, c, new QTableWidgetItem(cells[c]));
    if (tblFound->currentRow() < 0) tblFound->selectRow(0);
    tblFound->resizeColumnsToContents();
}

void TScanDialog::Finished(TScanEnd End) {
    const int found = FScan ? static_cast<int>(FScan->Found().size()) : 0;
    switch (End) {
        case TScanEnd::Completed:
            lblProgress->setText(QStringLiteral("查找完成：找到 %1 台设备。").arg(found));
            break;
        case TScanEnd::Stopped:
            lblProgress->setText(
                QStringLiteral("已停止：找到 %1 台设备，串口设置已恢复。").arg(found));
            break;
        case TScanEnd::LinkClosed:
            lblProgress->setText(QStringLiteral("串口已关闭，查找中止。"));
            break;
    }
    // Later: the scan is still inside its own call.
    QMetaObject::invokeMethod(
        this, [this] { UpdateButtons(); }, Qt::QueuedConnection);
}

void TScanDialog::UpdateButtons() {
    const bool running = Running();
    btnStart->setEnabled(!running);
    btnStop->setEnabled(running);
    edFirst->setEnabled(!running);
    edLast->setEnabled(!running);
    edMargin->setEnabled(!running);
    for (auto* c : cbRates)
        c->setEnabled(!running);
    btnUse->setEnabled(!running && tblFound->currentRow() >= 0);
}

void TScanDialog::btnUseClick() {
    const int row = tblFound->currentRow();
    if (Running() || row < 0) return;
    const int rate = tblFound->item(row, ColRate)->text().toInt();
    const int addr = tblFound->item(row, ColAddr)->text().toInt();
    // The scan runs at 8N1: the window's four boxes take the row's line.
    TForm1& form = FForm;
    auto pick = [&form](const char* Name, int Index, void (TForm1::*Change)()) {
        if (auto* box = form.findChild<QComboBox*>(QLatin1String(Name)); box && Index >= 0) {
            box->setCurrentIndex(Index);
            (form.*Change)();
        }
    };
    const auto& bauds = linechoices::BaudRates;
    const auto b = std::find_if(bauds.begin(), bauds.end(),
                                [&](TBaudRate r) { return BaudRateValue(r) == rate; });
    pick("cbBaudrate", b == bauds.end() ? -1 : static_cast<int>(b - bauds.begin()),
         &TForm1::cbBaudrateChange);
    pick("cbDatabits", 3, &TForm1::cbDatabitsChange);
    pick("cbParity", linechoices::DefaultParity, &TForm1::cbParityChange);
    pick("cbStopBits", 0, &TForm1::cbStopBitsChange);
    if (auto* ed = form.findChild<QLineEdit*>(QStringLiteral("edAddr")))
        ed->setText(QString::number(addr));
    accept();
}

void TScanDialog::reject() {
    // Closed without a choice: the scan stops and the port's settings come back.
    if (Running()) FScan->Stop();
    QDialog::reject();
}

void AddScanButton(TForm1& Form) {
    auto* button = new QPushButton(QStringLiteral("查找设备"));
    button->setObjectName(QStringLiteral("btnScan"));
    button->setAccessibleName(QStringLiteral("查找设备"));
    button->setToolTip(QStringLiteral("按波特率和地址查找控制器"));
    button->setProperty(TForm1::SenderProperty, true);  // off while listening
    Form.StatusBar()->addPermanentWidget(button);
    QObject::connect(button, &QPushButton::clicked, &Form, [&Form] {
        TScanDialog dialog(Form);
        dialog.exec();
    });
}
