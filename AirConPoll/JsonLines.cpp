#include "JsonLines.h"

#include <chrono>
#include <cstdio>
#include <type_traits>
#include <variant>

#include "HexText.h"
#include "TextConv.h"

namespace airconpoll {

using namespace aircon;

namespace {

class TObject {
  public:
    void Raw(std::string_view Key, std::string_view Value) {
        FOut += FOut.empty() ? '{' : ',';
        FOut += '"';
        FOut += Key;
        FOut += "\":";
        FOut += Value;
    }
    void Int(std::string_view Key, std::int64_t Value) { Raw(Key, std::to_string(Value)); }
    // A text that needs no escaping (a time, a code word), in quotes.
    void Plain(std::string_view Key, std::string_view Value) {
        Raw(Key, "\"");
        FOut += Value;
        FOut += '"';
    }
    template <class T>
    void Optional(std::string_view Key, const std::optional<T>& Value) {
        if (Value)
            Int(Key, static_cast<std::int64_t>(*Value));
        else
            Raw(Key, "null");
    }
    std::string Done() {
        FOut += '}';
        return std::move(FOut);
    }

  private:
    std::string FOut;
};

std::string Hex2(unsigned Value) {
    return '"' + util::HexCode(static_cast<std::uint8_t>(Value)) + '"';
}

}  // namespace

std::string JsonString(std::string_view Latin1) {
    std::string out = "\"";
    for (char ch : Latin1) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            util::AppendLatin1(out, c);
        }
    }
    out += '"';
    return out;
}

std::string IsoTime(WallTime Time) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(Time);
    const auto days = floor<std::chrono::days>(ms);
    const year_month_day ymd{days};
    const hh_mm_ss hms{ms - days};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                  static_cast<int>(hms.subseconds().count()));
    return buf;
}

std::string JsonLine(const TDecodedReply& Reply) {
    TObject o;
    o.Plain("time", IsoTime(Reply.At.Wall));
    o.Int("addr", Reply.Header.Addr);
    o.Raw("cid2", Hex2(Reply.CID2));
    std::visit(
        [&o](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, TAnalogValues>) {
                o.Raw("reply", "\"analog\"");
                o.Int("unit", r.Unit + 1);
                o.Int("data_flag", r.DataFlag);
                for (std::size_t i = 0; i < r.Count && i < AnalogFieldCount; ++i) {
                    if (i == AnalogFixedCount) o.Int(AnalogCountField.Key, r.UserDefinedCount);
                    o.Optional(AnalogFields[i].Key, r.Values[i]);
                }
                if (r.Count <= AnalogFixedCount) o.Int(AnalogCountField.Key, r.UserDefinedCount);
            } else if constexpr (std::is_same_v<T, TSwitchStates>) {
                o.Raw("reply", "\"switches\"");
                o.Int("unit", r.Unit + 1);
                o.Int("data_flag", r.DataFlag);
                o.Optional(SwitchPowerField.Key, r.Power);
                o.Int(SwitchCountField.Key, r.UserDefinedCount);
                for (std::size_t i = 0; i < r.Count && i < SwitchItemCount; ++i)
                    o.Optional(SwitchFields[i].Key, r.Items[i]);
            } else if constexpr (std::is_same_v<T, TAlarmStates>) {
                o.Raw("reply", "\"alarms\"");
                o.Int("unit", r.Unit + 1);
                o.Int("data_flag", r.DataFlag);
                for (std::size_t i = 0; i < r.Count && i < AlarmFieldCount; ++i) {
                    if (i == AlarmFixedCount) o.Int(AlarmCountField.Key, r.UserDefinedCount);
                    o.Optional(AlarmFields[i].Key, r.Codes[i]);
                }
                if (r.Count <= AlarmFixedCount) o.Int(AlarmCountField.Key, r.UserDefinedCount);
            } else if constexpr (std::is_same_v<T, TUserParams>) {
                o.Raw("reply", "\"parameters\"");
                for (std::size_t i = 0; i < ParamReadingCount; ++i)
                    o.Optional(ParamFields[i].Key, r.Readings[i]);
                o.Int(ParamCountField.Key, r.UserDefinedCount);
                for (std::size_t i = 0; i < r.ItemCount && i < ParamItemCount; ++i)
                    o.Int(ParamFields[ParamReadingCount + i].Key, r.Items[i]);
            } else if constexpr (std::is_same_v<T, TProtocolVersion>) {
                o.Raw("reply", "\"protocol_version\"");
                o.Raw("version", "\"" + ProtocolVersionText(r.Ver) + "\"");
                o.Int("ver", r.Ver);
            } else if constexpr (std::is_same_v<T, TDeviceAddress>) {
                o.Raw("reply", "\"device_address\"");
                o.Int("address", r.Addr);
            } else if constexpr (std::is_same_v<T, TVendorInfo>) {
                o.Raw("reply", "\"vendor_info\"");
                // Each text without its padding, and as it came in "<key>_raw".
                for (std::size_t i = 0; i < VendorFields.size(); ++i) {
                    if (!r.Fields[i]) continue;
                    o.Raw(VendorFields[i].Key, JsonString(WithoutPadding(*r.Fields[i])));
                    o.Raw(std::string(VendorFields[i].Key) + "_raw", JsonString(*r.Fields[i]));
                }
            }
        },
        Reply.Data);
    return o.Done();
}

}  // namespace airconpoll
