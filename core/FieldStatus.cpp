#include "FieldStatus.h"

#include <chrono>

#include "LocalTime.h"

namespace aircon {

std::string_view AnsweringStatusText(TAnswering State) {
    switch (State) {
        case TAnswering::Answering:
            return "通讯状态：正常";
        case TAnswering::Refusing:
            return "通讯状态：拒绝命令";
        case TAnswering::Silent:
            return "通讯状态：无应答";
    }
    return "";
}

std::string AgeText(Millis Age) {
    const long long seconds = std::max<long long>(0, Age.count() / 1000);
    if (seconds < 60) return std::to_string(seconds) + " 秒";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " 分 " + std::to_string(seconds % 60) + " 秒";
    return std::to_string(seconds / 3600) + " 小时 " + std::to_string(seconds % 3600 / 60) + " 分";
}

std::string StaleBannerText(TAnswering State, const std::optional<TStamp>& LastGood,
                            const TStamp& Now) {
    std::string text;
    switch (State) {
        case TAnswering::Answering:
            return {};
        case TAnswering::Refusing:
            text = "控制器拒绝命令：";
            break;
        case TAnswering::Silent:
            text = "控制器无应答：";
            break;
    }
    if (!LastGood) return text + "尚未收到任何读数";
    // The time of day to the second: the milliseconds of the log would only distract.
    std::string at = util::LocalTimeText(LastGood->Wall, false);
    if (const auto dot = at.find('.'); dot != std::string::npos) at.resize(dot);
    const auto age = std::chrono::duration_cast<Millis>(Now.Time - LastGood->Time);
    return text + "显示的数值是 " + at + " 的读数，已 " + AgeText(age) + "未更新";
}

}  // namespace aircon
