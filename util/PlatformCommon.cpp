// The parts of the platform seam that are the same on every system, built on its
// system-specific calls.
#include <cerrno>
#include <cstdlib>

#include "Platform.h"

namespace platform {

TWriteResult WriteAll(int File, std::string_view Text) {
    TWriteResult r;
    while (r.Written < Text.size()) {
        int error = 0;
        const long long n =
            WriteSome(File, Text.data() + r.Written, Text.size() - r.Written, error);
        if (n < 0 && error == EINTR) continue;
        if (n <= 0) {
            r.Error = n < 0 ? error : EIO;
            break;
        }
        r.Written += static_cast<std::size_t>(n);
    }
    return r;
}

std::string EnvironmentVariable(const char* Name) {
    const char* v = std::getenv(Name);
    return v ? v : "";
}

}  // namespace platform
