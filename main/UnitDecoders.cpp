#include "UnitDecoders.h"

#include "GetUnitParams.h"
#include "MessageBoxes.h"
#include "MonitorUnit.h"
#include "Render.h"

#include <QLabel>

#include <algorithm>

namespace {

using MonitorLabel = QLabel* TfrmMonitorUnit::*;
using ParamLabel = QLabel* TfrmGetUnitParams::*;

// The panel a monitor reply is for, or none for a short INFO or a foreign unit.
TfrmMonitorUnit* PanelFor(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info,
                          std::size_t MinSize) {
    if (Info.size() < MinSize) return nullptr;
    const int unit = UnitIndex(Info[0]);
    if (unit >= static_cast<int>(Monitors.size())) return nullptr;
    return Monitors[static_cast<std::size_t>(unit)];
}

std::span<const std::uint8_t, 2> WordAt(std::span<const std::uint8_t> Info, std::size_t Offset) {
    return Info.subspan(Offset).first<2>();
}

// A count byte: plain decimal, no sentinel.
void ShowCount(QLabel* lbl, std::uint8_t Count, bool SetColor) {
    if (SetColor) SetFontColor(lbl, clWindowText());
    SetCaption(lbl, QString::number(Count));
}

struct Reading {
    MonitorLabel Label;
    bool Unsigned;
};

// 0x42: twelve readings at offsets 1, 3, ..., 23.
constexpr Reading AnalogReadings[] = {
    {&TfrmMonitorUnit::lblAnVolA, true},        {&TfrmMonitorUnit::lblAnVolB, true},
    {&TfrmMonitorUnit::lblAnVolC, true},        {&TfrmMonitorUnit::lblAnCurlA, true},
    {&TfrmMonitorUnit::lblAnCurlB, true},       {&TfrmMonitorUnit::lblAnCurlC, true},
    {&TfrmMonitorUnit::lblAnOutFanTemp, false}, {&TfrmMonitorUnit::lblAnInFanTemp, false},
    {&TfrmMonitorUnit::lblAnOutFanHumi, true},  {&TfrmMonitorUnit::lblAnInFanHumi, true},
    {&TfrmMonitorUnit::lblAnCompInPress, true}, {&TfrmMonitorUnit::lblAnCompOutPress, true},
};
// 0x42: trailing words from offset 26, as many as the INFO holds.
constexpr Reading AnalogTrailing[] = {
    {&TfrmMonitorUnit::lblAnOAT, false},         {&TfrmMonitorUnit::lblAnOutTemp, false},
    {&TfrmMonitorUnit::lblAnOutHumi, true},      {&TfrmMonitorUnit::lblAnIduInCoilTemp, false},
    {&TfrmMonitorUnit::lblAnCompRunHours, true}, {&TfrmMonitorUnit::lblAnUnitRunHours, true},
};

struct SwitchItem {
    MonitorLabel Label;
    std::span<const TStateWord> Words;
};

// 0x43: items from offset 3, as many as the INFO holds.
const SwitchItem SwitchItems[] = {
    {&TfrmMonitorUnit::lblSwRunMode, StateWords::RunModeMonitor},
    {&TfrmMonitorUnit::lblSwIFan, StateWords::FanSpeedMonitor},
    {&TfrmMonitorUnit::lblSw4valve, StateWords::RunStopMonitor},
    {&TfrmMonitorUnit::lblSwComp, StateWords::RunStopMonitor},
    {&TfrmMonitorUnit::lblSwOFan, StateWords::FanSpeedMonitor},
    {&TfrmMonitorUnit::lblSwSwap, StateWords::RunStopMonitor},
    {&TfrmMonitorUnit::lblSwHeater, StateWords::OffOnMonitor},
    {&TfrmMonitorUnit::lblSwOutFan, StateWords::OffOnMonitor},
    {&TfrmMonitorUnit::lblSwPump, StateWords::OffOnMonitor},
};

// 0x44: eleven fixed alarms at offsets 1 to 11.
constexpr MonitorLabel AlarmFixed[] = {
    &TfrmMonitorUnit::lblAlVolA,   &TfrmMonitorUnit::lblAlVolB,   &TfrmMonitorUnit::lblAlVolC,
    &TfrmMonitorUnit::lblAlCurA,   &TfrmMonitorUnit::lblAlCurB,   &TfrmMonitorUnit::lblAlCurC,
    &TfrmMonitorUnit::lblAlInTemp, &TfrmMonitorUnit::lblAlInHumi, &TfrmMonitorUnit::lblAlFilter,
    &TfrmMonitorUnit::lblAlCompOv, &TfrmMonitorUnit::lblAlIFanOv,
};
// 0x44: items from offset 13, as many as the INFO holds.
constexpr MonitorLabel AlarmItems[] = {
    &TfrmMonitorUnit::lblAlHighPress,      &TfrmMonitorUnit::lblAlLowPress,
    &TfrmMonitorUnit::lblAlOutTemp,        &TfrmMonitorUnit::lblAlIODUCom,
    &TfrmMonitorUnit::lblAlRATSen,         &TfrmMonitorUnit::lblAlInCoilTempSen,
    &TfrmMonitorUnit::lblAlMidCoilTempSen, &TfrmMonitorUnit::lblAlOutCoilTempSen,
    &TfrmMonitorUnit::lblAlOATSen,         &TfrmMonitorUnit::lblOduCoilTempSen,
    &TfrmMonitorUnit::lblAlDefrostTempSen, &TfrmMonitorUnit::lblAlOutTempSen,
    &TfrmMonitorUnit::lblAlPhase,          &TfrmMonitorUnit::lblAlPhaseLose,
    &TfrmMonitorUnit::lblAlOFan,           &TfrmMonitorUnit::lblAlE2P,
    &TfrmMonitorUnit::lblAlFire,           &TfrmMonitorUnit::lblAlIduHumiSen,
    &TfrmMonitorUnit::lblAlOduHumiSen,     &TfrmMonitorUnit::lblAlSysExcep,
    &TfrmMonitorUnit::lblAlWaterInvasion,  &TfrmMonitorUnit::lblAlOtherAlarms,
    &TfrmMonitorUnit::lblAlOATLow,         &TfrmMonitorUnit::lblAlWaterLevel,
    &TfrmMonitorUnit::lblAlPump,
};

// 0x47: seven leading readings at offsets 0, 2, ..., 12.
struct ParamReading {
    ParamLabel Label;
    bool Unsigned;
};
constexpr ParamReading ParamReadings[] = {
    {&TfrmGetUnitParams::lblOnTemp, true},  {&TfrmGetUnitParams::lblOffTemp, true},
    {&TfrmGetUnitParams::lblInTempH, true}, {&TfrmGetUnitParams::lblInTempL, false},
    {&TfrmGetUnitParams::lblInHumiH, true}, {&TfrmGetUnitParams::lblInHumiL, true},
    {&TfrmGetUnitParams::lblSPT, true},
};

// 0x47: items from offset 15. A word table item shows its word, or Fallback
// for a code outside the table; an item without table shows its number.
struct ParamItem {
    ParamLabel Label;
    std::span<const TStateWord> Words;
    std::string_view Fallback;
};
const ParamItem ParamItems[] = {
    {&TfrmGetUnitParams::lblSetMode, StateWords::RunModeParam, ""},
    {&TfrmGetUnitParams::lblIFan, StateWords::FanSpeedParam, TextNotDetected},
    {&TfrmGetUnitParams::lblSwap, StateWords::RunStopParam, TextNotDetected},
    {&TfrmGetUnitParams::lblDisLoc, StateWords::AllowBlockParam, TextNotDetected},
    {&TfrmGetUnitParams::lblBackup, {}, ""},
    {&TfrmGetUnitParams::lblRunAtOnce, {}, ""},
    {&TfrmGetUnitParams::lblStartTemp, {}, ""},
    {&TfrmGetUnitParams::lblStopTemp, {}, ""},
    {&TfrmGetUnitParams::lblUseOAT, {}, ""},
};

}  // namespace

void DecodeAnalogInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info) {
    TfrmMonitorUnit* panel = PanelFor(Monitors, Info, AnalogMinInfo);
    if (panel == nullptr) return;
    std::size_t offset = 1;
    for (const Reading& r : AnalogReadings) {
        PByteToIntegerStr(panel->*r.Label, WordAt(Info, offset), r.Unsigned);
        offset += 2;
    }
    ShowCount(panel->lblAnSelfDefNum, Info[25], true);
    // Whole words only: a lone last byte is not a reading.
    offset = AnalogMinInfo;
    for (const Reading& r : AnalogTrailing) {
        if (offset + 2 > Info.size()) break;
        PByteToIntegerStr(panel->*r.Label, WordAt(Info, offset), r.Unsigned);
        offset += 2;
    }
}

void DecodeSwitchInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info) {
    TfrmMonitorUnit* panel = PanelFor(Monitors, Info, SwitchMinInfo);
    if (panel == nullptr) return;
    SetFontColor(panel->lblSwOnOff, clWindowText());
    SetCaption(panel->lblSwOnOff, UnitPowerStateWord(Info[1]));
    ShowCount(panel->lblSwSelfDefNums, Info[2], true);
    const auto items = Info.subspan(SwitchMinInfo);
    const std::size_t n = std::min(items.size(), std::size(SwitchItems));
    for (std::size_t i = 0; i < n; ++i) {
        QLabel* lbl = panel->*SwitchItems[i].Label;
        const std::uint8_t code = items[i];
        SetFontColor(lbl, code == NotDetectedByte ? clGrayText() : clWindowText());
        SetCaption(lbl, StateWord(SwitchItems[i].Words, code).value_or(std::string_view{}));
    }
}

void DecodeAlarmInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info) {
    TfrmMonitorUnit* panel = PanelFor(Monitors, Info, AlarmMinInfo);
    if (panel == nullptr) return;
    for (std::size_t i = 0; i < std::size(AlarmFixed); ++i) {
        AlarmValueToStr(panel->*AlarmFixed[i], Info[1 + i]);
    }
    ShowCount(panel->lblAlSelfDefNum, Info[12], true);
    const auto items = Info.subspan(AlarmMinInfo);
    const std::size_t n = std::min(items.size(), std::size(AlarmItems));
    for (std::size_t i = 0; i < n; ++i) {
        AlarmValueToStr(panel->*AlarmItems[i], items[i]);
    }
}

void DecodeUserParamsInfo(TfrmGetUnitParams& Panel, std::span<const std::uint8_t> Info) {
    if (Info.size() < UserParamsMinInfo) return;
    std::size_t offset = 0;
    for (const ParamReading& r : ParamReadings) {
        PByteToIntegerStr(Panel.*r.Label, WordAt(Info, offset), r.Unsigned);
        offset += 2;
    }
    ShowCount(Panel.lblSefDefParam, Info[14], false);
    // Whole words only: a lone last byte is not an item.
    offset = UserParamsMinInfo;
    for (const ParamItem& item : ParamItems) {
        if (offset + 2 > Info.size()) break;
        const auto word = WordAt(Info, offset);
        const auto code = static_cast<std::uint16_t>(word[0] << 8 | word[1]);
        QLabel* lbl = Panel.*item.Label;
        if (item.Words.empty()) {
            SetCaption(lbl, QString::number(code));
        } else {
            SetCaption(lbl, StateWord(item.Words, code).value_or(item.Fallback));
        }
        offset += 2;
    }
}

QString ProtocolVersionText(std::uint8_t Ver) {
    return QString::number(Ver >> 4) + QLatin1Char('.') + QString::number(Ver & 0x0F);
}

void ShowProtocolVersion(QLabel* DevVer, std::uint8_t Ver) {
    SetCaption(DevVer, ProtocolVersionText(Ver));
}

void ShowDeviceAddress(QLabel* DevAddr, std::uint8_t Addr) {
    SetCaption(DevAddr, QString::number(Addr));
}

void DecodeVendorInfo(QLabel* DevName, QLabel* SoftVer, QLabel* FacName,
                      std::span<const std::uint8_t> Info) {
    struct Field {
        QLabel* Label;
        std::size_t Offset;
        std::size_t Size;
    };
    const Field fields[] = {{DevName, 0, 30}, {SoftVer, 30, 20}, {FacName, 50, 20}};
    for (const Field& f : fields) {
        if (f.Offset >= Info.size()) break;  // nothing arrived for this field
        const auto bytes = Info.subspan(f.Offset, std::min(f.Size, Info.size() - f.Offset));
        // One character per byte, its code the byte's value; nothing trimmed.
        SetCaption(f.Label, QString::fromLatin1(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<qsizetype>(bytes.size())));
    }
}

const std::array<const char*, ParamCount> ParamListTexts = {
    "空调开机温度",     "空调关机温度",     "回风温度上限", "回风温度下限",
    "回风湿度上限",     "回风湿度下限",     "温度设定值",   "运行模式设定",
    "内风机风速设定",   "摆风功能设定",     "屏蔽本地操作", "双机备份切换时间",
    "高温同开温度设定", "制热模式温度设定", "制冷温控精度", "制热温控精度",
};

std::uint8_t ParamCode(int Index) {
    const int code = (Index >= 0 && Index < 7) ? Index + 0x80 : Index + 0xC0 - 7;
    return static_cast<std::uint8_t>(code);
}

TParamSource ParamSource(int Index) {
    switch (Index) {
        case 7:
            return TParamSource::RunMode;
        case 8:
            return TParamSource::IndoorFan;
        case 9:
            return TParamSource::Swing;
        case 10:
            return TParamSource::LocalLock;
        default:
            return TParamSource::Edit;
    }
}

TParamValue ParseParamValue(const QString& Text) {
    int number = 0;
    try {
        number = StrToInt(Text);
    } catch (const EConvertError& e) {
        return {std::nullopt, e.Message()};
    }
    // The equipment takes a 16-bit word: a larger or negative number would
    // arrive as some other value, so it is refused rather than cut down.
    if (number < 0 || number > 0xFFFF) {
        return {
            std::nullopt,
            QStringLiteral("'%1' is not a valid parameter value: it must lie between 0 and 65535")
                .arg(Text)};
    }
    return {static_cast<std::uint16_t>(number), QString()};
}
