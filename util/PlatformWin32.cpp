// The platform seam on Windows.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "Platform.h"

namespace platform {

std::optional<std::tm> LocalTime(std::int64_t Seconds) {
    const auto t = static_cast<__time64_t>(Seconds);
    std::tm tm{};
    if (::_localtime64_s(&tm, &t) != 0) return std::nullopt;
    return tm;
}

std::optional<std::int64_t> FromLocalTime(std::tm& Tm) {
    const __time64_t t = ::_mktime64(&Tm);
    if (t == -1) return std::nullopt;
    return static_cast<std::int64_t>(t);
}

TUserEnvironment UserEnvironment() {
    // The folders Windows gives each user: the profile, the roaming and the local
    // application data folders take the places of home, configuration and data.
    TUserEnvironment env;
    env.Home = EnvironmentVariable("USERPROFILE");
    env.XdgConfigHome = EnvironmentVariable("APPDATA");
    env.XdgDataHome = EnvironmentVariable("LOCALAPPDATA");
    env.AccountHome = env.Home;
    return env;
}

int OpenForWriting(const std::string& Path, TOpenMode Mode, int& Error) {
    const int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT |
                      (Mode == TOpenMode::Append ? _O_APPEND : _O_TRUNC);
    const int fd = ::_open(Path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) Error = errno;
    return fd;
}

std::optional<std::uint64_t> FileSize(int File) {
    struct _stat64 st {};
    if (::_fstat64(File, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

int CloseFile(int File) {
    return ::_close(File) == 0 ? 0 : errno;
}

long long WriteSome(int File, const char* Data, std::size_t Size, int& Error) {
    // _write takes an unsigned count: a larger write goes in pieces.
    const unsigned chunk = Size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(Size);
    const int n = ::_write(File, Data, chunk);
    if (n < 0) Error = errno;
    return n;
}

std::string ErrorText(int Error) {
    return std::error_code(Error, std::generic_category()).message();
}

}  // namespace platform
