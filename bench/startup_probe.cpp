// Start-up time and resident memory of the real program, seen from the X server.
//
//   startup_probe PROGRAM [RUNS]
//
// Each run forks and executes PROGRAM on the display in $DISPLAY and waits for
// the X server to report its top-level window mapped (shown). The time from the
// fork to that report is the start-up time. Two seconds later the resident
// memory of the running window is read, then the program is told to end.
// Prints "key=value" lines for bench/run.sh.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long RssKb(pid_t Pid) {
    std::ifstream in("/proc/" + std::to_string(Pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// The process that owns a window, as the toolkit announces it; -1 when unknown.
long WindowPid(Display* D, Window W) {
    const Atom pidAtom = XInternAtom(D, "_NET_WM_PID", True);
    if (pidAtom == None) return -1;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(D, W, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data && count == 1 && format == 32)
        pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return pid;
}

// Waits for the map of a top-level window of Pid; the time of it, or nothing.
bool WaitMapped(Display* D, pid_t Pid, Clock::time_point Deadline, Clock::time_point& At) {
    const int fd = ConnectionNumber(D);
    for (;;) {
        while (XPending(D) > 0) {
            XEvent ev;
            XNextEvent(D, &ev);
            if (ev.type != MapNotify) continue;
            const long owner = WindowPid(D, ev.xmap.window);
            if (owner == -1 || owner == Pid) {
                At = Clock::now();
                return true;
            }
        }
        const auto left = Deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{
            0, static_cast<suseconds_t>(std::min<long long>(
                   std::chrono::duration_cast<std::chrono::microseconds>(left).count(), 100000))};
        select(fd + 1, &set, nullptr, nullptr, &tv);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: startup_probe PROGRAM [RUNS]\n", stderr);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fputs("startup_probe: no X display\n", stderr);
        return 1;
    }
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    XSync(d, True);

    std::vector<double> times;
    long rssMax = 0;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point start = Clock::now();
        const pid_t pid = fork();
        if (pid < 0) return 1;
        if (pid == 0) {
            execl(argv[1], argv[1], static_cast<char*>(nullptr));
            _exit(127);
        }
        Clock::time_point mapped;
        if (WaitMapped(d, pid, start + std::chrono::seconds(20), mapped)) {
            times.push_back(std::chrono::duration<double, std::milli>(mapped - start).count());
            std::this_thread::sleep_for(std::chrono::seconds(2));
            rssMax = std::max(rssMax, RssKb(pid));
        } else {
            ++failures;
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        // Drop the unmap and destroy reports of this run.
        XSync(d, True);
    }
    XCloseDisplay(d);

    std::sort(times.begin(), times.end());
    std::printf("startup_runs=%zu\nstartup_failures=%d\n", times.size(), failures);
    if (!times.empty()) {
        std::printf("startup_median_ms=%.1f\nstartup_min_ms=%.1f\nstartup_max_ms=%.1f\n",
                    times[times.size() / 2], times.front(), times.back());
    }
    std::printf("window_rss_kb=%ld\n", rssMax);
    return failures == 0 ? 0 : 1;
}
