#include "Options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>

#include <MultiPoll.h>

namespace acsim {
namespace {

std::optional<long long> ParseInt(const std::string& s) {
    if (s.empty()) return std::nullopt;
    int base = 10;
    std::string_view v = s;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    long long out = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out, base);
    if (ec != std::errc{} || p != v.data() + v.size()) return std::nullopt;
    return out;
}

std::optional<double> ParseReal(const std::string& s) {
    if (s.empty()) return std::nullopt;
    double out = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (ec != std::errc{} || p != s.data() + s.size() || !std::isfinite(out)) return std::nullopt;
    return out;
}

std::string WithSuffix(const std::string& text, const std::string& suffix, std::size_t width) {
    const std::size_t keep = width > suffix.size() ? width - suffix.size() : 0;
    std::string base = text.substr(0, keep);
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    return base + suffix;
}

}  // namespace

std::vector<ControllerConfig> ControllerConfigs(const Options& o) {
    std::vector<ControllerConfig> out;
    for (std::uint8_t a : o.addresses) {
        ControllerConfig c = o.controller;
        c.address = a;
        if (o.addresses.size() > 1) {
            const std::string suffix = " #" + std::to_string(a);
            c.identity.name = WithSuffix(c.identity.name, suffix, 30);
            c.identity.softVersion = WithSuffix(c.identity.softVersion, suffix, 20);
            c.identity.vendor = WithSuffix(c.identity.vendor, suffix, 20);
            c.seed = o.controller.seed + a;
        }
        out.push_back(std::move(c));
    }
    return out;
}

