#include "OpenHint.h"

namespace airconpoll {

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
