// TComComboBox: a selection-only combo box that lists the serial ports present (or the values of
// one line setting) and can apply the chosen value to a linked TCustomComPort.
#pragma once

#include <QComboBox>
#include <QString>
#include <memory>
#include <string>

#include "CPort.h"
#include "PortList.h"

// The setting a selector lists.
enum class TComProperty {
    CpNone,
    CpPort,
    CpBaudRate,
    CpDataBits,
    CpStopBits,
    CpParity,
    CpFlowControl
};

// The selector's state, kept apart from the widget: the last value chosen for each setting, the
// setting listed, the linked port and whether a choice is applied at once. Works on the item list
// of the combo box it belongs to.
class TComSelect {
  public:
    explicit TComSelect(QComboBox& Items);

    TComProperty ComProperty() const { return FComProperty; }
    // Refills the items: the ports present for CpPort, the texts of the setting otherwise, none
    // for CpNone; then chooses the linked port's current value, or the first item when no port
    // is linked.
    void SetComProperty(TComProperty Value);
    TCustomComPort* ComPort() const { return FComPort; }
    // Links a port (nullptr unlinks) and chooses the item of its current value.
    void SetComPort(TCustomComPort* Value);
    bool AutoApply() const { return FAutoApply; }
    void SetAutoApply(bool Value) { FAutoApply = Value; }
    const TPortScanRoots& ScanRoots() const { return FScanRoots; }
    void SetScanRoots(TPortScanRoots Value);

    // Records the text of a chosen item as the value of the listed setting.
    void Change(const QString& Text);
    // Applies the recorded value to the linked port; nothing without a port or a chosen value.
    void ApplySettings();
    // Chooses the item of the linked port's current value; nothing without a port.
    void UpdateSettings();
    // The linked port is going away: the link is dropped and the first item chosen.
    void PortDestroyed(TCustomComPort* Port);

    // Last values chosen.
    const std::string& Port() const { return FPort; }
    TBaudRate BaudRate() const { return FBaudRate; }
    TDataBits DataBits() const { return FDataBits; }
    TStopBits StopBits() const { return FStopBits; }
    TParityBits Parity() const { return FParity; }
    TFlowControl FlowControl() const { return FFlowControl; }

  private:
    QString CurrentValueText() const;  // the linked port's value of the listed setting
    void ChooseFirst();

    std::string FPort;
    TBaudRate FBaudRate = TBaudRate::Br9600;
    TDataBits FDataBits = TDataBits::DbEight;
    TStopBits FStopBits = TStopBits::SbOneStopBit;
    TParityBits FParity = TParityBits::PrNone;
    TFlowControl FFlowControl = TFlowControl::FcNone;
    QComboBox& FItems;
    TComProperty FComProperty = TComProperty::CpNone;
    TCustomComPort* FComPort = nullptr;
    bool FAutoApply = false;
    bool FHasChoice = false;  // a value has been recorded since the list was filled
    TPortScanRoots FScanRoots;
};

class TComComboBox : public QComboBox {
    Q_OBJECT

  public:
    // The port scan uses DefaultPortScanRoots() unless SetScanRoots is called.
    explicit TComComboBox(QWidget* Parent = nullptr);
    ~TComComboBox() override;

    TComProperty ComProperty() const { return FComSelect->ComProperty(); }
    void SetComProperty(TComProperty Value) { FComSelect->SetComProperty(Value); }
    TCustomComPort* ComPort() const { return FComSelect->ComPort(); }
    void SetComPort(TCustomComPort* Value) { FComSelect->SetComPort(Value); }
    bool AutoApply() const { return FComSelect->AutoApply(); }
    void SetAutoApply(bool Value) { FComSelect->SetAutoApply(Value); }
    // Where the port scan looks; refills a port list.
    void SetScanRoots(TPortScanRoots Value) { FComSelect->SetScanRoots(std::move(Value)); }

    // The text of the chosen item, empty when none is chosen.
    QString Text() const;
    // Chooses the item with exactly this text; a text not in the list changes nothing.
    void SetText(const QString& Value);

    void ApplySettings() { FComSelect->ApplySettings(); }
    void UpdateSettings() { FComSelect->UpdateSettings(); }
    // To be called by the owner of a linked port before it destroys the port.
    void PortDestroyed(TCustomComPort* Port) { FComSelect->PortDestroyed(Port); }

    // A port list only: when Port is not listed but names a character device (directly or
    // through links), such as a virtual port made without root rights, it is inserted in its
    // sorted place. Returns whether Port is listed now (exact text). The choice is not changed
    // (except that an empty list gets its first item chosen).
    bool AddPortIfPresent(const std::string& Port);

    TComSelect& ComSelect() { return *FComSelect; }

  private:
    std::unique_ptr<TComSelect> FComSelect;
};
