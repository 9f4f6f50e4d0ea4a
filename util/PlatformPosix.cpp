// The platform seam on POSIX systems.
#include <fcntl.h>
#include <pwd.h>
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
