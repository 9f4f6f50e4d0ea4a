#include "CommandOutcome.h"

#include <QGroupBox>
#include <QLabel>
#include <span>

#include "DH.h"
#include "Monitor.h"
#include "PanelKit.h"
#include "UnitDecoders.h"

namespace {
constexpr std::uint8_t RemoteCmd = 0x45;

QLabel* MakeLabel(const char* Name, const QString& Accessible) {
    auto* label = new QLabel;
    label->setObjectName(QLatin1String(Name));
    label->setAccessibleName(Accessible);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QString RemoteWord(const TIntCMD& Item) {
    return Item.Param == 0x10 ? QStringLiteral("开机") : QStringLiteral("关机");
}

// The list index of a parameter code; -1 for a code that is no parameter.
int IndexOf(std::uint8_t Code) {
    const auto index = aircon::ParamFieldIndex(Code);
    return index ? static_cast<int>(*index) : -1;
}

// A parameter's value as the operator chose it: the number, and the word of a setting
// chosen by buttons.
QString ValueText(int Index, std::uint16_t Value) {
    std::span<const aircon::TStateWord> words;
    switch (ParamSource(Index)) {
        case TParamSource::RunMode:
            words = aircon::StateWords::RunModeParam;
            break;
        case TParamSource::IndoorFan:
            words = aircon::StateWords::FanSpeedParam;
            break;
        case TParamSource::Swing:
            words = aircon::StateWords::RunStopParam;
            break;
        case TParamSource::LocalLock:
            words = aircon::StateWords::AllowBlockParam;
            break;
        case TParamSource::Edit:
            break;
    }
    for (const aircon::TStateWord& w : words)
        if (w.Code == Value)
            return QString::fromUtf8(w.Text.data(), static_cast<qsizetype>(w.Text.size()));
    return QString::number(Value);
}
}  // namespace

TCommandOutcomes::TCommandOutcomes(aircon::TMonitor& Monitor, QObject* Parent)
    : QObject(Parent), FMonitor(Monitor) {
    FRemote = MakeLabel("lblRemoteOutcome", QStringLiteral("遥控指令结果"));
    FSet = MakeLabel("lblSetParamOutcome", QStringLiteral("参数设置结果"));
    FCurrent = MakeLabel("lblSetParamCurrent", QStringLiteral("参数当前值"));
    FMonitor.AddObserver(*this);
}

TCommandOutcomes::~TCommandOutcomes() {
    FJob.reset();
    FMonitor.RemoveObserver(*this);
    // The labels belong to their group boxes once placed.
    for (QLabel* label : {FRemote, FSet, FCurrent})
        if (!label->parent()) delete label;
}

void TCommandOutcomes::Place(QGroupBox* Remote, QGroupBox* Editor) {
    FRemote->setParent(Remote);
    FRemote->setGeometry(40, 52, 690, 20);
    FSet->setParent(Editor);
    FSet->setGeometry(24, 336, 710, 20);
    FCurrent->setParent(Editor);
    FCurrent->setGeometry(455, 37, 280, 21);
    for (QLabel* label : {FRemote, FSet, FCurrent})
        label->show();
}

void TCommandOutcomes::ShowRemote(const QString& Text) {
    SetCaption(FRemote, Text);
    FRemote->setAccessibleDescription(Text);
}

void TCommandOutcomes::RemoteQueued(TIntCMD Item) {
    FRemoteItem = Item;
    FRemoteState = TRemote::Queued;
    ShowRemote(RemoteWord(Item) + QStringLiteral("：等待发送"));
}

void TCommandOutcomes::SetParam(std::uint8_t Code, std::uint16_t Value) {
    FJob = std::make_unique<aircon::TParamJob>(FMonitor,
                                               std::vector<aircon::TParamWrite>{{Code, Value}});
    FJob->OnProgress = [this](std::size_t) { ShowJob(); };
    FJob->OnDone = [this] {
        if (FJob->ReadBack()) {
            FParams = FJob->ReadBack();
            ShowCurrent(FIndex);
        }
    };
    FJob->Start();
    ShowJob();
}

void TCommandOutcomes::ShowJob() {
    if (!FJob || FJob->Results().empty()) return;
    const aircon::TParamResult& r = FJob->Results().front();
    const int index = IndexOf(r.Write.Code);
    const QString name = index >= 0
                             ? ParamListText(index)
                             : QStringLiteral("0x%1").arg(r.Write.Code, 2, 16, QLatin1Char('0'));
    const QString text = name + QStringLiteral(" = ") + ValueText(index, r.Write.Value) +
                         QStringLiteral("：") + QString::fromStdString(aircon::ParamOutcomeText(r));
    SetCaption(FSet, text);
    FSet->setAccessibleDescription(text);
}

void TCommandOutcomes::ShowCurrent(int Index) {
    FIndex = Index;
    QString text;
    if (FParams && Index >= 0 && Index < ParamCount) {
        const auto value =
            aircon::ParamValueOf(*FParams, aircon::ParamFieldCode(static_cast<std::size_t>(Index)));
        text = QStringLiteral("当前值：") +
               (value ? ValueText(Index, *value) : QStringLiteral("未读到"));
    }
    SetCaption(FCurrent, text);
    FCurrent->setAccessibleDescription(text);
}

void TCommandOutcomes::OnCommandSent(const aircon::TCommandSent& Sent) {
    if (FRemoteState == TRemote::Queued && Sent.CID2 == RemoteCmd && Sent.Item == FRemoteItem) {
        FRemoteState = TRemote::Sent;
        ShowRemote(RemoteWord(FRemoteItem) + QStringLiteral("：已发送，等待应答"));
    }
}

void TCommandOutcomes::OnReplyReceived(const aircon::TReplyReceived& Reply) {
    if (Reply.Rtn == 0 && Reply.LastCID2 == 0x47 && Reply.Data)
        if (const auto* p = std::get_if<aircon::TUserParams>(Reply.Data)) {
            FParams = *p;
            ShowCurrent(FIndex);
        }
    if (FRemoteState != TRemote::Sent || Reply.LastCID2 != RemoteCmd) return;
    FRemoteState = TRemote::Done;
    if (Reply.Rtn == 0)
        ShowRemote(RemoteWord(FRemoteItem) + QStringLiteral("：控制器已接受"));
    else
        ShowRemote(RemoteWord(FRemoteItem) + QStringLiteral("：被拒绝：") +
                   QString::fromStdString(TDH::RtnToString(Reply.Rtn)) +
                   QStringLiteral("（RTN %1）").arg(Reply.Rtn));
}

void TCommandOutcomes::OnReplyMissing(const aircon::TReplyMissing& Missing) {
    if (FRemoteState != TRemote::Sent || Missing.CID2 != RemoteCmd ||
        !(Missing.Item == FRemoteItem))
        return;
    FRemoteState = TRemote::Done;
    ShowRemote(RemoteWord(FRemoteItem) + QStringLiteral("：无应答：控制器未回复"));
}

void TCommandOutcomes::OnLinkClosed(const aircon::TLinkClosed&) {
    if (FRemoteState == TRemote::Queued)
        ShowRemote(RemoteWord(FRemoteItem) + QStringLiteral("：未发送：链路已关闭"));
    else if (FRemoteState == TRemote::Sent)
        ShowRemote(RemoteWord(FRemoteItem) + QStringLiteral("：无应答：链路已关闭"));
    FRemoteState = TRemote::None;
}
