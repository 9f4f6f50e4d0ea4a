#include "Model.h"

#include <algorithm>

#include "Frame.h"
#include "StandardNames.h"

namespace aircon {

namespace {

constexpr std::uint8_t NotDetectedByte = 0x20;

// Minimum INFO lengths of the replies.
constexpr std::size_t AnalogMinInfo = 26;      // DATAFLAG, twelve readings, the count
constexpr std::size_t SwitchMinInfo = 3;       // DATAFLAG, power state, the count
constexpr std::size_t AlarmMinInfo = 13;       // DATAFLAG, eleven alarms, the count
constexpr std::size_t UserParamsMinInfo = 15;  // seven readings, the count

// Bits 1 to 3 of DATAFLAG: the unit a monitor reply describes.
constexpr int UnitIndex(std::uint8_t DataFlag) {
    return (DataFlag >> 1) & 7;
}

std::uint16_t WordAt(std::span<const std::uint8_t> Info, std::size_t Offset) {
    return static_cast<std::uint16_t>(Info[Offset] << 8 | Info[Offset + 1]);
}

// A 16-bit reading high byte first; the word 0x2020 means not detected.
TReading ReadingAt(std::span<const std::uint8_t> Info, std::size_t Offset, bool Signed) {
    if (Info[Offset] == NotDetectedByte && Info[Offset + 1] == NotDetectedByte) return std::nullopt;
    const std::uint16_t v = WordAt(Info, Offset);
    return Signed ? std::int32_t{static_cast<std::int16_t>(v)} : std::int32_t{v};
}

TStateCode CodeOf(std::uint8_t Byte) {
    if (Byte == NotDetectedByte) return std::nullopt;
    return Byte;
}

// The monitor-panel word table of each switch item, in SwitchFields order.
constexpr std::span<const TStateWord> SwitchItemTables[SwitchItemCount] = {
    StateWords::RunModeMonitor, StateWords::FanSpeedMonitor, StateWords::RunStopMonitor,
    StateWords::RunStopMonitor, StateWords::FanSpeedMonitor, StateWords::RunStopMonitor,
    StateWords::OffOnMonitor,   StateWords::OffOnMonitor,    StateWords::OffOnMonitor,
};

}  // namespace

// ---------------------------------------------------------------------------
// Field tables. The standard channels take their captions from the codec's standard names,
// but for the compressor and fan alarms, which the panel words as overloads.

const std::array<TFieldInfo, AnalogFieldCount> AnalogFields{{
    {"voltage_ab", dhnames::Analog[0], false, false},
    {"voltage_bc", dhnames::Analog[1], false, false},
    {"voltage_ca", dhnames::Analog[2], false, false},
    {"current_a", dhnames::Analog[3], false, false},
    {"current_b", dhnames::Analog[4], false, false},
    {"current_c", dhnames::Analog[5], false, false},
    {"supply_air_temp", dhnames::Analog[6], true, false},
    {"return_air_temp", dhnames::Analog[7], true, false},
    {"supply_air_humidity", dhnames::Analog[8], false, false},
    {"return_air_humidity", dhnames::Analog[9], false, false},
    {"compressor_suction_pressure", dhnames::Analog[10], false, false},
    {"compressor_discharge_pressure", dhnames::Analog[11], false, false},
    {"outdoor_temp", "室外环境温度", true, false},
    {"discharge_temp", "排气温度", true, false},
    {"outdoor_humidity", "室外湿度", false, false},
    {"indoor_coil_temp", "室内盘管温度", true, false},
    {"compressor_run_time", "压缩机运行时间", false, false},
    {"unit_run_time", "机组运行时间", false, false},
}};

const TFieldInfo SwitchPowerField{"power", dhnames::Switch[0], false, false};

const std::array<TFieldInfo, SwitchItemCount> SwitchFields{{
    {"run_mode", "运行模式", false, false},
    {"indoor_fan", "内风机", false, false},
    {"four_way_valve", "四通阀", false, false},
    {"compressor", "压缩机启停", false, false},
    {"outdoor_fan", "外风机", false, false},
    {"swing", "摆风状态", false, false},
    {"heater", "电加热", false, false},
    {"exhaust_fan", "排风机", false, true},
    {"water_pump", "水泵状态", false, true},
}};

const std::array<TFieldInfo, AlarmFieldCount> AlarmFields{{
    {"voltage_ab", dhnames::Alarm[0], false, false},
    {"voltage_bc", dhnames::Alarm[1], false, false},
    {"voltage_ca", dhnames::Alarm[2], false, false},
    {"current_a", dhnames::Alarm[3], false, false},
    {"current_b", dhnames::Alarm[4], false, false},
    {"current_c", dhnames::Alarm[5], false, false},
    {"return_air_temp", dhnames::Alarm[6], false, false},
    {"return_air_humidity", dhnames::Alarm[7], false, false},
    {"filter", dhnames::Alarm[8], false, false},
    {"compressor_overload", "压缩机过载", false, false},
    {"indoor_fan_overload", "内风机过载", false, false},
    {"high_pressure", "高压压力保护", false, false},
    {"low_pressure", "低压压力保护", false, false},
    {"discharge_protection", "排气保护", false, false},
    {"indoor_outdoor_comm", "内外机通讯故障", false, false},
    {"indoor_ambient_temp_sensor", "室内环境温度传感器", false, false},
    {"indoor_coil_inlet_temp_sensor", "内机盘管进口温度传感器", false, false},
    {"indoor_coil_middle_temp_sensor", "内机盘管中间温度传感器", false, false},
    {"indoor_coil_outlet_temp_sensor", "内机盘管出口温度传感器", false, false},
    {"outdoor_ambient_temp_sensor", "室外环境温度传感器", false, false},
    {"outdoor_coil_inlet_temp_sensor", "外机盘管进口温度传感器", false, true},
    {"outdoor_coil_temp_sensor", "外机盘管温度传感器", false, false},
    {"discharge_temp_sensor", "排气温度传感器", false, false},
    {"phase_sequence", "相序保护", false, false},
    {"phase_loss", "缺相保护", false, false},
    {"outdoor_fan", "室外风机", false, false},
    {"eeprom", "EEPROM故障", false, false},
    {"fire", "消防报警", false, false},
    {"indoor_humidity_sensor", "室内湿度传感器", false, false},
    {"outdoor_humidity_sensor", "室外湿度传感器", false, false},
    {"system_abnormal", "系统异常", false, false},
    {"water_leak", "水浸告警", false, false},
    {"other_alarms", "其它不正常告警", false, false},
    {"outdoor_unit_stolen", "外机被盗", false, false},
    {"water_level", "水位故障", false, true},
    {"water_pump", "水泵故障", false, true},
}};

const std::array<TFieldInfo, ParamReadingCount + ParamItemCount> ParamFields{{
    {"on_temp", dhnames::Param[0], false, false},
    {"off_temp", dhnames::Param[1], false, false},
    {"return_air_temp_high", dhnames::Param[2], false, false},
    {"return_air_temp_low", dhnames::Param[3], true, false},
    {"return_air_humidity_high", dhnames::Param[4], false, false},
    {"return_air_humidity_low", dhnames::Param[5], false, false},
    {"temp_set_point", dhnames::Param[6], false, false},
    {"run_mode", "运行模式设定", false, false},
    {"indoor_fan_speed", "内风机风速设定", false, false},
    {"swing", "摆风功能设定", false, false},
    {"local_lock", "屏蔽本地操作", false, false},
    {"backup_switch_time", "双机备份切换时间", false, false},
    {"joint_start_temp", "高温同开温度设定", false, false},
    {"heating_mode_temp", "制热模式温度设定", false, false},
    {"cooling_precision", "制冷温控精度", false, false},
    {"heating_precision", "制热温控精度", false, false},
}};

std::uint8_t ParamFieldCode(std::size_t Index) {
    return static_cast<std::uint8_t>(
        Index < ParamReadingCount ? 0x80 + Index : 0xC0 + (Index - ParamReadingCount));
}

std::optional<std::size_t> ParamFieldIndex(std::uint8_t Code) {
    if (Code >= 0x80 && Code < 0x80 + ParamReadingCount) return std::size_t{Code - 0x80u};
    if (Code >= 0xC0 && Code < 0xC0 + ParamItemCount)
        return std::size_t{ParamReadingCount + (Code - 0xC0u)};
    return std::nullopt;
}

const std::array<TFieldInfo, 3> VendorFields{{
    {"device_name", "采集器名称", false, false, 30},
    {"software_version", "厂商软件版本", false, false, 20},
    {"vendor_name", "厂商名称", false, false, 20},
}};

const TFieldInfo AnalogCountField{"user_defined_count", "用户自定义遥测数量", false, false};
const TFieldInfo SwitchCountField{"user_defined_count", "用户自定义状态数量", false, false};
const TFieldInfo AlarmCountField{"user_defined_count", "用户自定义遥测数量", false, false};
const TFieldInfo ParamCountField{"user_defined_count", "用户自定义数量", false, false};

const TFieldInfo* FindField(TFieldGroup Group, std::string_view Key) {
    auto in = [Key](std::span<const TFieldInfo> Fields) -> const TFieldInfo* {
        for (const TFieldInfo& f : Fields)
            if (f.Key == Key) return &f;
        return nullptr;
    };
    auto one = [Key](const TFieldInfo& f) { return f.Key == Key ? &f : nullptr; };
    const TFieldInfo* found = nullptr;
    switch (Group) {
        case TFieldGroup::Analog:
            found = in(AnalogFields);
            return found ? found : one(AnalogCountField);
        case TFieldGroup::Switches:
            found = in(SwitchFields);
            if (!found) found = one(SwitchPowerField);
            return found ? found : one(SwitchCountField);
        case TFieldGroup::Alarms:
            found = in(AlarmFields);
            return found ? found : one(AlarmCountField);
        case TFieldGroup::UserParams:
            found = in(ParamFields);
            return found ? found : one(ParamCountField);
        case TFieldGroup::Vendor:
            return in(VendorFields);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Decoders

std::optional<TAnalogValues> ParseAnalog(std::span<const std::uint8_t> Info) {
    if (Info.size() < AnalogMinInfo) return std::nullopt;
    const int unit = UnitIndex(Info[0]);
    if (unit > 1) return std::nullopt;
    TAnalogValues v;
    v.Unit = unit;
    v.DataFlag = Info[0];
    for (std::size_t i = 0; i < AnalogFixedCount; ++i)
        v.Values[i] = ReadingAt(Info, 1 + 2 * i, AnalogFields[i].Signed);
    v.UserDefinedCount = Info[25];
    v.Count = AnalogFixedCount;
    // Whole trailing words only: a lone last byte is not a reading, and the count
    // byte does not bound the walk.
    for (std::size_t offset = AnalogMinInfo;
         v.Count < AnalogFieldCount && offset + 2 <= Info.size(); offset += 2) {
        v.Values[v.Count] = ReadingAt(Info, offset, AnalogFields[v.Count].Signed);
        ++v.Count;
    }
    return v;
}

std::optional<TSwitchStates> ParseSwitches(std::span<const std::uint8_t> Info) {
    if (Info.size() < SwitchMinInfo) return std::nullopt;
    const int unit = UnitIndex(Info[0]);
    if (unit > 1) return std::nullopt;
    TSwitchStates s;
    s.Unit = unit;
    s.DataFlag = Info[0];
    s.Power = CodeOf(Info[1]);
    s.UserDefinedCount = Info[2];
    s.Count = std::min(Info.size() - SwitchMinInfo, SwitchItemCount);
    for (std::size_t i = 0; i < s.Count; ++i)
        s.Items[i] = CodeOf(Info[SwitchMinInfo + i]);
    return s;
}

std::optional<TAlarmStates> ParseAlarms(std::span<const std::uint8_t> Info) {
    if (Info.size() < AlarmMinInfo) return std::nullopt;
    const int unit = UnitIndex(Info[0]);
    if (unit > 1) return std::nullopt;
    TAlarmStates a;
    a.Unit = unit;
    a.DataFlag = Info[0];
    for (std::size_t i = 0; i < AlarmFixedCount; ++i)
        a.Codes[i] = CodeOf(Info[1 + i]);
    a.UserDefinedCount = Info[12];
    const std::size_t items =
        std::min(Info.size() - AlarmMinInfo, AlarmFieldCount - AlarmFixedCount);
    for (std::size_t i = 0; i < items; ++i)
        a.Codes[AlarmFixedCount + i] = CodeOf(Info[AlarmMinInfo + i]);
    a.Count = AlarmFixedCount + items;
    return a;
}

std::optional<TUserParams> ParseUserParams(std::span<const std::uint8_t> Info) {
    if (Info.size() < UserParamsMinInfo) return std::nullopt;
    TUserParams p;
    for (std::size_t i = 0; i < ParamReadingCount; ++i)
        p.Readings[i] = ReadingAt(Info, 2 * i, ParamFields[i].Signed);
    p.UserDefinedCount = Info[14];
    // Whole items only: a lone last byte is not an item.
    for (std::size_t offset = UserParamsMinInfo;
         p.ItemCount < ParamItemCount && offset + 2 <= Info.size(); offset += 2) {
        p.Items[p.ItemCount] = WordAt(Info, offset);
        ++p.ItemCount;
    }
    return p;
}

std::optional<TVendorInfo> ParseVendorInfo(std::span<const std::uint8_t> Info) {
    TVendorInfo v;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < v.Fields.size(); ++i) {
        if (offset >= Info.size()) break;  // nothing arrived for this field
        const std::size_t n = std::min(VendorFields[i].Bytes, Info.size() - offset);
        const auto bytes = Info.subspan(offset, n);
        v.Fields[i] = std::string(bytes.begin(), bytes.end());
        offset += VendorFields[i].Bytes;
    }
    return v;
}

bool HasDecoder(std::uint8_t CID2) {
    switch (CID2) {
        case CID2::Analog:
        case CID2::Switches:
        case CID2::Alarms:
        case CID2::UserParams:
        case CID2::Version:
        case CID2::Address:
        case CID2::VendorInfo:
            return true;
        default:
            return false;
    }
}

std::optional<TReplyData> DecodeReply(std::uint8_t CID2, TDH_Header Header,
                                      std::span<const std::uint8_t> Info) {
    auto wrap = [](auto parsed) -> std::optional<TReplyData> {
        if (!parsed) return std::nullopt;
        return TReplyData{std::move(*parsed)};
    };
    switch (CID2) {
        case CID2::Analog:
            return wrap(ParseAnalog(Info));
        case CID2::Switches:
            return wrap(ParseSwitches(Info));
        case CID2::Alarms:
            return wrap(ParseAlarms(Info));
        case CID2::UserParams:
            return wrap(ParseUserParams(Info));
        case CID2::Version:
            return TReplyData{TProtocolVersion{Header.Ver}};
        case CID2::Address:
            return TReplyData{TDeviceAddress{Header.Addr}};
        case CID2::VendorInfo:
            return wrap(ParseVendorInfo(Info));
        default:
            return std::nullopt;
    }
}

// ---------------------------------------------------------------------------
// Words

std::optional<std::string_view> StateWord(std::span<const TStateWord> Table, std::uint16_t Code) {
    for (const TStateWord& w : Table) {
        if (w.Code == Code) return w.Text;
    }
    return std::nullopt;
}

std::string ReadingText(const TReading& Reading) {
    if (!Reading) return std::string(NotDetectedText);
    return std::to_string(*Reading);
}

TValueColour ReadingColour(const TReading& Reading) {
    return Reading ? TValueColour::Ordinary : TValueColour::NotDetected;
}

TValueColour StateColour(const TStateCode& Code) {
    return Code ? TValueColour::Ordinary : TValueColour::NotDetected;
}

std::string_view AlarmCodeText(std::uint8_t Code) {
    switch (Code) {
        case 0x00:
            return "正常";
        case 0x01:
            return "低于下限";
        case 0x02:
            return "高于上限";
        case NotDetectedByte:
            return NotDetectedText;
        case 0xF0:
            return "故障";
        default:
            return "";
    }
}

std::string_view AlarmText(const TStateCode& Code) {
    return AlarmCodeText(Code.value_or(NotDetectedByte));
}

TValueColour AlarmColour(const TStateCode& Code) {
    switch (Code.value_or(NotDetectedByte)) {
        case 0x00:
            return TValueColour::Normal;
        case 0x01:
            return TValueColour::BelowLowerLimit;
        case 0x02:
            return TValueColour::AboveUpperLimit;
        case NotDetectedByte:
            return TValueColour::NotDetected;
        case 0xF0:
            return TValueColour::Fault;
        default:
            return TValueColour::Unchanged;
    }
}

std::string_view UnitPowerWord(TStateCode Power) {
    if (!Power) return "未注册";
    return *Power == 0 ? "开机" : "关机";
}

std::string_view SwitchItemWord(std::size_t Item, TStateCode Code) {
    if (!Code) return NotDetectedText;
    if (Item >= SwitchItemCount) return "";
    return StateWord(SwitchItemTables[Item], *Code).value_or(std::string_view{});
}

std::span<const TStateWord> ParamItemWords(std::size_t Item) {
    static constexpr std::span<const TStateWord> tables[] = {
        StateWords::RunModeParam,
        StateWords::FanSpeedParam,
        StateWords::RunStopParam,
        StateWords::AllowBlockParam,
    };
    return Item < std::size(tables) ? tables[Item] : std::span<const TStateWord>{};
}

const TQuantityInfo& QuantityInfo(TQuantity Quantity) {
    static constexpr TQuantityInfo infos[] = {
        {"电压", "V", {}},
        {"电流", "A", {}},
        {"温度", "°C", {}},
        {"湿度", "%RH", {}},
        {"运行时间", "h", {}},
        {"压力", "", {}},
        {"读数", "", {}},
        {"空调状态", "", StateWords::UnitPowerMonitor},
        {"运行模式", "", StateWords::RunModeMonitor},
        {"风速", "", StateWords::FanSpeedMonitor},
        {"运转/停止", "", StateWords::RunStopMonitor},
        {"开启/关闭", "", StateWords::OffOnMonitor},
    };
    return infos[static_cast<std::size_t>(Quantity)];
}

TQuantity ReadingQuantity(std::string_view Caption) {
    // The first word of the caption that names a quantity: "压缩机运行时间" is a time,
    // "主机工作线/相电压AB/A" a voltage.
    static constexpr std::pair<std::string_view, TQuantity> words[] = {
        {"运行时间", TQuantity::RunTime}, {"电压", TQuantity::Voltage},
        {"电流", TQuantity::Current},     {"温度", TQuantity::Temperature},
        {"湿度", TQuantity::Humidity},    {"压力", TQuantity::Pressure},
    };
    for (const auto& [word, quantity] : words)
        if (Caption.find(word) != std::string_view::npos) return quantity;
    return TQuantity::Reading;
}

TQuantity SwitchItemQuantity(std::size_t Item) {
    if (Item >= SwitchItemCount) return TQuantity::Reading;
    const std::span<const TStateWord> table = SwitchItemTables[Item];
    if (table.data() == std::data(StateWords::RunModeMonitor)) return TQuantity::RunMode;
    if (table.data() == std::data(StateWords::FanSpeedMonitor)) return TQuantity::FanSpeed;
    if (table.data() == std::data(StateWords::RunStopMonitor)) return TQuantity::RunStop;
    return TQuantity::OffOn;
}

std::string ParamItemText(std::size_t Item, std::uint16_t Code) {
    // The four items with a word table; a code outside it shows "" for the run mode and
    // "未检测" for the others.
    const auto words = ParamItemWords(Item);
    if (!words.empty())
        return std::string(
            StateWord(words, Code).value_or(Item == 0 ? std::string_view{} : NotDetectedText));
    return std::to_string(Code);
}

std::string_view WithoutPadding(std::string_view Latin1) {
    while (!Latin1.empty() && (Latin1.back() == ' ' || Latin1.back() == '\0'))
        Latin1.remove_suffix(1);
    return Latin1;
}

std::string VendorFieldText(std::string_view Bytes) {
    return Latin1ToUtf8(WithoutPadding(Bytes));
}

std::string ProtocolVersionText(std::uint8_t Ver) {
    return std::to_string(Ver >> 4) + "." + std::to_string(Ver & 0x0F);
}

}  // namespace aircon
