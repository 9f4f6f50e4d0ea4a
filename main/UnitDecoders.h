// Reply decoders of the unit data: they turn the INFO bytes of a reply into
// the texts and colours of the panels' value labels.
//
// Each decoder is handed exactly the INFO bytes that arrived, as a span, and
// reads nothing outside it: a reply shorter than a decoder's minimum changes
// nothing, a shorter-than-full reply updates only the fields it carries, and
// bytes past the last known field are ignored.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

class QLabel;
class TfrmMonitorUnit;
class TfrmGetUnitParams;

using TMonitorPanels = std::array<TfrmMonitorUnit*, 2>;

// Minimum INFO lengths of the replies.
inline constexpr std::size_t AnalogMinInfo = 26;      // 0x42
inline constexpr std::size_t SwitchMinInfo = 3;       // 0x43
inline constexpr std::size_t AlarmMinInfo = 13;       // 0x44
inline constexpr std::size_t UserParamsMinInfo = 15;  // 0x47
inline constexpr std::size_t VendorInfoSize = 70;     // 0x51: 30 + 20 + 20

// Bits 1 to 3 of the DATAFLAG byte: which unit a monitor reply describes.
constexpr int UnitIndex(std::uint8_t DataFlag) {
    return (DataFlag >> 1) & 7;
}

// 0x42 analog values, 0x43 switch states, 0x44 alarm states. The first INFO
// byte picks the panel; a unit index other than 0 or 1 is ignored.
void DecodeAnalogInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info);
void DecodeSwitchInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info);
void DecodeAlarmInfo(const TMonitorPanels& Monitors, std::span<const std::uint8_t> Info);

// 0x47 user parameters.
void DecodeUserParamsInfo(TfrmGetUnitParams& Panel, std::span<const std::uint8_t> Info);

// 0x4F protocol version from the reply's VER byte: major "." minor nibble.
QString ProtocolVersionText(std::uint8_t Ver);
void ShowProtocolVersion(QLabel* DevVer, std::uint8_t Ver);
// 0x50 device address from the reply's ADR byte, in decimal.
void ShowDeviceAddress(QLabel* DevAddr, std::uint8_t Addr);
// 0x51 vendor information: three fixed-length Latin-1 fields. A short reply
// shows each field with the bytes that arrived for it; a field with no byte
// keeps its previous text.
void DecodeVendorInfo(QLabel* DevName, QLabel* SoftVer, QLabel* FacName,
                      std::span<const std::uint8_t> Info);

// --- parameter editor ---

inline constexpr int ParamCount = 16;
// Where the value of a parameter comes from.
enum class TParamSource { Edit, RunMode, IndoorFan, Swing, LocalLock };
// The sixteen parameter texts of the editor's list, in list order.
extern const std::array<const char*, ParamCount> ParamListTexts;
// The parameter code of a list index: 0x80.. for the first seven, 0xC0.. after.
std::uint8_t ParamCode(int Index);
TParamSource ParamSource(int Index);

// The edit text converted to a parameter value. On failure, Error holds the
// message for the operator and Value is empty.
struct TParamValue {
    std::optional<std::uint16_t> Value;
    QString Error;
};
TParamValue ParseParamValue(const QString& Text);
