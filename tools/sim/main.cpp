// ac_sim: the air-conditioner controller on a virtual or real serial line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <DH.h>
#include <HexText.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Controller.h"
#include "Faults.h"
#include "Line.h"
#include "Options.h"

using namespace acsim;

namespace {

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

struct Stats {
    long commands = 0, ignored = 0, intact = 0, corrupted = 0, delayed = 0, dropped = 0;
    long noise = 0, stray = 0, split = 0, forcedRtn = 0;
    std::string Line() const {
        std::ostringstream s;
        s << "commands=" << commands << " ignored=" << ignored << " intact=" << intact
          << " corrupted=" << corrupted << " delayed=" << delayed << " dropped=" << dropped
          << " noise=" << noise << " stray=" << stray << " split=" << split
          << " forced_rtn=" << forcedRtn;
        return s.str();
    }
};

// A frame as printable text: the carriage return and other control bytes escaped.
std::string Printable(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
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
            file_.open(o.logPath, std::ios::out | std::ios::trunc);
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

void Announce(const Options& o, const Line& line) {
    std::cout << "ac_sim: controller at address " << int{o.controller.address} << " on "
              << line.Path() << '\n';
    if (!o.link.empty()) std::cout << "ac_sim: link " << o.link << " -> " << line.Path() << '\n';
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

    Controller controller(o.controller);
    FaultInjector faults(o.faults);
    Transmitter tx(o.pace);
    Stats stats;
    std::unique_ptr<Log> log;
    std::unique_ptr<Line> line;
    try {
        log = std::make_unique<Log>(o);
        line = OpenLine(o);
    } catch (const std::exception& e) {
        std::cerr << "ac_sim: " << e.what() << '\n';
        return 1;
    }
    Announce(o, *line);

    const auto start = std::chrono::steady_clock::now();
    auto clock = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // Times of the next vanishing and coming back; negative when none is due.
    double vanishAt = o.vanishAfter, backAt = -1;

    auto dh = std::make_unique<TDH>();
    auto onFrame = [&](TDH&, std::span<const std::uint8_t> frame) {
        const double now = clock();
        ++stats.commands;
        log->Put(now, "command " + Printable(frame));
        std::optional<std::uint8_t> refuse;
        if (faults.ForceRtn()) refuse = o.faults.rtn;
        const std::optional<Reply> reply = controller.Handle(frame, refuse);
        if (!reply) {
            ++stats.ignored;
            log->Put(now, "ignored (not for this address)");
            return;
        }
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
            tx.Enqueue(now + o.turnaroundMs / 1000.0 + plan.extraDelay, plan.pieces);
        std::string entry = "reply cid2=" + Hex2(reply->cid2) + " rtn=" + Hex2(reply->rtn) +
                            " unit=" + std::to_string(reply->unit) + " fate=" + FateName(plan.fate);
        if (plan.noise) entry += " noise";
        if (plan.stray) entry += " stray";
        if (plan.split) entry += " split";
        if (forced) entry += " forced";
        entry += " frame=" + Printable(std::span<const std::uint8_t>(
                                 reinterpret_cast<const std::uint8_t*>(reply->frame.data()),
                                 reply->frame.size()));
        log->Put(now, entry);
    };
    dh->OnRecDHFrame = onFrame;
    const BytesHandler onBytes = [&](std::span<const std::uint8_t> b) { dh->ReceiveData(b); };

    int status = 0;
    while (!g_stop) {
        const double now = clock();
        if (vanishAt >= 0 && now >= vanishAt && line) {
            line.reset();
            tx.Clear();
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
        }
        controller.Advance(now);
        if (line) {
            const std::string out = tx.Due(now);
            if (!out.empty() && !line->Send(out)) {
                std::cerr << "ac_sim: " << line->Failure() << '\n';
                status = 1;
                break;
            }
        }
        double wait = 0.2;
        if (auto t = tx.NextWake()) wait = std::min(wait, *t - now);
        if (vanishAt >= 0) wait = std::min(wait, vanishAt - now);
        if (backAt >= 0) wait = std::min(wait, backAt - now);
        wait = std::max(wait, 0.0);
        if (line) {
            if (!line->Wait(wait, g_wake[0], onBytes)) {
                std::cerr << "ac_sim: " << line->Failure() << '\n';
                status = 1;
                break;
            }
        } else {
            pollfd p{g_wake[0], POLLIN, 0};
            poll(&p, 1, static_cast<int>(wait * 1000) + 1);
        }
    }
    line.reset();  // removes the link
    log->Put(clock(), "stats " + stats.Line());
    std::cout << "ac_sim: stopped; " << stats.Line() << '\n' << std::flush;
    return status;
}
