#include "Options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ComText.h"

#include "MultiPoll.h"

#ifndef AIRCONPOLL_VERSION
#define AIRCONPOLL_VERSION "0"
#endif

namespace airconpoll {
namespace {

// The line settings the poller takes come from the serial component's text tables: every
// rate but Custom, the parity names in lower case, the stop bits as they are.
std::vector<TBaudRate> BaudRates() {
    std::vector<TBaudRate> rates;
    for (std::size_t i = 0; i < BaudRateTexts().size(); ++i) {
        const auto rate = static_cast<TBaudRate>(i);
        if (rate != TBaudRate::BrCustom) rates.push_back(rate);
    }
    return rates;
}

const std::vector<std::string>& ParityNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (std::string_view text : ParityTexts()) {
            std::string name(text);
            for (char& c : name)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            out.push_back(std::move(name));
        }
        return out;
    }();
    return names;
}

std::optional<long long> ParseNumber(std::string_view Text) {
    if (Text.empty() || Text.size() > 12) return std::nullopt;
    for (char c : Text)
        if (c < '0' || c > '9') return std::nullopt;
    long long value = 0;
    std::from_chars(Text.data(), Text.data() + Text.size(), value);
    return value;
}

}  // namespace

int BaudRateNumber(TBaudRate Rate) {
    return Rate == TBaudRate::BrCustom ? 0 : BaudRateValue(Rate);
}

std::string_view ParityName(TParityBits Parity) {
    const auto i = static_cast<std::size_t>(Parity);
    return i < ParityNames().size() ? std::string_view(ParityNames()[i]) : "?";
}

std::string_view StopBitsName(TStopBits Stop) {
    const std::string_view text = StopBitsToText(Stop);
    return text.empty() ? "?" : text;
}

