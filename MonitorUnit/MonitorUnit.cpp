#include "MonitorUnit.h"

#include "DesignGroupBox.h"
#include "Model.h"
#include "PanelKit.h"

#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>

#include <iterator>
#include <stdexcept>
#include <string>

namespace {

using GroupMember = QGroupBox* TfrmMonitorUnit::*;
using LabelMember = QLabel* TfrmMonitorUnit::*;

struct GroupLayout {
    GroupMember Member;
    const char* Name;
    const char* Caption;
    int Top;
    int Height;
};

constexpr GroupLayout Groups[] = {
    {&TfrmMonitorUnit::GroupBox1, "GroupBox1", "开关量", 3, 78},
    {&TfrmMonitorUnit::GroupBox2, "GroupBox2", "模拟量", 82, 144},
    {&TfrmMonitorUnit::GroupBox5, "GroupBox5", "告警状态", 230, 238},
};

// One caption/value pair: its group and row, the field it shows (by the field group and
// key of the core's field tables, which give its caption and whether it is hidden), and the
// value label.
struct FieldLayout {
    GroupMember Group;
    int Top;
    aircon::TFieldGroup FieldGroup;
    const char* Key;
    int CaptionLeft;
    LabelMember Value;
    const char* Name;
    int ValueLeft;
};

#define FIELD(group, top, fieldGroup, key, capLeft, name, valueLeft)                 \
    FieldLayout {                                                                    \
        &TfrmMonitorUnit::group, top, aircon::TFieldGroup::fieldGroup, key, capLeft, \
            &TfrmMonitorUnit::name, #name, valueLeft                                 \
    }

const FieldLayout Fields[] = {
    // 开关量
    FIELD(GroupBox1, 16, Switches, "power", 12, lblSwOnOff, 72),
    FIELD(GroupBox1, 16, Switches, "run_mode", 140, lblSwRunMode, 196),
    FIELD(GroupBox1, 16, Switches, "indoor_fan", 310, lblSwIFan, 354),
    FIELD(GroupBox1, 16, Switches, "compressor", 457, lblSwComp, 525),
    FIELD(GroupBox1, 35, Switches, "outdoor_fan", 12, lblSwOFan, 72),
    FIELD(GroupBox1, 35, Switches, "swing", 140, lblSwSwap, 196),
    FIELD(GroupBox1, 35, Switches, "heater", 310, lblSwHeater, 354),
    FIELD(GroupBox1, 35, Switches, "four_way_valve", 457, lblSw4valve, 501),
    FIELD(GroupBox1, 54, Switches, "user_defined_count", 12, lblSwSelfDefNums, 130),
    FIELD(GroupBox1, 54, Switches, "exhaust_fan", 310, lblSwOutFan, 378),
    FIELD(GroupBox1, 54, Switches, "water_pump", 457, lblSwPump, 517),
    // 模拟量
    FIELD(GroupBox2, 24, Analog, "voltage_ab", 12, lblAnVolA, 145),
    FIELD(GroupBox2, 24, Analog, "voltage_bc", 220, lblAnVolB, 354),
    FIELD(GroupBox2, 24, Analog, "voltage_ca", 428, lblAnVolC, 562),
    FIELD(GroupBox2, 43, Analog, "current_a", 12, lblAnCurlA, 145),
    FIELD(GroupBox2, 43, Analog, "current_b", 220, lblAnCurlB, 354),
    FIELD(GroupBox2, 43, Analog, "current_c", 428, lblAnCurlC, 562),
    FIELD(GroupBox2, 62, Analog, "compressor_suction_pressure", 12, lblAnCompInPress, 145),
    FIELD(GroupBox2, 62, Analog, "compressor_discharge_pressure", 220, lblAnCompOutPress, 354),
    FIELD(GroupBox2, 62, Analog, "user_defined_count", 428, lblAnSelfDefNum, 562),
    FIELD(GroupBox2, 81, Analog, "compressor_run_time", 11, lblAnCompRunHours, 145),
    FIELD(GroupBox2, 81, Analog, "unit_run_time", 218, lblAnUnitRunHours, 354),
    FIELD(GroupBox2, 100, Analog, "supply_air_temp", 12, lblAnOutFanTemp, 93),
    FIELD(GroupBox2, 100, Analog, "return_air_temp", 160, lblAnInFanTemp, 218),
    FIELD(GroupBox2, 100, Analog, "supply_air_humidity", 308, lblAnOutFanHumi, 366),
    FIELD(GroupBox2, 100, Analog, "return_air_humidity", 457, lblAnInFanHumi, 538),
    FIELD(GroupBox2, 119, Analog, "outdoor_temp", 12, lblAnOAT, 93),
    FIELD(GroupBox2, 119, Analog, "discharge_temp", 160, lblAnOutTemp, 218),
    FIELD(GroupBox2, 119, Analog, "outdoor_humidity", 310, lblAnOutHumi, 366),
    FIELD(GroupBox2, 119, Analog, "indoor_coil_temp", 457, lblAnIduInCoilTemp, 538),
    // 告警状态
    FIELD(GroupBox5, 24, Alarms, "voltage_ab", 12, lblAlVolA, 154),
    FIELD(GroupBox5, 24, Alarms, "voltage_bc", 220, lblAlVolB, 361),
    FIELD(GroupBox5, 24, Alarms, "voltage_ca", 428, lblAlVolC, 562),
    FIELD(GroupBox5, 43, Alarms, "current_a", 12, lblAlCurA, 154),
    FIELD(GroupBox5, 43, Alarms, "current_b", 220, lblAlCurB, 361),
    FIELD(GroupBox5, 43, Alarms, "current_c", 428, lblAlCurC, 562),
    FIELD(GroupBox5, 62, Alarms, "indoor_ambient_temp_sensor", 12, lblAlRATSen, 154),
    FIELD(GroupBox5, 62, Alarms, "indoor_coil_inlet_temp_sensor", 220, lblAlInCoilTempSen, 361),
    FIELD(GroupBox5, 62, Alarms, "user_defined_count", 428, lblAlSelfDefNum, 562),
    FIELD(GroupBox5, 81, Alarms, "indoor_coil_middle_temp_sensor", 12, lblAlMidCoilTempSen, 154),
    FIELD(GroupBox5, 81, Alarms, "indoor_coil_outlet_temp_sensor", 220, lblAlOutCoilTempSen, 361),
    FIELD(GroupBox5, 81, Alarms, "outdoor_ambient_temp_sensor", 428, lblAlOATSen, 562),
    FIELD(GroupBox5, 100, Alarms, "outdoor_coil_inlet_temp_sensor", 12, lblOduCoilTempSen, 154),
    FIELD(GroupBox5, 100, Alarms, "outdoor_coil_temp_sensor", 220, lblAlDefrostTempSen, 361),
    FIELD(GroupBox5, 100, Alarms, "discharge_temp_sensor", 428, lblAlOutTempSen, 562),
    FIELD(GroupBox5, 119, Alarms, "indoor_outdoor_comm", 12, lblAlIODUCom, 104),
    FIELD(GroupBox5, 119, Alarms, "high_pressure", 221, lblAlHighPress, 314),
    FIELD(GroupBox5, 119, Alarms, "low_pressure", 428, lblAlLowPress, 520),
    FIELD(GroupBox5, 138, Alarms, "indoor_humidity_sensor", 12, lblAlIduHumiSen, 104),
    FIELD(GroupBox5, 138, Alarms, "outdoor_humidity_sensor", 221, lblAlOduHumiSen, 314),
    FIELD(GroupBox5, 138, Alarms, "other_alarms", 428, lblAlOtherAlarms, 520),
    FIELD(GroupBox5, 157, Alarms, "return_air_temp", 12, lblAlInTemp, 69),
    FIELD(GroupBox5, 157, Alarms, "return_air_humidity", 140, lblAlInHumi, 197),
    FIELD(GroupBox5, 157, Alarms, "filter", 310, lblAlFilter, 367),
    FIELD(GroupBox5, 157, Alarms, "compressor_overload", 457, lblAlCompOv, 530),
    FIELD(GroupBox5, 176, Alarms, "discharge_protection", 12, lblAlOutTemp, 69),
    FIELD(GroupBox5, 176, Alarms, "phase_sequence", 140, lblAlPhase, 197),
    FIELD(GroupBox5, 176, Alarms, "phase_loss", 309, lblAlPhaseLose, 366),
    FIELD(GroupBox5, 176, Alarms, "indoor_fan_overload", 457, lblAlIFanOv, 530),
    FIELD(GroupBox5, 195, Alarms, "outdoor_fan", 12, lblAlOFan, 69),
    FIELD(GroupBox5, 195, Alarms, "fire", 140, lblAlFire, 197),
    FIELD(GroupBox5, 195, Alarms, "system_abnormal", 310, lblAlSysExcep, 366),
    FIELD(GroupBox5, 195, Alarms, "eeprom", 457, lblAlE2P, 530),
    FIELD(GroupBox5, 214, Alarms, "water_leak", 12, lblAlWaterInvasion, 69),
    FIELD(GroupBox5, 214, Alarms, "outdoor_unit_stolen", 140, lblAlOATLow, 197),
    FIELD(GroupBox5, 214, Alarms, "water_level", 310, lblAlWaterLevel, 366),
    FIELD(GroupBox5, 214, Alarms, "water_pump", 457, lblAlPump, 530),
};

#undef FIELD

constexpr int GroupLeft = 14;
constexpr int GroupWidth = 651;

// Value labels carry a font of their own, the design font at its design
// size, regular, so that later changes of the panel's font leave the
// readings' look alone.
QFont ValueFont(QFont f) {
    f.setPixelSize(11);
    f.setWeight(QFont::Normal);
    f.setItalic(false);
    return f;
}

}  // namespace

