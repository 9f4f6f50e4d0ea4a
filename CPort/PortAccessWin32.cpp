// The look at a port that did not open, under Windows. A COM port has no node with an owner,
// a group and permission bits: the look tells only the device path and the user's name, and the
// explanation asks for access.
#include <windows.h>

#include <string>

#include "PortAccess.h"
#include "Win32Text.h"

namespace {}  // namespace

TUserIdentity CurrentUser() {
    TUserIdentity U;
    wchar_t Name[256];
    DWORD Size = 256;
    if (::GetUserNameW(Name, &Size) && Size > 1)
        U.Name = platform::Narrow(std::wstring_view(Name, Size - 1));
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
