#include "PortAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

std::string UserName(uid_t Uid, gid_t* PrimaryGid = nullptr) {
    std::vector<char> Buf(16384);
    passwd Pw{};
    passwd* Found = nullptr;
    if (::getpwuid_r(Uid, &Pw, Buf.data(), Buf.size(), &Found) != 0 || !Found) return {};
    if (PrimaryGid) *PrimaryGid = Found->pw_gid;
    return Found->pw_name ? Found->pw_name : "";
}

// Name and members of a group; false when the group database does not know it.
bool GroupEntry(gid_t Gid, std::string& Name, std::vector<std::string>& Members) {
    // Groups such as "users" on a directory-backed system can list many members: grow the buffer
    // as the call asks.
    for (std::size_t Size = 16384; Size <= (std::size_t{1} << 24); Size *= 4) {
        std::vector<char> Buf(Size);
        group Gr{};
        group* Found = nullptr;
        const int Rc = ::getgrgid_r(Gid, &Gr, Buf.data(), Buf.size(), &Found);
        if (Rc == ERANGE) continue;
        if (Rc != 0 || !Found) return false;
        Name = Found->gr_name ? Found->gr_name : "";
        Members.clear();
        for (char** M = Found->gr_mem; M && *M; ++M)
            Members.emplace_back(*M);
        return true;
    }
    return false;
}

}  // namespace

TUserIdentity CurrentUser() {
    TUserIdentity U;
    U.Uid = ::geteuid();
    U.PrimaryGid = ::getegid();
    U.Name = UserName(U.Uid, &U.PrimaryGid);
    U.SessionGroups.push_back(::getegid());
    const int N = ::getgroups(0, nullptr);
    if (N > 0) {
        std::vector<gid_t> Groups(static_cast<std::size_t>(N));
        const int Got = ::getgroups(N, Groups.data());
        if (Got > 0)
            U.SessionGroups.insert(U.SessionGroups.end(), Groups.begin(), Groups.begin() + Got);
    }
    return U;
}

TDeviceAccess InspectPortDevice(std::string_view Port, const TPortScanRoots& Roots,
                                const TUserIdentity& User) {
    TDeviceAccess A;
    if (Port.empty() || Port.find('\0') != std::string_view::npos) return A;
    A.Path = PortDevicePath(Port, Roots);
    char Resolved[PATH_MAX];
    if (::realpath(A.Path.c_str(), Resolved) == nullptr) return A;
    A.Node = Resolved;
    struct stat St {};
    if (::stat(A.Node.c_str(), &St) != 0) return A;
    A.Exists = true;
    A.CharDevice = S_ISCHR(St.st_mode);
    A.Mode = St.st_mode;
    A.OwnerUid = St.st_uid;
    A.Gid = St.st_gid;
    A.Owner = UserName(St.st_uid);
    if (A.Owner.empty()) A.Owner = std::to_string(St.st_uid);
    std::vector<std::string> Members;
    if (!GroupEntry(St.st_gid, A.Group, Members) || A.Group.empty())
        A.Group = std::to_string(St.st_gid);
    A.GroupMayUse = (St.st_mode & S_IRGRP) && (St.st_mode & S_IWGRP);
    A.InGroupNow = std::find(User.SessionGroups.begin(), User.SessionGroups.end(), St.st_gid) !=
                   User.SessionGroups.end();
    A.InGroupListed = User.PrimaryGid == St.st_gid ||
                      (!User.Name.empty() &&
                       std::find(Members.begin(), Members.end(), User.Name) != Members.end());
    return A;
}

TDeviceAccess InspectPortDevice(std::string_view Port, const TUserIdentity& User) {
    return InspectPortDevice(Port, DefaultPortScanRoots(), User);
}

TDeviceAccess InspectPortDevice(std::string_view Port) {
    return InspectPortDevice(Port, DefaultPortScanRoots(), CurrentUser());
}
