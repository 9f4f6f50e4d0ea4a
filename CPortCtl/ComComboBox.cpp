#include "ComComboBox.h"

#include <QSignalBlocker>
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
            std::vector<std::string> Ports;
            ListSerialPorts(Ports, FScanRoots);
            for (const auto& P : Ports)
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
    return true;
}
