// A scan of rates and addresses: the job that finds controllers on a line whose address
// or speed nobody knows any more.
//
// The scan borrows the line of a session for a while. It pauses automatic polling and
// the send timer, keeps the line settings it found, and for each chosen rate (8N1 unless
// chosen otherwise) first listens without writing, then asks each address of the range
// for its protocol version (0x4F). A frame from the address asked that passes the frame
// check finds a controller, whatever its RTN (RTN 1: another protocol version, still
// found); the controller is then asked 0x50 and 0x51 for its identity. A frame that
// comes late from the address asked before is booked to that address. Frames from any
// other address are counted and left alone.
//
// The wait for a dead address is the command's time on the line at that rate plus a
// turnaround margin (50 ms unless set); when a frame is on its way at that moment (the
// codec holds a part of it), the wait is stretched once by the time the longest reply
// takes on the line.
//
// Before listening, the scan lets the line settle for the time the longest reply takes at
// the rate used before (the host's last poll, or the previous rate's last address may
// still be answering): what arrives then is not taken for another master.
//
// Stop ends the scan at any moment; a scan that ends, by itself or stopped, puts back
// the line settings it found and resumes polling as it was. The scan is driven by the
// session's clock and the session's received blocks: nothing blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "Events.h"
#include "Session.h"

namespace aircon {

// The line a scan borrows: the monitor that sends and receives on it, and its settings.
class IScanLine {
  public:
    virtual ~IScanLine() = default;
    virtual TMonitor& Monitor() = 0;
    virtual bool IsOpen() const = 0;
    virtual TLineSettings Line() const = 0;
    virtual void SetLine(const TLineSettings& Line) = 0;
};

// A session's line.
class TSessionScanLine : public IScanLine {
  public:
    explicit TSessionScanLine(TSession& Session) : FSession(Session) {}
    TMonitor& Monitor() override { return FSession.Monitor(); }
    bool IsOpen() const override { return FSession.IsOpen(); }
    TLineSettings Line() const override { return FSession.Line(); }
    void SetLine(const TLineSettings& Line) override { FSession.SetLine(Line); }

  private:
    TSession& FSession;
};

struct TScanSettings {
    static constexpr Millis DefaultMargin{50};
    static constexpr Millis DefaultListen{500};

    std::vector<TBaudRate> Rates{TBaudRate::Br1200, TBaudRate::Br2400, TBaudRate::Br4800,
                                 TBaudRate::Br9600, TBaudRate::Br19200};
    std::uint8_t FirstAddr = 0;
    std::uint8_t LastAddr = 255;
    TDataBits DataBits = TDataBits::DbEight;
    TParityBits Parity = TParityBits::PrNone;
    TStopBits StopBits = TStopBits::SbOneStopBit;
    Millis Margin = DefaultMargin;  // turnaround margin after the command's time on the line
    Millis Listen = DefaultListen;  // listening without writing before a rate (0: none)
};

// Bytes of a command without INFO ("~", 12 hexadecimal characters and CHKSUM, CR).
inline constexpr int ScanCommandBytes = 18;
// Bytes of the longest reply asked for in a scan (0x51: 70 INFO bytes).
inline constexpr int ScanLongestReplyBytes = 18 + 2 * 70;

// Bits on the line per character: start, data, parity and stop bits (1.5 counts as 1.5).
double BitsPerCharacter(TDataBits DataBits, TParityBits Parity, TStopBits StopBits);
// The time Bytes characters take on the line at Rate, rounded up to whole milliseconds.
Millis LineTime(int Bytes, std::int32_t Rate, double BitsPerChar);
// The wait for a dead address: the command's time on the line plus the margin.
Millis ProbeWait(std::int32_t Rate, double BitsPerChar, Millis Margin);
// The wait for an identity reply: the command and the longest reply on the line, plus the
// margin.
Millis IdentityWait(std::int32_t Rate, double BitsPerChar, Millis Margin);

// A controller the scan found.
struct TScanFound {
    std::int32_t Rate = 0;  // bit/s
    std::uint8_t Addr = 0;
    std::uint8_t Rtn = 0;  // of its 0x4F reply
    std::uint8_t Ver = 0;  // the VER of its reply: its protocol version
    // Identity (0x51), Latin-1 bytes as UTF-8 with trailing blanks and zero bytes cut;
    // empty when the controller did not give it.
    std::optional<std::string> Name;
    std::optional<std::string> SoftwareVersion;
    std::optional<std::string> Vendor;
    std::optional<std::uint8_t> ReportedAddr;  // 0x50
    bool Late = false;                         // its reply came while the next address was asked
};

struct TScanProgress {
    int Done = 0;   // addresses asked (all rates)
    int Total = 0;  // addresses × rates
    std::int32_t Rate = 0;
    std::uint8_t Addr = 0;  // asked now
    Millis Left{};          // estimated: the waits still to come
};

// What was heard while listening before a rate.
struct TOtherMaster {
    std::int32_t Rate = 0;
    int Frames = 0;         // frames cut (passing the check or not)
    std::size_t Noise = 0;  // bytes that belonged to no frame
};

enum class TScanEnd { Completed, Stopped, LinkClosed };

class TScan : private IMonitorObserver {
  public:
    TScan(IClock& Clock, IScanLine& Line, TScanSettings Settings);
    ~TScan() override;
    TScan(const TScan&) = delete;
    TScan& operator=(const TScan&) = delete;

