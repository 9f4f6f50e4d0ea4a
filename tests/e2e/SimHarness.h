// The simulator and the poller as child processes for tests: a temporary folder, the
// processes with their output in files, the simulator on its link with its control pipe,
// its frame log read back, and waiting with deadlines.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The simulator's own frame helpers, for reading back what its log shows.
#include "SimFrame.h"

namespace simharness {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Whether something is at p; a link counts, whatever it points to.
inline bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

// The lines of text, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// A JSON line of readings without its time stamp, so that what two readers decoded of the
// same exchange compares equal.
inline std::string WithoutTime(const std::string& line) {
    static const std::regex time("\"time\":\"[^\"]*\",");
    return std::regex_replace(line, time, "");
}

// The JSON lines of text without their time stamps, empty lines left out.
inline std::vector<std::string> ReadingLines(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& l : Lines(text))
        if (!l.empty()) out.push_back(WithoutTime(l));
    return out;
}

// Polls pred until it holds or the time is up; `idle` runs between polls (an
// event loop, or a plain sleep).
template <class Pred, class Idle>
bool WaitFor(Pred pred, std::chrono::milliseconds limit, Idle idle) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (pred()) return true;
        idle();
    }
    return pred();
}
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    return WaitFor(pred, limit, [] { std::this_thread::sleep_for(10ms); });
}

class TempDir {
  public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "acsim-XXXXXX").string();
        if (mkdtemp(t.data())) path_ = t;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// One line "reply ..." of the simulator's log.
struct LoggedReply {
    double at = 0;
    std::uint8_t cid2 = 0, rtn = 0;
    int unit = -1;
    std::string fate;  // intact, corrupted, delayed, dropped
    bool noise = false, stray = false, split = false;
    std::string frame;  // "~" to carriage return, as built
};

inline std::vector<LoggedReply> ParseReplies(const std::string& log) {
    std::vector<LoggedReply> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream w(line);
        LoggedReply r;
        std::string kind;
        if (!(w >> r.at >> kind) || kind != "reply") continue;
        std::string tok;
        bool complete = false;
        while (w >> tok) {
            const auto eq = tok.find('=');
            const std::string key = tok.substr(0, eq);
            const std::string val = eq == std::string::npos ? "" : tok.substr(eq + 1);
            if (key == "cid2")
                r.cid2 = static_cast<std::uint8_t>(std::stoi(val, nullptr, 16));
            else if (key == "rtn")
                r.rtn = static_cast<std::uint8_t>(std::stoi(val, nullptr, 16));
            else if (key == "unit")
                r.unit = std::stoi(val);
            else if (key == "fate")
                r.fate = val;
            else if (key == "noise")
                r.noise = true;
            else if (key == "stray")
                r.stray = true;
            else if (key == "split")
                r.split = true;
            else if (key == "frame" && val.size() >= 2 && val.ends_with("\\r")) {
                r.frame = val.substr(0, val.size() - 2) + "\r";
                complete = true;
            }
        }
        if (complete) out.push_back(std::move(r));
    }
    return out;
}

// A program run as a child process, its standard output and error in files.
class ChildProcess {
  public:
    ChildProcess(const char* Program, const fs::path& out, const fs::path& err,
                 std::vector<std::string> args)
        : out_(out), err_(err) {
        // Everything the child needs is made before the fork: the test process
        // has threads, so the child may only make async-signal-safe calls.
        std::vector<char*> argv{const_cast<char*>(Program)};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            execv(Program, argv.data());
            _exit(127);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Exit status after the signal, or nothing when it did not end in time.
    std::optional<int> Stop(int sig, std::chrono::milliseconds limit = 10s) {
        if (!status_) kill(pid_, sig);
        return Wait(limit);
    }
    // The exit status, or nothing when it did not end in time or ended by a signal.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        WaitFor(
            [&] {
                int st = 0;
                if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_) status_ = st;
                return status_.has_value();
            },
            limit);
        if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
        return WEXITSTATUS(*status_);
    }
    void Signal(int sig) { kill(pid_, sig); }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

  private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

#ifdef AIRCONPOLL
// AirConPoll as a child process, its standard output and error in name.out and name.err in dir.
class PollerProcess : public ChildProcess {
  public:
    PollerProcess(const fs::path& dir, std::vector<std::string> args,
                  const std::string& name = "poll")
        : ChildProcess(AIRCONPOLL, dir / (name + ".out"), dir / (name + ".err"), std::move(args)) {}
};
#endif

#ifdef AC_SIM
// The simulator process, its standard output and error in files.
class SimProcess : public ChildProcess {
  public:
    SimProcess(const fs::path& dir, std::vector<std::string> args)
        : ChildProcess(AC_SIM, dir / "sim.out", dir / "sim.err", std::move(args)) {}
};

// Writes one command to the simulator's control pipe and waits until it has
// been carried out; false when it was not within 10 s.
inline bool SendControl(SimProcess& sim, const fs::path& pipe, const std::string& cmd) {
    std::ofstream(pipe) << cmd << '\n';
    return WaitFor(
        [&] { return sim.Out().find("ac_sim: control: " + cmd + "\n") != std::string::npos; },
        std::chrono::milliseconds(10000));
}

// What the simulator of a SimOnLink has besides its link.
struct SimWith {
    bool control = false;                  // the control pipe "control"
    bool log = false;                      // the frame log "sim.log"
    bool tap = false;                      // the tap "tap", the line as a listener hears it
    std::chrono::milliseconds wait = 10s;  // for the link, the pipe and the tap
};

// The simulator in a fresh folder on the link "ttyAC0" there, with what `with` asks
// for and the other arguments after them; ready once the link (the pipe, the tap) are there.
struct SimOnLink {
    explicit SimOnLink(std::vector<std::string> extra = {}, SimWith with = {})
        : link(dir.path() / "ttyAC0"),
          control(with.control ? dir.path() / "control" : fs::path()),
          log(with.log ? dir.path() / "sim.log" : fs::path()),
          tap(with.tap ? dir.path() / "tap" : fs::path()) {
        std::vector<std::string> args{"--link", link.string()};
        if (with.control) args.insert(args.end(), {"--control", control.string()});
        if (with.log) args.insert(args.end(), {"--log", log.string()});
        if (with.tap) args.insert(args.end(), {"--tap", tap.string()});
        args.insert(args.end(), extra.begin(), extra.end());
        sim.emplace(dir.path(), std::move(args));
        ready = WaitFor(
            [&] {
                return Exists(link) && (control.empty() || Exists(control)) &&
                       (tap.empty() || Exists(tap));
            },
            with.wait);
    }
    // Writes one command to the control pipe and waits until it has been carried out:
    // empty then, else what went wrong with all the simulator said.
    std::string Control(const std::string& cmd) {
        if (SendControl(*sim, control, cmd)) return "";
        return "'" + cmd + "' not carried out within 10 s\n" + sim->Out() + sim->Err();
    }

    TempDir dir;
    fs::path link, control, log, tap;
    std::optional<SimProcess> sim;
    bool ready = false;
};
#endif

}  // namespace simharness
