// System error codes of the Win32 layer and the texts of its error codes.
#include "Win32Errors.h"

#include <windows.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "ComPlatform.h"
#include "Win32Text.h"

namespace win32errors {

int FromSystem(std::uint32_t Code, TWhere Where) {
    switch (Code) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // Opened without sharing elsewhere; once open, the device has gone.
            return Where == TWhere::Open ? EBUSY : ENODEV;
        case ERROR_BAD_COMMAND:  // the driver no longer knows the device
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_UNIT:
        case ERROR_NOT_READY:
            return ENODEV;
        case ERROR_GEN_FAILURE:
        case ERROR_IO_DEVICE:
        case ERROR_CRC:
            return EIO;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_DATA:
            return EINVAL;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return ENOTTY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        default:
            return kWin32ErrorBase + static_cast<int>(Code);
    }
}

}  // namespace win32errors

namespace {

// The texts of the GNU C library for the codes this layer reports, so that a report reads the
// same on both systems (the Windows runtime words several of them differently).
constexpr std::array<std::pair<int, const char*>, 12> kTexts = {{
    {ENOENT, "No such file or directory"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {EBADF, "Bad file descriptor"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EBUSY, "Device or resource busy"},
    {ENODEV, "No such device"},
    {EINVAL, "Invalid argument"},
    {EMFILE, "Too many open files"},
    {ENOTTY, "Inappropriate ioctl for device"},
}};

std::string SystemText(DWORD Code) {
    wchar_t* Buffer = nullptr;
    const DWORD Length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, Code, 0, reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
    std::string Text;
    if (Length > 0 && Buffer) {
        Text = platform::Narrow(std::wstring_view(Buffer, Length));
        while (!Text.empty() && (Text.back() == '\r' || Text.back() == '\n' || Text.back() == ' '))
            Text.pop_back();
    }
    if (Buffer) ::LocalFree(Buffer);
    return Text;
}

}  // namespace

std::string IComPlatform::ErrorText(int Error) const {
    for (const auto& [Code, Text] : kTexts)
        if (Code == Error) return Text;
    if (Error > kWin32ErrorBase) {
        const DWORD Code = static_cast<DWORD>(Error - kWin32ErrorBase);
        const std::string Text = SystemText(Code);
        return "Windows error " + std::to_string(Code) + (Text.empty() ? "" : ": " + Text);
    }
    return std::strerror(Error);
}
