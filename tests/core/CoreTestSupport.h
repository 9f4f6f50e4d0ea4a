// Test rig of the monitoring core: a fake clock, a fake link that records what is
// written, the poll settings as plain values, an observer that writes every event
// as one line of text, and a controller stand-in that answers on the fake clock.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "HexText.h"
#include "Monitor.h"

namespace coretest {

using namespace aircon;
using Bytes = std::vector<std::uint8_t>;

inline std::span<const std::uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline std::string Hex2(unsigned v) {
    return util::Hex(v & 0xFF, 2);
}

// A reply frame as a controller writes it: LENID counts the INFO characters.
inline std::string Reply(std::uint8_t Rtn, const Bytes& Info = {}, std::uint8_t Addr = 1,
                         std::uint8_t Ver = 0x10) {
    const auto lenid = static_cast<std::uint16_t>((2 * Info.size()) & 0x0FFF);
    const auto length = static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
    std::string f =
        "~" + Hex2(Ver) + Hex2(Addr) + "60" + Hex2(Rtn) + Hex2(length >> 8) + Hex2(length & 0xFF);
    for (std::uint8_t b : Info)
        f += Hex2(b);
    const std::uint16_t sum = TDH::CalcChkSum(AsBytes(f));
    return f + Hex2(sum >> 8) + Hex2(sum & 0xFF) + "\r";
}

// The INFO of a full reply of each polled kind, unit 0, every value plain.
inline Bytes AnalogInfo(std::uint8_t DataFlag = 0) {
    Bytes b(38, 0x01);
    b[0] = DataFlag;
    b[25] = 6;
    return b;
}
inline Bytes SwitchInfo(std::uint8_t DataFlag = 0) {
    Bytes b(12, 0x01);
    b[0] = DataFlag;
    b[1] = 0;
    b[2] = 9;
    return b;
}
inline Bytes AlarmInfo(std::uint8_t DataFlag = 0) {
    Bytes b(38, 0x00);
    b[0] = DataFlag;
    b[12] = 25;
    return b;
}

inline std::string Text(std::span<const std::uint8_t> b) {
    return {b.begin(), b.end()};
}

// The command frame the core sends for a command without INFO.
inline std::string BuildCommandText(std::uint8_t Cid2, std::uint8_t Addr = 1) {
    return Text(BuildCommand(TDH_Header{0x10, Addr, 0x60, Cid2}, {}));
}

// The link: connected while Open; every write is kept with its time.
class TFakeLink : public ILink {
  public:
    explicit TFakeLink(TFakeClock& Clock) : FClock(Clock) {}

    bool Connected() const override { return Open; }
    std::int32_t Write(std::span<const std::uint8_t> Frame) override {
        Writes.push_back({FClock.Elapsed().count(), Text(Frame)});
        if (OnWrite) OnWrite(Frame);
        return WrittenReport.value_or(static_cast<std::int32_t>(Frame.size()));
    }

    struct TWrite {
        long long At;  // ms since the clock started
        std::string Frame;
    };
    bool Open = false;
    std::vector<TWrite> Writes;
    std::function<void(std::span<const std::uint8_t>)> OnWrite;
    std::optional<std::int32_t> WrittenReport;

  private:
    TFakeClock& FClock;
};

// The poll settings as a host gives them, each read counted; an empty one stands for
// a setting the host has no value for at that moment.
class TInputs : public IPollSettings {
  public:
    std::optional<std::uint8_t> Address() override { return Read(Addr); }
    std::optional<std::int32_t> IntervalMs() override { return Read(Interval); }
    std::optional<std::int32_t> TimeoutMs() override { return Read(Timeout); }
    bool AutoPoll() const override { return Auto; }

    std::optional<std::uint8_t> Addr = 1;
    std::optional<std::int32_t> Interval = 500;
    std::optional<std::int32_t> Timeout = 350;
    bool Auto = true;
    int Refused = 0;  // reads that found no value

  private:
    template <class T>
    std::optional<T> Read(const std::optional<T>& Value) {
        if (!Value) ++Refused;
        return Value;
    }
};

// Every event as "<ms> <what>", ms counted from the clock's start.
class TRecorder : public IMonitorObserver {
  public:
    explicit TRecorder(TFakeClock& Clock) : FClock(Clock) {}

    std::vector<std::string> Log;
    // Takes the lines logged so far.
    std::vector<std::string> Take() { return std::exchange(Log, {}); }