    // Starts on an open line: polling pauses, the first rate is set and listened to.
    // False (nothing changed) when the link is not open, a scan runs already, or the
    // settings give no rate or a range whose first address is above its last.
    bool Start();
    // Ends the scan now: the line settings before the scan back, polling as it was.
    void Stop();
    // After OnOtherMaster: goes on scanning anyway (nothing heard is asked again).
    void Continue();
    bool Running() const { return FRunning; }
    bool WaitingForConfirmation() const { return FConfirming; }

    const TScanSettings& Settings() const { return FSettings; }
    const std::vector<TScanFound>& Found() const { return FFound; }
    const TScanProgress& Progress() const { return FProgress; }
    // Frames that passed the check but came from an address not asked (nor the one before).
    int StrayFrames() const { return FStray; }
    // The whole scan's waits as planned (no controller found, nothing heard); valid once
    // started (the settling before the first rate depends on the line's rate then).
    Millis PlannedTime() const;

    std::function<void(const TScanProgress&)> OnProgress;
    // A controller found; called again when its identity is complete.
    std::function<void(const TScanFound&)> OnFound;
    std::function<void(const TScanFound&)> OnIdentified;
    // Another master was heard while listening: the scan waits for Continue or Stop.
    std::function<void(const TOtherMaster&)> OnOtherMaster;
    std::function<void(TScanEnd)> OnFinished;

  private:
    enum class TPhase { Idle, Settle, Listen, Probe, Identify };

    void OnLinkClosed(const TLinkClosed&) override;
    void OnFrameReceived(const TFrameReceived&) override;
    void OnReplyReceived(const TReplyReceived&) override;
    void OnNoise(const TNoise&) override;

    void BeginRate();
    void Probe();
    void WaitOver();
    void ProbeDone();
    void NextIdentity();
    void IdentityReply(const TReplyReceived& e);
    void Book(std::uint8_t Addr, const TReplyReceived& e, bool Late);
    void Finish(TScanEnd End);
    void Arm(Millis Wait);
    void HoldPolling();
    std::int32_t Rate() const;
    Millis Listening(std::size_t I) const;
    void Report();

    IScanLine& FLine;
    TScanSettings FSettings;
    TTimer FTimer;
    double FBits = 10;

    bool FRunning = false;
    bool FConfirming = false;
    bool FConfirmed = false;  // the operator chose to go on past another master
    TPhase FPhase = TPhase::Idle;
    std::size_t FRateIndex = 0;
    int FAddr = 0;                      // asked now
    std::optional<std::uint8_t> FPrev;  // asked before, at this rate
    bool FStretched = false;
    std::size_t FHeldAtSend = 0;

    // Identities still to ask: index into FFound, and the step (0x50, then 0x51).
    std::vector<std::size_t> FToIdentify;
    std::optional<std::size_t> FIdentifying;
    std::uint8_t FIdentityCid2 = 0;

    TOtherMaster FHeard;
    TLineSettings FSavedLine;
    std::int32_t FPrevRate = 0;  // the line's rate before this one
    bool FSavedPoll = false;
    bool FSavedSend = false;

    std::vector<TScanFound> FFound;
    TScanProgress FProgress;
    int FStray = 0;
};

}  // namespace aircon
