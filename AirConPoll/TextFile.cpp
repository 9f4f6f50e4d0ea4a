#include "TextFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Platform.h"

namespace airconpoll {
namespace {

// The temporary files are hidden and do not end in .prom, so the node exporter, which
// reads only *.prom, never picks one up.
std::string TemporaryPrefix(const std::filesystem::path& Target) {
    return "." + Target.filename().string() + ".";
}

std::string Failure(const std::string& What, const std::string& Path, int Error) {
    return "cannot " + What + " " + Path + ": " + std::strerror(Error);
}

}  // namespace

std::string WriteFileAtomically(const std::string& Path, std::string_view Content) {
    const std::filesystem::path target(Path);
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    std::string temp = (folder / (TemporaryPrefix(target) + "XXXXXX")).string();

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Failure("create a file in", folder.string(), errno);
    auto fail = [&](const std::string& What, int Error) {
        ::close(fd);
        ::unlink(temp.c_str());
        return Failure(What, Path, Error);
    };
    if (const int error = platform::WriteAll(fd, Content).Error) return fail("write", error);
    if (::fchmod(fd, 0644) != 0) return fail("set the mode of", errno);
    if (::fsync(fd) != 0) return fail("flush", errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Failure("write", Path, error);
    }
    if (::rename(temp.c_str(), Path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Failure("replace", Path, error);
    }
    return {};
}

void RemoveStaleTemporaries(const std::string& Path) {
    const std::filesystem::path target(Path);
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    const std::string prefix = TemporaryPrefix(target);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        // Exactly the prefix and the six characters mkostemp puts in place of XXXXXX.
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace airconpoll
