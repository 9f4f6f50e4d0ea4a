// Line-state helpers of the POSIX platform, kept apart because the kernel's termios2 record
// cannot share a translation unit with <termios.h>.
#pragma once

#include <cstdint>

#include "ComPlatform.h"
#include "PosixIo.h"

namespace posixline {

using posixio::TIoctl;

// Puts the terminal into raw mode with the rate, character format, handshake and modem lines
// of Block. Returns 0 or an errno value; EINVAL for a setting the platform cannot take, and for
// a rate the driver does not keep (it reads back more than 2 % away from the rate asked for).
int Apply(int Fd, const TComControlBlock& Block, TIoctl Io = posixio::SystemIoctl);

// Reads the rate the terminal is set to (output speed, any value), or -1.
std::int64_t OutputSpeed(int Fd);

}  // namespace posixline