std::string HelpText() {
    std::string help = R"(Usage: ac_sim [OPTION]...
Plays the air-conditioner controller (the slave of the frame protocol) on a
serial line, so that the monitoring tool can be run without hardware.

Line:
  (default)            make a pseudo-terminal pair and print the port path the
                       tool should open
  --link PATH          also place a symbolic link to that port at PATH (an
                       existing link there is replaced; another file is not)
  --device PATH        answer on an existing serial device instead (a USB
                       adapter on a bench); opened with the project's serial
                       component
  --baud N             line speed of --device (default 9600; 8 data bits, no
                       parity, 1 stop bit)
  --pace BAUD          send replies byte by byte with the timing of a line at
                       BAUD (default 9600 on a pseudo-terminal; off on a device,
                       whose line sets the pace itself); 0 sends at once
  --no-pace            same as --pace 0
  --turnaround MS      pause between a command and its reply (default 10)
  --line-baud N        the controllers keep this line speed on the
                       pseudo-terminal (8N1) and the replies are paced at it:
                       the speed the tool set on its side of the terminal is
                       read, and bytes sent at another speed reach the other
                       side as a receiver at its own speed samples them:
                       garbled, so a command at the wrong speed gets no reply.
                       Without it speeds are not looked at.
  --tap PATH           a second pseudo-terminal, linked at PATH, that hears
                       every byte of the line in both directions in order and
                       with its timing (commands as the tool wrote them, replies
                       as they are paced out), as a second RS-485 adapter on
                       the pair would; with --line-baud it hears at its own
                       speed. Bytes written to it go on the line: the
                       controllers and the tool hear them.

Device:
  --addr LIST          the controllers on the line: an address 0..255, or a
                       list with ranges such as 1,7,200 or 1-3 (default 1;
                       decimal, as the poller's --addr);
                       frames for an address not on the line get no reply, as
                       on an RS-485 bus. With several, each has its own
                       parameters, readings and alarms; its name, software
                       version and vendor end in " #ADDR" (the text before is
                       cut to fit) and its plant is seeded with SEED + ADDR;
                       the log's reply lines carry addr=ADDR
  --proto-ver V        protocol version: the VER of every reply, and the VER a
                       command must carry (default 0x10, shown as 1.0)
  --units alt|0|1      unit described by the replies to 0x42, 0x43 and 0x44:
                       alternately unit 0 and 1 (default), or always one; a
                       command carrying one INFO byte selects the unit itself
  --name TEXT          device name of reply 0x51 (at most 30 bytes)
  --soft-ver TEXT      software version of reply 0x51 (at most 20 bytes)
  --vendor TEXT        vendor name of reply 0x51 (at most 20 bytes)
  --alarm-every SEC    mean seconds between alarm events, an alarm raised or
                       cleared (default 6; 0 keeps all alarms quiet)
  --hour-seconds SEC   seconds of running counted as one running hour
                       (default 10, so that the counters visibly move)
  --seed N             seed of every random choice (default 1): equal seeds and
                       equal traffic give equal runs

  Commands answered: 0x42 analog values, 0x43 switch states, 0x44 alarms (two
  units, DATAFLAG unit index 0 and 1), 0x45 remote on (0x10) / off (0x1F),
  0x47 the sixteen user parameters, 0x49 set one of them (codes 0x80..0x86,
  0xC0..0xC8; other codes and out-of-range choices get RTN 6), 0x4F protocol
  version (in VER, whatever VER the query carries), 0x50 address (in ADR),
  0x51 name, software version and vendor. A frame failing its CHKSUM gets
  RTN 2, its LCHKSUM RTN 3; a wrong VER RTN 1; an unknown CID2 or another
  device type RTN 4; a frame too short, of odd length, or whose LENID or INFO
  does not fit the command RTN 5.

Faults (RATE is a share of replies from 0 to 1):
  --drop RATE          send no reply
  --delay RATE         send the reply late ...
  --delay-ms MS        ... by this much (default 900: past the tool's next
                       command with its default timing, whose sends are at
                       most 800 ms apart)
  --corrupt RATE       damage one CHKSUM character
  --noise RATE         send 1..--noise-max random bytes (never "~") before the
                       reply
  --noise-max N        (default 12)
  --stray RATE         send a stray "~" and a few characters, without an end of
                       frame, before the reply
  --split RATE         write the reply in pieces of 1..--split-max bytes ...
  --split-max N        (default 4)
  --split-gap MS       ... with this pause between them (default 8)
  --rtn CODE           answer valid commands with this RTN and no INFO, and do
                       not carry them out (a refused set or switch changes
                       nothing) ...
  --rtn-rate RATE      ... this share of the time (default 1)
  --vanish-after SEC   close the line after SEC seconds (the pseudo-terminal
                       disappears, as an unplugged adapter would)
  --back-after SEC     come back SEC seconds after vanishing, on a new
                       pseudo-terminal behind the same --link; without it the
                       simulator ends when it vanishes

Control while running:
  --control PATH       make a named pipe at PATH (an existing named pipe is
                       taken over, another file is not) and carry out the
                       commands written to it, one a line, for example
                       echo 'silent 2' > PATH:
    silent ADDR|all      the controller hears its commands but does not answer
    answer ADDR|all      it answers again
    alarm ADDR UNIT FIELD STATE
                         hold an alarm of unit 1 or 2 until changed: FIELD is
                         the alarm's key as in the metrics (return_air_temp,
                         compressor_overload, water_leak, ...) or its position
                         0..35 in reply 0x44; STATE is normal, low, high, fault
                         or a code 0..255
    power ADDR|all on|off  switch the controller on or off
    late ADDR|all MS     its replies leave MS milliseconds late (0: on time)
    reply-as ADDR|all OTHER
                         its replies carry address OTHER (its own: as before)
    param ADDR|all CODE VALUE
                         store a user parameter (0x80..0x86, 0xC0..0xC8)
                         as given, unchecked
    choices ADDR|all CODE LIST|any
                         the values a set (0x49) of parameter CODE may carry,
                         such as 0-4 for a controller without fresh air and
                         air conditioning modes: any other is refused with
                         RTN 6 and changes nothing; any: as built in
    version ADDR|all VER its protocol version (VER of its replies, and the VER
                         its commands must carry)
    normal               every controller answers, on time, with its own
                         address, holds no alarm and is on (parameters and
                         versions stay as set)
                       ADDR may be a list or range as for --addr. Each command
                       carried out is printed ("ac_sim: control: silent 2") and
                       logged; a refused one is reported on standard error with
                       the reason and changes nothing. Use --alarm-every 0 to
                       keep the plant's own alarms out of the way.

Output:
  -v, --verbose        log every command and reply on standard output
  --log FILE           log every command and reply to FILE ("-": standard
                       output); one line each, written as it happens
  -h, --help           show this help

Ends cleanly on SIGINT or SIGTERM: the links and the named pipe are removed
and the counts of commands and replies are printed (with silent=, garbled=
and tap_sent= when --control, --line-baud or --tap is in use). Exit status 0,
1 when the line fails, 2 for a bad command line.
)";
    if (!kPseudoTerminals)
        help += R"(
