// Text forms of the line settings: every value round-trips, case is ignored, unknown texts fall
// back.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "ComText.h"

namespace {

template <class E>
void ExpectRoundTrip(std::span<const std::string_view> Texts, std::string_view (*ToText)(E),
                     E (*FromText)(std::string_view)) {
    for (std::size_t I = 0; I < Texts.size(); ++I) {
        const auto Value = static_cast<E>(I);
        SCOPED_TRACE(std::string(Texts[I]));
        EXPECT_EQ(ToText(Value), Texts[I]);
        EXPECT_EQ(FromText(Texts[I]), Value);
        std::string Upper(Texts[I]), Lower(Texts[I]);
        for (auto& C : Upper)
            C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
        for (auto& C : Lower)
            C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
        EXPECT_EQ(FromText(Upper), Value);
        EXPECT_EQ(FromText(Lower), Value);
    }
}

TEST(ComText, TextRowsInEnumerationOrder) {
    using V = std::vector<std::string_view>;
    auto AsVector = [](std::span<const std::string_view> S) { return V(S.begin(), S.end()); };
    EXPECT_EQ(AsVector(BaudRateTexts()),
              (V{"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                 "38400", "56000", "57600", "115200", "128000", "256000"}));
    EXPECT_EQ(AsVector(StopBitsTexts()), (V{"1", "1.5", "2"}));
    EXPECT_EQ(AsVector(DataBitsTexts()), (V{"5", "6", "7", "8"}));
    EXPECT_EQ(AsVector(ParityTexts()), (V{"None", "Odd", "Even", "Mark", "Space"}));
    EXPECT_EQ(AsVector(FlowControlTexts()), (V{"Hardware", "Software", "None", "Custom"}));
    // Each rate's text is its line value.
    for (std::size_t I = 1; I < BaudRateTexts().size(); ++I)
        EXPECT_EQ(std::string(BaudRateTexts()[I]),
                  std::to_string(BaudRateValue(static_cast<TBaudRate>(I))));
}

TEST(ComText, EveryValueRoundTripsIgnoringCase) {
    ExpectRoundTrip(BaudRateTexts(), BaudRateToText, TextToBaudRate);
    ExpectRoundTrip(StopBitsTexts(), StopBitsToText, TextToStopBits);
    ExpectRoundTrip(DataBitsTexts(), DataBitsToText, TextToDataBits);
    ExpectRoundTrip(ParityTexts(), ParityToText, TextToParity);
    ExpectRoundTrip(FlowControlTexts(), FlowControlToText, TextToFlowControl);
}

TEST(ComText, UnknownTextsFallBack) {
    for (const char* T : {"", "E", "19200.0", "9600bps", "Custom ", "0", "Br19200"}) {
        SCOPED_TRACE(T);
        EXPECT_EQ(TextToBaudRate(T), TBaudRate::Br9600);
        EXPECT_EQ(TextToStopBits(T), TStopBits::SbOneStopBit);
        EXPECT_EQ(TextToDataBits(T), TDataBits::DbEight);
        EXPECT_EQ(TextToParity(T), TParityBits::PrNone);
        EXPECT_EQ(TextToFlowControl(T), TFlowControl::FcCustom);
    }
    EXPECT_EQ(TextToStopBits("1,5"), TStopBits::SbOneStopBit);
    EXPECT_EQ(TextToParity("o"), TParityBits::PrNone);
    EXPECT_EQ(TextToFlowControl("RTS/CTS"), TFlowControl::FcCustom);
}

}  // namespace
