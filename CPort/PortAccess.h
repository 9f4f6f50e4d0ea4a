// Why a port did not open: the cause read from the error the open reported, and a look at the
// device node (is it there, is it a terminal device, whose is it, may this session use it), so that
// the operator can be told what to do instead of a bare "cannot open". The same on every system:
// the serial component reports its open failures with the same error numbers everywhere; where a
// system has no device nodes with owners and modes (Windows), the look finds no node and the
// operator is told to ask for access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "PortList.h"

enum class TOpenFailure {
    InUse,         // another program holds the port (EBUSY, the component's own lock)
    NoPermission,  // this user may not use the device (EACCES, EPERM)
    Gone,          // no such device (any more): ENOENT, ENODEV, ENXIO
    NotSerial,     // the name leads to something that is no terminal device (ENOTTY)
    Other,         // any other error
};

// The cause of an open failure from its error number (OpenFailure.cpp) (0, no number, counts as in
// use: the component reports every refused open with a number, and "in use" is the usual cause).
TOpenFailure ClassifyOpenFailure(int Error);

// Who is asking: the effective user and the groups the running session holds. A user added to a
// group holds it only from the next login on.
using TUserId = std::uint32_t;    // a user or group number of the system (uid_t, gid_t)
using TFileMode = std::uint32_t;  // a node's type and permission bits (mode_t)

struct TUserIdentity {
    TUserId Uid = 0;
    TUserId PrimaryGid = 0;  // the account's group in the user database
    std::string Name;        // login name ("" when the user database does not know the id)
    std::vector<TUserId> SessionGroups;  // effective group and supplementary groups
};
TUserIdentity CurrentUser();

// The device node a port name leads to, as this user meets it.
struct TDeviceAccess {
    std::string Path;         // the device path of the port name (absolute)
    std::string Node;         // where its links end ("" when they lead nowhere)
    bool Exists = false;      // the links end at an existing node
    bool CharDevice = false;  // that node is a character device
    TFileMode Mode = 0;       // its permission bits
    TUserId OwnerUid = 0;
    TUserId Gid = 0;
    std::string Owner;           // owner's name, or the number
    std::string Group;           // group's name, or the number
    bool GroupMayUse = false;    // the group bits allow reading and writing
    bool InGroupNow = false;     // the session holds the node's group
    bool InGroupListed = false;  // the group database puts the user in that group
};

#ifndef _WIN32
// Looks at the node of Port (a bare name is below Roots.Dev). Group names and members come from
// the group database.
TDeviceAccess InspectPortDevice(std::string_view Port, const TPortScanRoots& Roots,
                                const TUserIdentity& User);
#endif
// The same below the system's device folder.
TDeviceAccess InspectPortDevice(std::string_view Port, const TUserIdentity& User);
TDeviceAccess InspectPortDevice(std::string_view Port);

// "crw-rw----" for a node's type and permission bits (OpenFailure.cpp).
std::string ModeText(TFileMode Mode);
