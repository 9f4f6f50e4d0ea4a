// A real monitoring core on the fake clock, talking to the simulator's controller
// through a link that answers each command frame after a turnaround, with faults chosen
// per command: so whole hours of polling run in a moment, and a test decides exactly
// which reply is lost, damaged or refused.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Answering.h"
#include "Controller.h"
#include "FakeClock.h"
#include "Monitor.h"

namespace simrig {

using aircon::Millis;

// What happens to the reply of one command.
enum class TFate { Answer, Drop, Corrupt, Noise, Refuse };

class TSimLink : public aircon::ILink {
  public:
    TSimLink(aircon::TFakeClock& Clock, acsim::ControllerConfig Config)
        : FClock(Clock), FController(std::move(Config)) {}

    bool Connected() const override { return FConnected; }
    std::int32_t Write(std::span<const std::uint8_t> Frame) override {
        if (!FConnected) return 0;
        Frames.emplace_back(Frame.begin(), Frame.end());
        const double t = std::chrono::duration<double>(FClock.Elapsed()).count();
        FController.Advance(60.0 + t);
        const acsim::CommandFrame c = acsim::ParseCommand(Frame);
        const TFate fate = Fate ? Fate(c.cid2) : TFate::Answer;
        std::optional<std::uint8_t> refuse;
        if (fate == TFate::Refuse) refuse = acsim::RtnCid2;
        auto reply = FController.Handle(Frame, refuse);
        if (!reply || fate == TFate::Drop) return static_cast<std::int32_t>(Frame.size());
        std::string bytes = reply->frame;
        if (fate == TFate::Corrupt)
            bytes[bytes.size() - 2] = bytes[bytes.size() - 2] == '0' ? '1' : '0';
        if (fate == TFate::Noise) bytes = "\x01\x7F junk" + bytes;
        Replies.push_back(*reply);
        FPending.push_back({FClock.Now() + Turnaround, std::move(bytes)});
        return static_cast<std::int32_t>(Frame.size());
    }

    // The replies due by now, to be handed to the monitor outside the write.
    std::vector<std::string> TakeDue() {
        std::vector<std::string> out;
        while (!FPending.empty() && FPending.front().Due <= FClock.Now()) {
            out.push_back(std::move(FPending.front().Bytes));
            FPending.pop_front();
        }
        return out;
    }
    void SetConnected(bool Value) {
        FConnected = Value;
        if (!Value) FPending.clear();
    }
    acsim::Controller& Controller() { return FController; }

    std::function<TFate(std::uint8_t CID2)> Fate;
    Millis Turnaround{60};
    std::vector<std::vector<std::uint8_t>> Frames;  // every command written
    std::vector<acsim::Reply> Replies;              // every reply sent (not dropped)

  private:
    struct TPending {
        aircon::SteadyTime Due;
        std::string Bytes;
    };
    aircon::TFakeClock& FClock;
    acsim::Controller FController;
    std::deque<TPending> FPending;
    bool FConnected = true;
};

// The clock, the link and a monitor on them, with the answering rule as the session
// has it; Run advances time in small steps and hands the replies over as the port would.
struct TRig {
    explicit TRig(acsim::ControllerConfig Config = {})
        : Link(Clock, std::move(Config)), Monitor(Clock, Link, Inputs) {
        Monitor.PollTimer().SetEnabled(false);
        Monitor.AddObserver(Rule);
    }
    void Open() {
        Link.SetConnected(true);
        Monitor.SendTimer().SetInterval(Inputs.Values.TimeoutMs);
        Monitor.LinkOpened("sim");
    }
    void Close() {
        Monitor.LinkClosed();
        Link.SetConnected(false);
    }
    // Runs for Span; After runs after every step (the poller's work between events).
    void Run(Millis Span, const std::function<bool()>& After = {}) {
        const auto end = Clock.Now() + Span;
        while (Clock.Now() < end) {
            Clock.Advance(Millis(10));
            for (const auto& r : Link.TakeDue())
                Monitor.ReceiveData(
                    std::span(reinterpret_cast<const std::uint8_t*>(r.data()), r.size()));
            if (After && After()) return;
        }
    }

    aircon::TFakeClock Clock;
    aircon::TFixedPollSettings Inputs{aircon::TPollSettings{1, 500, 350, true}};
    TSimLink Link;
    aircon::TMonitor Monitor;
    aircon::TAnswerRule Rule;
};

}  // namespace simrig
