// ac_sim: the air-conditioner controller on a virtual or real serial line.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <thread>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <DH.h>
#include <HexText.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Bus.h"
#include "Control.h"
#include "Controller.h"
#include "Faults.h"
#include "Line.h"
#include "Options.h"
#include "Uart.h"

using namespace acsim;

namespace {

#ifdef _WIN32
// Ctrl+C, Ctrl+Break, a closed console or a shutdown ask the loop to stop; the
// system calls the handler on a thread of its own. There is nothing to wake:
// the loop looks at the request at least every 0.2 s. A closed console or a
// shutdown ends the process once the handler returns, so the handler then waits
// (within the 5 s the system gives) until the port is closed and the counts are
// out. A user logging off does not stop it.
int g_wake[2] = {-1, -1};
std::atomic<bool> g_stop{false};
std::atomic<bool> g_finished{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_LOGOFF_EVENT) return FALSE;
    g_stop = true;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT)
        for (int i = 0; i < 90 && !g_finished; ++i)
            Sleep(50);
    return TRUE;
}

void Finished() {
    g_finished = true;
}

void InstallSignals() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // The output is the same bytes as elsewhere: UTF-8 on the console, lines
    // ending in a line feed.
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
#else
int g_wake[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
    const char c = 's';
    [[maybe_unused]] auto n = write(g_wake[1], &c, 1);
}

