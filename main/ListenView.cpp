#include "ListenView.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QStatusBar>

#include "Capture.h"
#include "Form1.h"
#include "Listen.h"
#include "MessageBoxes.h"

TListenView::TListenView(TForm1& Form, QStatusBar* Bar) : QObject(&Form), FForm(Form) {
    FSwitch = new QCheckBox(QStringLiteral("监听"));
    FSwitch->setObjectName(QStringLiteral("cbListen"));
    FSwitch->setAccessibleName(QStringLiteral("监听"));
    FSwitch->setAccessibleDescription(
        QStringLiteral("只听不发：另一主机轮询控制器时，解码线路上的命令和应答，不发送任何字节"));
    FSwitch->setToolTip(FSwitch->accessibleDescription());
    FSwitch->setCursor(Qt::PointingHandCursor);
    FReplay = new QPushButton(QStringLiteral("打开抓包文件…"));
    FReplay->setObjectName(QStringLiteral("btnReplayCapture"));
    FReplay->setAccessibleName(QStringLiteral("打开抓包文件"));
    FReplay->setAccessibleDescription(
        QStringLiteral("把抓包文件回放到通讯记录、监控页和趋势图（串口关闭时）"));
    FReplay->setToolTip(FReplay->accessibleDescription());
    FReplay->setCursor(Qt::PointingHandCursor);
    FReplay->setAutoDefault(false);
    Bar->insertWidget(0, FSwitch);
    Bar->insertWidget(1, FReplay);

    connect(FSwitch, &QCheckBox::toggled, this, [this](bool On) { FForm.SetListening(On); });
    connect(FReplay, &QPushButton::clicked, this, [this] { ChooseAndReplay(); });
    Sync(false, false);
}

void TListenView::Sync(bool Listening, bool LinkOpen) {
    if (FSwitch->isChecked() != Listening) {
        const QSignalBlocker quiet(FSwitch);
        FSwitch->setChecked(Listening);
    }
    FReplay->setEnabled(!LinkOpen);
}

void TListenView::ChooseAndReplay() {
    const QString path =
        QFileDialog::getOpenFileName(&FForm, QStringLiteral("打开抓包文件"), QString(),
                                     QStringLiteral("抓包文件 (*.pcap *.pcap.*);;所有文件 (*)"));
    if (!path.isEmpty()) Replay(path);
}

bool TListenView::Replay(const QString& Path) {
    const QString shown = QDir::toNativeSeparators(Path);
    const aircon::TCaptureFile file = aircon::ReadCapture(Path.toStdString());
    if (file.Records.empty() && !file.Error.empty()) {
        MessageBoxes::ShowError(&FForm, QStringLiteral("无法回放抓包文件“%1”：%2")
                                            .arg(shown, QString::fromStdString(file.Error)));
        return false;
    }
    if (!FForm.BeginReplay()) return false;
    // Told as heard while listening, into every view of the window, at once; the
    // readings are those of the address in the window's address box.
    aircon::TReplayClock clock;
    aircon::TListener listener(clock);
    aircon::TListenRelay relay(listener, FForm.Monitor().Relay());
    relay.SetAddress(FForm.Session().ListenAddress());
    aircon::ReplayCapture(file, QFileInfo(Path).fileName().toStdString(), clock, listener);
    if (!file.Error.empty()) {
        MessageBoxes::ShowError(&FForm, QStringLiteral("抓包文件“%1”已回放到损坏处为止：%2")
                                            .arg(shown, QString::fromStdString(file.Error)));
    }
    return !file.Records.empty();
}
