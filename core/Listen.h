// Listening to a line another master polls: every frame is taken in, nothing is written.
//
// Each frame that passes the check is a command (from a master) or a reply (RTN from a
// device), by this rule, first match wins:
//   1. place: a frame from the address and device type of the command waiting for its
//      reply, within the pairing time-out, is that command's reply, unless its code is a
//      command code below 0x80 with that command's INFO length (a master asking again);
//      this settles the codes 0x80 to 0xEF, which are both user-defined commands and
//      user-defined return codes;
//   2. content, reply: a code 0x00 to 0x06 (the standard return codes) is a reply;
//   3. content, command: a code with a fixed command INFO length (0x45, 0x48, 0x49, 0x4A
//      to 0x4C, 0x4E, 0x80) whose INFO has exactly that length, or a read command (0x40
//      to 0x7F otherwise) with no INFO or one byte (the unit index of 0x42 to 0x44), is a
//      command;
//   4. everything else is a command of a kind we do not know (shown and counted).
// A reply is paired with the command waiting for it: same address and device type, the
// reply's carriage return within the pairing time-out of the command's. It is decoded
// by that command's CID2 exactly as a reply to a command of our own (the same decoders,
// the same TReplyReceived and TDecodedReply events, the address in the header). Only
// frames of the air-conditioner device type (CID1 0x60) are decoded; frames of other
// device types are paired and counted the same way, never decoded.
//
// Counted and never decoded: frames that fail the check, a reply with no command
// waiting (none, another address, or after the time-out), a command whose reply did not
// come (a new command or the time-out ends its wait), a command that comes less than
// OverlapGap after one still waiting (two masters on the line at once) and bytes
// between frames.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "CPort.h"
#include "Clock.h"
#include "DH.h"
#include "Events.h"
#include "Frame.h"

namespace aircon {

// A command another master sent.
struct TCommandSeen {
    TStamp At;                            // when the block holding its carriage return came
    TDH_Header Header;                    // VER, ADR, CID1, CID2
    std::span<const std::uint8_t> Info;   // the INFO bytes
    std::span<const std::uint8_t> Frame;  // "~" to carriage return
    bool Known = true;                    // a command whose INFO length we know
    bool Overlap = false;                 // came while another was waiting: two masters
};

// A command whose reply did not come.
struct TListenMissing {
    TStamp At;          // when the wait ended
    TDH_Header Header;  // of the command
    SteadyTime SeenAt{};
};

// Why a reply has no command.
enum class TUnpairedReason {
    NoCommand,     // nothing was waiting
    OtherAddress,  // the waiting command went to another address or device type
    TooLate,       // after the pairing time-out of its command
};

struct TUnpairedReply {
    TStamp At;
    TDH_Header Header;  // VER, ADR, CID1, RTN
    std::span<const std::uint8_t> Frame;
    TUnpairedReason Reason = TUnpairedReason::NoCommand;
    std::span<const std::uint8_t> Info{};
};

// A frame that failed the check; the address when the frame is long enough to hold one.
struct TErrorFrame {
    TStamp At;
    std::span<const std::uint8_t> Frame;
    TFrameCheck Check = TFrameCheck::TooShort;
    std::optional<std::uint8_t> Addr;
};

// A reply paired with its command, of another device type than ours (shown, counted).
struct TForeignReply {
    TStamp At;
    TDH_Header Header;      // VER, ADR, CID1, RTN
    std::uint8_t CID2 = 0;  // of the command
    std::span<const std::uint8_t> Frame;
    std::span<const std::uint8_t> Info{};
};

class IListenObserver {
  public:
    virtual ~IListenObserver() = default;
    virtual void OnCommandSeen(const TCommandSeen&) {}
    virtual void OnListenMissing(const TListenMissing&) {}
    virtual void OnUnpairedReply(const TUnpairedReply&) {}
    virtual void OnErrorFrame(const TErrorFrame&) {}
    virtual void OnForeignReply(const TForeignReply&) {}
};

// What was heard of one address (or of the whole line).
struct TListenCounts {
    std::uint64_t Commands = 0;
    std::uint64_t UnknownCommands = 0;
    std::uint64_t Replies = 0;  // paired
    std::uint64_t Decoded = 0;
    std::uint64_t Refused = 0;  // RTN other than 0
    std::uint64_t Missing = 0;
    std::uint64_t Unpaired = 0;
    std::uint64_t ErrorFrames = 0;
    std::uint64_t Overlaps = 0;
    std::uint64_t Foreign = 0;  // frames of other device types
    friend bool operator==(const TListenCounts&, const TListenCounts&) = default;
};

struct TListenSettings {
    Millis PairTimeout{1000};
    Millis OverlapGap{100};
};

// Which of the two a frame that passed the check is, by its content alone (rules 2 to
// 4 above; rule 1 needs the exchange). Known: a command whose INFO length we know.
enum class TFrameKind { Reply, Command, UnknownCommand };
TFrameKind ClassifyByContent(std::uint8_t Code, std::size_t InfoSize);

class TListener {
  public:
    TListener(IClock& Clock, TListenSettings Settings = {});
    ~TListener();
    TListener(const TListener&) = delete;
    TListener& operator=(const TListener&) = delete;

