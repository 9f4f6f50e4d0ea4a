// The POSIX platform: serial devices and pseudo-terminals under Linux.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ComPlatform.h"
#include "PortHolders.h"
#include "PosixIo.h"
#include "PosixLine.h"

std::string IComPlatform::ErrorText(int Error) const {
    char Text[256] = {};
    // GNU strerror_r returns the text, which may or may not be in Text.
    const char* Result = ::strerror_r(Error, Text, sizeof Text);
    return Result ? std::string(Result) : std::string();
}

namespace {

using Clock = std::chrono::steady_clock;

using posixio::RetryEintr;

class TPosixDevice final : public IComDevice {
  public:
    TPosixDevice(int Fd, int StopFd) : FFd(Fd), FStopFd(StopFd) {}
    ~TPosixDevice() override { Close(); }

    int SetupQueues(std::int32_t InputSize, std::int32_t OutputSize) override {
        // The kernel sizes its tty queues itself; the sizes only have to make sense.
        if (InputSize <= 0 || OutputSize <= 0) return EINVAL;
        return FFd < 0 ? EBADF : 0;
    }

    int SetState(const TComControlBlock& Block) override {
        if (FFd < 0) return EBADF;
        const int Error = posixline::Apply(FFd, Block);
        if (Error == 0) FCharUs.store(CharTime(Block));
        return Error;
    }

    int SetTimeouts(const TComTimeoutValues& Timeouts) override {
        if (FFd < 0) return EBADF;
        FWriteMultiplier.store(Timeouts.WriteTotalTimeoutMultiplier);
        FWriteConstant.store(Timeouts.WriteTotalTimeoutConstant);
        return 0;
    }

    int SetEventMask(std::uint32_t Mask) override {
        FMask.store(Mask);
        return 0;
    }

    // poll() reports waiting input for as long as it waits, but a port event tells of input
    // once: bytes already reported and still unread (the receiver only counts them, or has not
    // read them yet) are no news until a read or purge takes some or more arrive. Meanwhile the
    // device is watched for a hang-up only; a read or purge wakes the wait at once, and growth
    // is looked for every kUnreadRecheck.
    TComWaitResult WaitEvent(std::uint32_t& Mask, int& Error) override {
        bool Unread = false;
        for (;;) {
            if (FCancelled.load()) return TComWaitResult::Stopped;
            const bool WantRx = (FMask.load() & ComEventBits::RxChar) != 0;
            if (WantRx && !Unread) {
                const TInput Input = CountInput();
                Unread = Input.Waiting > 0 && !IsNews(Input);
            }
            pollfd Fds[2] = {{FFd, static_cast<short>(WantRx && !Unread ? POLLIN : 0), 0},
                             {FStopFd, POLLIN, 0}};
            const int Ready =
                ::poll(Fds, 2, Unread ? static_cast<int>(kUnreadRecheck.count()) : -1);
            Unread = false;
            if (Ready < 0) {
                if (errno == EINTR) continue;
                Error = errno;
                return TComWaitResult::Failed;
            }
            if (Fds[1].revents != 0) {
                std::uint64_t Count = 0;
                [[maybe_unused]] const ssize_t Drained = ::read(FStopFd, &Count, sizeof Count);
                continue;  // stopped, or input taken: look again
            }
            const short Got = Fds[0].revents;
            if (Got & (POLLHUP | POLLERR | POLLNVAL)) {
                // Bytes that arrived before the hang-up are still delivered first.
                if (WantRx && !(Got & POLLNVAL)) {
                    const TInput Last = CountInput();
                    if (Last.Waiting > 0 && IsNews(Last)) return Report(Last, Mask);
                }
                Error = (Got & POLLNVAL) ? EBADF : EIO;
                return TComWaitResult::HangUp;
            }
            if (Got & POLLIN) {
                const TInput Now = CountInput();
                if (Now.Waiting > 0 && IsNews(Now)) return Report(GatherTrickle(Now), Mask);
                // Readable yet nothing new to count: look again later rather than at once.
                Unread = true;
            }
        }
    }

    void CancelWait() override {
        FCancelled.store(true);
        Signal();
    }