TfrmMonitorUnit::TfrmMonitorUnit(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("frmMonitorUnit"));
    resize(DesignWidth, DesignHeight);

    for (const GroupLayout& g : Groups) {
        auto* box = new TDesignGroupBox(QString::fromUtf8(g.Caption), this);
        box->setObjectName(QString::fromUtf8(g.Name));
        box->setGeometry(GroupLeft, g.Top, GroupWidth, g.Height);
        this->*g.Member = box;
    }

    const QFont valueFont = ValueFont(font());
    // The desktop's grey text, the colour of a value not yet detected.
    const QColor grey = QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    FValueLabels.reserve(std::size(Fields));
    for (const FieldLayout& f : Fields) {
        const aircon::TFieldInfo* field = aircon::FindField(f.FieldGroup, f.Key);
        if (!field) throw std::logic_error(std::string("no field ") + f.Key + " for " + f.Name);
        QGroupBox* box = this->*f.Group;
        const QString name = QString::fromUtf8(f.Name);
        const QString caption = QString::fromUtf8(field->Caption.data(),
                                                  static_cast<qsizetype>(field->Caption.size())) +
                                QStringLiteral("：");
        QLabel* value = AddCaptionedValue(box, name, caption, f.CaptionLeft,
                                          QStringLiteral("未检测"), f.ValueLeft, f.Top);
        value->setFont(valueFont);
        SetLabelColor(value, grey);
        value->adjustSize();
        if (field->Hidden) {
            ::CaptionOf(value)->setVisible(false);
            value->setVisible(false);
        }
        this->*f.Value = value;
        FValueLabels.push_back(value);
        FByField.emplace(field, value);
    }
}

QLabel* TfrmMonitorUnit::ValueLabel(const aircon::TFieldInfo& Field) const {
    const auto it = FByField.find(&Field);
    return it == FByField.end() ? nullptr : it->second;
}

QLabel* TfrmMonitorUnit::CaptionOf(const QLabel* value) const {
    return ::CaptionOf(value);
}
