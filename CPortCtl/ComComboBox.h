// TComComboBox: a selection-only combo box that lists the serial ports present (or the values of
// one line setting) and can apply the chosen value to a linked TCustomComPort.
#pragma once

#include <QComboBox>
#include <QString>
#include <memory>
#include <string>
#include <vector>

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

    // A port list only: scans the ports present again and refills the items, keeping the chosen
    // port by name. A chosen port that has gone stays listed (and chosen) so that the operator
    // still sees what was chosen; when nothing was chosen the first item is chosen, as after
    // filling. A scan that cannot read the tree keeps the kernel names of the last scan. Returns
    // whether the items changed.
    bool RescanPorts();
    // Records a port the scan cannot see (a virtual port in a folder of the user's): it is listed
    // with the ports present while its device exists.
    void AddExtraPort(const std::string& Port);

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
    // The port items: the kernel names of the last scan and the extra ports present, sorted, then
    // the stable names of USB adapters; Keep (a chosen port that has gone) in its sorted place.
    std::vector<std::string> PortItems(const std::string& Keep) const;

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
    std::vector<std::string> FScanned;     // kernel names of the last readable scan
    std::vector<std::string> FExtraPorts;  // ports offered that the scan does not see
};

class QFileSystemWatcher;
class QTimer;

class TComComboBox : public QComboBox {
    Q_OBJECT

  public:
    // The port scan uses DefaultPortScanRoots() unless SetScanRoots is called.
    explicit TComComboBox(QWidget* Parent = nullptr);
    ~TComComboBox() override;

    TComProperty ComProperty() const { return FComSelect->ComProperty(); }
    void SetComProperty(TComProperty Value);
    TCustomComPort* ComPort() const { return FComSelect->ComPort(); }
    void SetComPort(TCustomComPort* Value) { FComSelect->SetComPort(Value); }
    bool AutoApply() const { return FComSelect->AutoApply(); }
    void SetAutoApply(bool Value) { FComSelect->SetAutoApply(Value); }
    // Where the port scan looks; refills a port list.
    void SetScanRoots(TPortScanRoots Value);

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

    // A port list is scanned again each time its drop-down opens, and shortly after a device
    // node appears in or vanishes from the device folder (an adapter plugged in or pulled out).
    // The drop-down is as wide as its longest item; the closed box keeps its width and shows the
    // end of a name too long for it (the whole name is in the tool tip).
    void showPopup() override;

    // Delay between a change in the device folder and the scan: udev makes the node first and
    // the stable name links a moment later.
    static constexpr int RescanDelayMs = 300;

  protected:
    void paintEvent(QPaintEvent* Event) override;

  private:
    void WatchDeviceFolders();
    void RescanAfterChange();
    void FitPopupWidth();

    std::unique_ptr<TComSelect> FComSelect;
    QFileSystemWatcher* FWatcher = nullptr;
    QTimer* FRescanTimer = nullptr;
};