    int Read(std::span<std::uint8_t> Buffer, std::size_t& Done) override {
        Done = 0;
        if (FFd < 0) return EBADF;
        if (Buffer.empty()) return 0;
        const ssize_t Got = RetryEintr([&] { return ::read(FFd, Buffer.data(), Buffer.size()); });
        if (Got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        Done = static_cast<std::size_t>(Got);
        if (Got > 0) InputTaken();
        return 0;
    }

    int Write(std::span<const std::uint8_t> Buffer, std::size_t& Done) override {
        Done = 0;
        if (FFd < 0) return EBADF;
        const std::uint64_t Multiplier = FWriteMultiplier.load();
        const std::uint64_t Constant = FWriteConstant.load();
        const bool Limited = Multiplier != 0 || Constant != 0;
        // The largest time-outs mean a wait of years: saturate rather than wrap round.
        constexpr std::uint64_t kLongestWait = std::uint64_t{1} << 40;  // ms, about 35 years
        const std::uint64_t Allowed =
            Multiplier != 0 && Buffer.size() > kLongestWait / Multiplier
                ? kLongestWait
                : std::min(Multiplier * Buffer.size() + Constant, kLongestWait);
        const Clock::time_point Deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(Allowed));
        auto Remaining = [&]() -> int {  // ms left, -1 without limit
            if (!Limited) return -1;
            const auto Left =
                std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
            return Left > 0 ? static_cast<int>(std::min<long long>(Left, 1 << 30)) : 0;
        };

        while (Done < Buffer.size()) {
            const ssize_t Put = ::write(FFd, Buffer.data() + Done, Buffer.size() - Done);
            if (Put > 0) {
                Done += static_cast<std::size_t>(Put);
                continue;
            }
            if (Put < 0 && errno == EINTR) continue;
            if (Put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
            const int Left = Remaining();
            if (Left == 0) break;  // cut off by the write time-out
            pollfd Fd{FFd, POLLOUT, 0};
            const int Ready = ::poll(&Fd, 1, Left);
            if (Ready < 0 && errno != EINTR) return errno;
            if (Ready > 0 && (Fd.revents & (POLLHUP | POLLERR | POLLNVAL))) return EIO;
        }

        // Wait until the driver has sent everything, with the same deadline: tcdrain could wait
        // for ever on a line that never drains.
        for (;;) {
            int Queued = 0;
            if (posixio::Ioctl(FFd, TIOCOUTQ, &Queued) != 0) break;  // no queue to watch
            if (Queued <= 0) break;
            if (Remaining() == 0) {
                // Cut off: what is still queued was not sent and is dropped.
                Done -= std::min<std::size_t>(static_cast<std::size_t>(Queued), Done);
                ::tcflush(FFd, TCOFLUSH);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    }

    int Purge(std::uint32_t Flags) override {
        if (FFd < 0) return EBADF;
        // Writing and reading are never in flight here (both finish before they return), so
        // aborting them drops nothing: bytes already announced to the main thread stay for it
        // to read. The abort only tells whether the device is still there.
        if (Flags & (ComPurgeFlags::TxAbort | ComPurgeFlags::RxAbort)) {
            int Queued = 0;
            if (const int Error = posixio::Ioctl(FFd, TIOCOUTQ, &Queued); Error != 0) return Error;
        }
        const bool Tx = Flags & ComPurgeFlags::TxClear;
        const bool Rx = Flags & ComPurgeFlags::RxClear;
        if (!Tx && !Rx) return 0;
        const int Queue = Tx && Rx ? TCIOFLUSH : (Tx ? TCOFLUSH : TCIFLUSH);
        if (RetryEintr([&] { return ::tcflush(FFd, Queue); }) != 0) return errno;
        if (Rx) InputTaken();
        return 0;
    }

    int ClearError(std::uint32_t& Errors, std::uint32_t& InQueue) override {
        Errors = 0;
        InQueue = 0;
        if (FFd < 0) return EBADF;
        int Waiting = 0;
        if (const int Error = posixio::Ioctl(FFd, FIONREAD, &Waiting); Error != 0) return Error;
        InQueue = Waiting > 0 ? static_cast<std::uint32_t>(Waiting) : 0;

        // Line errors come from the driver's counters: whatever grew since the last call.
        serial_icounter_struct Counts{};
        if (::ioctl(FFd, TIOCGICOUNT, &Counts) == 0) {
            if (FHaveCounts) {
                if (Counts.frame != FCounts.frame) Errors |= ComErrorBits::Frame;
                if (Counts.parity != FCounts.parity) Errors |= ComErrorBits::RxParity;
                if (Counts.overrun != FCounts.overrun) Errors |= ComErrorBits::Overrun;
                if (Counts.brk != FCounts.brk) Errors |= ComErrorBits::Break;
                if (Counts.buf_overrun != FCounts.buf_overrun) Errors |= ComErrorBits::RxOver;
            }
            FCounts = Counts;
            FHaveCounts = true;
        }
        return 0;
    }

    int ModemStatus(std::uint32_t& Status) override {
        Status = 0;
        if (FFd < 0) return EBADF;
        int Lines = 0;
        // No modem lines at all (a pseudo-terminal): every line is off.
        if (const int Error = posixio::ModemLines(FFd, Lines); Error != 0) return Error;
        if (Lines & TIOCM_CTS) Status |= ComModemBits::CtsOn;
        if (Lines & TIOCM_DSR) Status |= ComModemBits::DsrOn;
        if (Lines & TIOCM_RNG) Status |= ComModemBits::RingOn;
        if (Lines & TIOCM_CD) Status |= ComModemBits::RlsdOn;
        return 0;
    }

    int Close() override {
        if (FFd < 0) return 0;
        ::ioctl(FFd, TIOCNXCL);
        // close() is not retried: the descriptor is gone whatever it answers.
        const int Result = ::close(FFd);
        const int Error = Result == 0 || errno == EINTR ? 0 : errno;
        FFd = -1;
        if (FStopFd >= 0) ::close(FStopFd);
        FStopFd = -1;
        return Error;
    }

  private:
    // Bytes waiting in the input queue, and how many reads and purges had taken input before
    // they were counted.
    struct TInput {
        std::uint64_t Taken = 0;
        int Waiting = 0;
    };
    static constexpr std::chrono::milliseconds kUnreadRecheck{50};
    // Trickle gathering: see GatherTrickle.
    static constexpr int kGatherBurst = 16;      // characters
    static constexpr int kGatherStepChars = 32;  // characters
    static constexpr int kGatherMax = 1024;      // characters
    static constexpr std::int64_t kGatherStepMinUs = 2000;
    static constexpr std::int64_t kGatherStepMaxUs = 40000;
    static constexpr std::chrono::milliseconds kGatherLimit{200};

    // The time one character takes on the line: start bit, data bits, parity and stop bits
    // at the line rate, in microseconds.
    static std::int64_t CharTime(const TComControlBlock& Block) {
        const std::int64_t Rate = std::max<std::int32_t>(Block.BaudRate, 1);
        const std::int64_t StopHalfBits = Block.StopBits == 0 ? 2 : Block.StopBits == 1 ? 3 : 4;
        const std::int64_t HalfBits =
            2 * (1 + Block.ByteSize + (Block.Parity != 0 ? 1 : 0)) + StopHalfBits;
        return std::max<std::int64_t>(HalfBits * 1000000 / (2 * Rate), 1);
    }

    TInput CountInput() const {
        TInput Input;
        Input.Taken = FTaken.load();
        if (posixio::Ioctl(FFd, FIONREAD, &Input.Waiting) != 0) Input.Waiting = 0;
        return Input;
    }
    // Whether the waiting bytes include some the last reported input event did not cover:
    // input was taken since (what waits now arrived later), or more bytes came.
    bool IsNews(const TInput& Input) const {
        return Input.Taken != FReported.Taken || Input.Waiting > FReported.Waiting;
    }
    // A slow line brings its bytes one at a time; handing each over on its own would wake both
    // threads once per byte, and looking at the line every few milliseconds costs nearly as
    // much. So bytes that trickle in gather while the line keeps bringing them: the thread
    // sleeps for the time of kGatherStepChars characters at the line rate and looks again. A step
    // that brought less than three quarters of what the line could carry (the line fell quiet
    // within it, as at the end of a reply), kGatherMax bytes waiting, kGatherLimit passed, a read,
    // a purge or a stop ends the wait. Input that is already kGatherBurst bytes or more at the
    // first look (a fast line, a reply written whole) waits not at all. The last bytes of a
    // reply are therefore handed over at most one step (about 33 ms at 9600 bit/s) after
    // they arrived.
    TInput GatherTrickle(TInput Input) {
        if (Input.Waiting >= kGatherBurst) return Input;
        // A step lasts kGatherStepChars character times, kept between kGatherStepMinUs and
        // kGatherStepMaxUs; a steady line brings three quarters of a step's characters or more.
        const std::int64_t CharUs = FCharUs.load();
        const std::int64_t StepUs =
            std::clamp(kGatherStepChars * CharUs, kGatherStepMinUs, kGatherStepMaxUs);
        const auto Step = std::chrono::microseconds(StepUs);
        const int Steady = std::max(
            static_cast<int>(std::min<std::int64_t>(StepUs / CharUs, kGatherMax)) * 3 / 4, 1);
        const Clock::time_point End = Clock::now() + kGatherLimit;
        while (Input.Waiting < kGatherMax && !FCancelled.load()) {
            const auto Left = End - Clock::now();
            if (Left <= Clock::duration::zero()) break;
            const auto Wait =
                std::chrono::ceil<std::chrono::milliseconds>(std::min<Clock::duration>(Step, Left));
            pollfd Stop{FStopFd, POLLIN, 0};
            if (::poll(&Stop, 1, static_cast<int>(Wait.count())) != 0) break;
            const TInput More = CountInput();
            if (More.Taken != Input.Taken || More.Waiting <= Input.Waiting) break;
            const bool Quieter = More.Waiting - Input.Waiting < Steady;
            Input = More;
            if (Quieter) break;
        }
        return Input;
    }
    TComWaitResult Report(const TInput& Input, std::uint32_t& Mask) {
        FReported = Input;
        Mask = ComEventBits::RxChar;
        return TComWaitResult::Events;
    }
    // Called on the main thread when a read or purge took input; wakes a quiet wait.
    void InputTaken() {
        FTaken.fetch_add(1);
        Signal();
    }
    void Signal() {
        const std::uint64_t One = 1;
        // The counter only has to become readable; a full counter is readable already.
        [[maybe_unused]] const ssize_t Ignored = ::write(FStopFd, &One, sizeof One);
    }

    int FFd;
    int FStopFd;  // eventfd: written to stop a wait (FCancelled) or to wake it after input is taken
    std::atomic<std::uint64_t> FTaken{0};
    TInput FReported;  // event thread only
    std::atomic<bool> FCancelled{false};
    std::atomic<std::uint32_t> FMask{0};
    std::atomic<std::uint32_t> FWriteMultiplier{100};
    std::atomic<std::uint32_t> FWriteConstant{1000};
    std::atomic<std::int64_t> FCharUs{CharTime(TComControlBlock{})};
    serial_icounter_struct FCounts{};
    bool FHaveCounts = false;
};

class TPosixComPlatform final : public IComPlatform {
  public:
    std::unique_ptr<IComDevice> Open(const std::string& Port, int& Error) override {
        Error = 0;
        if (Port.empty() || Port.find('\0') != std::string::npos) {
            Error = ENOENT;
            return nullptr;
        }
        // "ttyUSB0" is a device under /dev; an absolute path is taken as it is.
        const std::string Path = Port.front() == '/' ? Port : "/dev/" + Port;
        const int Fd = RetryEintr(
            [&] { return ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
        if (Fd < 0) {
            Error = errno;
            return nullptr;
        }
        auto Fail = [&](int Cause) -> std::unique_ptr<IComDevice> {
            ::close(Fd);
            Error = Cause;
            return nullptr;
        };
        if (!::isatty(Fd)) return Fail(ENOTTY);
        // A port someone else has claimed is busy. Without root the open itself fails on a
        // terminal in exclusive mode; root gets in and has to ask. A pseudo-terminal keeps the
        // flag after its claimer has gone without clearing it: a claim counts only while
        // somebody still holds the port. The lock is how every other user of this component
        // claims it, root included.
        int Exclusive = 0;
        if (posixio::Ioctl(Fd, TIOCGEXCL, &Exclusive) == 0 && Exclusive != 0 &&
            portholders::HeldElsewhere(Fd, portholders::TWho::AnyDescriptor))
            return Fail(EBUSY);
        if (RetryEintr([&] { return ::flock(Fd, LOCK_EX | LOCK_NB); }) != 0)
            return Fail(errno == EWOULDBLOCK ? EBUSY : errno);
        // Claim it: from here on the open of any other program but root's fails.
        if (const int Error = posixio::Ioctl(Fd, TIOCEXCL, nullptr); Error != 0 && Error != ENOTTY)
            return Fail(Error);
        // A program that opened it earlier without claiming it shows only among the open
        // descriptors of the processes. One that is just giving up on the port (another
        // component that lost the lock) goes at once: look again before calling it busy.
        for (int Look = 0; portholders::HeldElsewhere(Fd, portholders::TWho::OtherProcesses);
             ++Look) {
            if (Look == 2) {
                ::ioctl(Fd, TIOCNXCL);
                return Fail(EBUSY);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const int StopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (StopFd < 0) {
            const int Cause = errno;
            ::ioctl(Fd, TIOCNXCL);
            return Fail(Cause);
        }
        return std::make_unique<TPosixDevice>(Fd, StopFd);
    }
};

}  // namespace

std::shared_ptr<IComPlatform> PosixComPlatform() {
    static const std::shared_ptr<IComPlatform> Instance = std::make_shared<TPosixComPlatform>();
    return Instance;
}

std::shared_ptr<IComPlatform> SystemComPlatform() {
    return PosixComPlatform();
}
