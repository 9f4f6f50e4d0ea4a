#include "ComText.h"

#include <array>
#include <cstddef>

#include "TextCase.h"

namespace {

constexpr std::array<std::string_view, 16> kBaudRates = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::string_view, 3> kStopBits = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> kDataBits = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> kParity = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> kFlowControl = {"Hardware", "Software", "None", "Custom"};

using textcase::SameText;

template <class E, std::size_t N>
std::string_view ToText(const std::array<std::string_view, N>& Texts, E Value) {
    const auto Index = static_cast<std::size_t>(Value);
    return Index < N ? Texts[Index] : std::string_view{};
}

// The first text of the row that matches, else the fallback.
template <class E, std::size_t N>
E FromText(const std::array<std::string_view, N>& Texts, std::string_view Text, E Fallback) {
    for (std::size_t I = 0; I < N; ++I)
        if (SameText(Texts[I], Text)) return static_cast<E>(I);
    return Fallback;
}

}  // namespace

std::int32_t BaudRateValue(TBaudRate Rate) {
    // The text of every rate but Custom is its number.
    if (Rate == TBaudRate::BrCustom) return 0;
    const std::string_view Text = ToText(kBaudRates, Rate);
    std::int32_t Value = 0;
    for (char C : Text)
        Value = Value * 10 + (C - '0');
    return Value;
}

std::string_view BaudRateToText(TBaudRate Value) {
    return ToText(kBaudRates, Value);
}
TBaudRate TextToBaudRate(std::string_view Text) {
    return FromText(kBaudRates, Text, TBaudRate::Br9600);
}
std::string_view StopBitsToText(TStopBits Value) {
    return ToText(kStopBits, Value);
}
TStopBits TextToStopBits(std::string_view Text) {
    return FromText(kStopBits, Text, TStopBits::SbOneStopBit);
}
std::string_view DataBitsToText(TDataBits Value) {
    return ToText(kDataBits, Value);
}
TDataBits TextToDataBits(std::string_view Text) {
    return FromText(kDataBits, Text, TDataBits::DbEight);
}
std::string_view ParityToText(TParityBits Value) {
    return ToText(kParity, Value);
}
TParityBits TextToParity(std::string_view Text) {
    return FromText(kParity, Text, TParityBits::PrNone);
}
std::string_view FlowControlToText(TFlowControl Value) {
    return ToText(kFlowControl, Value);
}
TFlowControl TextToFlowControl(std::string_view Text) {
    return FromText(kFlowControl, Text, TFlowControl::FcCustom);
}

std::span<const std::string_view> BaudRateTexts() {
    return kBaudRates;
}
std::span<const std::string_view> StopBitsTexts() {
    return kStopBits;
}
std::span<const std::string_view> DataBitsTexts() {
    return kDataBits;
}
std::span<const std::string_view> ParityTexts() {
    return kParity;
}
std::span<const std::string_view> FlowControlTexts() {
    return kFlowControl;
}