On Windows the simulator answers on a serial port only: --device COMn, the
controller's end of a null-modem cable to the tool's port. --link, --tap,
--line-baud and --control are refused (no pseudo-terminals, no named pipes).
Ctrl+C, Ctrl+Break or closing the console ends it as SIGINT does.
)";
    return help;
}

ParseResult ParseOptions(const std::vector<std::string>& args, bool pseudoTerminals) {
    Options o;
    std::string error;
    auto fail = [&](std::string msg) {
        if (error.empty()) error = std::move(msg);
        return false;
    };
    auto rate = [&](const std::string& opt, double& dst) {
        return [&, opt](const std::string& v) {
            auto r = ParseReal(v);
            if (!r || *r < 0 || *r > 1)
                return fail(opt + ": '" + v + "' is not a rate between 0 and 1");
            dst = *r;
            return true;
        };
    };
    auto real = [&](const std::string& opt, double& dst, double lo, double hi) {
        return [&, opt, lo, hi](const std::string& v) {
            auto r = ParseReal(v);
            if (!r || *r < lo || *r > hi)
                return fail(opt + ": '" + v + "' is not a number from " + std::to_string(lo) +
                            " to " + std::to_string(hi));
            dst = *r;
            return true;
        };
    };
    auto integer = [&](const std::string& opt, long long lo, long long hi, auto store) {
        return [&, opt, lo, hi, store](const std::string& v) {
            auto r = ParseInt(v);
            if (!r || *r < lo || *r > hi)
                return fail(opt + ": '" + v + "' is not an integer from " + std::to_string(lo) +
                            " to " + std::to_string(hi));
            store(*r);
            return true;
        };
    };
    auto text = [&](const std::string& opt, std::string& dst, std::size_t max) {
        return [&, opt, max](const std::string& v) {
            if (v.size() > max)
                return fail(opt + ": '" + v + "' is longer than " + std::to_string(max) + " bytes");
            dst = v;
            return true;
        };
    };
    auto& c = o.controller;
    auto& f = o.faults;
    std::map<std::string, std::function<bool(const std::string&)>> withValue{
        {"--link",
         [&](const std::string& v) {
             return v.empty() ? fail("--link: empty path") : (o.link = v, true);
         }},
        {"--device",
         [&](const std::string& v) {
             return v.empty() ? fail("--device: empty path") : (o.device = v, true);
         }},
        {"--baud",
         integer("--baud", 50, 4000000, [&](long long v) { o.baud = static_cast<int>(v); })},
        {"--pace",
         integer("--pace", 0, 4000000, [&](long long v) { o.pace = static_cast<int>(v); })},
        {"--turnaround", real("--turnaround", o.turnaroundMs, 0, 60000)},
        {"--addr",
         [&](const std::string& v) {
             std::string why;
             auto list = aircon::ParseAddressList(v, why);
             if (!list) return fail("--addr: '" + v + "': " + why);
             o.addresses = std::move(*list);
             c.address = o.addresses.front();
             return true;
         }},
        {"--line-baud", integer("--line-baud", 50, 4000000,
                                [&](long long v) { o.lineBaud = static_cast<int>(v); })},
        {"--tap",
         [&](const std::string& v) {
             return v.empty() ? fail("--tap: empty path") : (o.tap = v, true);
         }},
        {"--control",
         [&](const std::string& v) {
             return v.empty() ? fail("--control: empty path") : (o.control = v, true);
         }},
        {"--proto-ver",
         integer("--proto-ver", 0, 255,
                 [&](long long v) { c.protocolVersion = static_cast<std::uint8_t>(v); })},
        {"--units",
         [&](const std::string& v) {
             if (v == "alt")
                 c.units = UnitChoice::Alternate;
             else if (v == "0")
                 c.units = UnitChoice::Unit0;
             else if (v == "1")
                 c.units = UnitChoice::Unit1;
             else
                 return fail("--units: '" + v + "' is not one of alt, 0, 1");
             return true;
         }},
        {"--name", text("--name", c.identity.name, 30)},
        {"--soft-ver", text("--soft-ver", c.identity.softVersion, 20)},
        {"--vendor", text("--vendor", c.identity.vendor, 20)},
        {"--alarm-every", real("--alarm-every", c.alarmEventSeconds, 0, 86400)},
        {"--hour-seconds", real("--hour-seconds", c.secondsPerHour, 0.001, 86400)},
        {"--seed", integer("--seed", 0, 0xFFFFFFFFLL,
                           [&](long long v) {
                               c.seed = static_cast<std::uint32_t>(v);
                               f.seed = static_cast<std::uint32_t>(v) ^ 0x5A5A5A5Au;
                           })},
        {"--drop", rate("--drop", f.drop)},
        {"--delay", rate("--delay", f.delay)},
        {"--delay-ms", real("--delay-ms", f.delayMs, 0, 60000)},
        {"--corrupt", rate("--corrupt", f.corrupt)},
        {"--noise", rate("--noise", f.noise)},
        {"--noise-max",
         integer("--noise-max", 1, 512, [&](long long v) { f.noiseMax = static_cast<int>(v); })},
        {"--stray", rate("--stray", f.stray)},
        {"--split", rate("--split", f.split)},
        {"--split-max",
         integer("--split-max", 1, 1024, [&](long long v) { f.splitMax = static_cast<int>(v); })},
        {"--split-gap", real("--split-gap", f.splitGapMs, 0, 10000)},
        {"--rtn",
         integer("--rtn", 0, 255, [&](long long v) { f.rtn = static_cast<std::uint8_t>(v); })},
        {"--rtn-rate", rate("--rtn-rate", f.rtnRate)},
        {"--vanish-after", real("--vanish-after", o.vanishAfter, 0, 1e7)},
        {"--back-after", real("--back-after", o.backAfter, 0, 1e7)},
        {"--log",
         [&](const std::string& v) {
             return v.empty() ? fail("--log: empty path") : (o.logPath = v, true);
         }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (a == "-h" || a == "--help") {
            o.help = true;
            continue;
        }
        if (a == "-v" || a == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (a == "--no-pace") {
            o.pace = 0;
            continue;
        }
        std::optional<std::string> value;
        if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a.resize(eq);
        }
        auto it = withValue.find(a);
        if (it == withValue.end()) return {std::nullopt, "unknown option '" + args[i] + "'"};
        if (!value) {
            if (i + 1 >= args.size()) return {std::nullopt, a + ": a value is missing"};
            value = args[++i];
        }
        if (!it->second(*value)) return {std::nullopt, error};
    }
    if (o.help) return {o, ""};
    if (!pseudoTerminals) {
        const char* const without = "which this system does not have; use --device COMn";
        if (!o.link.empty())
            return {std::nullopt,
                    std::string("--link places a link to a pseudo-terminal, ") + without};
        if (!o.tap.empty())
            return {std::nullopt, std::string("--tap makes a pseudo-terminal, ") + without};
        if (o.lineBaud > 0)
            return {std::nullopt,
                    "--line-baud keeps a speed on a pseudo-terminal, which this system does not "
                    "have; a --device COMn runs at --baud"};
        if (!o.control.empty())
            return {std::nullopt,
                    "--control reads commands from a named pipe, which this system does not "
                    "have; leave it out"};
        if (o.device.empty())
            return {std::nullopt,
                    "this system has no pseudo-terminals: give the serial port to answer on "
                    "with --device COMn (the controller's end of a null-modem cable)"};
    }
    if (!o.device.empty() && !o.link.empty())
        return {std::nullopt,
                "--link makes a link to a pseudo-terminal; it does not go with --device"};
    if (o.backAfter >= 0 && o.vanishAfter < 0)
        return {std::nullopt, "--back-after needs --vanish-after"};
    if (!o.device.empty() && o.lineBaud > 0)
        return {std::nullopt,
                "--line-baud keeps a speed on a pseudo-terminal; a --device runs at --baud"};
    if (!o.device.empty() && !o.tap.empty())
        return {std::nullopt, "--tap listens on the simulated line; it does not go with --device"};
    if (!o.tap.empty() && o.tap == o.link)
        return {std::nullopt, "--tap and --link name the same path"};
    if (o.pace < 0) o.pace = !o.device.empty() ? 0 : o.lineBaud > 0 ? o.lineBaud : 9600;
    return {o, ""};
}

}  // namespace acsim
