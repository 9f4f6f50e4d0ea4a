// The platform seam on POSIX systems.
#include <pwd.h>
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
    auto var = [](const char* Name) {
        const char* v = std::getenv(Name);
        return std::string(v ? v : "");
    };
    env.Home = var("HOME");
    env.XdgConfigHome = var("XDG_CONFIG_HOME");
    env.XdgDataHome = var("XDG_DATA_HOME");
    std::array<char, 4096> buf{};
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir)
        env.AccountHome = found->pw_dir;
    return env;
}

TWriteResult WriteAll(int File, std::string_view Text) {
    TWriteResult r;
    while (r.Written < Text.size()) {
        const ssize_t n = ::write(File, Text.data() + r.Written, Text.size() - r.Written);
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
    return std::error_code(Error, std::system_category()).message();
}

}  // namespace platform
