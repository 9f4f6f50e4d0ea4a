// The look at a port that did not open, under Windows. A COM port has no node with an owner,
// a group and permission bits: the look tells only the device path and the user's name, and the
// explanation asks for access.
#include <windows.h>

#include <string>

#include "PortAccess.h"

namespace {

std::string Utf8(const wchar_t* Text, int Chars) {
    const int Bytes = ::WideCharToMultiByte(CP_UTF8, 0, Text, Chars, nullptr, 0, nullptr, nullptr);
    std::string Out(static_cast<std::size_t>(Bytes > 0 ? Bytes : 0), '\0');
    if (Bytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, Text, Chars, Out.data(), Bytes, nullptr, nullptr);
    return Out;
}

}  // namespace

TUserIdentity CurrentUser() {
    TUserIdentity U;
    wchar_t Name[256];
    DWORD Size = 256;
    if (::GetUserNameW(Name, &Size) && Size > 1) U.Name = Utf8(Name, static_cast<int>(Size - 1));
    return U;
}

TDeviceAccess InspectPortDevice(std::string_view Port, const TUserIdentity&) {
    TDeviceAccess A;
    if (Port.empty() || Port.find('\0') != std::string_view::npos) return A;
    A.Path = Port.starts_with("\\\\.\\") ? std::string(Port) : "\\\\.\\" + std::string(Port);
    return A;
}

TDeviceAccess InspectPortDevice(std::string_view Port) {
    return InspectPortDevice(Port, CurrentUser());
}
