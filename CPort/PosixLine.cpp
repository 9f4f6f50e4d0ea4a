// Raw mode, any bit rate (BOTHER), character format and handshake through termios2.
#include "PosixLine.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <cerrno>
#include <utility>

namespace posixline {
namespace {

constexpr std::array<std::pair<std::int32_t, unsigned>, 31> kStandardRates = {{
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
    {0, B0},
}};

// A pseudo-terminal slave (majors 136 to 143): it has no wire, and its driver always keeps
// 8 bits without parity whatever it is told.
bool IsPseudoTerminal(int Fd) {
    struct stat St {};
    if (::fstat(Fd, &St) != 0 || !S_ISCHR(St.st_mode)) return false;
    const unsigned Major = major(St.st_rdev);
    return Major >= 136 && Major <= 143;
}

}  // namespace

int Apply(int Fd, const TComControlBlock& Block, TIoctl Io) {
    auto Ioctl = [&](unsigned long Request, void* Arg) {
        return posixio::Ioctl(Fd, Request, Arg, Io);
    };
    auto SetLine = [&](int Line, bool On) { return posixio::SetModemLine(Fd, Line, On, Io); };

    // Settings this platform has no way to carry out are refused, never quietly approximated:
    // - 1.5 stop bits, DTR handshake, RTS toggle, DSR flow and sensitivity;
    // - replacing bytes with parity errors (the terminal can only make them NUL, framing errors
    //   included) and discarding NUL bytes;
    // - CTS output flow without RTS handshake or the other way round: the terminal has the two
    //   only together (CRTSCTS);
    // - holding back sending after XOFF was sent for the input (with XON/XOFF input flow the
    //   terminal goes on sending: only "continue on XOFF" is what it does);
    // - an event character: no port event ever tells of a particular character received.
    // A parity check alone is carried out: bytes pass as received, and the errors are counted
    // by the driver and reported through the error event.
    if (Block.BaudRate <= 0 || Block.ByteSize < 5 || Block.ByteSize > 8 || Block.Parity > 4 ||
        (Block.StopBits != 0 && Block.StopBits != 2) || Block.DtrControl > 1 ||
        Block.RtsControl > 2 || Block.OutxDsrFlow || Block.DsrSensitivity ||
        Block.ErrorCharEnabled || Block.Null || !Block.Binary ||
        Block.OutxCtsFlow != (Block.RtsControl == 2) || (Block.InX && !Block.TxContinueOnXoff) ||
        Block.EvtChar != 0)
        return EINVAL;

    struct termios2 Tio {};
    if (const int Error = Ioctl(TCGETS2, &Tio); Error != 0) return Error;

    // Raw: no echo, no canonical input, no CR/NL translation, no signals, no output processing.
    Tio.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                               IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    Tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    Tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN |
                                          ECHOCTL | ECHOKE);
    Tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                          CBAUD | (CBAUD << IBSHIFT));
    Tio.c_cflag |= CREAD | CLOCAL;

    static constexpr std::array<tcflag_t, 4> kSizes = {CS5, CS6, CS7, CS8};
    Tio.c_cflag |= kSizes[Block.ByteSize - 5];
    switch (Block.Parity) {
        case 1:
            Tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            Tio.c_cflag |= PARENB;
            break;
        case 3:
            Tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            Tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (Block.StopBits == 2) Tio.c_cflag |= CSTOPB;
    const bool Handshake = Block.OutxCtsFlow;
    if (Handshake) Tio.c_cflag |= CRTSCTS;
    if (Block.OutX) Tio.c_iflag |= IXON;
    if (Block.InX) Tio.c_iflag |= IXOFF;
    Tio.c_cc[VSTART] = Block.XonChar;
    Tio.c_cc[VSTOP] = Block.XoffChar;
    Tio.c_cc[VMIN] = 0;
    Tio.c_cc[VTIME] = 0;

    // A standard rate keeps its classic code, so tools that read the rate the old way see it;
    // any other rate goes as a plain number.
    unsigned Code = BOTHER;
    for (const auto& [Rate, RateCode] : kStandardRates) {
        if (Rate == Block.BaudRate) {
            Code = RateCode;
            break;
        }
    }
    Tio.c_cflag |= Code;
    Tio.c_ispeed = static_cast<speed_t>(Block.BaudRate);
    Tio.c_ospeed = static_cast<speed_t>(Block.BaudRate);

    if (const int Error = Ioctl(TCSETS2, &Tio); Error != 0) return Error;

    // Some drivers drop what they cannot do (mark/space parity, a data width, a rate) without a
    // word: read the state back and refuse the settings when the format or the rate did not hold.
    struct termios2 Check {};
    if (const int Error = Ioctl(TCGETS2, &Check); Error != 0) return Error;
    if (!SameLineRate(Block.BaudRate, static_cast<std::int64_t>(Check.c_ospeed))) return EINVAL;
    // A pseudo-terminal passes every byte as it is, so its fixed width and parity are no loss.
    const tcflag_t kFormat = IsPseudoTerminal(Fd)
                                 ? tcflag_t{PARODD | CMSPAR | CSTOPB}
                                 : tcflag_t{CSIZE | PARENB | PARODD | CMSPAR | CSTOPB};
    if ((Check.c_cflag & kFormat) != (Tio.c_cflag & kFormat)) return EINVAL;

    if (const int Error = SetLine(TIOCM_DTR, Block.DtrControl == 1); Error != 0) return Error;
    if (!Handshake) {
        if (const int Error = SetLine(TIOCM_RTS, Block.RtsControl == 1); Error != 0) return Error;
    }
    return 0;
}

std::int64_t OutputSpeed(int Fd) {
    struct termios2 Tio {};
    if (posixio::Ioctl(Fd, TCGETS2, &Tio) != 0) return -1;
    return static_cast<std::int64_t>(Tio.c_ospeed);
}

}  // namespace posixline