void InstallSignals() {
    if (pipe(g_wake) != 0) return;
    for (int fd : g_wake) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void Finished() {}
#endif

struct Stats {
    long commands = 0, ignored = 0, intact = 0, corrupted = 0, delayed = 0, dropped = 0;
    long noise = 0, stray = 0, split = 0, forcedRtn = 0;
    long silent = 0, garbled = 0, tapSent = 0;
    // The counts of what is in use beyond the single controller of old.
    bool showSilent = false, showGarbled = false, showTap = false;
    std::string Line() const {
        std::ostringstream s;
        s << "commands=" << commands << " ignored=" << ignored << " intact=" << intact
          << " corrupted=" << corrupted << " delayed=" << delayed << " dropped=" << dropped
          << " noise=" << noise << " stray=" << stray << " split=" << split
          << " forced_rtn=" << forcedRtn;
        if (showSilent) s << " silent=" << silent;
        if (showGarbled) s << " garbled=" << garbled;
        if (showTap) s << " tap_sent=" << tapSent;
        return s.str();
    }
};

// A frame as printable text: the carriage return and other control bytes escaped.
std::string Printable(std::string_view bytes);
std::string Printable(std::span<const std::uint8_t> bytes) {
    return Printable(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
std::string Printable(std::string_view bytes) {
    std::string s;
    for (char ch : bytes) {
        const auto b = static_cast<std::uint8_t>(ch);
        if (b == '\r')
            s += "\\r";
        else if (b < 0x20 || b >= 0x7F) {
            s += "\\x";
            util::AppendHex(s, b);
        } else
            s.push_back(static_cast<char>(b));
    }
    return s;
}

std::string Hex2(unsigned v) {
    return util::Hex(v & 0xFF, 2);
}

// The frame log: standard output with -v or "--log -", a file with --log FILE,
// or both.
class Log {
  public:
    explicit Log(const Options& o) {
        if (o.verbose || o.logPath == "-") outs_.push_back(&std::cout);
        if (!o.logPath.empty() && o.logPath != "-") {
            file_.open(o.logPath, std::ios::out | std::ios::trunc | std::ios::binary);
            if (!file_) throw std::runtime_error("cannot write the log '" + o.logPath + "'");
            outs_.push_back(&file_);
        }
    }
    void Put(double t, const std::string& line) {
        char ts[32];
        std::snprintf(ts, sizeof ts, "%.3f ", t);
        for (std::ostream* out : outs_) {
            *out << ts << line << '\n';
            out->flush();
        }
    }

  private:
    std::ofstream file_;
    std::vector<std::ostream*> outs_;
};

std::unique_ptr<Line> OpenLine(const Options& o) {
    return o.device.empty() ? OpenPty(o.link) : OpenDevice(o.device, o.baud);
}

std::string AddressList(const std::vector<std::uint8_t>& addrs) {
    std::string s;
    for (std::uint8_t a : addrs)
        s += (s.empty() ? "" : ",") + std::to_string(a);
    return s;
}

void Announce(const Options& o, const Line& line) {
    if (o.addresses.size() == 1)
        std::cout << "ac_sim: controller at address " << int{o.controller.address} << " on "
                  << line.Path() << '\n';
    else
        std::cout << "ac_sim: controllers at addresses " << AddressList(o.addresses) << " on "
                  << line.Path() << '\n';
    if (!o.link.empty()) std::cout << "ac_sim: link " << o.link << " -> " << line.Path() << '\n';
    // The window's command line for this port (a path with blanks in single quotes).
    const std::string port = o.link.empty() ? line.Path() : o.link;
    std::string quoted = port;
    if (port.find_first_of(" \t'\"\\$`") != std::string::npos) {
        quoted = "'";
        for (char c : port)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        quoted += "'";
    }
    std::cout << "ac_sim: open it with: AirConTool --port " << quoted;
    if (o.controller.address != 1)
        std::cout << "  (and \"地址\" " << int{o.controller.address} << ")";
    std::cout << '\n';
    std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseOptions(args);
    if (!parsed.options) {
        std::cerr << "ac_sim: " << parsed.error << "\nTry 'ac_sim --help'.\n";
        return 2;
    }
    const Options& o = *parsed.options;
    if (o.help) {
        std::cout << HelpText();
        return 0;
    }
    InstallSignals();

    Bus bus(ControllerConfigs(o));
    const bool several = o.addresses.size() > 1;
    FaultInjector faults(o.faults);
    Transmitter tx(o.pace);
    Stats stats;
    stats.showSilent = !o.control.empty();
    stats.showGarbled = o.lineBaud > 0;
    stats.showTap = !o.tap.empty();
    std::unique_ptr<Log> log;
    std::unique_ptr<Line> line, tap;
    std::unique_ptr<ControlPipe> control;
    try {
        log = std::make_unique<Log>(o);
        line = OpenLine(o);
        if (!o.tap.empty()) tap = OpenPty(o.tap);
        if (!o.control.empty()) control = std::make_unique<ControlPipe>(o.control);
    } catch (const std::exception& e) {
        std::cerr << "ac_sim: " << e.what() << '\n';
        return 1;
    }
    Announce(o, *line);
    if (tap) std::cout << "ac_sim: tap " << o.tap << " -> " << tap->Path() << '\n';
    if (control) std::cout << "ac_sim: control " << control->Path() << '\n';
    std::cout.flush();

    const auto start = std::chrono::steady_clock::now();
    auto clock = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // Times of the next vanishing and coming back; negative when none is due.
    double vanishAt = o.vanishAfter, backAt = -1;

    // The speeds of the line: with --line-baud every party hears the others
    // through a receiver at its own speed; without it, speeds are not looked at.
    const bool speeds = o.lineBaud > 0;
    auto toolBaud = [&] { return line ? line->FarBaud() : 0L; };
    auto tapBaud = [&] { return tap ? tap->FarBaud() : 0L; };
    auto heard = [&](std::string_view bytes, long from, long to) {
        if (!speeds || from <= 0 || to <= 0 || from == to) return std::string(bytes);
        return Resample(bytes, from, to);
    };
    // Replies go out a few bytes at a time; each listener's receiver follows them.
    std::optional<UartListener> toTool, toTap;
    auto follow = [&](std::optional<UartListener>& rx, long to, std::string_view bytes,
                      bool pause) {
        if (!speeds || to <= 0 || to == o.lineBaud) {
            rx.reset();
            return std::string(bytes);
        }
        if (!rx || rx->ReceiverBaud() != to) rx.emplace(o.lineBaud, to);
        std::string out = rx->Feed(bytes);
        if (pause) out += rx->End();
        return out;
    };

    auto dh = std::make_unique<TDH>();
    auto onFrame = [&](TDH&, std::span<const std::uint8_t> frame) {
        const double now = clock();
        ++stats.commands;
        log->Put(now, "command " + Printable(frame));
        std::optional<std::uint8_t> refuse;
        if (faults.ForceRtn()) refuse = o.faults.rtn;
        const Outcome outcome = bus.Handle(frame, refuse);
        if (outcome.kind == Outcome::Kind::Silent) {
            ++stats.ignored;
            ++stats.silent;
            log->Put(now, "ignored (address " + std::to_string(*outcome.addr) + " keeps silent)");
            return;
        }
        if (!outcome.reply) {
            ++stats.ignored;
            if (several && outcome.addr)
                log->Put(now, "ignored (no controller at address " + std::to_string(*outcome.addr) +
                                  ")");
            else
                log->Put(now, "ignored (not for this address)");
            return;
        }
        const Reply* reply = &*outcome.reply;
        const bool forced = reply->refused;
        stats.forcedRtn += forced;
        const Plan plan = faults.Decide(reply->frame);
        switch (plan.fate) {
            case Fate::Intact:
                ++stats.intact;
                break;
            case Fate::Corrupted:
                ++stats.corrupted;
                break;
            case Fate::Delayed:
                ++stats.delayed;
                break;
            case Fate::Dropped:
                ++stats.dropped;
                break;
        }
        stats.noise += plan.noise;
        stats.stray += plan.stray;
        stats.split += plan.split;
        if (plan.fate != Fate::Dropped)
            tx.Enqueue(now + (o.turnaroundMs + outcome.lateMs) / 1000.0 + plan.extraDelay,
                       plan.pieces);
        std::string entry = "reply ";
        if (several) entry += "addr=" + std::to_string(*outcome.addr) + " ";
        if (outcome.replyAs) entry += "as=" + std::to_string(*outcome.replyAs) + " ";
        if (outcome.lateMs > 0)
            entry += "late=" + std::to_string(std::lround(outcome.lateMs)) + " ";
        entry += "cid2=" + Hex2(reply->cid2) + " rtn=" + Hex2(reply->rtn) +
                 " unit=" + std::to_string(reply->unit) + " fate=" + FateName(plan.fate);
        if (plan.noise) entry += " noise";
        if (plan.stray) entry += " stray";
        if (plan.split) entry += " split";
        if (forced) entry += " forced";
        entry += " frame=" + Printable(reply->frame);
        log->Put(now, entry);
    };
    dh->OnRecDHFrame = onFrame;
    // What the controllers' receiver makes of bytes sent at `from` bit/s.
    auto toControllers = [&](std::string_view bytes, long from) {
        const std::string got = heard(bytes, from, o.lineBaud);
        if (speeds && from > 0 && from != o.lineBaud) {
            ++stats.garbled;
            log->Put(clock(), "garbled " + std::to_string(bytes.size()) + " bytes at " +
                                  std::to_string(from) + " bit/s on a line at " +
                                  std::to_string(o.lineBaud) + ": heard " + Printable(got));
        }
        dh->ReceiveData(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(got.data()), got.size()));
    };
    const BytesHandler onBytes = [&](std::span<const std::uint8_t> b) {
        const std::string_view bytes(reinterpret_cast<const char*>(b.data()), b.size());
        const long from = toolBaud();
        // The listener hears the master's command as it was written.
        if (tap) tap->Send(heard(bytes, from, tapBaud()));
        toControllers(bytes, from);
    };
    // A listener that writes is another master on the pair: the controllers and
    // the tool hear it.
    const BytesHandler onTapBytes = [&](std::span<const std::uint8_t> b) {
        const std::string_view bytes(reinterpret_cast<const char*>(b.data()), b.size());
        const long from = tapBaud();
        stats.tapSent += static_cast<long>(bytes.size());
        log->Put(clock(), "tap sent " + Printable(bytes));
        if (line) line->Send(heard(bytes, from, toolBaud()));
        toControllers(bytes, from);
    };

    int status = 0;
    while (!g_stop) {
        const double now = clock();
        if (vanishAt >= 0 && now >= vanishAt && line) {
            line.reset();
            tx.Clear();
            toTool.reset();
            toTap.reset();
            dh = std::make_unique<TDH>();
            dh->OnRecDHFrame = onFrame;
            vanishAt = -1;
            log->Put(now, "vanished");
            std::cout << "ac_sim: vanished: the line is closed\n" << std::flush;
            if (o.backAfter < 0) break;
            backAt = now + o.backAfter;
        }
        if (!line && backAt >= 0 && now >= backAt) {
            backAt = -1;
            try {
                line = OpenLine(o);
            } catch (const std::exception& e) {
                std::cerr << "ac_sim: " << e.what() << '\n';
                status = 1;
                break;
            }
            log->Put(now, "back on " + line->Path());
            Announce(o, *line);
            std::cout.flush();
        }
        bus.Advance(now);
        if (line) {
            const std::string out = tx.Due(now);
            const bool pause = tx.AtPause();
            if (!out.empty() || (pause && (toTool || toTap))) {
                if (tap) tap->Send(follow(toTap, tapBaud(), out, pause));
                if (!line->Send(follow(toTool, toolBaud(), out, pause))) {
                    std::cerr << "ac_sim: " << line->Failure() << '\n';
                    status = 1;
                    break;
                }
                if (pause) {
                    toTool.reset();
                    toTap.reset();
                }
            }
        }
        double wait = 0.2;
        if (auto t = tx.NextWake()) wait = std::min(wait, *t - now);
        if (vanishAt >= 0) wait = std::min(wait, vanishAt - now);
        if (backAt >= 0) wait = std::min(wait, backAt - now);
        // A tap nobody listens on is looked at every few milliseconds.
        if (tap && tap->ReadyFd() < 0) wait = std::min(wait, 0.01);
        wait = std::max(wait, 0.0);
        const std::array<int, 3> wakeFds{g_wake[0], tap ? tap->ReadyFd() : -1,
                                         control ? control->Fd() : -1};
        if (line) {
            if (!line->Wait(wait, wakeFds, onBytes)) {
                std::cerr << "ac_sim: " << line->Failure() << '\n';
                status = 1;
                break;
            }
        } else {
#ifdef _WIN32
            std::this_thread::sleep_for(
                std::chrono::milliseconds(static_cast<int>(wait * 1000) + 1));
#else
            std::array<pollfd, 3> p{};
            for (std::size_t i = 0; i < p.size(); ++i)
                p[i] = {wakeFds[i], POLLIN, 0};
            poll(p.data(), p.size(), static_cast<int>(wait * 1000) + 1);
#endif
        }
        if (tap) tap->Wait(0, {}, onTapBytes);
        if (control)
            control->Read([&](const std::string& cmd) {
                if (cmd.find_first_not_of(" \t\r") == std::string::npos || cmd.starts_with('#'))
                    return;
                const std::string why = ApplyControl(bus, cmd);
                if (why.empty()) {
                    log->Put(clock(), "control " + cmd);
                    std::cout << "ac_sim: control: " << cmd << '\n' << std::flush;
                } else {
                    log->Put(clock(), "control refused " + cmd + ": " + why);
                    std::cerr << "ac_sim: control: '" << cmd << "': " << why << '\n' << std::flush;
                }
            });
    }
    line.reset();  // removes the link
    tap.reset();
    control.reset();
    log->Put(clock(), "stats " + stats.Line());
    std::cout << "ac_sim: stopped; " << stats.Line() << '\n' << std::flush;
    Finished();
    return status;
}
