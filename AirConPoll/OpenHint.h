// What to do about a port that did not open, in one line for the journal: who holds it,
// which group may use it, or that it is not there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "PortAccess.h"

namespace airconpoll {

// The hint for an open that failed with Error on Port, from a look at its device node;
// empty when there is nothing to add to the error itself.
std::string OpenFailureHint(std::string_view Port, int Error, const TDeviceAccess& Device,
                            const TUserIdentity& User);
// The same for this process, looking at the node itself.
std::string OpenFailureHint(std::string_view Port, int Error);

// The system's own cause of a port failure, for the journal: the errno name and text
// ("EIO: Input/output error"); "errno N: text" where the C library names no errors.
// A platform code beyond errno (a Win32 code passed through) keeps the platform's text,
// PlatformText, on one line. Empty without an error (Error 0).
std::string SystemCause(std::int64_t Error, std::string_view PlatformText);

}  // namespace airconpoll
