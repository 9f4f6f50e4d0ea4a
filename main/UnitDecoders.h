// The panels' side of the reply decoders: each reply is parsed by the monitoring
// core into a typed record (aircon::ParseAnalog and its siblings), and shown from
// that record here. Tables map every field of a record to its value label; a label
// whose text and colour do not change is not touched.
//
// The Decode*Info functions are parse-then-show in one call, over exactly the INFO
// bytes that arrived: a reply shorter than its minimum or for another unit changes
// nothing, a shorter-than-full reply updates only the fields it carries.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "Model.h"

class QLabel;
class TfrmMonitorUnit;
class TfrmGetUnitParams;

using TMonitorPanels = std::array<TfrmMonitorUnit*, 2>;

// The labels of the identity tabs.
struct TIdentityLabels {
    QLabel* DevVer = nullptr;         // lblGetDevVer
    QLabel* DevAddr = nullptr;        // lblGetDevAddr
    std::array<QLabel*, 3> Vendor{};  // lblGetDevName, lblGetFacSoftVer, lblGetFacName
};

// --- show a decoded reply ---
void ShowAnalog(const TMonitorPanels& Monitors, const aircon::TAnalogValues& Values);
void ShowSwitches(const TMonitorPanels& Monitors, const aircon::TSwitchStates& States);
void ShowAlarms(const TMonitorPanels& Monitors, const aircon::TAlarmStates& Alarms);
void ShowUserParams(TfrmGetUnitParams& Panel, const aircon::TUserParams& Params);
void ShowProtocolVersion(QLabel* DevVer, std::uint8_t Ver);
void ShowDeviceAddress(QLabel* DevAddr, std::uint8_t Addr);
// Each field shows the bytes that arrived for it; a field with no byte keeps its text.
void ShowVendorInfo(const std::array<QLabel*, 3>& Labels, const aircon::TVendorInfo& Info);

// --- parse, then show ---
void DecodeAnalogInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info);
void DecodeSwitchInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info);
void DecodeAlarmInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info);
void DecodeUserParamsInfo(TfrmGetUnitParams& Panel, std::span<const std::uint8_t> Info);
void DecodeVendorInfo(QLabel* DevName, QLabel* SoftVer, QLabel* FacName,
                      std::span<const std::uint8_t> Info);

// --- parameter editor ---

inline constexpr int ParamCount =
    static_cast<int>(aircon::ParamReadingCount + aircon::ParamItemCount);
// Where the value of a parameter comes from.
enum class TParamSource { Edit, RunMode, IndoorFan, Swing, LocalLock };
// The text of a parameter in the editor's list (list order is the order of the core's
// parameter fields, so a list index is a field index: aircon::ParamFieldCode gives its
// code): the field's caption.
QString ParamListText(int Index);
TParamSource ParamSource(int Index);

// The edit text converted to a parameter value. On failure, Error holds the
// message for the operator and Value is empty.
struct TParamValue {
    std::optional<std::uint16_t> Value;
    QString Error;
};
TParamValue ParseParamValue(const QString& Text);
