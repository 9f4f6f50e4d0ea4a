#include "LinkStatusWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "SteadyLabel.h"
#include "TrafficRows.h"

namespace {

// Counts in red when they are not zero.
void SetCount(QLabel* Label, const QString& Text, bool Alarm, bool Fit) {
    SetSteadyText(Label, Text, Fit);
    const QColor colour = Alarm ? QColor(0xC0, 0x00, 0x00) : QColor(Qt::black);
    if (Label->palette().color(QPalette::WindowText) != colour) {
        QPalette p = Label->palette();
        p.setColor(QPalette::WindowText, colour);
        Label->setPalette(p);
    }
}

QString Ms(const std::optional<aircon::Millis>& Value) {
    return Value ? QString::number(Value->count()) : QStringLiteral("—");
}

}  // namespace

TLinkStatusWidget::TLinkStatusWidget(const aircon::IClock& Clock, QWidget* Parent)
    : QWidget(Parent), FClock(Clock) {
    setObjectName(QStringLiteral("LinkStatus"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 2, 0);
    layout->setSpacing(10);
    auto label = [&](const char* Name, const char* Tip) {
        auto* l = new QLabel(this);
        l->setObjectName(QString::fromLatin1(Name));
        l->setTextFormat(Qt::PlainText);
        l->setToolTip(QString::fromUtf8(Tip));
        layout->addWidget(l);
        return l;
    };
    lblSent = label("lblSent", "发出的命令数");
    lblReplies = label("lblReplies", "收到的应答数（校验通过的帧）");
    lblMissing = label("lblMissing", "应答超时内没有收到任何帧的命令数");
    lblErrorFrames = label("lblErrorFrames", "校验不通过的帧数（CHKSUM、LCHKSUM、帧长）");
    lblRtn = label("lblRtn", "RTN 不为 0 的应答数（控制器拒绝了命令）");
    lblNoise = label("lblNoise", "不属于任何帧的字节数");
    lblResponse = label("lblResponse",
                        "最近一次响应时间（最小/平均/最大），从命令写完到收到应答的最后一个字节");
    lblLastGood = label("lblLastGood", "距上次 RTN 为 0 的正常应答的时间");
    layout->addStretch(1);
    btnReset = new QPushButton(QStringLiteral("重置"), this);
    btnReset->setObjectName(QStringLiteral("btnReset"));
    btnReset->setToolTip(QStringLiteral("计数清零（打开串口时也会清零）"));
    btnTrafficLog = new QPushButton(QStringLiteral("通讯记录"), this);
    btnTrafficLog->setObjectName(QStringLiteral("btnTrafficLog"));
    btnTrafficLog->setCheckable(true);
    btnTrafficLog->setToolTip(QStringLiteral("在窗口下方打开或收起通讯记录"));
    for (QPushButton* b : {btnReset, btnTrafficLog}) {
        b->setFixedHeight(20);
        layout->addWidget(b);
    }

    FTimer = new QTimer(this);
    FTimer->setInterval(RefreshMs);
    connect(FTimer, &QTimer::timeout, this, [this] { Show(false, true); });
    connect(btnReset, &QPushButton::clicked, this, [this] {
        FCounters.Reset();
        Show(true);
    });
    Show(true);
}

QString TLinkStatusWidget::AgeText(aircon::Millis Age) {
    const long long s = Age.count() / 1000;
    if (s < 1) return QStringLiteral("<1 秒");
    if (s < 60) return QStringLiteral("%1 秒").arg(s);
    if (s < 3600) return QStringLiteral("%1 分 %2 秒").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1 小时 %2 分").arg(s / 3600).arg(s / 60 % 60);
}

void TLinkStatusWidget::Refresh() {
    Show(false);
}

void TLinkStatusWidget::Show(bool Fit, bool Tick) {
    const aircon::TLinkCountersData& d = FCounters.Data();
    SetCount(lblSent, QStringLiteral("发送 %1").arg(d.CommandsSent), false, Fit);
    SetCount(lblReplies, QStringLiteral("应答 %1").arg(d.Replies), false, Fit);
    SetCount(lblMissing, QStringLiteral("无应答 %1").arg(d.RepliesMissing), d.RepliesMissing > 0,
             Fit);
    SetCount(lblErrorFrames, QStringLiteral("错误帧 %1").arg(d.ErrorFrames), d.ErrorFrames > 0,
             Fit);
    SetCount(lblRtn, QStringLiteral("RTN≠0 %1").arg(d.RtnErrors), d.RtnErrors > 0, Fit);
    SetCount(lblNoise, QStringLiteral("噪声 %1 字节").arg(d.NoiseBytes), d.NoiseBytes > 0, Fit);
    if (d.LastResponse)
        SetSteadyText(
            lblResponse,
            QStringLiteral("响应 %1 ms (%2/%3/%4)")
                .arg(Ms(d.LastResponse), Ms(d.MinResponse), Ms(d.MeanResponse), Ms(d.MaxResponse)),
            Fit);
    else
        SetSteadyText(lblResponse, QStringLiteral("响应 —"), Fit);
    QString last;
    if (!d.LastGoodReply)
        last = QStringLiteral("尚无正常应答");
    else if (FOpen)
        last = QStringLiteral("距上次正常应答 ") +
               AgeText(std::chrono::duration_cast<aircon::Millis>(FClock.Now() - *d.LastGoodReply));
    else
        last = QStringLiteral("上次正常应答 ") +
               QString::fromStdString(aircon::LocalTimeText(*d.LastGoodReplyWall, false));
    SetSteadyText(lblLastGood, last, Fit);
    emit refreshed(Tick);
}

void TLinkStatusWidget::OnLinkOpened(const aircon::TLinkOpened& E) {
    FCounters.OnLinkOpened(E);
    FOpen = true;
    Show(true);
    FTimer->start();
}

void TLinkStatusWidget::OnLinkClosed(const aircon::TLinkClosed& E) {
    FCounters.OnLinkClosed(E);
    FOpen = false;
    FTimer->stop();
    Show(false);
}

void TLinkStatusWidget::OnCommandSent(const aircon::TCommandSent& E) {
    FCounters.OnCommandSent(E);
}

void TLinkStatusWidget::OnFrameReceived(const aircon::TFrameReceived& E) {
    FCounters.OnFrameReceived(E);
}

void TLinkStatusWidget::OnReplyReceived(const aircon::TReplyReceived& E) {
    FCounters.OnReplyReceived(E);
}

void TLinkStatusWidget::OnReplyMissing(const aircon::TReplyMissing& E) {
    FCounters.OnReplyMissing(E);
}

void TLinkStatusWidget::OnReplyDecoded(const aircon::TDecodedReply& E) {
    FCounters.OnReplyDecoded(E);
}

void TLinkStatusWidget::OnNoise(const aircon::TNoise& E) {
    FCounters.OnNoise(E);
}
