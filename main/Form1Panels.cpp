// The unit panels and the contents of the tabs.
#include "Form1.h"

void TForm1::CreatePanels() {}
void TForm1::FreePanels() {}

std::string TForm1::Decode_42_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}
std::string TForm1::Decode_43_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}
std::string TForm1::Decode_44_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}
std::string TForm1::Decode_47_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}
std::string TForm1::Decode_4F_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}
std::string TForm1::Decode_50_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}
std::string TForm1::Decode_51_Info(TDH_Header, const std::uint8_t*, std::uint16_t) {
    return {};
}

void TForm1::btnGetParamClick() {}
void TForm1::cmbSetParamChange() {}
void TForm1::btnSetParamClick() {}
void TForm1::btnRemoteClick() {}
void TForm1::btnGetComVerClick() {}
void TForm1::btnGetDevAddrClick() {}
void TForm1::btnGetDevInfoClick() {}
