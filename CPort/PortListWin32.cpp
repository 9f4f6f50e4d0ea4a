// The port list under Windows: the serial devices the registry lists as present.
#include <windows.h>

#include <string>
#include <vector>

#include "PortList.h"
#include "Win32Text.h"

namespace {

using platform::Narrow;
using platform::Widen;

}  // namespace

bool ListSerialPorts(std::vector<std::string>& Ports) {
    HKEY Key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &Key) != ERROR_SUCCESS)
        return false;
    std::vector<std::string> Found;
    for (DWORD Index = 0;; ++Index) {
        // Room for a value name of 255 characters and data of 256 bytes; a value too long for
        // that ends the list, as the end of the values does.
        wchar_t Name[256];
        DWORD NameChars = 256;
        wchar_t Data[129] = {};
        DWORD DataBytes = 256;
        DWORD Type = 0;
        if (::RegEnumValueW(Key, Index, Name, &NameChars, nullptr, &Type,
                            reinterpret_cast<BYTE*>(Data), &DataBytes) != ERROR_SUCCESS)
            break;
        // The data as text up to its terminating character (which it may lack).
        int Chars = static_cast<int>(DataBytes / sizeof(wchar_t));
        for (int I = 0; I < Chars; ++I)
            if (Data[I] == L'\0') {
                Chars = I;
                break;
            }
        Found.push_back(Narrow(std::wstring_view(Data, static_cast<std::size_t>(Chars))));
    }
    ::RegCloseKey(Key);
    SortPortNames(Found);
    Ports = std::move(Found);
    return true;
}

bool PortDeviceExists(std::string_view Port) {
    if (Port.empty() || Port.find('\0') != std::string_view::npos) return false;
    wchar_t Target[1024];
    return ::QueryDosDeviceW(Widen(Port).c_str(), Target, 1024) != 0;
}

TPortScanRoots DefaultPortScanRoots() {
    return {};
}

bool ListSerialPorts(std::vector<std::string>& Ports, const TPortScanRoots&) {
    return ListSerialPorts(Ports);
}

bool PortDeviceExists(std::string_view Port, const TPortScanRoots&) {
    return PortDeviceExists(Port);
}

std::vector<std::string> ListStablePortNames(const TPortScanRoots&) {
    return {};
}
