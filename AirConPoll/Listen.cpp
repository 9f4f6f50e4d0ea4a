#include "Listen.h"

#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "JsonLines.h"
#include "TextFile.h"

namespace airconpoll {

using namespace aircon;

namespace {

// The families of the poller's own link: a listener has counters of its own instead.
const std::set<std::string, std::less<>> MasterFamilies{"aircon_up",
                                                        "aircon_port_open",
                                                        "aircon_reconnects_total",
                                                        "aircon_commands_total",
                                                        "aircon_replies_total",
                                                        "aircon_replies_missing_total",
                                                        "aircon_error_frames_total",
                                                        "aircon_rtn_errors_total",
                                                        "aircon_rtn_replies_total"};

struct TFamilyText {
    std::string Header;  // "# HELP" and "# TYPE" lines
    std::string Samples;
};

// Adds the metrics text of one address to Families (in order of first appearance), each
// sample with the label addr after the port.
void Merge(std::vector<std::pair<std::string, TFamilyText>>& Families, const std::string& Text,
           std::uint8_t Addr) {
    const std::string label = "addr=\"" + std::to_string(Addr) + "\",";
    std::optional<std::size_t> current;
    bool skip = false;
    std::size_t pos = 0;
    while (pos < Text.size()) {
        std::size_t end = Text.find('\n', pos);
        if (end == std::string::npos) end = Text.size();
        const std::string_view line(Text.data() + pos, end - pos);
        pos = end + 1;
        if (line.starts_with("# HELP ")) {
            const std::string_view rest = line.substr(7);
            const std::string name(rest.substr(0, rest.find(' ')));
            skip = MasterFamilies.contains(name);
            current.reset();
            if (skip) continue;
            for (std::size_t i = 0; i < Families.size(); ++i)
                if (Families[i].first == name) current = i;
            if (!current) {
                Families.push_back({name, {std::string(line) + '\n', {}}});
                current = Families.size() - 1;
            }
            continue;
        }
        if (skip || !current || line.empty()) continue;
        TFamilyText& family = Families[*current].second;
        if (line.starts_with("# ")) {
            if (family.Header.find(std::string(line)) == std::string::npos)
                family.Header += std::string(line) + '\n';
            continue;
        }
        std::string sample(line);
        if (const auto brace = sample.find('{'); brace != std::string::npos)
            sample.insert(brace + 1, label);
        family.Samples += sample + '\n';
    }
}

std::string Counter(const std::string& Name, const std::string& Help, const std::string& Port,
                    const TListener& L, std::uint64_t TListenCounts::*Field) {
    std::string out = "# HELP " + Name + " " + Help + "\n# TYPE " + Name + " counter\n";
    for (const auto& [addr, counts] : L.ByAddress()) {
        out += Name + "{port=\"" + Port + "\",addr=\"" + std::to_string(addr) + "\"} " +
               std::to_string(counts.*Field) + '\n';
    }
    return out;
}

}  // namespace

TListenOutput::TListenOutput(std::string Port, std::ostream* Json)
    : FPort(std::move(Port)), FJson(Json) {}

void TListenOutput::OnLinkOpened(const TLinkOpened&) {
    FPortOpen = true;
}
void TListenOutput::OnLinkClosed(const TLinkClosed&) {
    FPortOpen = false;
}

void TListenOutput::OnReplyDecoded(const TDecodedReply& Reply) {
    TMetricsData& d = FReadings[Reply.Header.Addr];
    d.Port = FPort;
    d.Apply(Reply.Data, Reply.At.Wall);
    d.LastReply = Reply.At.Wall;
    if (FJson) {
        *FJson << JsonLine(Reply) << '\n';
        FJson->flush();
    }
}

std::string TListenOutput::Metrics(const TListener& L) const {
    const std::string port = EscapeLabelValue(Utf8LabelText(FPort));
    std::string out =
        "# HELP aircon_listen_port_open Whether the serial port listened to is open.\n"
        "# TYPE aircon_listen_port_open gauge\n"
        "aircon_listen_port_open{port=\"" +
        port + "\"} " + (FPortOpen ? "1" : "0") + "\n";
    out += Counter("aircon_listen_commands_total", "Commands another master sent, by address.",
                   port, L, &TListenCounts::Commands);
    out += Counter("aircon_listen_replies_total",
                   "Replies paired with the command before them, by address.", port, L,
                   &TListenCounts::Replies);
    out += Counter("aircon_listen_replies_missing_total",
                   "Commands of another master that had no reply within the pairing time-out.",
                   port, L, &TListenCounts::Missing);
    out +=
        Counter("aircon_listen_rtn_errors_total", "Paired replies with a return code other than 0.",
                port, L, &TListenCounts::Refused);
    out += Counter("aircon_listen_error_frames_total",
                   "Frames that failed the frame check, by the address they carry.", port, L,
                   &TListenCounts::ErrorFrames);
    out += Counter("aircon_listen_unpaired_replies_total",
                   "Replies with no command waiting for them (none, another address, too late).",
                   port, L, &TListenCounts::Unpaired);
    out += Counter("aircon_listen_overlaps_total",
                   "Commands that came while another still waited: two masters at once.", port, L,
                   &TListenCounts::Overlaps);
    out += Counter("aircon_listen_foreign_frames_total",
                   "Frames of other device types (CID1 other than 0x60), never decoded.", port, L,
                   &TListenCounts::Foreign);
    out +=
        "# HELP aircon_listen_noise_bytes_total Bytes between frames.\n"
        "# TYPE aircon_listen_noise_bytes_total counter\n"
        "aircon_listen_noise_bytes_total{port=\"" +
        port + "\"} " + std::to_string(L.NoiseBytes()) + "\n";

    std::vector<std::pair<std::string, TFamilyText>> families;
    for (const auto& [addr, data] : FReadings)
        Merge(families, FormatMetrics(data), addr);
    for (const auto& [name, f] : families) {
        if (f.Samples.empty()) continue;
        out += f.Header + f.Samples;
    }
    return out;
}

// ---------------------------------------------------------------------------

namespace {

TSessionSettings ListenSettings(const TPollOptions& o) {
    TSessionSettings s;
    s.Line = TLineSettings{o.Port, o.BaudRate, o.DataBits, o.Parity, o.StopBits};
    s.Poll = TPollSettings{static_cast<std::uint8_t>(o.Addr), o.IntervalMs, o.TimeoutMs, false};
    s.Mode = TSessionMode::Listen;
    return s;
}

}  // namespace

TListenPoller::TListenPoller(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out,
                             std::ostream& Err)
    : FOptions(Options),
      FLoop(Loop),
      FErr(Err),
      FSession(Loop.Clock(), ListenSettings(Options), nullptr, &Loop, nullptr, "AirConPoll"),
      FOutput(Options.Port, Options.Json ? &Out : nullptr),
      FMetricsTimer(Loop.Clock(), 1000, false) {
    FLoop.SetPort(&FSession.Port());
    FSession.SetReopen(true);
    TListener& listener = *FSession.Listener();
    listener.AddObserver(FOutput);
    listener.AddListenObserver(FOutput);
    FSession.OnPortFailure = [this](const TPortFailure& f) {
        FPortError = f.Message;
        if (!f.WinMessage.empty()) FPortError += " (" + f.WinMessage + ")";
    };
    FSession.OnReopenPlanned = [this](const TReopenPlan& p) {
        if (p.FailedOpens <= 6 || p.FailedOpens % 10 == 0)
            Log((p.Lost ? FOptions.Port + " lost: " : "cannot open " + FOptions.Port + ": ") +
                (FPortError.empty() ? "the port did not open" : FPortError) + "; trying again in " +
                std::to_string((p.Pause.count() + 999) / 1000) + " s");
    };
    FSession.OnOpened = [this] {
        Log("listening on " + FOptions.Port + " (" +
            std::to_string(BaudRateNumber(FSession.Port().BaudRate())) +
            " bit/s); nothing is written, DTR and RTS are low");
        if (FOptions.FindSpeed && !FFinder) {
            FFinder = std::make_unique<TSpeedFinder>(
                FLoop.Clock(), *FSession.Listener(),
                [this](TBaudRate Rate) { FSession.Port().SetBaudRate(Rate); });
            FFinder->OnDone = [this](std::optional<TBaudRate> Rate) {
                if (Rate)
                    Log("the line runs at " + std::to_string(BaudRateNumber(*Rate)) + " bit/s");
                else
                    Log("no speed gave frames that pass the check; listening at " +
                        std::to_string(BaudRateNumber(FSession.Port().BaudRate())) + " bit/s");
            };
            FFinder->Start();
        }
    };
    if (!Options.Capture.empty()) {
        FCapture = std::make_unique<TCaptureWriter>(
            Loop.Clock(), Options.Capture, static_cast<std::uint64_t>(Options.CaptureLimit));
        FCapture->SetListening(true);
        FCapture->OnError = [this](const std::string& Error) { Log(Error + "; capture ended"); };
        FSession.OnBlock = [this](std::span<const std::uint8_t> Block) {
            FCapture->Received(Block);
        };
    }
    // The metrics file at most once a second, and only when something was heard.
    FMetricsTimer.OnTimer = [this] {
        const TListener& l = *FSession.Listener();
        const auto heard = std::make_pair(l.Totals(), l.NoiseBytes());
        if (heard == FWritten && FWrittenOpen == FSession.IsOpen()) return;
        FWritten = heard;
        FWrittenOpen = FSession.IsOpen();
        WriteMetrics();
    };
}

TListenPoller::~TListenPoller() {
    FSession.SetReopen(false);
    FSession.OnPortFailure = nullptr;
    FLoop.SetPort(nullptr);
}

void TListenPoller::Log(const std::string& Line) {
    FErr << "AirConPoll: " << Line << '\n';
    FErr.flush();
}

void TListenPoller::WriteMetrics() {
    if (FOptions.TextFile.empty()) return;
    const std::string error =
        WriteFileAtomically(FOptions.TextFile, FOutput.Metrics(*FSession.Listener()));
    if (error != FWriteError) {
        if (!error.empty()) Log(error);
        FWriteError = error;
    }
}

int TListenPoller::Run() {
    if (FCapture && !FCapture->Open()) {
        Log(FCapture->Error());
        return 1;
    }
    if (!FOptions.TextFile.empty()) {
        RemoveStaleTemporaries(FOptions.TextFile);
        const std::string error =
            WriteFileAtomically(FOptions.TextFile, FOutput.Metrics(*FSession.Listener()));
        if (!error.empty()) {
            Log(error);
            return 1;
        }
        FMetricsTimer.SetEnabled(true);
    }
    FSession.Open();
    while (FExitStatus < 0 && !FLoop.StopRequested()) {
        FLoop.RunOnce();
        if (FOutput.JsonFailed()) {
            Log("standard output is closed; stopping");
            FExitStatus = 1;
        }
    }
    FSession.SetReopen(false);
    if (FSession.IsOpen()) FSession.Close();
    WriteMetrics();
    const TListenCounts& t = FSession.Listener()->Totals();
    Log("heard " + std::to_string(t.Commands) + " commands, " + std::to_string(t.Replies) +
        " replies (" + std::to_string(t.Decoded) + " decoded), " + std::to_string(t.Missing) +
        " missing, " + std::to_string(t.ErrorFrames) + " damaged frames, " +
        std::to_string(t.Unpaired) + " replies without a command, " + std::to_string(t.Overlaps) +
        " overlaps");
    if (FExitStatus < 0) {
        Log("stopped");
        return 0;
    }
    return FExitStatus;
}

int RunReplay(const TPollOptions& Options, std::ostream& Out, std::ostream& Err) {
    auto log = [&](const std::string& Line) {
        Err << "AirConPoll: " << Line << '\n' << std::flush;
    };
    const TCaptureFile file = ReadCapture(Options.Replay);
    TReplayClock clock;
    TListener listener(clock);
    TListenOutput output(Options.Replay, Options.Json ? &Out : nullptr);
    listener.AddObserver(output);
    listener.AddListenObserver(output);
    const auto realStart = std::chrono::steady_clock::now();
    bool jsonFailed = false;
    ReplayCapture(file, Options.Replay, clock, listener, [&](const TCaptureRecord& r) {
        if (output.JsonFailed()) {
            jsonFailed = true;
            return false;
        }
        if (Options.ReplayPace) {
            const auto offset = r.Time - file.Records.front().Time;
            if (offset > WallTime::duration::zero())
                std::this_thread::sleep_until(
                    realStart +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(offset));
        }
        return true;
    });
    if (jsonFailed || output.JsonFailed()) {
        log("standard output is closed; stopping");
        return 1;
    }
    if (!Options.TextFile.empty()) {
        const std::string error = WriteFileAtomically(Options.TextFile, output.Metrics(listener));
        if (!error.empty()) {
            log(error);
            return 1;
        }
    }
    const TListenCounts& t = listener.Totals();
    log("replayed " + std::to_string(file.Records.size()) +
        " blocks: " + std::to_string(t.Commands) + " commands, " + std::to_string(t.Replies) +
        " replies (" + std::to_string(t.Decoded) + " decoded), " + std::to_string(t.Missing) +
        " missing, " + std::to_string(t.ErrorFrames) + " damaged frames");
    if (!file.Error.empty()) {
        log(file.Error);
        return 1;
    }
    return 0;
}

}  // namespace airconpoll
