// What the journal says about a port that did not open: the cause by its error, and for a
// refused permission the group that may use the device and what to do about it.
#include "OpenHint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

namespace airconpoll {
namespace {

TDeviceAccess Device(bool GroupMayUse, bool InGroupNow, bool InGroupListed) {
    TDeviceAccess d;
    d.Path = "/dev/ttyUSB0";
    d.Node = "/dev/ttyUSB0";
    d.Exists = true;
    d.CharDevice = true;
    d.Mode = S_IFCHR | 0660;
    d.Owner = "root";
    d.Group = "dialout";
    d.GroupMayUse = GroupMayUse;
    d.InGroupNow = InGroupNow;
    d.InGroupListed = InGroupListed;
    return d;
}

TEST(OpenHint, ByCause) {
    TUserIdentity user;
    user.Uid = 994;
    user.Name = "aircon-poll";
    const struct {
        int error;
        TDeviceAccess device;
        std::string hint;
    } cases[] = {
        {EBUSY, {}, "another program holds ttyUSB0"},
        {ENOENT, {}, "there is no ttyUSB0 (is the adapter plugged in?)"},
        {ENXIO, {}, "there is no ttyUSB0 (is the adapter plugged in?)"},
        {ENOTTY, {}, "ttyUSB0 is not a serial device"},
        {EIO, {}, ""},
        {EACCES, Device(true, false, false),
         "only the group dialout may use /dev/ttyUSB0 (crw-rw---- root dialout): add user "
         "aircon-poll to it (usermod -aG dialout aircon-poll), or run the service "
         "AirConPoll@.service, which holds it"},
        {EACCES, Device(true, false, true),
         "user aircon-poll is in the group dialout of /dev/ttyUSB0 (crw-rw---- root dialout), but "
         "this session started before that: log in again, or restart the service"},
        {EPERM, Device(false, true, true),
         "user aircon-poll may not use /dev/ttyUSB0 (crw-rw---- root dialout): ask the "
         "administrator for read and write access"},
        {EACCES, {}, "user aircon-poll may not use ttyUSB0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OpenFailureHint("ttyUSB0", c.error, c.device, user), c.hint) << c.error;
}

// The journal names the system's cause in its own terms, never as a Windows error.
TEST(OpenHint, SystemCause) {
    const struct {
        std::int64_t error;
        std::string platform, cause;
    } cases[] = {
        {EIO, "System Error.  Code: 5.\r\nInput/output error", "EIO: Input/output error"},
        {ENOENT, "", "ENOENT: No such file or directory"},
        {EACCES, "", "EACCES: Permission denied"},
        {EBUSY, "", "EBUSY: Device or resource busy"},
        {0, "", ""},
        // A Win32 code without an errno counterpart keeps the platform's words.
        {100000 + 1167, "System Error.  Code: 101167.\r\nThe device is not connected.\r\n",
         "System Error.  Code: 101167. The device is not connected."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SystemCause(c.error, c.platform), c.cause) << c.error;
}

}  // namespace
}  // namespace airconpoll
