// The POSIX line layer against a driver that does not keep the rate it is given. The kernel's
// termios2 record is used here, so this file stays clear of <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PosixLine.h"

namespace {

// A pseudo-terminal's slave, opened for the line layer; the master is held so it stays up.
class PosixLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(Master, 0) << std::strerror(errno);
        ASSERT_EQ(::grantpt(Master), 0);
        ASSERT_EQ(::unlockpt(Master), 0);
        Slave = ::open(::ptsname(Master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(Slave, 0) << std::strerror(errno);
        Substitute = 0;
    }
    void TearDown() override {
        if (Slave >= 0) ::close(Slave);
        if (Master >= 0) ::close(Master);
    }
    int Master = -1;
    int Slave = -1;

    // The rate the stand-in driver reports instead of the one it was given; 0: the real one.
    static inline std::uint32_t Substitute = 0;
    // A driver that takes every request but reports the substitute rate when read back.
    static int SubstitutingIoctl(int Fd, unsigned long Request, void* Arg) {
        const int Result = ::ioctl(Fd, Request, Arg);
        if (Result == 0 && Request == TCGETS2 && Substitute != 0) {
            auto* Tio = static_cast<termios2*>(Arg);
            Tio->c_ospeed = Substitute;
            Tio->c_ispeed = Substitute;
        }
        return Result;
    }
};

TEST_F(PosixLineTest, ARateTheDriverDoesNotKeepIsRefused) {
    struct Case {
        std::int32_t Asked;
        std::uint32_t ReadBack;  // 0: as the pseudo-terminal keeps it
        int Result;
    };
    const Case Cases[] = {
        {9600, 0, 0},
        {256000, 0, 0},
        {256000, 9600, EINVAL},      // an unknown rate replaced by the driver's default
        {56000, 57600, EINVAL},      // the nearest standard rate, 2.9 % off
        {115200, 115200 + 2304, 0},  // what a divisor makes of it, 2 % off
        {31250, 31000, 0},
        {128000, 125000, EINVAL},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::to_string(C.Asked) + " read back as " + std::to_string(C.ReadBack));
        TComControlBlock Block;
        Block.BaudRate = C.Asked;
        Substitute = C.ReadBack;
        EXPECT_EQ(posixline::Apply(Slave, Block, SubstitutingIoctl), C.Result);
    }
}

}  // namespace
