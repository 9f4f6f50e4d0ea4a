// The monitoring control without widgets: the command queue with its poll and send
// timers, the senders, and the reply intake that turns received bytes into events.
//
// A host (the monitoring session, a test) gives the core a clock, the serial link and
// the poll settings as numbers, forwards its timer ticks, buttons and received blocks,
// and observes what happens. The core knows nothing of widgets or of text boxes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Clock.h"
#include "DH.h"
#include "Events.h"
#include "TextConv.h"

namespace aircon {

// The serial link as the core uses it (the window's TComPort behind an adapter).
class ILink {
  public:
    virtual ~ILink() = default;
    virtual bool Connected() const = 0;
    // Writes the whole frame and returns the bytes written. A failure is reported by the
    // port to its own failure handler, which may close the link before this returns.
    virtual std::int32_t Write(std::span<const std::uint8_t> Frame) = 0;
};

// How to poll: the device address, the poll interval, the reply time-out and whether
// polling runs by itself.
struct TPollSettings {
    std::uint8_t Address = 1;
    std::int32_t IntervalMs = 500;  // from one poll command to the next
    std::int32_t TimeoutMs = 500;   // from a command's write to the next send
    bool AutoPoll = true;
    friend bool operator==(const TPollSettings&, const TPollSettings&) = default;
};

// The poll settings, read each time one is used: a host whose operator may change them
// at any moment (the window's boxes) answers with what they hold now. An empty answer
// means the host has no usable value at this moment and has told its operator why; the
// step that needed it stops there (a poll tick queues its command but leaves the
// timers, a send tick sends nothing).
class IPollSettings {
  public:
    virtual ~IPollSettings() = default;
    virtual std::optional<std::uint8_t> Address() = 0;
    virtual std::optional<std::int32_t> IntervalMs() = 0;
    virtual std::optional<std::int32_t> TimeoutMs() = 0;
    virtual bool AutoPoll() const = 0;
};

// Poll settings that are a plain record (the poller's command line, tests).
class TFixedPollSettings : public IPollSettings {
  public:
    TFixedPollSettings() = default;
    explicit TFixedPollSettings(TPollSettings Values) : Values(Values) {}
    std::optional<std::uint8_t> Address() override { return Values.Address; }
    std::optional<std::int32_t> IntervalMs() override { return Values.IntervalMs; }
    std::optional<std::int32_t> TimeoutMs() override { return Values.TimeoutMs; }
    bool AutoPoll() const override { return Values.AutoPoll; }
    TPollSettings Values;
};

// The decoder of replies: by the CID2 of the last command sent, over the reply's INFO.
// DecodeReply unless a host or a test gives another.
using TReplyDecoder = std::function<std::optional<TReplyData>(std::uint8_t CID2, TDH_Header Header,
                                                              std::span<const std::uint8_t> Info)>;

// A signed 32-bit decimal number: optional sign and digits, nothing else.
using util::TryStrToInt;
// "'<Text>' is not a valid integer value"
std::string InvalidIntegerMessage(std::string_view Text);

class TMonitor {
  public:
    static constexpr std::uint8_t ProtocolVer = 0x10;
    static constexpr std::uint8_t DeviceCID1 = 0x60;

    TMonitor(IClock& Clock, ILink& Link, IPollSettings& Settings);
    ~TMonitor();
    TMonitor(const TMonitor&) = delete;
    TMonitor& operator=(const TMonitor&) = delete;

    // Observers may be added and removed at any time, also from inside an event.
    void AddObserver(IMonitorObserver& Observer);
    void RemoveObserver(IMonitorObserver& Observer);
    // An observer that hands every event it is given on to this monitor's observers, as
    // if the monitor had raised it (a listening session feeds what it hears through it).
    IMonitorObserver& Relay();

    // --- queue and timers ---
    // Appends a command at the tail of the queue and enables the send timer.
    void QueueCommand(TIntCMD Item);
    // The poll timer's tick: queues the next poll command (one poll command waits at a
    // time), sets the poll interval and the send timer's interval and enables it.
    void PollTick();
    // The send timer's tick: reports a command left unanswered, sends the head of the
    // queue and re-arms itself with the reply time-out.
    // A command counts as unanswered (TReplyMissing) when no frame at all has arrived
    // since its write by the next send tick, or by the next send when a sender is called
    // directly; its Timeout is the interval the send timer was re-armed with after the
    // write (the interval it has when it was not re-armed). A frame that arrives for it
    // afterwards is Late.
    void SendTick();
    const std::deque<TIntCMD>& Queue() const;
    std::int32_t QueryStep() const;
    TTimer& PollTimer();  // Timer1
    TTimer& SendTimer();  // Timer2

    // --- senders: build the frame, write it, raise TCommandSent ---
    // The link may close inside ILink::Write (LinkClosed from the port's failure
    // handler): TCommandSent is still raised, after TLinkClosed.
    void SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2);
    void SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd);
    void SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value);
    std::uint8_t LastCID2() const;

    // --- link lifecycle (the view opens and closes the port itself) ---
    // The port has opened: poll step 0, TLinkOpened, and with automatic polling the poll
    // timer started with the poll interval. False when the settings gave no interval
    // (poll timer left off).
    bool LinkOpened(std::string Port);
    // The port has closed or is closing: both timers off, the queue released, TLinkClosed
    // (once per opening; a call while closing, or on a closed link, raises nothing).
    void LinkClosed(TCloseReason Reason = TCloseReason::Requested, std::string Detail = {});
    // Automatic polling switched: the poll timer on or off with the interval it has.
    void SetAutoQuery(bool On);
    // A job that borrows the line (a scan) holds the queue: while held, a poll tick
    // queues nothing and a send tick sends nothing and stops the send timer; the job
    // sends its own commands and, when it lets go, starts the timers again.
    void SetHeld(bool On);
    bool Held() const;
    // The link is connected (as the link itself says).
    bool LinkConnected() const;

    // --- intake ---
    // A block of received bytes (the port's OnRxBuf). An observer that throws ends the
    // events of its own frame only; the rest of the block is still taken in, and then
    // the first exception leaves this call (the port reports it to OnHandOverException).
    // Not to be called from an observer (std::logic_error).
    void ReceiveData(std::span<const std::uint8_t> Block);
    // The codec, for reading its state (HeldSize); its events are bound by the core.
    TDH& Codec();
    // Replaces the reply decoder (each good reply goes through it once).
    void SetReplyDecoder(TReplyDecoder Decoder);

  private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace aircon
