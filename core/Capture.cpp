#include "Capture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "Listen.h"

namespace aircon {

namespace {

constexpr std::uint32_t MagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t MagicNano = 0xA1B23C4D;
constexpr std::size_t FileHeaderSize = 24;
constexpr std::size_t RecordHeaderSize = 16;

void Put32(std::vector<std::uint8_t>& Out, std::uint32_t V) {
    for (int i = 0; i < 4; ++i)
        Out.push_back(static_cast<std::uint8_t>(V >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& Out, std::uint16_t V) {
    Out.push_back(static_cast<std::uint8_t>(V));
    Out.push_back(static_cast<std::uint8_t>(V >> 8));
}

std::string Numbered(const std::string& Path, int N) {
    return Path + "." + std::to_string(N);
}

}  // namespace

TCaptureWriter::TCaptureWriter(IClock& Clock, std::string Path, std::uint64_t Limit)
    : FClock(Clock), FPath(std::move(Path)), FLimit(Limit) {}

TCaptureWriter::~TCaptureWriter() {
    if (FFile) std::fclose(FFile);
}

void TCaptureWriter::Fail(const std::string& What) {
    FError = What + " " + FPath + ": " + std::strerror(errno);
    if (FFile) std::fclose(FFile);
    FFile = nullptr;
    if (OnError) OnError(FError);
}

bool TCaptureWriter::WriteHeader() {
    std::vector<std::uint8_t> h;
    Put32(h, MagicMicro);
    Put16(h, 2);
    Put16(h, 4);
    Put32(h, 0);  // time zone: the times are UTC
    Put32(h, 0);
    Put32(h, CaptureSnapLen);
    Put32(h, CaptureLinkType);
    if (std::fwrite(h.data(), 1, h.size(), FFile) != h.size() || std::fflush(FFile) != 0) {
        Fail("cannot write");
        return false;
    }
    FSize = h.size();
    return true;
}

bool TCaptureWriter::Open() {
    FError.clear();
    if (FFile) std::fclose(FFile);
    FFile = std::fopen(FPath.c_str(), "wb");
    if (!FFile) {
        Fail("cannot create");
        return false;
    }
    return WriteHeader();
}

bool TCaptureWriter::Rotate() {
    std::fclose(FFile);
    FFile = nullptr;
    std::error_code ec;
    std::filesystem::remove(Numbered(FPath, CaptureKept), ec);
    for (int n = CaptureKept - 1; n >= 1; --n) {
        if (std::filesystem::exists(Numbered(FPath, n), ec))
            std::filesystem::rename(Numbered(FPath, n), Numbered(FPath, n + 1), ec);
    }
    std::filesystem::rename(FPath, Numbered(FPath, 1), ec);
    if (ec) {
        errno = ec.value();
        Fail("cannot turn over");
        return false;
    }
    return Open();
}

void TCaptureWriter::Add(TCaptureDirection Direction, std::span<const std::uint8_t> Bytes) {
    Add(FClock.WallNow(), Direction, Bytes);
}

void TCaptureWriter::Add(WallTime Time, TCaptureDirection Direction,
                         std::span<const std::uint8_t> Bytes) {
    if (!FFile || Bytes.empty()) return;
    // A block longer than a record holds (never from a serial read) goes in pieces.
    const std::size_t most = CaptureSnapLen - 1;
    if (Bytes.size() > most) {
        Add(Time, Direction, Bytes.first(most));
        Add(Time, Direction, Bytes.subspan(most));
        return;
    }
    const std::uint64_t size = RecordHeaderSize + 1 + Bytes.size();
    if (FSize + size > FileLimit() && FSize > FileHeaderSize && !Rotate()) return;
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Time.time_since_epoch()).count();
    std::vector<std::uint8_t> r;
    r.reserve(size);
    Put32(r, static_cast<std::uint32_t>(us / 1000000));
    Put32(r, static_cast<std::uint32_t>(us % 1000000));
    Put32(r, static_cast<std::uint32_t>(Bytes.size() + 1));
    Put32(r, static_cast<std::uint32_t>(Bytes.size() + 1));
    r.push_back(static_cast<std::uint8_t>(Direction));
    r.insert(r.end(), Bytes.begin(), Bytes.end());
    // Each record reaches the file at once: a capture cut off by a crash ends whole.
    if (std::fwrite(r.data(), 1, r.size(), FFile) != r.size() || std::fflush(FFile) != 0) {
        Fail("cannot write");
        return;
    }
    FSize += r.size();
}

void TCaptureWriter::OnCommandSent(const TCommandSent& e) {
    // Another master's command was in a received block, which is in the file already.
    if (e.Heard) return;
    const auto written = static_cast<std::size_t>(std::max<std::int32_t>(e.Written, 0));
    Add(e.At.Wall, TCaptureDirection::Sent, e.Frame.first(std::min(written, e.Frame.size())));
}

void TCaptureWriter::Received(std::span<const std::uint8_t> Block) {
    Add(FListening ? TCaptureDirection::Heard : TCaptureDirection::Received, Block);
}

// ---------------------------------------------------------------------------

TCaptureFile ParseCapture(std::span<const std::uint8_t> Data, const std::string& Name) {
    TCaptureFile out;
    auto fail = [&](std::size_t At, const std::string& What) {
        out.Error = Name + ": byte " + std::to_string(At) + ": " + What;
        return out;
    };
    if (Data.size() < FileHeaderSize) return fail(0, "too short for a pcap file header");
    bool swap = false;
    auto get32 = [&](std::size_t At) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t b = Data[At + static_cast<std::size_t>(i)];
            v |= swap ? b << (8 * (3 - i)) : b << (8 * i);
        }
        return v;
    };
    std::uint32_t magic = get32(0);
    if (magic != MagicMicro && magic != MagicNano) {
        swap = true;
        magic = get32(0);
    }
    if (magic != MagicMicro && magic != MagicNano)
        return fail(0, "not a pcap file (pcapng and other formats are not read)");
    const bool nano = magic == MagicNano;
    const std::uint32_t link = get32(20) & 0x0FFFFFFF;
    if (link != CaptureLinkType)
        return fail(20, "link type " + std::to_string(link) + ", not " +
                            std::to_string(CaptureLinkType) + " (USER0) of this tool");
    std::size_t at = FileHeaderSize;
    while (at < Data.size()) {
        if (Data.size() - at < RecordHeaderSize) return fail(at, "a record header cut short");
        const std::uint32_t sec = get32(at), frac = get32(at + 4), incl = get32(at + 8);
        if (incl == 0 || incl > CaptureSnapLen)
            return fail(at + 8, "a record of " + std::to_string(incl) + " bytes");
        if ((nano && frac >= 1000000000) || (!nano && frac >= 1000000))
            return fail(at + 4, "a fraction of a second out of range");
        if (Data.size() - at - RecordHeaderSize < incl) return fail(at, "a record cut short");
        const std::uint8_t dir = Data[at + RecordHeaderSize];
        if (dir > static_cast<std::uint8_t>(TCaptureDirection::Heard))
            return fail(at + RecordHeaderSize, "direction " + std::to_string(dir) + " unknown");
        TCaptureRecord r;
        const auto ns =
            std::chrono::seconds(sec) +
            (nano ? std::chrono::nanoseconds(frac) : std::chrono::nanoseconds(frac * 1000LL));
        r.Time = WallTime(std::chrono::duration_cast<WallTime::duration>(ns));
        r.Direction = static_cast<TCaptureDirection>(dir);
        const auto first = Data.begin() + static_cast<std::ptrdiff_t>(at + RecordHeaderSize + 1);
        r.Bytes.assign(first, first + static_cast<std::ptrdiff_t>(incl - 1));
        out.Records.push_back(std::move(r));
        at += RecordHeaderSize + incl;
    }
    return out;
}

