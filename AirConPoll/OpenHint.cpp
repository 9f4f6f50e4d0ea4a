#include "OpenHint.h"

#include <cstring>
#include <system_error>

#include "ComPlatform.h"

namespace airconpoll {

namespace {

// "ENOENT", or empty where the C library cannot name it.
std::string ErrnoName(int Error) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    if (const char* name = ::strerrorname_np(Error)) return name;
#else
    (void)Error;
#endif
    return {};
}

// The text on one line: line breaks become spaces, carriage returns go.
std::string OneLine(std::string_view Text) {
    std::string out;
    for (char c : Text) {
        if (c == '\r') continue;
        if (c == '\n') {
            if (!out.empty() && out.back() != ' ') out += ' ';
            continue;
        }
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

}  // namespace

std::string SystemCause(std::int64_t Error, std::string_view PlatformText) {
    if (Error <= 0) return {};
    if (Error >= kWin32ErrorBase) return OneLine(PlatformText);
    const int error = static_cast<int>(Error);
    const std::string name = ErrnoName(error);
    const std::string text = std::generic_category().message(error);
    return (name.empty() ? "errno " + std::to_string(error) : name) + ": " + text;
}

std::string OpenFailureHint(std::string_view Port, int Error, const TDeviceAccess& Device,
                            const TUserIdentity& User) {
    const std::string port(Port);
    switch (ClassifyOpenFailure(Error)) {
        case TOpenFailure::InUse:
            return "another program holds " + port;
        case TOpenFailure::Gone:
            return "there is no " + port + " (is the adapter plugged in?)";
        case TOpenFailure::NotSerial:
            return port + " is not a serial device";
        case TOpenFailure::Other:
            return {};
        case TOpenFailure::NoPermission:
            break;
    }
    const std::string user = User.Name.empty() ? std::to_string(User.Uid) : User.Name;
    std::string node = Device.Node.empty() ? Device.Path : Device.Node;
    if (node.empty()) node = port;
    if (!Device.Exists) return "user " + user + " may not use " + node;
    const std::string what =
        node + " (" + ModeText(Device.Mode) + " " + Device.Owner + " " + Device.Group + ")";
    if (Device.GroupMayUse && !Device.InGroupNow && Device.InGroupListed)
        return "user " + user + " is in the group " + Device.Group + " of " + what +
               ", but this session started before that: log in again, or restart the service";
    if (Device.GroupMayUse && !Device.InGroupNow)
        return "only the group " + Device.Group + " may use " + what + ": add user " + user +
               " to it (usermod -aG " + Device.Group + " " + user +
               "), or run the service AirConPoll@.service, which holds it";
    return "user " + user + " may not use " + what +
           ": ask the administrator for read and write access";
}

std::string OpenFailureHint(std::string_view Port, int Error) {
    const TUserIdentity user = CurrentUser();
    const TDeviceAccess device = ClassifyOpenFailure(Error) == TOpenFailure::NoPermission
                                     ? InspectPortDevice(Port)
                                     : TDeviceAccess{};
    return OpenFailureHint(Port, Error, device, user);
}

}  // namespace airconpoll
