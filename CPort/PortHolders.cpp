#include "PortHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "PosixIo.h"

namespace portholders {
namespace {

// Pseudo-terminal slaves have majors 136 to 143; the multiplexer (/dev/ptmx) is 5,2.
bool IsPtySlave(const struct stat& St) {
    return S_ISCHR(St.st_mode) && major(St.st_rdev) >= 136 && major(St.st_rdev) <= 143;
}
bool IsPtyMaster(const struct stat& St) {
    return S_ISCHR(St.st_mode) && major(St.st_rdev) == 5 && minor(St.st_rdev) == 2;
}
long PtyIndex(const struct stat& St) {
    return static_cast<long>(major(St.st_rdev) - 136) * 256 + static_cast<long>(minor(St.st_rdev));
}

// The same device: for a pseudo-terminal the same node of the same devpts instance (each
// instance numbers its terminals from 0), for any other device the same device number.
bool SameDevice(const struct stat& A, const struct stat& B) {
    if (!S_ISCHR(A.st_mode) || !S_ISCHR(B.st_mode)) return false;
    if (IsPtySlave(B)) return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
    return A.st_rdev == B.st_rdev;
}

bool AllDigits(std::string_view Name) {
    if (Name.empty()) return false;
    for (char C : Name)
        if (!std::isdigit(static_cast<unsigned char>(C))) return false;
    return true;
}

// The terminal index of a multiplexer descriptor ("tty-index:" of its fdinfo), or -1.
long MasterIndex(int FdInfoDir, const char* Name) {
    const int Fd = ::openat(FdInfoDir, Name, O_RDONLY | O_CLOEXEC);
    if (Fd < 0) return -1;
    char Text[512];
    const ssize_t N = posixio::RetryEintr([&] { return ::read(Fd, Text, sizeof Text - 1); });
    ::close(Fd);
    if (N <= 0) return -1;
    Text[N] = '\0';
    const std::string_view Info(Text, static_cast<std::size_t>(N));
    const auto At = Info.find("tty-index:");
    if (At == std::string_view::npos) return -1;
    return std::strtol(Text + At + 10, nullptr, 10);
}

struct TDirCloser {
    void operator()(DIR* D) const { ::closedir(D); }
};
using TDir = std::unique_ptr<DIR, TDirCloser>;

// Whether process Pid holds Device open (on any descriptor but Skip), and is not merely its
// pseudo-terminal's far end.
bool ProcessHolds(int Proc, const char* Pid, const struct stat& Device, const char* Skip) {
    const std::string Fds = std::string(Pid) + "/fd";
    const int FdDirFd = ::openat(Proc, Fds.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (FdDirFd < 0) return false;  // gone, or not ours to look at
    TDir FdDir(::fdopendir(FdDirFd));
    if (!FdDir) {
        ::close(FdDirFd);
        return false;
    }
    bool Holds = false, FarEnd = false;
    while (const dirent* Entry = ::readdir(FdDir.get())) {
        if (!AllDigits(Entry->d_name) || std::strcmp(Entry->d_name, Skip) == 0) continue;
        struct stat St {};
        if (::fstatat(FdDirFd, Entry->d_name, &St, 0) != 0) continue;
        if (SameDevice(St, Device)) {
            Holds = true;
        } else if (IsPtySlave(Device) && IsPtyMaster(St)) {
            const std::string Infos = std::string(Pid) + "/fdinfo";
            const int InfoDir = ::openat(Proc, Infos.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (InfoDir >= 0) {
                if (MasterIndex(InfoDir, Entry->d_name) == PtyIndex(Device)) FarEnd = true;
                ::close(InfoDir);
            }
        }
    }
    return Holds && !FarEnd;
}

}  // namespace

bool HeldElsewhere(int Fd, TWho Who) {
    struct stat Device {};
    if (::fstat(Fd, &Device) != 0 || !S_ISCHR(Device.st_mode)) return false;
    const int Proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Proc < 0) return false;
    TDir Procs(::fdopendir(Proc));
    if (!Procs) {
        ::close(Proc);
        return false;
    }
    const std::string Self = std::to_string(::getpid());
    const std::string OwnFd = std::to_string(Fd);
    while (const dirent* Entry = ::readdir(Procs.get())) {
        if (!AllDigits(Entry->d_name)) continue;
        const bool Mine = Self == Entry->d_name;
        if (Mine && Who == TWho::OtherProcesses) continue;
        if (ProcessHolds(Proc, Entry->d_name, Device, Mine ? OwnFd.c_str() : "")) return true;
    }
    return false;
}

}  // namespace portholders
