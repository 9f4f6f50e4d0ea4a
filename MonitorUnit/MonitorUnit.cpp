#include "MonitorUnit.h"

#include "DesignGroupBox.h"
#include "PanelKit.h"

#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>

#include <iterator>

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

// One caption/value pair: its group, row, caption and the value label.
struct FieldLayout {
    GroupMember Group;
    int Top;
    const char* Caption;
    int CaptionLeft;
    LabelMember Value;
    const char* Name;
    int ValueLeft;
    bool Hidden = false;
};

#define FIELD(group, top, caption, capLeft, name, valueLeft, ...)                                 \
    FieldLayout {                                                                                 \
        &TfrmMonitorUnit::group, top, caption, capLeft, &TfrmMonitorUnit::name, #name, valueLeft, \
            __VA_ARGS__                                                                           \
    }

const FieldLayout Fields[] = {
    // 开关量
    FIELD(GroupBox1, 16, "空调状态：", 12, lblSwOnOff, 72),
    FIELD(GroupBox1, 16, "运行模式：", 140, lblSwRunMode, 196),
    FIELD(GroupBox1, 16, "内风机：", 310, lblSwIFan, 354),
    FIELD(GroupBox1, 16, "压缩机启停：", 457, lblSwComp, 525),
    FIELD(GroupBox1, 35, "外风机：", 12, lblSwOFan, 72),
    FIELD(GroupBox1, 35, "摆风状态：", 140, lblSwSwap, 196),
    FIELD(GroupBox1, 35, "电加热：", 310, lblSwHeater, 354),
    FIELD(GroupBox1, 35, "四通阀：", 457, lblSw4valve, 501),
    FIELD(GroupBox1, 54, "用户自定义状态数量：", 12, lblSwSelfDefNums, 130),
    FIELD(GroupBox1, 54, "排风机：", 310, lblSwOutFan, 378, true),
    FIELD(GroupBox1, 54, "水泵状态：", 457, lblSwPump, 517, true),
    // 模拟量
    FIELD(GroupBox2, 24, "主机工作线/相电压AB/A：", 12, lblAnVolA, 145),
    FIELD(GroupBox2, 24, "主机工作线/相电压BC/B：", 220, lblAnVolB, 354),
    FIELD(GroupBox2, 24, "主机工作线/相电压CA/C：", 428, lblAnVolC, 562),
    FIELD(GroupBox2, 43, "主机工作电流A相：", 12, lblAnCurlA, 145),
    FIELD(GroupBox2, 43, "主机工作电流B相：", 220, lblAnCurlB, 354),
    FIELD(GroupBox2, 43, "主机工作电流C相：", 428, lblAnCurlC, 562),
    FIELD(GroupBox2, 62, "压缩机吸气压力：", 12, lblAnCompInPress, 145),
    FIELD(GroupBox2, 62, "压缩机排气压力：", 220, lblAnCompOutPress, 354),
    FIELD(GroupBox2, 62, "用户自定义遥测数量：", 428, lblAnSelfDefNum, 562),
    FIELD(GroupBox2, 81, "压缩机运行时间：", 11, lblAnCompRunHours, 145),
    FIELD(GroupBox2, 81, "机组运行时间：", 218, lblAnUnitRunHours, 354),
    FIELD(GroupBox2, 100, "送风温度：", 12, lblAnOutFanTemp, 93),
    FIELD(GroupBox2, 100, "回风温度：", 160, lblAnInFanTemp, 218),
    FIELD(GroupBox2, 100, "送风湿度：", 308, lblAnOutFanHumi, 366),
    FIELD(GroupBox2, 100, "回风湿度：", 457, lblAnInFanHumi, 538),
    FIELD(GroupBox2, 119, "室外环境温度：", 12, lblAnOAT, 93),
    FIELD(GroupBox2, 119, "排气温度：", 160, lblAnOutTemp, 218),
    FIELD(GroupBox2, 119, "室外湿度：", 310, lblAnOutHumi, 366),
    FIELD(GroupBox2, 119, "室内盘管温度：", 457, lblAnIduInCoilTemp, 538),
    // 告警状态
    FIELD(GroupBox5, 24, "主机工作线/相电压AB/A：", 12, lblAlVolA, 154),
    FIELD(GroupBox5, 24, "主机工作线/相电压BC/B：", 220, lblAlVolB, 361),
    FIELD(GroupBox5, 24, "主机工作线/相电压CA/C：", 428, lblAlVolC, 562),
    FIELD(GroupBox5, 43, "主机工作电流A相：", 12, lblAlCurA, 154),
    FIELD(GroupBox5, 43, "主机工作电流B相：", 220, lblAlCurB, 361),
    FIELD(GroupBox5, 43, "主机工作电流C相：", 428, lblAlCurC, 562),
    FIELD(GroupBox5, 62, "室内环境温度传感器：", 12, lblAlRATSen, 154),
    FIELD(GroupBox5, 62, "内机盘管进口温度传感器：", 220, lblAlInCoilTempSen, 361),
    FIELD(GroupBox5, 62, "用户自定义遥测数量：", 428, lblAlSelfDefNum, 562),
    FIELD(GroupBox5, 81, "内机盘管中间温度传感器：", 12, lblAlMidCoilTempSen, 154),
    FIELD(GroupBox5, 81, "内机盘管出口温度传感器：", 220, lblAlOutCoilTempSen, 361),
    FIELD(GroupBox5, 81, "室外环境温度传感器：", 428, lblAlOATSen, 562),
    FIELD(GroupBox5, 100, "外机盘管进口温度传感器：", 12, lblOduCoilTempSen, 154, true),
    FIELD(GroupBox5, 100, "外机盘管温度传感器：", 220, lblAlDefrostTempSen, 361),
    FIELD(GroupBox5, 100, "排气温度传感器：", 428, lblAlOutTempSen, 562),
    FIELD(GroupBox5, 119, "内外机通讯故障：", 12, lblAlIODUCom, 104),
    FIELD(GroupBox5, 119, "高压压力保护：", 221, lblAlHighPress, 314),
    FIELD(GroupBox5, 119, "低压压力保护：", 428, lblAlLowPress, 520),
    FIELD(GroupBox5, 138, "室内湿度传感器：", 12, lblAlIduHumiSen, 104),
    FIELD(GroupBox5, 138, "室外湿度传感器：", 221, lblAlOduHumiSen, 314),
    FIELD(GroupBox5, 138, "其它不正常告警：", 428, lblAlOtherAlarms, 520),
    FIELD(GroupBox5, 157, "回风温度：", 12, lblAlInTemp, 69),
    FIELD(GroupBox5, 157, "回风湿度：", 140, lblAlInHumi, 197),
    FIELD(GroupBox5, 157, "过滤器：", 310, lblAlFilter, 367),
    FIELD(GroupBox5, 157, "压缩机过载：", 457, lblAlCompOv, 530),
    FIELD(GroupBox5, 176, "排气保护：", 12, lblAlOutTemp, 69),
    FIELD(GroupBox5, 176, "相序保护：", 140, lblAlPhase, 197),
    FIELD(GroupBox5, 176, "缺相保护：", 309, lblAlPhaseLose, 366),
    FIELD(GroupBox5, 176, "内风机过载：", 457, lblAlIFanOv, 530),
    FIELD(GroupBox5, 195, "室外风机：", 12, lblAlOFan, 69),
    FIELD(GroupBox5, 195, "消防报警：", 140, lblAlFire, 197),
    FIELD(GroupBox5, 195, "系统异常：", 310, lblAlSysExcep, 366),
    FIELD(GroupBox5, 195, "EEPROM故障：", 457, lblAlE2P, 530),
    FIELD(GroupBox5, 214, "水浸告警：", 12, lblAlWaterInvasion, 69),
    FIELD(GroupBox5, 214, "外机被盗：", 140, lblAlOATLow, 197),
    FIELD(GroupBox5, 214, "水位故障：", 310, lblAlWaterLevel, 366, true),
    FIELD(GroupBox5, 214, "水泵故障：", 457, lblAlPump, 530, true),
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
        QGroupBox* box = this->*f.Group;
        const QString name = QString::fromUtf8(f.Name);
        QLabel* value = AddCaptionedValue(box, name, QString::fromUtf8(f.Caption), f.CaptionLeft,
                                          QStringLiteral("未检测"), f.ValueLeft, f.Top);
        value->setFont(valueFont);
        SetLabelColor(value, grey);
        value->adjustSize();
        if (f.Hidden) {
            ::CaptionOf(value)->setVisible(false);
            value->setVisible(false);
        }
        this->*f.Value = value;
        FValueLabels.push_back(value);
    }
}

QLabel* TfrmMonitorUnit::CaptionOf(const QLabel* value) const {
    return ::CaptionOf(value);
}