    // Observers may be added and removed at any time, also from inside an event.
    void AddObserver(IMonitorObserver& Observer);
    void RemoveObserver(IMonitorObserver& Observer);
    void AddListenObserver(IListenObserver& Observer);
    void RemoveListenObserver(IListenObserver& Observer);

    // The line opened (TLinkOpened; the counts go on across openings) or closed (a waiting command
    // is let go without a verdict, TLinkClosed).
    void LinkOpened(std::string Port);
    void LinkClosed();
    // A received block. Not to be called from an observer (std::logic_error).
    void ReceiveData(std::span<const std::uint8_t> Block);

    const TListenCounts& Totals() const { return FTotals; }
    const std::map<std::uint8_t, TListenCounts>& ByAddress() const { return FByAddress; }
    std::uint64_t NoiseBytes() const { return FNoise; }
    const TListenSettings& Settings() const { return FSettings; }
    TDH& Codec() { return FDH; }

  private:
    struct TWaiting {
        TDH_Header Header;
        TIntCMD Item;
        SteadyTime SeenAt{};
    };
    TStamp Stamp() const;
    void FrameCut(std::span<const std::uint8_t> Frame);
    void Command(std::span<const std::uint8_t> Frame, const TParsedFrame& Parsed, bool Known);
    void Reply(std::span<const std::uint8_t> Frame, const TParsedFrame& Parsed);
    void Expire();            // the waiting command's time-out passed
    void EndWait(TStamp At);  // reports the waiting command missing
    TListenCounts& Count(std::uint8_t Addr) { return FByAddress[Addr]; }
    template <class F>
    void Notify(F&& Call);
    template <class F>
    void NotifyListen(F&& Call);

