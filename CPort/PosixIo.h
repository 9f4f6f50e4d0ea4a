// Small helpers of the POSIX platform layer, in one place. Free of <termios.h>, so that the file
// working with the kernel's termios2 record (PosixLine.cpp) can use them too.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>

namespace posixio {

// Runs Call again for as long as a signal interrupts it (-1 with EINTR); returns its result.
template <class F>
auto RetryEintr(F&& Call) {
    for (;;) {
        const auto Result = Call();
        if (Result >= 0 || errno != EINTR) return Result;
    }
}

// How a terminal request is made: ioctl(2), or a stand-in for tests. Returns 0, or -1 with
// errno set.
using TIoctl = int (*)(int Fd, unsigned long Request, void* Arg);
inline int SystemIoctl(int Fd, unsigned long Request, void* Arg) {
    return ::ioctl(Fd, Request, Arg);
}

// A terminal request, resumed when interrupted: 0, or the errno value of its failure.
inline int Ioctl(int Fd, unsigned long Request, void* Arg, TIoctl Io = SystemIoctl) {
    return RetryEintr([&] { return Io(Fd, Request, Arg); }) == 0 ? 0 : errno;
}

// A device without modem lines (a pseudo-terminal) answers the modem-line requests with ENOTTY
// or EINVAL: that is no failure, the device simply has no such lines.
inline bool NoModemLines(int Error) {
    return Error == ENOTTY || Error == EINVAL;
}

// Raises (On) or drops one modem line (TIOCM_DTR, TIOCM_RTS). 0 or an errno value; a device
// without modem lines has nothing to set.
inline int SetModemLine(int Fd, int Line, bool On, TIoctl Io = SystemIoctl) {
    int Bits = Line;
    const int Error = Ioctl(Fd, On ? TIOCMBIS : TIOCMBIC, &Bits, Io);
    return NoModemLines(Error) ? 0 : Error;
}

// The modem lines (TIOCM_* bits). 0 or an errno value; a device without modem lines reads as
// every line off.
inline int ModemLines(int Fd, int& Lines) {
    Lines = 0;
    const int Error = Ioctl(Fd, TIOCMGET, &Lines);
    if (Error != 0) Lines = 0;
    return NoModemLines(Error) ? 0 : Error;
}

}  // namespace posixio
