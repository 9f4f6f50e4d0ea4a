// The platform seam on Windows.
#include <io.h>

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