TCaptureFile ReadCapture(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        TCaptureFile out;
        out.Error = "cannot open " + Path + ": " + std::strerror(errno);
        return out;
    }
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    return ParseCapture(data, Path);
}

// ---------------------------------------------------------------------------

struct TReplayClock::TState {
    struct TTimerRec {
        bool Running = false;
        Millis Interval{};
        SteadyTime Due{};
        std::uint64_t Order = 0;
        std::function<void()>* OnFire = nullptr;
    };
    SteadyTime Now{};
    WallTime Wall{};
    bool Started = false;
    std::map<std::uint64_t, TTimerRec> Timers;
    std::uint64_t NextId = 0;
    std::uint64_t NextOrder = 0;
};

class TReplayClock::TDriver : public ITimerDriver {
  public:
    explicit TDriver(std::shared_ptr<TState> State) : FState(std::move(State)) {
        FId = ++FState->NextId;
        FState->Timers[FId].OnFire = &OnFire;
    }
    ~TDriver() override { FState->Timers.erase(FId); }
    void Start(Millis Interval) override {
        auto& rec = FState->Timers[FId];
        rec.Running = true;
        rec.Interval = std::max(Interval, Millis(1));
        rec.Due = FState->Now + rec.Interval;
        rec.Order = ++FState->NextOrder;
    }
    void Stop() override { FState->Timers[FId].Running = false; }

  private:
    std::shared_ptr<TState> FState;
    std::uint64_t FId = 0;
};

TReplayClock::TReplayClock() : FState(std::make_shared<TState>()) {}
TReplayClock::~TReplayClock() = default;
SteadyTime TReplayClock::Now() const {
    return FState->Now;
}
WallTime TReplayClock::WallNow() const {
    return FState->Wall;
}
std::unique_ptr<ITimerDriver> TReplayClock::CreateTimer() {
    return std::make_unique<TDriver>(FState);
}

void TReplayClock::AdvanceTo(WallTime Wall) {
    TState& s = *FState;
    if (!s.Started) {
        s.Started = true;
        s.Wall = Wall;
        return;
    }
    const SteadyTime until =
        s.Now + std::chrono::duration_cast<SteadyTime::duration>(std::max(Wall - s.Wall, {}));
    for (;;) {
        TState::TTimerRec* next = nullptr;
        for (auto& [id, rec] : s.Timers) {
            if (!rec.Running || rec.Due > until) continue;
            if (!next || rec.Due < next->Due || (rec.Due == next->Due && rec.Order < next->Order))
                next = &rec;
        }
        if (!next) break;
        s.Wall += std::chrono::duration_cast<WallTime::duration>(next->Due - s.Now);
        s.Now = next->Due;
        next->Due += next->Interval;
        const std::function<void()> fire = *next->OnFire;
        if (fire) fire();
    }
    s.Wall += std::chrono::duration_cast<WallTime::duration>(until - s.Now);
    s.Now = until;
}

void ReplayCapture(const TCaptureFile& File, const std::string& Name, TReplayClock& Clock,
                   TListener& Listener, const std::function<bool(const TCaptureRecord&)>& Before) {
    if (!File.Records.empty()) Clock.AdvanceTo(File.Records.front().Time);
    Listener.LinkOpened(Name);
    for (const TCaptureRecord& r : File.Records) {
        if (Before && !Before(r)) break;
        Clock.AdvanceTo(r.Time);
        Listener.ReceiveData(r.Bytes);
    }
    // A command at the end whose reply the file does not hold.
    if (!File.Records.empty())
        Clock.AdvanceTo(File.Records.back().Time + Listener.Settings().PairTimeout);
    Listener.LinkClosed();
}

}  // namespace aircon
