#include "UnitDecoders.h"

#include "GetUnitParams.h"
#include "MessageBoxes.h"
#include "MonitorUnit.h"
#include "Render.h"

#include <QLabel>

#include <algorithm>

namespace {

TfrmMonitorUnit* PanelOf(const TMonitorPanels& Monitors, int Unit) {
    if (Unit < 0 || Unit >= static_cast<int>(Monitors.size())) return nullptr;
    return Monitors[static_cast<std::size_t>(Unit)];
}

}  // namespace

void ShowAnalog(const TMonitorPanels& Monitors, const aircon::TAnalogValues& Values) {
    TfrmMonitorUnit* panel = PanelOf(Monitors, Values.Unit);
    if (panel == nullptr) return;
    const std::size_t count = std::min(Values.Count, aircon::AnalogFieldCount);
    for (std::size_t i = 0; i < aircon::AnalogFixedCount; ++i)
        ShowReading(panel->ValueLabel(aircon::AnalogFields[i]), Values.Values[i]);
    ShowCount(panel->ValueLabel(aircon::AnalogCountField), Values.UserDefinedCount, true);
    for (std::size_t i = aircon::AnalogFixedCount; i < count; ++i)
        ShowReading(panel->ValueLabel(aircon::AnalogFields[i]), Values.Values[i]);
}

void ShowSwitches(const TMonitorPanels& Monitors, const aircon::TSwitchStates& States) {
    TfrmMonitorUnit* panel = PanelOf(Monitors, States.Unit);
    if (panel == nullptr) return;
    // The power state is never grey, also for an unregistered unit.
    ShowValue(panel->ValueLabel(aircon::SwitchPowerField), aircon::UnitPowerWord(States.Power),
              clWindowText());
    ShowCount(panel->ValueLabel(aircon::SwitchCountField), States.UserDefinedCount, true);
    const std::size_t count = std::min(States.Count, aircon::SwitchItemCount);
    for (std::size_t i = 0; i < count; ++i) {
        const aircon::TStateCode& code = States.Items[i];
        ShowValue(panel->ValueLabel(aircon::SwitchFields[i]), aircon::SwitchItemWord(i, code),
                  ColourOf(aircon::StateColour(code)));
    }
}

void ShowAlarms(const TMonitorPanels& Monitors, const aircon::TAlarmStates& Alarms) {
    TfrmMonitorUnit* panel = PanelOf(Monitors, Alarms.Unit);
    if (panel == nullptr) return;
    const std::size_t count = std::min(Alarms.Count, aircon::AlarmFieldCount);
    for (std::size_t i = 0; i < aircon::AlarmFixedCount; ++i)
        ShowAlarm(panel->ValueLabel(aircon::AlarmFields[i]), Alarms.Codes[i]);
    ShowCount(panel->ValueLabel(aircon::AlarmCountField), Alarms.UserDefinedCount, true);
    for (std::size_t i = aircon::AlarmFixedCount; i < count; ++i)
        ShowAlarm(panel->ValueLabel(aircon::AlarmFields[i]), Alarms.Codes[i]);
}

void ShowUserParams(TfrmGetUnitParams& Panel, const aircon::TUserParams& Params) {
    for (std::size_t i = 0; i < aircon::ParamReadingCount; ++i)
        ShowReading(Panel.ValueLabel(aircon::ParamFields[i]), Params.Readings[i]);
    // The count and the items keep their colour.
    ShowCount(Panel.ValueLabel(aircon::ParamCountField), Params.UserDefinedCount, false);
    const std::size_t count = std::min(Params.ItemCount, aircon::ParamItemCount);
    for (std::size_t i = 0; i < count; ++i)
        SetCaption(Panel.ValueLabel(aircon::ParamFields[aircon::ParamReadingCount + i]),
                   aircon::ParamItemText(i, Params.Items[i]));
}

void ShowProtocolVersion(QLabel* DevVer, std::uint8_t Ver) {
    SetCaption(DevVer, aircon::ProtocolVersionText(Ver));
}

void ShowDeviceAddress(QLabel* DevAddr, std::uint8_t Addr) {
    SetCaption(DevAddr, QString::number(Addr));
}

void ShowVendorInfo(const std::array<QLabel*, 3>& Labels, const aircon::TVendorInfo& Info) {
    for (std::size_t i = 0; i < Labels.size(); ++i) {
        // One character per byte, its code the byte's value; nothing trimmed.
        if (const auto& field = Info.Fields[i]; field && Labels[i])
            SetCaption(Labels[i],
                       QString::fromLatin1(field->data(), static_cast<qsizetype>(field->size())));
    }
}

void DecodeAnalogInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info) {
    if (const auto values = aircon::ParseAnalog(Info)) ShowAnalog(Monitors, *values);
}

void DecodeSwitchInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info) {
    if (const auto states = aircon::ParseSwitches(Info)) ShowSwitches(Monitors, *states);
}

void DecodeAlarmInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info) {
    if (const auto alarms = aircon::ParseAlarms(Info)) ShowAlarms(Monitors, *alarms);
}

void DecodeUserParamsInfo(TfrmGetUnitParams& Panel, std::span<const std::uint8_t> Info) {
    if (const auto params = aircon::ParseUserParams(Info)) ShowUserParams(Panel, *params);
}

void DecodeVendorInfo(QLabel* DevName, QLabel* SoftVer, QLabel* FacName,
                      std::span<const std::uint8_t> Info) {
    if (const auto vendor = aircon::ParseVendorInfo(Info))
        ShowVendorInfo({DevName, SoftVer, FacName}, *vendor);
}

QString ParamListText(int Index) {
    if (Index < 0 || Index >= ParamCount) return {};
    const std::string_view caption = aircon::ParamFields[static_cast<std::size_t>(Index)].Caption;
    return QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()));
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
