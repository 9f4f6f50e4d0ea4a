#include "ScanRun.h"

#include <chrono>
#include <cstdio>
#include <set>

#include "JobSession.h"
#include "Model.h"
#include "Session.h"

namespace airconpoll {

using namespace aircon;

namespace {

std::string FormatName(TDataBits DataBits, TParityBits Parity, TStopBits StopBits) {
    static constexpr char parity[] = {'N', 'O', 'E', 'M', 'S'};
    std::string s = std::to_string(5 + static_cast<int>(DataBits));
    const auto p = static_cast<std::size_t>(Parity);
    s += p < sizeof parity ? parity[p] : '?';
    s += std::string(StopBitsName(StopBits));
    return s;
}

// A JSON string literal of UTF-8 text.
std::string Json(std::string_view Text) {
    std::string out = "\"";
    for (const char c : Text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A text for the terminal: quoted, control characters escaped as in JSON.
std::string Quoted(const std::optional<std::string>& Text) {
    return Text ? Json(*Text) : "-";
}

std::string Duration(Millis Span) {
    const long long s = (Span.count() + 999) / 1000;
    if (s < 60) return std::to_string(s) + " s";
    return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
}

}  // namespace

std::string ScanLine(const TScanFound& f, std::string_view Format) {
    std::string s = std::to_string(f.Rate) + " bit/s " + std::string(Format) + ", address " +
                    std::to_string(f.Addr) + ", protocol " + ProtocolVersionText(f.Ver);
    if (f.Rtn != 0) s += ", RTN " + std::to_string(f.Rtn) + " (" + TDH::RtnToString(f.Rtn) + ")";
    s += ", name " + Quoted(f.Name) + ", software " + Quoted(f.SoftwareVersion) + ", vendor " +
         Quoted(f.Vendor);
    if (f.Late) s += " (replied late)";
    return s;
}

std::string ScanJson(const TScanFound& f, std::string_view Format) {
    auto text = [](const std::optional<std::string>& t) { return t ? Json(*t) : "null"; };
    return "{\"rate\":" + std::to_string(f.Rate) + ",\"format\":" + Json(Format) +
           ",\"addr\":" + std::to_string(f.Addr) + ",\"rtn\":" + std::to_string(f.Rtn) +
           ",\"protocol_version\":" + Json(ProtocolVersionText(f.Ver)) +
           ",\"device_name\":" + text(f.Name) + ",\"software_version\":" + text(f.SoftwareVersion) +
           ",\"vendor_name\":" + text(f.Vendor) + ",\"late\":" + (f.Late ? "true" : "false") + "}";
}

int RunScan(const TPollOptions& o, TEventLoop& Loop, std::ostream& Out, std::ostream& Err) {
    auto log = [&](const std::string& Line) { Err << "AirConPoll: " << Line << std::endl; };

    TJobSession job(o, Loop);
    if (std::string why; !job.Open(why)) {
        log(why);
        return 1;
    }
    TSession& session = job.Session();

    TScanSettings s;
    if (!o.BaudList.empty()) s.Rates = o.BaudList;
    s.FirstAddr = static_cast<std::uint8_t>(o.AddrFirst);
    s.LastAddr = static_cast<std::uint8_t>(o.AddrLast);
    s.DataBits = o.DataBits;
    s.Parity = o.Parity;
    s.StopBits = o.StopBits;
    s.Margin = Millis(o.ScanMarginMs);
    s.Listen = Millis(o.ScanListenMs);
    const std::string format = FormatName(o.DataBits, o.Parity, o.StopBits);

    TSessionScanLine line(session);
    TScan scan(Loop.Clock(), line, s);
    std::set<std::size_t> printed;
    auto print = [&](const TScanFound& f) {
        Out << (o.Json ? ScanJson(f, format) : ScanLine(f, format)) << std::endl;
    };
    scan.OnIdentified = [&](const TScanFound& f) {
        printed.insert(static_cast<std::size_t>(&f - scan.Found().data()));
        print(f);
    };
    std::int32_t rate = 0;
    scan.OnProgress = [&](const TScanProgress& p) {
        if (p.Rate == rate || p.Done == p.Total) return;
        rate = p.Rate;
        log("scanning at " + std::to_string(p.Rate) + " bit/s " + format + ", addresses " +
            std::to_string(o.AddrFirst) + "-" + std::to_string(o.AddrLast) + " (" +
            std::to_string(p.Done) + "/" + std::to_string(p.Total) + " done, about " +
            Duration(p.Left) + " left)");
    };
    scan.OnOtherMaster = [&](const TOtherMaster& m) {
        log("another master is talking on the line at " + std::to_string(m.Rate) + " bit/s (" +
            std::to_string(m.Frames) + " frames, " + std::to_string(m.Noise) +
            " bytes of noise heard in " + Duration(s.Listen) + ")");
        if (o.ScanAnyway) {
            log("going on anyway (--scan-anyway)");
            scan.Continue();
        } else {
            log("the scan would collide with it: stopped; give --scan-anyway to go on");
            scan.Stop();
        }
    };
    std::optional<TScanEnd> end;
    scan.OnFinished = [&](TScanEnd e) { end = e; };

    const SteadyTime started = Loop.Clock().Now();
    if (!scan.Start()) {
        log("the scan could not start on " + o.Port);
        return 1;
    }
    while (!end && !Loop.StopRequested())
        Loop.RunOnce();
    if (!end) {
        scan.Stop();
        log("stopped: the port's settings are back as they were");
    } else if (*end == TScanEnd::LinkClosed) {
        log(o.Port + " failed during the scan" + job.FailureSuffix());
    }
    // Controllers found whose identity was still being asked.
    for (std::size_t i = 0; i < scan.Found().size(); ++i)
        if (!printed.contains(i)) print(scan.Found()[i]);
    const auto took = std::chrono::duration_cast<Millis>(Loop.Clock().Now() - started);
    log(std::to_string(scan.Found().size()) + " controller(s) found in " + Duration(took));
    session.Close();
    return scan.Found().empty() ? 1 : 0;
}

}  // namespace airconpoll
