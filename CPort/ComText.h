// Text forms of the line settings, used in the settings file and as the items of the selectors.
// Reading a text back ignores letter case; an unknown text gives the fallback value (Br9600,
// SbOneStopBit, DbEight, PrNone, FcCustom).
#pragma once

#include <span>
#include <string_view>

#include "CPort.h"

std::string_view BaudRateToText(TBaudRate Value);
TBaudRate TextToBaudRate(std::string_view Text);
std::string_view StopBitsToText(TStopBits Value);
TStopBits TextToStopBits(std::string_view Text);
std::string_view DataBitsToText(TDataBits Value);
TDataBits TextToDataBits(std::string_view Text);
std::string_view ParityToText(TParityBits Value);
TParityBits TextToParity(std::string_view Text);
std::string_view FlowControlToText(TFlowControl Value);
TFlowControl TextToFlowControl(std::string_view Text);

// Every text of a setting, in the order of its enumeration.
std::span<const std::string_view> BaudRateTexts();
std::span<const std::string_view> StopBitsTexts();
std::span<const std::string_view> DataBitsTexts();
std::span<const std::string_view> ParityTexts();
std::span<const std::string_view> FlowControlTexts();
