// The platform seam on POSIX systems.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "Platform.h"

namespace platform {

std::optional<std::tm> LocalTime(std::int64_t Seconds) {
    const auto t = static_cast<std::time_t>(Seconds);
    std::tm tm{};
    if (!::localtime_r(&t, &tm)) return std::nullopt;
    return tm;
}

std::optional<std::int64_t> FromLocalTime(std::tm& Tm) {
    return static_cast<std::int64_t>(std::mktime(&Tm));
}

TUserEnvironment UserEnvironment() {
    TUserEnvironment env;
    env.Home = EnvironmentVariable("HOME");
    env.XdgConfigHome = EnvironmentVariable("XDG_CONFIG_HOME");
    env.XdgDataHome = EnvironmentVariable("XDG_DATA_HOME");
    std::array<char, 4096> buf{};
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir)
        env.AccountHome = found->pw_dir;
    return env;
}

int OpenForWriting(const std::string& Path, TOpenMode Mode, int& Error) {
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | (Mode == TOpenMode::Append ? O_APPEND : O_TRUNC);
    const int fd = ::open(Path.c_str(), flags, 0644);
    if (fd < 0) Error = errno;
    return fd;
}

int CreateNewFile(const std::filesystem::path& Path, int& Error) {
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        Error = errno;
        return fd;
    }
    // A shared lock tells other running copies of the program that the file is in use.
    ::flock(fd, LOCK_SH | LOCK_NB);
    return fd;
}

std::optional<TFileFacts> PlainFileFacts(const std::filesystem::path& Path) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    TFileFacts f;
    f.Size = static_cast<std::uint64_t>(st.st_size);
    f.ModifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return f;
}

bool KeptInUse(const std::filesystem::path& Path) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    // The lock of a program that writes the file keeps this exclusive lock from being taken.
    const bool inUse = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (!inUse) ::unlink(Path.c_str());
    ::close(fd);
    return inUse;
}

bool MayAccess(const std::string& Path, int Mode) {
    static_assert(AccessWrite == W_OK && AccessSearch == X_OK);
    return ::faccessat(AT_FDCWD, Path.c_str(), Mode, AT_EACCESS) == 0;
}

bool NameExists(const std::string& Path) {
    struct stat st {};
    return ::lstat(Path.c_str(), &st) == 0;
}

int MakePrivateFolder(const std::string& Path) {
    return ::mkdir(Path.c_str(), 0700) == 0 ? 0 : errno;
}

std::optional<std::uint64_t> FileSize(int File) {
    struct stat st {};
    if (::fstat(File, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

int CloseFile(int File) {
    if (::close(File) == 0 || errno == EINTR) return 0;
    return errno;
}

long long WriteSome(int File, const char* Data, std::size_t Size, int& Error) {
    const ssize_t n = ::write(File, Data, Size);
    if (n < 0) Error = errno;
    return n;
}

std::string ErrorText(int Error) {
    return std::error_code(Error, std::system_category()).message();
}

}  // namespace platform