    IClock& FClock;
    TListenSettings FSettings;
    TDH FDH;
    TTimer FPairTimer;
    std::optional<TWaiting> FWaiting;
    std::optional<TDH_Header> FExpired;  // the last command given up, until the next one
    std::vector<IMonitorObserver*> FObservers;
    std::vector<IListenObserver*> FListenObservers;
    TListenCounts FTotals;
    std::map<std::uint8_t, TListenCounts> FByAddress;
    std::uint64_t FNoise = 0;
    TStamp FBlockAt;
    bool FInReceive = false;
    bool FOpen = false;
};

// What a listener hears, told in the monitor's events, so that every view of a polling
// link (traffic log, counters, panels, recorder, trends) shows a listened line unchanged:
//   - another master's command is a TCommandSent with Heard set (its frame's own row and
//     counter; its TFrameReceived is not passed on);
//   - a reply paired with its command passes as the listener raised it, with the response
//     time from the command's carriage return; readings (TReplyReceived::Data and
//     TDecodedReply) only for the chosen address: a reply from any other address, or of
//     another device type, passes with no record and the verdict "address not as asked";
//   - a reply with no command passes as a late frame (TFrameReceived::Late, verdict
//     neither as asked nor in time), never with a record;
//   - a command whose reply did not come is a TReplyMissing, its time-out the time it
//     waited (the pairing time-out, or less when the next command ended the wait);
//   - frames that fail the check, noise, opening and closing pass as they are.
class TListenRelay : public IMonitorObserver, public IListenObserver {
  public:
    // Registers with Listener and hands everything on to Target (TMonitor::Relay()).
    TListenRelay(TListener& Listener, IMonitorObserver& Target);
    ~TListenRelay() override;
    TListenRelay(const TListenRelay&) = delete;
    TListenRelay& operator=(const TListenRelay&) = delete;

    // The address whose readings are passed on; none: no readings at all.
    void SetAddress(std::optional<std::uint8_t> Addr) { FAddress = Addr; }
    std::optional<std::uint8_t> Address() const { return FAddress; }

  private:
    void OnLinkOpened(const TLinkOpened&) override;
    void OnLinkClosed(const TLinkClosed&) override;
    void OnFrameReceived(const TFrameReceived&) override;
    void OnReplyReceived(const TReplyReceived&) override;
    void OnReplyDecoded(const TDecodedReply&) override;
    void OnNoise(const TNoise&) override;
    void OnCommandSeen(const TCommandSeen&) override;
    void OnListenMissing(const TListenMissing&) override;
    void OnUnpairedReply(const TUnpairedReply&) override;
    void OnForeignReply(const TForeignReply&) override;
    // The good frame held back until the listener says what it is.
    void PassHeld(bool Late);
    void PassWithoutRecord(const TStamp& At, const TDH_Header& Header, std::uint8_t CID2,
                           std::span<const std::uint8_t> Frame, std::span<const std::uint8_t> Info,
                           TReplyVerdict Verdict);

    TListener& FListener;
    IMonitorObserver& FTarget;
    std::optional<std::uint8_t> FAddress;
    std::optional<TFrameReceived> FHeld;  // its span is valid until the frame's events end
};

// Finds the line's speed by listening: each rate in turn for Dwell, no byte written,
// until Needed frames in a row pass the check at one rate.
class TSpeedFinder : private IMonitorObserver {
  public:
    // 9600, 19200, 4800, 2400, 1200, 38400, 57600, 115200: the usual first.
    static const std::vector<TBaudRate>& CommonRates();

    // SetRate applies a rate to the open port (the session's SetLine). Dwell: how long
    // each rate is heard; Needed: frames in a row that pass the check.
    TSpeedFinder(IClock& Clock, TListener& Listener, std::function<void(TBaudRate)> SetRate,
                 std::vector<TBaudRate> Rates = {}, Millis Dwell = Millis(3000), int Needed = 2);
    ~TSpeedFinder() override;
    TSpeedFinder(const TSpeedFinder&) = delete;
    TSpeedFinder& operator=(const TSpeedFinder&) = delete;

    void Start();
    bool Running() const { return FRunning; }
    // The rate found, or empty (still running, or no rate gave frames).
    std::optional<TBaudRate> Found() const { return FFound; }
    std::function<void(std::optional<TBaudRate>)> OnDone;

  private:
    void OnFrameReceived(const TFrameReceived&) override;
    void Next();
    void Finish(std::optional<TBaudRate> Rate);

    TListener& FListener;
    std::function<void(TBaudRate)> FSetRate;
    std::vector<TBaudRate> FRates;
    TTimer FTimer;
    std::size_t FIndex = 0;
    int FNeeded;
    int FGood = 0;
    bool FRunning = false;
    std::optional<TBaudRate> FFound;
};

}  // namespace aircon