TParseResult ParseOptions(std::span<const std::string> Args) {
    TPollOptions o;
    std::string error;
    auto fail = [&](std::string Message) {
        error = std::move(Message);
        return false;
    };
    auto number = [&](std::string_view Name, long long Low, long long High, int& Target) {
        return [&, Name, Low, High](const std::string& Value) {
            const auto n = ParseNumber(Value);
            if (!n || *n < Low || *n > High)
                return fail(std::string(Name) + ": '" + Value + "' is not a whole number from " +
                            std::to_string(Low) + " to " + std::to_string(High));
            Target = static_cast<int>(*n);
            return true;
        };
    };

    auto path = [&](std::string_view Name, std::string& Target) {
        return [&, Name](const std::string& Value) {
            if (Value.empty()) return fail(std::string(Name) + ": the path is empty");
            Target = Value;
            return true;
        };
    };

    const std::map<std::string, std::function<bool(const std::string&)>, std::less<>> withValue{
        {"--port",
         [&](const std::string& Value) {
             if (Value.empty()) return fail("--port: the port name is empty");
             o.Port = Value;
             return true;
         }},
        {"--baud",
         [&](const std::string& Value) {
             const auto n = ParseNumber(Value);
             for (const TBaudRate rate : BaudRates()) {
                 if (n && *n == BaudRateValue(rate)) {
                     o.BaudRate = rate;
                     return true;
                 }
             }
             std::string list;
             for (const TBaudRate rate : BaudRates())
                 list += (list.empty() ? "" : ", ") + std::to_string(BaudRateValue(rate));
             return fail("--baud: '" + Value + "' is not one of " + list);
         }},
        {"--data-bits",
         [&](const std::string& Value) {
             const auto n = ParseNumber(Value);
             if (!n || *n < 5 || *n > 8)
                 return fail("--data-bits: '" + Value + "' is not 5, 6, 7 or 8");
             o.DataBits = static_cast<TDataBits>(*n - 5);
             return true;
         }},
        {"--parity",
         [&](const std::string& Value) {
             std::string list;
             for (std::size_t i = 0; i < ParityNames().size(); ++i) {
                 if (Value == ParityNames()[i]) {
                     o.Parity = static_cast<TParityBits>(i);
                     return true;
                 }
                 list += (list.empty() ? "" : ", ") + ParityNames()[i];
             }
             return fail("--parity: '" + Value + "' is not one of " + list);
         }},
        {"--stop-bits",
         [&](const std::string& Value) {
             for (std::size_t i = 0; i < StopBitsTexts().size(); ++i) {
                 if (Value == StopBitsTexts()[i]) {
                     o.StopBits = static_cast<TStopBits>(i);
                     return true;
                 }
             }
             return fail("--stop-bits: '" + Value + "' is not 1, 1.5 or 2");
         }},
        {"--addr",
         [&](const std::string& Value) {
             std::string why;
             auto list = aircon::ParseAddressList(Value, why);
             if (!list) return fail("--addr: " + why);
             o.Addresses = std::move(*list);
             o.Addr = o.Addresses.front();
             return true;
         }},
        {"--interval", number("--interval", 10, 3600000, o.IntervalMs)},
        {"--timeout", number("--timeout", 10, 600000, o.TimeoutMs)},
        {"--params-interval", number("--params-interval", 0, 86400 * 7, o.ParamsIntervalS)},
        {"--capture",
         [&](const std::string& Value) {
             if (Value.empty()) return fail("--capture: the path is empty");
             o.Capture = Value;
             return true;
         }},
        {"--capture-size",
         [&](const std::string& Value) {
             const auto n = ParseNumber(Value);
             if (!n || *n < 4096 || *n > (1LL << 40))
                 return fail("--capture-size: '" + Value +
                             "' is not a whole number of bytes from 4096 to 2^40");
             o.CaptureLimit = *n;
             return true;
         }},
        {"--replay",
         [&](const std::string& Value) {
             if (Value.empty()) return fail("--replay: the path is empty");
             o.Replay = Value;
             return true;
         }},
        {"--baud-list",
         [&](const std::string& Value) {
             o.BaudList.clear();
             std::size_t start = 0;
             while (start <= Value.size()) {
                 const std::size_t comma = std::min(Value.find(',', start), Value.size());
                 const std::string item = Value.substr(start, comma - start);
                 const auto n = ParseNumber(item);
                 const auto rates = BaudRates();
                 const auto it = std::find_if(rates.begin(), rates.end(), [&](TBaudRate b) {
                     return n && *n == BaudRateValue(b);
                 });
                 if (it == rates.end())
                     return fail("--baud-list: '" + item + "' is not a rate of --baud");
                 if (std::find(o.BaudList.begin(), o.BaudList.end(), *it) == o.BaudList.end())
                     o.BaudList.push_back(*it);
                 start = comma + 1;
             }
             return true;
         }},
        {"--addr-range",
         [&](const std::string& Value) {
             const std::size_t dash = Value.find('-');
             const auto first = ParseNumber(Value.substr(0, dash));
             const auto last =
                 dash == std::string::npos ? first : ParseNumber(Value.substr(dash + 1));
             if (!first || !last || *first > 255 || *last > 255 || *first > *last)
                 return fail("--addr-range: '" + Value +
                             "' is not an address or a range FIRST-LAST from 0 to 255");
             o.AddrFirst = static_cast<int>(*first);
             o.AddrLast = static_cast<int>(*last);
             return true;
         }},
        {"--scan-margin", number("--scan-margin", 50, 10000, o.ScanMarginMs)},
        {"--scan-listen", number("--scan-listen", 0, 60000, o.ScanListenMs)},
        {"--params-save", path("--params-save", o.ParamsSave)},
        {"--params-check", path("--params-check", o.ParamsCheck)},
        {"--params-apply", path("--params-apply", o.ParamsApply)},
        {"--params-reference", path("--params-reference", o.ParamsReference)},
        {"--textfile",
         [&](const std::string& Value) {
             if (Value.empty()) return fail("--textfile: the path is empty");
             if (Value.back() == '/')
                 return fail("--textfile: '" + Value + "' names a folder, not a file");
             o.TextFile = Value;
             return true;
         }},
    };

    for (std::size_t i = 0; i < Args.size(); ++i) {
        std::string arg = Args[i];
        if (arg == "-h" || arg == "--help") {
            o.Help = true;
            continue;
        }
        if (arg == "-V" || arg == "--version") {
            o.Version = true;
            continue;
        }
        if (arg == "--once") {
            o.Once = true;
            continue;
        }
        if (arg == "--json") {
            o.Json = true;
            continue;
        }
        if (arg == "--listen") {
            o.Listen = true;
            continue;
        }
        if (arg == "--find-speed") {
            o.FindSpeed = true;
            continue;
        }
        if (arg == "--replay-pace") {
            o.ReplayPace = true;
            continue;
        }
        if (arg == "--scan") {
            o.Scan = true;
            continue;
        }
        if (arg == "--scan-anyway") {
            o.ScanAnyway = true;
            continue;
        }
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const auto it = withValue.find(arg);
        if (it == withValue.end()) {
            if (arg.starts_with("-")) return {std::nullopt, "unknown option '" + Args[i] + "'"};
            return {std::nullopt, "unexpected argument '" + Args[i] + "'"};
        }
        if (!value) {
            if (i + 1 >= Args.size()) return {std::nullopt, arg + ": a value is missing"};
            value = Args[++i];
        }
        if (!it->second(*value)) return {std::nullopt, error};
    }
    if (o.Help || o.Version) return {o, ""};
    if (!o.Replay.empty()) {
        if (!o.Port.empty() || o.Listen || o.Once || !o.Capture.empty())
            return {std::nullopt,
                    "--replay reads a capture file: no --port, --listen, --once or "
                    "--capture with it"};
        if (!o.Json && o.TextFile.empty())
            return {std::nullopt, "nothing to do: give --textfile PATH or --json with --replay"};
        return {o, ""};
    }
    if (o.ReplayPace) return {std::nullopt, "--replay-pace goes with --replay FILE"};
    if (o.Port.empty()) return {std::nullopt, "--port is missing: which serial port to poll"};
    if (o.Listen && o.Once) return {std::nullopt, "--once polls: it does not go with --listen"};
    if (o.FindSpeed && !o.Listen)
        return {std::nullopt, "--find-speed listens: it goes with --listen"};
    if (o.Scan && o.Listen)
        return {std::nullopt, "--scan writes to the line: it does not go with --listen"};
    if (o.Scan && (o.Once || !o.TextFile.empty()))
        return {std::nullopt,
                "--scan: give it alone (with --json at most), not with --once or --textfile"};
    if (o.Scan) return {o, ""};
    const int paramJobs = !o.ParamsSave.empty() + !o.ParamsCheck.empty() + !o.ParamsApply.empty();
    if (paramJobs > 1)
        return {std::nullopt,
                "--params-save, --params-check and --params-apply: give one of them at a time"};
    if (paramJobs == 1) {
        if (o.Listen || o.Once || o.Json || !o.TextFile.empty() || !o.ParamsReference.empty() ||
            !o.Capture.empty())
            return {std::nullopt,
                    "--params-save, --params-check and --params-apply read the controller "
                    "once and end: not with --listen, --once, --json, --textfile, --capture or "
                    "--params-reference"};
        if (o.Addresses.size() > 1)
            return {std::nullopt,
                    "--params-save, --params-check and --params-apply: one controller (--addr "
                    "with one address)"};
        return {o, ""};
    }
    if (!o.ParamsReference.empty() && o.Listen)
        return {std::nullopt,
                "--params-reference compares the parameters the poller reads: not with "
                "--listen"};
    if (!o.Once && !o.Json && o.TextFile.empty())
        return {std::nullopt, "nothing to do: give --textfile PATH, --json or --once (see --help)"};
    return {o, ""};
}

