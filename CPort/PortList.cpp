#include "PortList.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

namespace fs = std::filesystem;

namespace {

std::mutex RootsMutex;
TPortScanRoots& RootsStorage() {
    static TPortScanRoots Roots;
    return Roots;
}

std::optional<std::string> FirstLine(const fs::path& File) {
    std::ifstream In(File);
    std::string Line;
    if (!In || !std::getline(In, Line)) return std::nullopt;
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' ' || Line.back() == '\t'))
        Line.pop_back();
    return Line;
}

// The node name below the device folder: DEVNAME of the uevent file, else the sysfs name with
// '!' standing for '/'.
std::string DeviceNodeName(const fs::path& TtyDir) {
    std::ifstream In(TtyDir / "uevent");
    for (std::string Line; std::getline(In, Line);) {
        if (Line.starts_with("DEVNAME=")) {
            Line.erase(0, 8);
            while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
                Line.pop_back();
            if (!Line.empty()) return Line;
        }
    }
    std::string Name = TtyDir.filename().string();
    std::replace(Name.begin(), Name.end(), '!', '/');
    return Name;
}

// False when the folder cannot be read at all; an enumeration that stops early keeps what it read.
bool ScanSysfs(const TPortScanRoots& Roots, std::vector<std::string>& Found) {
    std::error_code Ec;
    const fs::path ClassDir = fs::path(Roots.Sys) / "class" / "tty";
    fs::directory_iterator It(ClassDir, Ec);
    if (Ec) return false;
    for (const fs::directory_iterator End; !Ec && It != End; It.increment(Ec)) {
        const fs::path TtyDir = It->path();
        std::error_code E2;
        // Consoles, virtual terminals and pseudo-terminals have no device behind them.
        if (!fs::exists(TtyDir / "device", E2)) continue;
        // The serial core publishes the UART type; 0 is "unknown": a legacy port slot that the
        // driver registered without finding hardware (ttyS4..ttyS31 on most PCs).
        if (const auto Type = FirstLine(TtyDir / "type"); Type && *Type == "0") continue;
        const std::string Node = DeviceNodeName(TtyDir);
        if (!fs::exists(fs::path(Roots.Dev) / Node, E2)) continue;
        Found.push_back(Node);
    }
    return true;
}

bool IsPtsPath(const fs::path& Path, const fs::path& PtsDir) {
    if (Path.parent_path() != PtsDir) return false;
    const std::string Name = Path.filename().string();
    return !Name.empty() &&
           std::all_of(Name.begin(), Name.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// Where a link in the device folder leads, read inside the scanned tree: an absolute target below
// "/dev/" is taken relative to Roots.Dev, so a fake tree works like the real one.
std::optional<fs::path> FollowInTree(fs::path Link, const TPortScanRoots& Roots) {
    const fs::path DevRoot = fs::path(Roots.Dev).lexically_normal();
    for (int Depth = 0; Depth < 16; ++Depth) {
        std::error_code Ec;
        if (!fs::is_symlink(fs::symlink_status(Link, Ec))) return Link;
        fs::path Target = fs::read_symlink(Link, Ec);
        if (Ec) return std::nullopt;
        if (Target.is_absolute()) {
            // /dev/stdin, /dev/fd and the like lead through /proc to whatever this program has
            // open (its own terminal when started from one): never a port.
            const fs::path ProcRel = Target.lexically_normal().lexically_relative("/proc");
            if (!ProcRel.empty() && *ProcRel.begin() != "..") return std::nullopt;
            const fs::path Rel = Target.lexically_relative("/dev");
            if (!Rel.empty() && *Rel.begin() != "..") Target = DevRoot / Rel;
        } else {
            Target = Link.parent_path() / Target;
        }
        Link = Target.lexically_normal();
    }
    return std::nullopt;
}

bool ScanVirtualLinks(const TPortScanRoots& Roots, std::vector<std::string>& Found) {
    std::error_code Ec;
    const fs::path DevRoot = fs::path(Roots.Dev).lexically_normal();
    const fs::path PtsDir = DevRoot / "pts";
    fs::directory_iterator It(DevRoot, Ec);
    if (Ec) return false;
    for (const fs::directory_iterator End; !Ec && It != End; It.increment(Ec)) {
        std::error_code E2;
        if (!It->is_symlink(E2)) continue;
        const std::string Name = It->path().filename().string();
        // Containers link the console to a pseudo-terminal; it is no port.
        if (Name == "console") continue;
        const auto Target = FollowInTree(It->path(), Roots);
        if (!Target || !IsPtsPath(*Target, PtsDir) || !fs::exists(*Target, E2)) continue;
        Found.push_back(Name);
    }
    return true;
}

}  // namespace

TPortScanRoots DefaultPortScanRoots() {
    std::lock_guard Lock(RootsMutex);
    return RootsStorage();
}

void SetDefaultPortScanRoots(TPortScanRoots Roots) {
    std::lock_guard Lock(RootsMutex);
    RootsStorage() = std::move(Roots);
}

bool ListSerialPorts(std::vector<std::string>& Ports, const TPortScanRoots& Roots) {
    std::vector<std::string> Found;
    if (!ScanSysfs(Roots, Found) || !ScanVirtualLinks(Roots, Found)) return false;
    SortPortNames(Found);
    Ports = std::move(Found);
    return true;
}

bool ListSerialPorts(std::vector<std::string>& Ports) {
    const TPortScanRoots Roots = DefaultPortScanRoots();
    return ListSerialPorts(Ports, Roots);
}

std::vector<std::string> ListStablePortNames(const TPortScanRoots& Roots) {
    std::vector<std::string> Found;
    std::error_code Ec;
    const fs::path ById = fs::path(Roots.Dev).lexically_normal() / "serial" / "by-id";
    for (fs::directory_iterator It(ById, Ec), End; !Ec && It != End; It.increment(Ec)) {
        std::error_code E2;
        if (!It->is_symlink(E2)) continue;
        const auto Target = FollowInTree(It->path(), Roots);
        if (!Target || !fs::exists(*Target, E2) || fs::is_directory(*Target, E2)) continue;
        Found.push_back(It->path().string());
    }
    SortPortNames(Found);
    return Found;
}

std::string PortDevicePath(std::string_view Port, const TPortScanRoots& Roots) {
    if (Port.starts_with('/')) return std::string(Port);
    return (fs::path(Roots.Dev) / std::string(Port)).string();
}

bool PortDeviceExists(std::string_view Port, const TPortScanRoots& Roots) {
    if (Port.empty() || Port.find('\0') != std::string_view::npos) return false;
    struct stat St {};
    return ::stat(PortDevicePath(Port, Roots).c_str(), &St) == 0 && S_ISCHR(St.st_mode);
}

bool PortDeviceExists(std::string_view Port) {
    const TPortScanRoots Roots = DefaultPortScanRoots();
    return PortDeviceExists(Port, Roots);
}
