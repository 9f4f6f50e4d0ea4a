#include "ComComboBox.h"

#include <QAbstractItemView>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSignalBlocker>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "ComText.h"

namespace {

QString ToQString(std::string_view Text) {
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

std::span<const std::string_view> TextsOf(TComProperty Property) {
    switch (Property) {
        case TComProperty::CpBaudRate:
            return BaudRateTexts();
        case TComProperty::CpDataBits:
            return DataBitsTexts();
        case TComProperty::CpStopBits:
            return StopBitsTexts();
        case TComProperty::CpParity:
            return ParityTexts();
        case TComProperty::CpFlowControl:
            return FlowControlTexts();
        case TComProperty::CpNone:
        case TComProperty::CpPort:
            break;
    }
    return {};
}

int FindExact(const QComboBox& Box, const QString& Text) {
    return Box.findText(Text, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TComSelect

TComSelect::TComSelect(QComboBox& Items) : FItems(Items), FScanRoots(DefaultPortScanRoots()) {}

void TComSelect::SetComProperty(TComProperty Value) {
    FComProperty = Value;
    {
        // Filling is no choice of the user's: nothing is recorded or applied on the way.
        const QSignalBlocker Blocker(&FItems);
        FItems.clear();
        if (Value == TComProperty::CpPort) {
            FExtraPorts.clear();
            ListSerialPorts(FScanned, FScanRoots);
            for (const auto& P : PortItems({}))
                FItems.addItem(ToQString(P));
        } else {
            for (auto T : TextsOf(Value))
                FItems.addItem(ToQString(T));
        }
        FItems.setCurrentIndex(-1);
    }
    FHasChoice = false;
    if (FComPort)
        UpdateSettings();
    else
        ChooseFirst();
}

void TComSelect::SetComPort(TCustomComPort* Value) {
    FComPort = Value;
    UpdateSettings();
}

void TComSelect::SetScanRoots(TPortScanRoots Value) {
    FScanRoots = std::move(Value);
    if (FComProperty == TComProperty::CpPort) SetComProperty(FComProperty);
}

std::vector<std::string> TComSelect::PortItems(const std::string& Keep) const {
    std::vector<std::string> Names = FScanned;
    auto Listed = [&Names](const std::string& Name) {
        return std::find(Names.begin(), Names.end(), Name) != Names.end();
    };
    for (const auto& Extra : FExtraPorts)
        if (!Listed(Extra) && PortDeviceExists(Extra, FScanRoots)) Names.push_back(Extra);
    const std::vector<std::string> Stable = ListStablePortNames(FScanRoots);
    if (!Keep.empty() && !Listed(Keep) &&
        std::find(Stable.begin(), Stable.end(), Keep) == Stable.end())
        Names.push_back(Keep);
    SortPortNames(Names);
    for (const auto& Name : Stable)
        if (!Listed(Name)) Names.push_back(Name);
    return Names;
}

bool TComSelect::RescanPorts() {
    if (FComProperty != TComProperty::CpPort) return false;
    const bool Chosen = FItems.currentIndex() >= 0;
    const std::string Keep = Chosen ? FItems.currentText().toStdString() : std::string();
    ListSerialPorts(FScanned, FScanRoots);
    const std::vector<std::string> Names = PortItems(Keep);
    bool Same = static_cast<qsizetype>(Names.size()) == FItems.count();
    for (int I = 0; Same && I < FItems.count(); ++I)
        Same = FItems.itemText(I) == ToQString(Names[static_cast<std::size_t>(I)]);
    if (Same) return false;
    {
        // The choice stays on its name: nothing is recorded or applied on the way.
        const QSignalBlocker Blocker(&FItems);
        FItems.clear();
        for (const auto& N : Names)
            FItems.addItem(ToQString(N));
        FItems.setCurrentIndex(Chosen ? FindExact(FItems, ToQString(Keep)) : -1);
    }
    if (!Chosen) {
        if (FComPort)
            UpdateSettings();
        else
            ChooseFirst();
    }
    return true;
}

void TComSelect::AddExtraPort(const std::string& Port) {
    if (std::find(FExtraPorts.begin(), FExtraPorts.end(), Port) == FExtraPorts.end())
        FExtraPorts.push_back(Port);
}

void TComSelect::ChooseFirst() {
    FItems.setCurrentIndex(FItems.count() > 0 ? 0 : -1);
}

void TComSelect::Change(const QString& Text) {
    if (Text.isEmpty() && FItems.currentIndex() < 0) {
        FHasChoice = false;
        return;
    }
    const std::string S = Text.toStdString();
    switch (FComProperty) {
        case TComProperty::CpNone:
            return;
        case TComProperty::CpPort:
            FPort = S;
            break;
        case TComProperty::CpBaudRate:
            FBaudRate = TextToBaudRate(S);
            break;
        case TComProperty::CpDataBits:
            FDataBits = TextToDataBits(S);
            break;
        case TComProperty::CpStopBits:
            FStopBits = TextToStopBits(S);
            break;
        case TComProperty::CpParity:
            FParity = TextToParity(S);
            break;
        case TComProperty::CpFlowControl:
            FFlowControl = TextToFlowControl(S);
            break;
    }
    FHasChoice = true;
}

void TComSelect::ApplySettings() {
    if (!FComPort || !FHasChoice) return;
    switch (FComProperty) {
        case TComProperty::CpNone:
            break;
        case TComProperty::CpPort:
            FComPort->SetPort(FPort);
            break;
        case TComProperty::CpBaudRate:
            FComPort->SetBaudRate(FBaudRate);
            break;
        case TComProperty::CpDataBits:
            FComPort->SetDataBits(FDataBits);
            break;
        case TComProperty::CpStopBits:
            FComPort->SetStopBits(FStopBits);
            break;
        case TComProperty::CpParity:
            FComPort->Parity().SetBits(FParity);
            break;
        case TComProperty::CpFlowControl:
            FComPort->FlowControl().SetFlowControl(FFlowControl);
            break;
    }
}

QString TComSelect::CurrentValueText() const {
    switch (FComProperty) {
        case TComProperty::CpNone:
            break;
        case TComProperty::CpPort:
            return ToQString(FComPort->Port());
        case TComProperty::CpBaudRate:
            return ToQString(BaudRateToText(FComPort->BaudRate()));
        case TComProperty::CpDataBits:
            return ToQString(DataBitsToText(FComPort->DataBits()));
        case TComProperty::CpStopBits:
            return ToQString(StopBitsToText(FComPort->StopBits()));
        case TComProperty::CpParity:
            return ToQString(ParityToText(FComPort->Parity().Bits()));
        case TComProperty::CpFlowControl:
            return ToQString(FlowControlToText(FComPort->FlowControl().FlowControl()));
    }
    return {};
}

void TComSelect::UpdateSettings() {
    if (!FComPort) return;
    // A value that is not in the list leaves nothing chosen rather than a wrong item.
    FItems.setCurrentIndex(FindExact(FItems, CurrentValueText()));
}

void TComSelect::PortDestroyed(TCustomComPort* Port) {
    if (Port == nullptr || Port != FComPort) return;
    FComPort = nullptr;
    ChooseFirst();
}

// ---------------------------------------------------------------------------------------------
// TComComboBox

TComComboBox::TComComboBox(QWidget* Parent)
    : QComboBox(Parent), FComSelect(std::make_unique<TComSelect>(*this)) {
    setEditable(false);
    // Any change of the chosen item is recorded; only a choice of the user's is applied.
    connect(this, &QComboBox::currentIndexChanged, this,
            [this](int) { FComSelect->Change(currentText()); });
    connect(this, &QComboBox::activated, this, [this](int) {
        if (FComSelect->AutoApply()) FComSelect->ApplySettings();
    });
}

void TComComboBox::SetComProperty(TComProperty Value) {
    FComSelect->SetComProperty(Value);
    WatchDeviceFolders();
}

void TComComboBox::SetScanRoots(TPortScanRoots Value) {
    FComSelect->SetScanRoots(std::move(Value));
    WatchDeviceFolders();
}

void TComComboBox::WatchDeviceFolders() {
    QStringList Wanted;
    // (A system without a device folder, Windows, has no roots: nothing to watch there.)
    if (ComProperty() == TComProperty::CpPort && !FComSelect->ScanRoots().Dev.empty()) {
        // The device folder itself (kernel names, virtual port links) and the folders of the
        // stable names, once udev has made them.
        const QString Dev = ToQString(FComSelect->ScanRoots().Dev);
        for (const QString& Dir :
             {Dev, Dev + QStringLiteral("/serial"), Dev + QStringLiteral("/serial/by-id")})
            if (QFileInfo(Dir).isDir()) Wanted << Dir;
    }
    if (!FWatcher) {
        if (Wanted.isEmpty()) return;
        FWatcher = new QFileSystemWatcher(this);
        FRescanTimer = new QTimer(this);
        FRescanTimer->setSingleShot(true);
        FRescanTimer->setInterval(RescanDelayMs);
        connect(FWatcher, &QFileSystemWatcher::directoryChanged, FRescanTimer,
                qOverload<>(&QTimer::start));
        connect(FRescanTimer, &QTimer::timeout, this, &TComComboBox::RescanAfterChange);
    }
    const QStringList Watched = FWatcher->directories();
    for (const QString& Dir : Watched)
        if (!Wanted.contains(Dir)) FWatcher->removePath(Dir);
    for (const QString& Dir : Wanted)
        if (!Watched.contains(Dir)) FWatcher->addPath(Dir);
}

void TComComboBox::RescanAfterChange() {
    WatchDeviceFolders();  // the stable-name folders come and go with the adapters
    // The list does not change under the operator's pointer: the scan waits for the drop-down
    // to close (and opening it scans anyway).
    if (view()->isVisible()) {
        FRescanTimer->start();
        return;
    }
    FComSelect->RescanPorts();
}

void TComComboBox::showPopup() {
    FComSelect->RescanPorts();
    FitPopupWidth();
    QComboBox::showPopup();
}

void TComComboBox::FitPopupWidth() {
    const QFontMetrics Metrics(view()->font());
    int Widest = 0;
    for (int I = 0; I < count(); ++I)
        Widest = std::max(Widest, Metrics.horizontalAdvance(itemText(I)));
    // Item margins, the frame and room for a vertical scroll bar.
    const int Extra = 2 * view()->frameWidth() +
                      2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin) +
                      style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 12;
    view()->setMinimumWidth(std::max(width(), Widest + Extra));
}

void TComComboBox::paintEvent(QPaintEvent*) {
    QStylePainter Painter(this);
    Painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox Opt;
    initStyleOption(&Opt);
    Painter.drawComplexControl(QStyle::CC_ComboBox, Opt);
    // A name wider than the box shows its end, where port names differ ("…/vport0").
    const QRect Field =
        style()->subControlRect(QStyle::CC_ComboBox, &Opt, QStyle::SC_ComboBoxEditField, this);
    Opt.currentText = fontMetrics().elidedText(Opt.currentText, Qt::ElideLeft, Field.width() - 2);
    Painter.drawControl(QStyle::CE_ComboBoxLabel, Opt);
}

TComComboBox::~TComComboBox() {
    // The base class may still report index changes while it tears down its items; the selector
    // state goes first, so nothing may reach it any more.
    blockSignals(true);
}

QString TComComboBox::Text() const {
    return currentIndex() < 0 ? QString() : currentText();
}

void TComComboBox::SetText(const QString& Value) {
    const int Index = FindExact(*this, Value);
    if (Index >= 0) setCurrentIndex(Index);
}

bool TComComboBox::AddPortIfPresent(const std::string& Port) {
    if (ComProperty() != TComProperty::CpPort || Port.empty()) return false;
    const QString Name = ToQString(Port);
    if (FindExact(*this, Name) >= 0) return true;
    if (!PortDeviceExists(Port, FComSelect->ScanRoots())) return false;
    int At = 0;
    while (At < count() && !PortNameLess(Port, itemText(At).toStdString()))
        ++At;
    insertItem(At, Name);
    FComSelect->AddExtraPort(Port);
    return true;
}
