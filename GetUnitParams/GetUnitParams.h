// The user-parameter panel: the sixteen parameters of the controller and the
// count of user-defined ones, each as a caption with a value label beside it.
// The panel is layout only; the window's 0x47 decoder writes its value labels.
#pragma once

#include <QFrame>

#include <unordered_map>
#include <vector>

class QGroupBox;
class QLabel;
namespace aircon {
struct TFieldInfo;
}

class TfrmGetUnitParams : public QFrame {
    Q_OBJECT

  public:
    static constexpr int DesignWidth = 641;
    static constexpr int DesignHeight = 125;

    explicit TfrmGetUnitParams(QWidget* parent = nullptr);

    // Every value label, in layout order.
    const std::vector<QLabel*>& ValueLabels() const { return FValueLabels; }
    QLabel* CaptionOf(const QLabel* value) const;
    // The value label of a field of the core's ParamFields (or ParamCountField).
    QLabel* ValueLabel(const aircon::TFieldInfo& Field) const;

    QGroupBox* grpParams = nullptr;
    QLabel* lblOnTemp = nullptr;
    QLabel* lblOffTemp = nullptr;
    QLabel* lblInTempH = nullptr;
    QLabel* lblIFan = nullptr;
    QLabel* lblInTempL = nullptr;
    QLabel* lblInHumiH = nullptr;
    QLabel* lblInHumiL = nullptr;
    QLabel* lblBackup = nullptr;
    QLabel* lblSPT = nullptr;
    QLabel* lblSetMode = nullptr;
    QLabel* lblSwap = nullptr;
    QLabel* lblRunAtOnce = nullptr;
    QLabel* lblDisLoc = nullptr;
    QLabel* lblStartTemp = nullptr;
    QLabel* lblStopTemp = nullptr;
    QLabel* lblSefDefParam = nullptr;
    QLabel* lblUseOAT = nullptr;

  private:
    std::vector<QLabel*> FValueLabels;
    std::unordered_map<const aircon::TFieldInfo*, QLabel*> FByField;
};
