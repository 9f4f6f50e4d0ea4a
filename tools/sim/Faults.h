// Faults on demand and the timing of the line: what happens to each reply on
// its way out, and when each byte leaves.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace acsim {

struct FaultConfig {
    double drop = 0;                  // share of replies never sent
    double delay = 0;                 // share of replies sent late
    double delayMs = 900;             // how late: past the tool's next command
    double corrupt = 0;               // share of replies with a damaged CHKSUM
    double noise = 0;                 // share of replies preceded by line noise
    int noiseMax = 12;                // at most this many noise bytes at a time
    double stray = 0;                 // share of replies preceded by a stray "~"
    double split = 0;                 // share of replies written in small pieces
    int splitMax = 4;                 // largest piece
    double splitGapMs = 8;            // pause between pieces
    std::optional<std::uint8_t> rtn;  // answer with this RTN instead...
    double rtnRate = 1.0;             // ...for this share of replies
    std::uint32_t seed = 1;
};

// A run of bytes written together, after a pause (none for the first piece).
struct Piece {
    std::string bytes;
    double gapBefore = 0;  // seconds
};

enum class Fate { Intact, Dropped, Delayed, Corrupted };
const char* FateName(Fate f);

struct Plan {
    Fate fate = Fate::Intact;
    bool noise = false, stray = false, split = false;
    double extraDelay = 0;  // seconds added to the normal turnaround
    std::vector<Piece> pieces;
};

class FaultInjector {
  public:
    explicit FaultInjector(FaultConfig cfg);

    // Whether the next valid command is answered with the forced RTN.
    bool ForceRtn();
    // Decides the fate of one reply frame and cuts it into pieces. Noise and
    // stray bytes never contain the carriage return after a stray "~", so the
    // reply behind them stays whole for a receiver that restarts a frame at
    // every "~".
    Plan Decide(const std::string& frame);

    const FaultConfig& Config() const { return cfg_; }

  private:
    bool Chance(double rate);
    std::string Noise();

    FaultConfig cfg_;
    std::mt19937 rng_;
};

// The transmitting side of the line. Jobs are sent whole and one after the
// other, never interleaved, each no earlier than its ready time; at a pacing
// rate every byte takes the time of ten bit periods (start, eight data, stop).
class Transmitter {
  public:
    explicit Transmitter(int paceBaud) : byteTime_(paceBaud > 0 ? 10.0 / paceBaud : 0) {}

    void Enqueue(double readyAt, std::vector<Piece> pieces);
    // The bytes whose time has come at `now` (seconds), in order.
    std::string Due(double now);
    // When Due next has something to give; empty when nothing is pending.
    std::optional<double> NextWake() const;
    bool Idle() const { return !active_ && jobs_.empty(); }
    // Whether the line falls quiet after the bytes given so far: no job is
    // being sent, or a pause comes before its next piece.
    bool AtPause() const;
    void Clear();
    double ByteTime() const { return byteTime_; }

  private:
    struct Job {
        double readyAt;
        std::vector<Piece> pieces;
    };
    double byteTime_;
    std::deque<Job> jobs_;  // sorted by ready time, first come first served
    std::optional<Job> active_;
    std::size_t piece_ = 0, byte_ = 0;
    bool gapTaken_ = false;
    double cursor_ = 0;    // time of the next byte of the active job
    double lineFree_ = 0;  // the line carries nothing after this time
};

}  // namespace acsim
