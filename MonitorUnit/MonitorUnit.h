// The unit monitor panel: the switch states, analog readings and alarm states
// of one air-conditioner unit, each as a caption with a value label beside it.
// The panel is layout only; the window's reply decoders write its value labels.
#pragma once

#include <QFrame>

#include <unordered_map>
#include <vector>

class QGroupBox;
class QLabel;
namespace aircon {
struct TFieldInfo;
}

class TfrmMonitorUnit : public QFrame {
    Q_OBJECT

  public:
    static constexpr int DesignWidth = 685;
    static constexpr int DesignHeight = 472;

    explicit TfrmMonitorUnit(QWidget* parent = nullptr);

    // Every value label, in layout order (switch states, analog, alarms).
    const std::vector<QLabel*>& ValueLabels() const { return FValueLabels; }
    // The value label of a field of the core's tables (AnalogFields, AnalogCountField, ...);
    // nullptr for a field the panel does not show.
    QLabel* ValueLabel(const aircon::TFieldInfo& Field) const;
    // The caption label that stands left of a value label.
    QLabel* CaptionOf(const QLabel* value) const;

    // "开关量": switch states, filled by the 0x43 reply.
    QGroupBox* GroupBox1 = nullptr;
    QLabel* lblSwOnOff = nullptr;
    QLabel* lblSwRunMode = nullptr;
    QLabel* lblSwIFan = nullptr;
    QLabel* lblSwComp = nullptr;
    QLabel* lblSwOFan = nullptr;
    QLabel* lblSwSwap = nullptr;
    QLabel* lblSwHeater = nullptr;
    QLabel* lblSw4valve = nullptr;
    QLabel* lblSwSelfDefNums = nullptr;
    QLabel* lblSwOutFan = nullptr;  // hidden
    QLabel* lblSwPump = nullptr;    // hidden

    // "模拟量": analog readings, filled by the 0x42 reply.
    QGroupBox* GroupBox2 = nullptr;
    QLabel* lblAnVolA = nullptr;
    QLabel* lblAnVolB = nullptr;
    QLabel* lblAnVolC = nullptr;
    QLabel* lblAnCurlA = nullptr;
    QLabel* lblAnCurlB = nullptr;
    QLabel* lblAnCurlC = nullptr;
    QLabel* lblAnCompInPress = nullptr;
    QLabel* lblAnCompOutPress = nullptr;
    QLabel* lblAnSelfDefNum = nullptr;
    QLabel* lblAnCompRunHours = nullptr;
    QLabel* lblAnUnitRunHours = nullptr;
    QLabel* lblAnOutFanTemp = nullptr;
    QLabel* lblAnInFanTemp = nullptr;
    QLabel* lblAnOutFanHumi = nullptr;
    QLabel* lblAnInFanHumi = nullptr;
    QLabel* lblAnOAT = nullptr;
    QLabel* lblAnOutTemp = nullptr;
    QLabel* lblAnOutHumi = nullptr;
    QLabel* lblAnIduInCoilTemp = nullptr;

    // "告警状态": alarm states, filled by the 0x44 reply.
    QGroupBox* GroupBox5 = nullptr;
    QLabel* lblAlVolA = nullptr;
    QLabel* lblAlVolB = nullptr;
    QLabel* lblAlVolC = nullptr;
    QLabel* lblAlCurA = nullptr;
    QLabel* lblAlCurB = nullptr;
    QLabel* lblAlCurC = nullptr;
    QLabel* lblAlRATSen = nullptr;
    QLabel* lblAlInCoilTempSen = nullptr;
    QLabel* lblAlSelfDefNum = nullptr;
    QLabel* lblAlMidCoilTempSen = nullptr;
    QLabel* lblAlOutCoilTempSen = nullptr;
    QLabel* lblAlOATSen = nullptr;
    QLabel* lblOduCoilTempSen = nullptr;  // hidden
    QLabel* lblAlDefrostTempSen = nullptr;
    QLabel* lblAlOutTempSen = nullptr;
    QLabel* lblAlIODUCom = nullptr;
    QLabel* lblAlHighPress = nullptr;
    QLabel* lblAlLowPress = nullptr;
    QLabel* lblAlIduHumiSen = nullptr;
    QLabel* lblAlOduHumiSen = nullptr;
    QLabel* lblAlOtherAlarms = nullptr;
    QLabel* lblAlInTemp = nullptr;
    QLabel* lblAlInHumi = nullptr;
    QLabel* lblAlFilter = nullptr;
    QLabel* lblAlCompOv = nullptr;
    QLabel* lblAlOutTemp = nullptr;
    QLabel* lblAlPhase = nullptr;
    QLabel* lblAlPhaseLose = nullptr;
    QLabel* lblAlIFanOv = nullptr;
    QLabel* lblAlOFan = nullptr;
    QLabel* lblAlFire = nullptr;
    QLabel* lblAlSysExcep = nullptr;
    QLabel* lblAlE2P = nullptr;
    QLabel* lblAlWaterInvasion = nullptr;
    QLabel* lblAlOATLow = nullptr;
    QLabel* lblAlWaterLevel = nullptr;  // hidden
    QLabel* lblAlPump = nullptr;        // hidden

  private:
    std::vector<QLabel*> FValueLabels;
    std::unordered_map<const aircon::TFieldInfo*, QLabel*> FByField;
};
