// What the controller said: its replies decoded into plain values.
//
// Each decoded reply holds exactly the fields that arrived. A reply shorter than the
// full layout carries fewer fields (Count says how many); a field that the controller
// reports as not detected (a reading of 0x2020, a state or alarm byte of 0x20) is an
// empty optional, never a number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "DH.h"
#include "Frame.h"
#include "TextConv.h"

namespace aircon {

// A 16-bit reading, signed or unsigned by its field; empty when not detected.
using TReading = std::optional<std::int32_t>;
// A one-byte state or alarm code; empty when not detected (0x20).
using TStateCode = std::optional<std::uint8_t>;

// One field of a reply layout: its key (English, snake case: metric labels, JSON keys),
// its caption (the panel's caption text without the colon: panels, CSV columns, log,
// report), whether a reading is signed, whether the panel hides it, and for a text field
// its size in bytes.
struct TFieldInfo {
    std::string_view Key;
    std::string_view Caption;
    bool Signed = false;
    bool Hidden = false;
    std::size_t Bytes = 0;  // text fields (vendor information) only
};

// 0x42: twelve readings, then up to six trailing words.
inline constexpr std::size_t AnalogFixedCount = 12;
inline constexpr std::size_t AnalogFieldCount = 18;
// 0x43: nine state items after the power state and the count.
inline constexpr std::size_t SwitchItemCount = 9;
// 0x44: eleven fixed alarms, then up to 25 items.
inline constexpr std::size_t AlarmFixedCount = 11;
inline constexpr std::size_t AlarmFieldCount = 36;
// 0x47: seven readings, then up to nine items.
inline constexpr std::size_t ParamReadingCount = 7;
inline constexpr std::size_t ParamItemCount = 9;

extern const std::array<TFieldInfo, AnalogFieldCount> AnalogFields;
extern const TFieldInfo SwitchPowerField;  // "power", "空调状态"
extern const std::array<TFieldInfo, SwitchItemCount> SwitchFields;
extern const std::array<TFieldInfo, AlarmFieldCount> AlarmFields;
extern const std::array<TFieldInfo, ParamReadingCount + ParamItemCount> ParamFields;
// The parameter code of a ParamFields position (0x80 to 0x86, then 0xC0 to 0xC8), and the
// position of a code (empty for a code that is no user parameter).
std::uint8_t ParamFieldCode(std::size_t Index);
std::optional<std::size_t> ParamFieldIndex(std::uint8_t Code);
extern const std::array<TFieldInfo, 3> VendorFields;  // device name, software version, vendor
// The user-defined count byte of each reply ("user_defined_count"); a plain number.
extern const TFieldInfo AnalogCountField;  // "用户自定义遥测数量"
extern const TFieldInfo SwitchCountField;  // "用户自定义状态数量"
extern const TFieldInfo AlarmCountField;   // "用户自定义遥测数量"
extern const TFieldInfo ParamCountField;   // "用户自定义数量"

// The fields a panel shows for a reply, its count byte (and the power state) included: a
// panel's layout row names a field by group and key and takes its caption from it.
enum class TFieldGroup { Analog, Switches, Alarms, UserParams, Vendor };
// The field of Group with Key; nullptr when the group has none.
const TFieldInfo* FindField(TFieldGroup Group, std::string_view Key);

// Reply 0x42 of one unit.
struct TAnalogValues {
    int Unit = 0;  // 0 or 1: bits 1 to 3 of DATAFLAG
    std::uint8_t DataFlag = 0;
    std::array<TReading, AnalogFieldCount> Values{};  // in AnalogFields order
    std::size_t Count = 0;                            // fields carried: 12 to 18
    std::uint8_t UserDefinedCount = 0;
    friend bool operator==(const TAnalogValues&, const TAnalogValues&) = default;
};

// Reply 0x43 of one unit.
struct TSwitchStates {
    int Unit = 0;
    std::uint8_t DataFlag = 0;
    TStateCode Power;  // 0 on, other codes off; empty: the unit is not registered (0x20)
    std::uint8_t UserDefinedCount = 0;
    std::array<TStateCode, SwitchItemCount> Items{};  // in SwitchFields order
    std::size_t Count = 0;                            // items carried: 0 to 9
    friend bool operator==(const TSwitchStates&, const TSwitchStates&) = default;
};

// Reply 0x44 of one unit. Codes: 0 normal, 1 below the lower limit, 2 above the upper
// limit, 0xF0 fault; any other code has no text.
struct TAlarmStates {
    int Unit = 0;
    std::uint8_t DataFlag = 0;
    std::array<TStateCode, AlarmFieldCount> Codes{};  // in AlarmFields order
    std::size_t Count = 0;                            // fields carried: 11 to 36
    std::uint8_t UserDefinedCount = 0;
    friend bool operator==(const TAlarmStates&, const TAlarmStates&) = default;
};

// Reply 0x47. The items are whole 16-bit codes or numbers and have no sentinel.
struct TUserParams {
    std::array<TReading, ParamReadingCount> Readings{};
    std::uint8_t UserDefinedCount = 0;
    std::array<std::uint16_t, ParamItemCount> Items{};
    std::size_t ItemCount = 0;  // items carried: 0 to 9
    friend bool operator==(const TUserParams&, const TUserParams&) = default;
};

// Reply 0x4F: the reply's VER byte (high nibble major, low nibble minor).
struct TProtocolVersion {
    std::uint8_t Ver = 0;
    friend bool operator==(const TProtocolVersion&, const TProtocolVersion&) = default;
};

// Reply 0x50: the reply's ADR byte.
struct TDeviceAddress {
    std::uint8_t Addr = 0;
    friend bool operator==(const TDeviceAddress&, const TDeviceAddress&) = default;
};

// Reply 0x51: three fixed-length fields of Latin-1 bytes exactly as they came (nothing
// trimmed, zero bytes kept). A field is present when at least one of its bytes arrived.
struct TVendorInfo {
    std::array<std::optional<std::string>, 3> Fields{};  // in VendorFields order
    friend bool operator==(const TVendorInfo&, const TVendorInfo&) = default;
};

using TReplyData = std::variant<TAnalogValues, TSwitchStates, TAlarmStates, TUserParams,
                                TProtocolVersion, TDeviceAddress, TVendorInfo>;

// Decoders over exactly the INFO bytes that arrived: never a read beyond them. Empty for
// an INFO shorter than the layout's minimum or a unit index other than 0 or 1.
std::optional<TAnalogValues> ParseAnalog(std::span<const std::uint8_t> Info);
std::optional<TSwitchStates> ParseSwitches(std::span<const std::uint8_t> Info);
std::optional<TAlarmStates> ParseAlarms(std::span<const std::uint8_t> Info);
std::optional<TUserParams> ParseUserParams(std::span<const std::uint8_t> Info);
std::optional<TVendorInfo> ParseVendorInfo(std::span<const std::uint8_t> Info);

// The dispatch by the CID2 of the last command sent: 0x42, 0x43, 0x44, 0x47, 0x4F, 0x50
// and 0x51 have a decoder, every other CID2 none.
bool HasDecoder(std::uint8_t CID2);
// Decodes an RTN-0 reply read as the answer to CID2; Header carries the reply's VER and
// ADR. Empty when CID2 has no decoder or the INFO is malformed for it.
std::optional<TReplyData> DecodeReply(std::uint8_t CID2, TDH_Header Header,
                                      std::span<const std::uint8_t> Info);

// Words of the codes, as the panels show them.
inline constexpr std::string_view NotDetectedText = "未检测";

// One row of a state word table.
struct TStateWord {
    std::uint16_t Code;
    std::string_view Text;
};

// The state word tables. "Monitor" tables serve the unit monitor panel (one byte per
// code, with the not-detected row where it has one); "Param" tables serve the
// parameter panel (whole 16-bit codes, no not-detected row).
namespace StateWords {
inline constexpr TStateWord RunModeMonitor[] = {{0, "自动"}, {1, "制冷"}, {2, "除湿"},
                                                {3, "送风"}, {4, "制热"}, {0x20, "未检测"}};
inline constexpr TStateWord RunModeParam[] = {{0, "自动"}, {1, "制冷"}, {2, "除湿"}, {3, "送风"},
                                              {4, "制热"}, {5, "新风"}, {6, "空调"}};
inline constexpr TStateWord FanSpeedMonitor[] = {
    {0, "停"}, {1, "低风"}, {2, "中风"}, {3, "高风"}, {0x20, "未检测"}};
inline constexpr TStateWord FanSpeedParam[] = {{0, "停止"}, {1, "低风"}, {2, "中风"}, {3, "高风"}};
inline constexpr TStateWord RunStopMonitor[] = {{0, "停止"}, {1, "运转"}, {0x20, "未检测"}};
inline constexpr TStateWord RunStopParam[] = {{0, "停止"}, {1, "运转"}};
inline constexpr TStateWord OffOnMonitor[] = {{0, "关闭"}, {1, "开启"}, {0x20, "未检测"}};
inline constexpr TStateWord AllowBlockParam[] = {{0, "允许"}, {1, "屏蔽"}};
// The unit's power state: 0 on, any other code off.
inline constexpr TStateWord UnitPowerMonitor[] = {{0, "开机"}, {1, "关机"}};
}  // namespace StateWords

// The word of a code, or nothing when the table has no row for it.
std::optional<std::string_view> StateWord(std::span<const TStateWord> Table, std::uint16_t Code);

// What the colour of a shown value says; each view has its own colour for each meaning.
enum class TValueColour {
    Ordinary,         // an ordinary reading, state or count
    NotDetected,      // not detected
    Normal,           // alarm: normal
    BelowLowerLimit,  // alarm: below the lower limit
    AboveUpperLimit,  // alarm: above the upper limit
    Fault,            // alarm: fault
    Unchanged,        // an alarm code without text: the label keeps its colour
};

// A reading as text: its decimal number, or "未检测" when not detected.
std::string ReadingText(const TReading& Reading);
TValueColour ReadingColour(const TReading& Reading);

// The colour of a switch state: grey when not detected, window text otherwise.
TValueColour StateColour(const TStateCode& Code);

std::string_view AlarmCodeText(std::uint8_t Code);  // "" for a code without text
// The alarm word of a field ("未检测" when not detected) and its colour.
std::string_view AlarmText(const TStateCode& Code);
TValueColour AlarmColour(const TStateCode& Code);
std::string_view UnitPowerWord(TStateCode Power);  // "开机", "关机", "未注册"
// The word of switch item Item (SwitchFields order); "未检测" when not detected, "" for
// a code outside the item's table.
std::string_view SwitchItemWord(std::size_t Item, TStateCode Code);
// The word table of parameter item Item (0 to 8): run mode, fan speed, swing and the
// local lock have one; the numbers after them none (an empty span).
std::span<const TStateWord> ParamItemWords(std::size_t Item);
// The text of parameter item Item (0 to 8, as on the parameter panel): a word for the
// four items with a table, the decimal number for the others.
std::string ParamItemText(std::size_t Item, std::uint16_t Code);
std::string ProtocolVersionText(std::uint8_t Ver);  // "1.0", "10.11"
// A fixed-length text field (vendor information) without its padding: the trailing
// blanks and zero bytes cut.
std::string_view WithoutPadding(std::string_view Latin1);

// What a reading or a state stands for, so that a chart gives each its own axis. A
// reading's quantity is told by its caption, with the unit where the caption leaves no
// doubt (a pressure has none: controllers differ); a state's is its word table.
enum class TQuantity {
    Voltage,      // "电压", V
    Current,      // "电流", A
    Temperature,  // "温度", °C
    Humidity,     // "湿度", %RH
    RunTime,      // "运行时间", h
    Pressure,     // "压力", no unit
    Reading,      // any other reading, no unit
    UnitPower,    // 开机/关机
    RunMode,      // 自动, 制冷, ...
    FanSpeed,     // 停, 低风, ...
    RunStop,      // 停止/运转
    OffOn,        // 关闭/开启
};
struct TQuantityInfo {
    std::string_view Name;              // "温度"
    std::string_view Unit;              // "°C"; empty when not known
    std::span<const TStateWord> Words;  // a state's words; empty for a reading
    bool State() const { return !Words.empty(); }
};
const TQuantityInfo& QuantityInfo(TQuantity Quantity);
// The quantity of a reading by its caption ("送风温度": a temperature).
TQuantity ReadingQuantity(std::string_view Caption);
// The quantity of switch item Item (SwitchFields order); Reading beyond the items.
TQuantity SwitchItemQuantity(std::size_t Item);
// Latin-1 bytes as UTF-8 text: the helper library's.
using util::Latin1ToUtf8;
// A fixed-length text field of 0x51 as a person reads it: trailing blanks and zero bytes
// cut, the Latin-1 bytes as UTF-8.
std::string VendorFieldText(std::string_view Bytes);

}  // namespace aircon
