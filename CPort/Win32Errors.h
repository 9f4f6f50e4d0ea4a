// The Win32 layer's error codes: system error codes translated into the errno values the POSIX
// layer reports for the same cause, so that reports, hints and the hang-up rule read alike on
// both systems.
#pragma once

#include <cstdint>

namespace win32errors {

// Where the error happened: a port that refuses to open because another program holds it says
// ERROR_ACCESS_DENIED, an open port whose adapter was pulled out says the same to every request.
enum class TWhere { Open, Transfer };

// The errno value for a system error code (GetLastError); codes without a counterpart pass as
// kWin32ErrorBase plus the code.
int FromSystem(std::uint32_t Code, TWhere Where);

}  // namespace win32errors