    void OnLinkOpened(const TLinkOpened& e) override { Add(e.At, "opened " + e.Port); }
    void OnLinkClosed(const TLinkClosed& e) override { Add(e.At, "closed"); }
    void OnCommandSent(const TCommandSent& e) override {
        std::string s = "sent " + Hex2(e.CID2) + " addr " + std::to_string(e.Addr);
        if (e.Item.Param != 0 || e.Item.Value != 0)
            s += " param " + Hex2(e.Item.Param) + " value " + std::to_string(e.Item.Value);
        if (e.Written != static_cast<std::int32_t>(e.Frame.size()))
            s += " written " + std::to_string(e.Written);
        Add(e.At, s);
    }
    void OnFrameReceived(const TFrameReceived& e) override {
        std::string s =
            "frame " + std::string(CheckName(e.Check)) + " " + std::to_string(e.Frame.size());
        if (e.ResponseTime) s += " rt " + std::to_string(e.ResponseTime->count());
        if (e.Late) s += " late";
        Add(e.At, s);
    }
    void OnReplyReceived(const TReplyReceived& e) override {
        std::string s = "reply rtn " + Hex2(e.Rtn) + " to " + Hex2(e.LastCID2) + " info " +
                        std::to_string(e.Info.size());
        if (!e.HasDecoder) s += " undecoded";
        Add(e.At, s);
    }
    void OnReplyDecoded(const TDecodedReply& e) override {
        static const char* const kinds[] = {"analog",  "switches", "alarms", "params",
                                            "version", "address",  "vendor"};
        Add(e.At, "decoded " + Hex2(e.CID2) + " " + kinds[e.Data.index()]);
        Decoded.push_back(e.Data);
    }
    void OnReplyMissing(const TReplyMissing& e) override {
        Add(e.At, "missing " + Hex2(e.CID2) + " sent " + std::to_string(Ms(e.SentAt)) +
                      " timeout " + std::to_string(e.Timeout.count()));
    }
    void OnNoise(const TNoise& e) override { Add(e.At, "noise " + std::to_string(e.Count)); }

    std::vector<TReplyData> Decoded;

    static const char* CheckName(TFrameCheck c) {
        switch (c) {
            case TFrameCheck::Ok:
                return "ok";
            case TFrameCheck::TooShort:
                return "short";
            case TFrameCheck::OddLength:
                return "odd";
            case TFrameCheck::ChkSum:
                return "chksum";
            case TFrameCheck::LChkSum:
                return "lchksum";
        }
        return "?";
    }

  private:
    long long Ms(SteadyTime t) const {
        return std::chrono::duration_cast<Millis>(t - FClock.Start()).count();
    }
    void Add(const TStamp& At, const std::string& What) {
        // The calendar stamp moves with the monotonic one.
        if (At.Wall - TFakeClock::DefaultWallStart() != At.Time - FClock.Start())
            Log.push_back("wall stamp out of step");
        Log.push_back(std::to_string(Ms(At.Time)) + " " + What);
    }
    TFakeClock& FClock;
};

// A controller stand-in: answers each command Delay after its write, on the fake
// clock, with the frame Answers gives for its CID2 (none: silent).
class TResponder {
  public:
    TResponder(TFakeClock& Clock, TFakeLink& Link, TMonitor& Monitor)
        : FTimer(Clock.CreateTimer()), FMonitor(Monitor) {
        Link.OnWrite = [this](std::span<const std::uint8_t> Frame) {
            const auto cmd = DissectFrame(Frame);
            if (!cmd.Cid2OrRtn || !Answers) return;
            FPending = Answers(*cmd.Cid2OrRtn);
            if (!FPending.empty()) FTimer->Start(Delay);
        };
        FTimer->OnFire = [this] {
            FTimer->Stop();
            FMonitor.ReceiveData(AsBytes(FPending));
        };
    }

    Millis Delay{20};
    std::function<std::string(std::uint8_t Cid2)> Answers;

  private:
    std::unique_ptr<ITimerDriver> FTimer;
    TMonitor& FMonitor;
    std::string FPending;
};

// The normal answer of a controller to each command.
inline std::string NormalAnswer(std::uint8_t Cid2) {
    switch (Cid2) {
        case 0x42:
            return Reply(0, AnalogInfo());
        case 0x43:
            return Reply(0, SwitchInfo());
        case 0x44:
            return Reply(0, AlarmInfo());
        default:
            return Reply(0);
    }
}

struct TRig {
    TFakeClock Clock;
    TFakeLink Link{Clock};
    TInputs Inputs;
    TMonitor Monitor{Clock, Link, Inputs};
    TRecorder Rec{Clock};

    TRig() { Monitor.AddObserver(Rec); }

    void Open(std::string Port = "ttyV0") {
        Link.Open = true;
        Monitor.LinkOpened(std::move(Port));
    }
    void Close() {
        Link.Open = false;
        Monitor.LinkClosed();
    }
    void Feed(std::string_view Block) { Monitor.ReceiveData(AsBytes(Block)); }
    // Runs the clock to At ms after its start.
    void RunTo(long long At) { Clock.AdvanceTo(Clock.Start() + Millis(At)); }
    long long Now() const { return Clock.Elapsed().count(); }
    std::vector<std::uint8_t> QueuedCid2() const {
        std::vector<std::uint8_t> q;
        for (const TIntCMD& i : Monitor.Queue())
            q.push_back(i.Custom);
        return q;
    }
};

}  // namespace coretest
