#include "Line.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <PosixLine.h>
#endif

#include <CPort.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace acsim {
namespace {

int TimeoutMs(double seconds) {
    if (seconds <= 0) return 0;
    return static_cast<int>(std::min(std::ceil(seconds * 1000.0), double{INT_MAX}));
}

#ifndef _WIN32
std::runtime_error SysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

class PtyLine final : public Line {
  public:
    explicit PtyLine(std::string link) : link_(std::move(link)) {
        int slave = -1;
        std::array<char, 256> name{};
        if (openpty(&master_, &slave, name.data(), nullptr, nullptr) != 0)
            throw SysError("cannot make a pseudo-terminal");
        path_ = name.data();
        // Raw 8N1 until the tool sets its own line; no echo of what the tool writes.
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, B9600);
            cfsetospeed(&t, B9600);
            tcsetattr(slave, TCSANOW, &t);
        }
        // The tool opens the slave when it connects; until then the master sees
        // a hung-up line, and again whenever the tool closes it.
        close(slave);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        if (!link_.empty()) PlaceLink();
    }

    ~PtyLine() override {
        if (!link_.empty()) {
            std::array<char, PATH_MAX> target{};
            const ssize_t n = readlink(link_.c_str(), target.data(), target.size() - 1);
            if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == path_)
                unlink(link_.c_str());
        }
        if (master_ >= 0) close(master_);
    }

    const std::string& Path() const override { return path_; }

    bool Wait(double timeout, std::span<const int> wakeFds, const BytesHandler& onBytes) override {
        // While nobody holds the slave the master reports a hang-up at once, so
        // it is then only looked at every few milliseconds.
        int ms = TimeoutMs(timeout);
        if (hungUp_) ms = std::min(ms, 10);
        std::vector<pollfd> fds{{hungUp_ ? -1 : master_, POLLIN, 0}};
        for (int fd : wakeFds)
            fds.push_back({fd, POLLIN, 0});
        const int r = poll(fds.data(), fds.size(), ms);
        if (r < 0 && errno != EINTR) {
            failure_ = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (hungUp_) {
            pollfd probe{master_, POLLIN, 0};
            if (poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) hungUp_ = false;
            if (probe.revents & POLLIN) return Drain(onBytes);
            return true;
        }
        if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return Drain(onBytes);
        return true;
    }

    long FarBaud() const override {
        // The slave's settings, read through the master.
        const std::int64_t b = posixline::OutputSpeed(master_);
        return b > 0 ? static_cast<long>(b) : 0;
    }

    int ReadyFd() const override { return hungUp_ ? -1 : master_; }

    bool Send(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = write(master_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // No reader (EIO) or a full buffer (EAGAIN): the bytes are lost on
            // the line.
            return true;
        }
        return true;
    }

    std::string Failure() const override { return failure_; }

  private:
    bool Drain(const BytesHandler& onBytes) {
        std::array<std::uint8_t, 512> buf{};
        for (;;) {
            const ssize_t n = read(master_, buf.data(), buf.size());
            if (n > 0) {
                onBytes(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EIO) hungUp_ = true;  // the tool closed the port
            return true;
        }
    }

    void PlaceLink() {
        struct stat st {};
        if (lstat(link_.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                const std::string l = link_;
                link_.clear();
                throw std::runtime_error("will not replace '" + l + "': it is not a symbolic link");
            }
            unlink(link_.c_str());
        }
        // Placed under a temporary name and renamed, so the path never dangles.
        const std::string tmp = link_ + ".tmp" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(path_.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link_.c_str()) != 0) {
            const auto e = SysError("cannot place the link '" + link_ + "'");
            unlink(tmp.c_str());
            link_.clear();
            throw e;
        }
    }

    int master_ = -1;
    std::string path_;
    std::string link_;
    bool hungUp_ = true;
    std::string failure_;
};

// Whether one of the descriptors has become readable.
bool AnyReadable(std::span<const int> fds) {
    std::vector<pollfd> p;
    for (int fd : fds)
        p.push_back({fd, POLLIN, 0});
    return poll(p.data(), p.size(), 0) > 0;
}
#else
// Windows has no descriptors to wake the simulator: the wait ends with its time.
bool AnyReadable(std::span<const int>) {
    return false;
}
#endif

TBaudRate RateOf(int baud) {
    static constexpr std::array kRates{
        TBaudRate::Br110,    TBaudRate::Br300,    TBaudRate::Br600,   TBaudRate::Br1200,
        TBaudRate::Br2400,   TBaudRate::Br4800,   TBaudRate::Br9600,  TBaudRate::Br14400,
        TBaudRate::Br19200,  TBaudRate::Br38400,  TBaudRate::Br56000, TBaudRate::Br57600,
        TBaudRate::Br115200, TBaudRate::Br128000, TBaudRate::Br256000};
    for (TBaudRate r : kRates)
        if (BaudRateValue(r) == baud) return r;
    return TBaudRate::BrCustom;
}

class DeviceLine final : public Line {
  public:
    DeviceLine(const std::string& path, int baud) : path_(path) {
        port_.SetPort(path);
        port_.SetBaudRate(RateOf(baud));
        port_.SetCustomBaudRate(baud);
        port_.SetDataBits(TDataBits::DbEight);
        port_.SetStopBits(TStopBits::SbOneStopBit);
        port_.Parity().SetBits(TParityBits::PrNone);
        port_.FlowControl().SetFlowControl(TFlowControl::FcNone);
        port_.SetTriggersOnRxChar(false);
        port_.OnRxBuf = [this](TCustomComPort&, std::span<const std::uint8_t> b) {
            if (handler_) (*handler_)(b);
        };
        port_.OnException = [this](TCustomComPort&, TComExceptions, const std::string& msg,
                                   std::int64_t, const std::string& winMsg) {
            if (failure_.empty()) failure_ = winMsg.empty() ? msg : msg + ": " + winMsg;
        };
        port_.Open();
        if (!port_.Connected() || !failure_.empty())
            throw std::runtime_error("cannot open '" + path + "': " + failure_);
    }

    const std::string& Path() const override { return path_; }

    bool Wait(double timeout, std::span<const int> wakeFds, const BytesHandler& onBytes) override {
        handler_ = &onBytes;
        // Events arrive through the component's hand-over; the wake descriptor is
        // looked at between short pumps.
        double left = timeout;
        do {
            const double slice = std::min(left, 0.02);
            port_.PumpHandOver(std::chrono::milliseconds(TimeoutMs(slice)));
            left -= slice;
            if (AnyReadable(wakeFds)) break;
        } while (left > 0 && failure_.empty() && port_.Connected());
        handler_ = nullptr;
        return failure_.empty() && port_.Connected();
    }

    bool Send(std::string_view bytes) override {
        port_.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
        return failure_.empty() && port_.Connected();
    }

    std::string Failure() const override {
        return failure_.empty() ? std::string("the port closed") : failure_;
    }

  private:
    std::string path_;
    TComPort port_{"ac_sim"};
    const BytesHandler* handler_ = nullptr;
    std::string failure_;
};

}  // namespace

std::unique_ptr<Line> OpenPty(const std::string& link) {
#ifndef _WIN32
    return std::make_unique<PtyLine>(link);
#else
    (void)link;
    throw std::runtime_error("Windows has no pseudo-terminals: use --device COMn");
#endif
}

std::unique_ptr<Line> OpenDevice(const std::string& path, int baud) {
    return std::make_unique<DeviceLine>(path, baud);
}

}  // namespace acsim
