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
    auto var = [](const char* Name) {
        const char* v = std::getenv(Name);
        return std::string(v ? v : "");
    };
    env.Home = var("USERPROFILE");
    env.XdgConfigHome = var("APPDATA");
    env.XdgDataHome = var("LOCALAPPDATA");
    env.AccountHome = env.Home;
    return env;
}

TWriteResult WriteAll(int File, std::string_view Text) {
    TWriteResult r;
    while (r.Written < Text.size()) {
        const std::size_t left = Text.size() - r.Written;
        const unsigned chunk = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
        const int n = ::_write(File, Text.data() + r.Written, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r.Error = n < 0 ? errno : EIO;
            break;
        }
        r.Written += static_cast<std::size_t>(n);
    }
    return r;
}

std::string ErrorText(int Error) {
    return std::error_code(Error, std::generic_category()).message();
}

}  // namespace platform
