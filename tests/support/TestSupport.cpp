#include "TestSupport.h"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <process.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testsupport {

#ifndef _WIN32
TPtyPair::TPtyPair(TPtyMode Mode) {
    int Slave = -1;
    char Name[256] = {};
    if (::openpty(&FMaster, &Slave, Name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    FSlavePath = Name;
    ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    if (Mode == TPtyMode::Raw) {
        termios Tio{};
        if (::tcgetattr(Slave, &Tio) == 0) {
            ::cfmakeraw(&Tio);
            ::tcsetattr(Slave, TCSANOW, &Tio);
        }
    }
    ::close(Slave);
}

TPtyPair::~TPtyPair() {
    CloseMaster();
}

bool TPtyPair::Write(std::string_view Bytes) {
    while (!Bytes.empty()) {
        const ssize_t N = ::write(FMaster, Bytes.data(), Bytes.size());
        if (N > 0) {
            Bytes.remove_prefix(static_cast<std::size_t>(N));
            continue;
        }
        if (N < 0 && errno == EINTR) continue;
        if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd Fd{FMaster, POLLOUT, 0};
            ::poll(&Fd, 1, 50);
            continue;
        }
        return false;
    }
    return true;
}

std::string TPtyPair::Read(std::size_t Count, std::chrono::milliseconds Limit) {
    std::string Got;
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    while (FMaster >= 0 && Got.size() < Count && std::chrono::steady_clock::now() < Deadline) {
        pollfd Fd{FMaster, POLLIN, 0};
        if (::poll(&Fd, 1, 20) <= 0) continue;
        char Buffer[4096];
        const ssize_t N = ::read(FMaster, Buffer, std::min(sizeof Buffer, Count - Got.size()));
        if (N > 0) Got.append(Buffer, static_cast<std::size_t>(N));
    }
    return Got;
}

termios TPtyPair::SlaveState() const {
    termios Tio{};
    // Terminal requests on the master act on the slave.
    if (::tcgetattr(FMaster, &Tio) != 0) ADD_FAILURE() << "tcgetattr: " << std::strerror(errno);
    return Tio;
}

void TPtyPair::CloseMaster() {
    if (FMaster >= 0) ::close(FMaster);
    FMaster = -1;
}
#endif

TTempDir::TTempDir(std::string_view Prefix) {
#ifdef _WIN32
    // No mkdtemp: a name of the process and a counter, taken when creating it succeeds.
    static std::atomic<unsigned> Counter{0};
    const auto Base = std::filesystem::temp_directory_path();
    for (int Attempt = 0; Attempt < 1000; ++Attempt) {
        const auto Candidate = Base / (std::string(Prefix) + "_" + std::to_string(::_getpid()) +
                                       "_" + std::to_string(Counter.fetch_add(1)));
        std::error_code Ec;
        if (std::filesystem::create_directory(Candidate, Ec)) {
            FPath = Candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
#else
    std::string Template =
        (std::filesystem::temp_directory_path() / (std::string(Prefix) + "_XXXXXX")).string();
    if (::mkdtemp(Template.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    FPath = Template;
#endif
}

TTempDir::~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
}

void TReportRecorder::Bind(TCustomComPort& Port) {
    Port.OnException = [this, &Port](TCustomComPort& Sender, TComExceptions Kind,
                                     const std::string& Message, std::int64_t WinError,
                                     const std::string& WinMessage) {
        EXPECT_EQ(&Sender, &Port) << "a report from another component";
        Reports.push_back({Kind, Message, WinError, WinMessage});
        if (OnReport) OnReport(Reports.back());
    };
}

std::size_t TReportRecorder::Count(TComExceptions Kind) const {
    return static_cast<std::size_t>(std::count_if(
        Reports.begin(), Reports.end(), [Kind](const TReport& R) { return R.Kind == Kind; }));
}

std::vector<TComExceptions> TReportRecorder::Kinds() const {
    std::vector<TComExceptions> Result;
    for (const TReport& R : Reports)
        Result.push_back(R.Kind);
    return Result;
}

void TWakeCounter::Wake(TCustomComPort&) {
    std::lock_guard Lock(FLock);
    ++FWakes;
    FCond.notify_all();
}

bool TWakeCounter::WaitFor(int Count, std::chrono::milliseconds Limit) {
    std::unique_lock Lock(FLock);
    return FCond.wait_for(Lock, Limit, [&] { return FWakes >= Count; });
}

int TWakeCounter::Wakes() {
    std::lock_guard Lock(FLock);
    return FWakes;
}

#ifndef _WIN32
std::optional<std::string> RunAsOrdinaryUser(const std::function<std::string()>& Body) {
    int Pipe[2];
    if (::pipe(Pipe) != 0) return std::nullopt;
    const pid_t Child = ::fork();
    if (Child < 0) {
        ::close(Pipe[0]);
        ::close(Pipe[1]);
        return std::nullopt;
    }
    if (Child == 0) {
        ::close(Pipe[0]);
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        const std::string Out = Body();
        std::size_t Done = 0;
        while (Done < Out.size()) {
            const ssize_t N = ::write(Pipe[1], Out.data() + Done, Out.size() - Done);
            if (N < 0 && errno == EINTR) continue;
            if (N <= 0) ::_exit(3);
            Done += static_cast<std::size_t>(N);
        }
        ::_exit(0);
    }
    ::close(Pipe[1]);
    std::string Got;
    char Buf[512];
    for (;;) {
        const ssize_t N = ::read(Pipe[0], Buf, sizeof Buf);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) break;
        Got.append(Buf, static_cast<std::size_t>(N));
    }
    ::close(Pipe[0]);
    int Status = 0;
    while (::waitpid(Child, &Status, 0) < 0)
        if (errno != EINTR) return std::nullopt;
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) return std::nullopt;
    return Got;
}
#endif

}  // namespace testsupport

void PrintTo(TComExceptions Kind, std::ostream* Os) {
    const int Code = static_cast<int>(Kind) + 1;
    *Os << "code " << Code << " (" << ComErrorMessage(Code) << ")";
}