std::string HelpText() {
    return R"(Usage: AirConPoll --port PORT [OPTION]...
       AirConPoll --port PORT --scan [--baud-list LIST] [--addr-range A-B] [--json]
       AirConPoll --port PORT --params-save|--params-check|--params-apply FILE
Polls the air-conditioner controller of a base station on a serial port, as
the window AirConTool does, and hands its readings on: to the textfile
collector of the Prometheus node exporter, or as JSON lines.

Line (defaults as in the window: 9600 bit/s, 8 data bits, no parity, 1 stop bit):
  --port PORT           the serial port: a name under /dev (ttyUSB0) or a path
  --baud N              110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200,
                        38400, 56000, 57600, 115200, 128000 or 256000
  --data-bits N         5, 6, 7 or 8
  --parity P            none, odd, even, mark or space
  --stop-bits S         1, 1.5 or 2

Polling:
  --addr LIST           the controller's address, 0 to 255 (default 1), or the
                        controllers of one line: a list with ranges such as
                        1,2,7 or 1-3,7, polled in turn (1, 2, 7, 1, ...), one
                        command per reply time-out; each controller gets two
                        poll cycles (0x42, 0x43, 0x44 twice, for both units)
                        a round, so each is read every 6 x N x --timeout for N
                        controllers; one that is silent is only probed, once
                        a round, and costs the others one time-out a round
  --interval MS         poll interval: one of 0x42, 0x43, 0x44 is queued every
                        MS milliseconds (default 500, at least 10)
  --timeout MS          reply time-out: queued commands leave one per MS
                        milliseconds (default 350, at least 10)
  --params-interval S   read the user parameters (0x47) and the identity
                        (0x4F, 0x50, 0x51) again every S seconds (default 300;
                        0: only when the port opens and when the controller
                        answers again after a silence)

Output:
  --textfile PATH       write the metrics to PATH in the Prometheus text format
                        after every poll cycle, replacing the file atomically;
                        for the node exporter, a file ending in .prom in its
                        textfile folder (/var/lib/prometheus/node-exporter)
  --json                print one JSON object per decoded reply on standard
                        output, one per line
  --once                read one full cycle (0x42, 0x43, 0x44 of both units)
                        with the parameters and the identity, then end: exit
                        status 0, or 1 with the reason on standard error when
                        the controller does not answer (without --json and
                        --textfile the metrics are printed on standard output)

Listening, capture and replay:
  --listen              listen to the line another master polls: nothing is
                        written, DTR and RTS are held low; every reply is
                        paired with the command before it (same address,
                        within 1000 ms) and decoded; readings and counters
                        are labelled by address
  --find-speed          with --listen: find the line's speed by listening
                        (9600, 19200, 4800, 2400, 1200, 38400, 57600, 115200)
  --capture FILE        write every block on the line, with its time and
                        direction, to FILE (pcap, link type USER0, which
                        Wireshark opens); when FILE reaches the size limit it
                        becomes FILE.1 (FILE.1 becomes FILE.2, ...; nine kept)
  --capture-size BYTES  the size limit of a capture file (default 10485760)
  --replay FILE         read a capture file into the JSON lines and the
                        metrics as if listening, as fast as it goes
  --replay-pace         with --replay: at the pace it was recorded

Scan (find controllers whose address or line speed is not known):
  --scan                ask every address of the range at every rate for its
                        protocol version (0x4F), and found controllers for
                        their address and identity (0x50, 0x51); one line per
                        controller found (one JSON object with --json); exit
                        status 0 when at least one was found, 1 when none
  --baud-list LIST      the rates to scan, e.g. 9600,19200 (default 1200,2400,
                        4800,9600,19200); the frame format is --data-bits,
                        --parity and --stop-bits (default 8N1)
  --addr-range A-B      the addresses to scan, e.g. 1-32 (default 0-255)
  --scan-margin MS      the turnaround margin: a dead address is waited for
                        the command's time on the line plus MS milliseconds
                        (default 50, at least 50); raise it for slow controllers
  --scan-listen MS      listen without writing for MS milliseconds before each
                        rate (default 500; 0: do not listen)
  --scan-anyway         go on when another master is heard talking on the
                        line (without it the scan stops there, as it would
                        collide with the site's monitoring unit)

Parameter sets (the sixteen user parameters in a text file; see the manual page):
  --params-save FILE    read the controller's identity and parameters and save
                        them to FILE (replaced atomically)
  --params-check FILE   compare the controller with FILE: every parameter that
                        differs on standard output, one a line; exit status 0
                        equal, 1 different
  --params-apply FILE   write the parameters that differ from FILE (0x49, one
                        at a time), read them back (0x47) and print each one's
                        outcome; exit status 0 when the controller holds FILE
                        afterwards, 1 when a parameter was refused, not
                        answered or read back different. Nothing is ever
                        written to the controller without this option
  --params-reference FILE
                        while polling, compare every reading of the parameters
                        with FILE: metric aircon_parameter_drift{name=...} is 1
                        for a parameter that differs from FILE, 0 otherwise
  With --params-*: exit status 3 for a file that cannot be read or has a
  mistake (each told with its line), 4 when the port or the controller fails.

  -h, --help            show this help
  -V, --version         show the version

A port that vanishes or cannot be opened is tried again after 1, 2, 4, ... up
to 30 seconds; the metrics aircon_port_open and aircon_reconnects_total tell of
it. SIGTERM, SIGINT and SIGHUP end the program cleanly, leaving the metrics
file with aircon_up 0.

Exit status: 0 done, 1 the port or the controller failed (--once) or the
metrics file cannot be written, or no controller found (--scan), 2 bad
command line.
)";
}

std::string VersionText() {
    return std::string("AirConPoll ") + AIRCONPOLL_VERSION + "\n";
}

}  // namespace airconpoll
