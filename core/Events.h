// What happens on the link, as the monitoring core tells its observers.
//
// Events are raised synchronously on the thread that drives the core (the window's main
// thread), in the order things happen. Byte spans in an event are valid only during the
// call: an observer that keeps them copies them.
//
// For each received block, in line order: for every frame cut from it, TFrameReceived,
// then for a frame that passed the check TReplyReceived, then for an RTN-0 reply that the
// last command's decoder could read TDecodedReply; and for each run of bytes that belong
// to no frame, TNoise where the run was on the line: before the frame that follows it, or
// at the end of the block.
//
// A reply is decoded once, by the core, before TReplyReceived: that event carries the
// parsed record (or why there is none), and TDecodedReply hands on the same record.
// Observers never parse the INFO again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Clock.h"
#include "DH.h"
#include "Frame.h"
#include "Model.h"

// One queued command: Custom holds the command's CID2, Param the remote-control or
// parameter code, Value the parameter value.
struct TIntCMD {
    std::uint8_t Custom = 0;
    std::uint8_t Param = 0;
    std::uint16_t Value = 0;
    friend bool operator==(const TIntCMD&, const TIntCMD&) = default;
};
static_assert(sizeof(TIntCMD) == 4);

namespace aircon {

// Time stamps of an event: monotonic for intervals, calendar for display.
struct TStamp {
    SteadyTime Time{};
    WallTime Wall{};
};

struct TLinkOpened {
    TStamp At;
    std::string Port;
};

// Why the link closed.
enum class TCloseReason : std::uint8_t {
    Requested,  // the operator (or the program) closed it
    Gone,       // the port vanished: the device was unplugged or hung up
    Failed,     // the port reported a failure while open
};

// "主动关闭", "串口已消失", "串口故障".
constexpr std::string_view CloseReasonText(TCloseReason Reason) {
    switch (Reason) {
        case TCloseReason::Requested:
            return "主动关闭";
        case TCloseReason::Gone:
            return "串口已消失";
        case TCloseReason::Failed:
            return "串口故障";
    }
    return "";
}

struct TLinkClosed {
    TStamp At;
    TCloseReason Reason = TCloseReason::Requested;
    // Of a vanished or failed port: the component's text and the system's error.
    std::string Detail{};
};

// A command frame written to the line. Raised after the write returned, also when the
// write failed and the link closed during it.
struct TCommandSent {
    TStamp At;  // the end of the write: response times count from here
    TIntCMD Item;
    std::uint8_t Addr = 0;
    std::uint8_t CID2 = 0;
    std::span<const std::uint8_t> Frame;  // the whole frame, "~" to carriage return
    std::int32_t Written = 0;             // bytes the port reports as written
    // Another master's command, heard while listening: nothing was written (Written is
    // the frame's size, At when the block holding its carriage return came).
    bool Heard = false;
};

// A frame cut from the received stream, whether or not it passed the check.
struct TFrameReceived {
    TStamp At;                            // when the block holding its carriage return came
    std::span<const std::uint8_t> Frame;  // "~" to carriage return inclusive
    TFrameCheck Check = TFrameCheck::Ok;
    // The first frame after a command: the time from the end of that command's write.
    std::optional<Millis> ResponseTime;
    // The first frame after a command that had already been reported missing.
    bool Late = false;
};

// How a reply stands against the command it is read as the answer to. Polling one
// address as the master reads any frame as the answer to the last command sent, whatever
// its address or time, and ignores the verdict; modes that poll several addresses or
// listen use it to tell whose reply this is.
struct TReplyVerdict {
    // The reply's ADR is the address the last command went to (false when no command was
    // sent on this link).
    bool AddressAsAsked = false;
    // The first frame after the last command, before that command was reported missing.
    bool InTime = false;
    friend bool operator==(const TReplyVerdict&, const TReplyVerdict&) = default;
};

// What became of a reply's INFO.
enum class TDecodeResult {
    Decoded,    // Data holds the record
    Refused,    // RTN other than 0: not decoded
    NoDecoder,  // the last command sent has no decoder (remote control, set parameter, ...)
    Malformed,  // the INFO does not fit the layout of the last command's reply
};

// A frame that passed the check, read as the answer to the last command sent.
struct TReplyReceived {
    TStamp At;
    TDH_Header Header;  // VER, ADR, CID1 and RTN as received
    std::uint8_t Rtn = 0;
    std::uint8_t LastCID2 = 0xFF;         // the command it is read as the answer to
    std::span<const std::uint8_t> Info;   // the INFO bytes that arrived
    bool HasDecoder = false;              // LastCID2 has a decoder
    std::span<const std::uint8_t> Frame;  // the whole frame, "~" to carriage return
    TReplyVerdict Verdict;
    TDecodeResult Decode = TDecodeResult::NoDecoder;
    // The record the core parsed (Decode == Decoded), valid during the call only.
    const TReplyData* Data = nullptr;
};

// An RTN-0 reply decoded by the decoder of the last command sent: the record that
// TReplyReceived carried just before.
struct TDecodedReply {
    TStamp At;
    TDH_Header Header;  // the reply's VER, ADR, CID1, and the last CID2 sent
    std::uint8_t CID2 = 0;
    TReplyData Data;
};

// No frame arrived within the reply time-out of a command. Detected when the send timer
// next fires, which is one reply time-out after the command's write.
struct TReplyMissing {
    TStamp At;
    std::uint8_t CID2 = 0;
    TIntCMD Item;
    SteadyTime SentAt{};
    Millis Timeout{};  // the reply time-out the command was given
};

// Received bytes that belong to no frame (before a "~", after a carriage return, a frame
// restarted by a later "~", or dropped by the codec's buffer limit): one run of them.
struct TNoise {
    TStamp At;
    std::size_t Count = 0;                  // Bytes.size()
    std::span<const std::uint8_t> Bytes{};  // the bytes, as they came
};

// Any number of observers; each overrides what it needs.
class IMonitorObserver {
  public:
    virtual ~IMonitorObserver() = default;
    virtual void OnLinkOpened(const TLinkOpened&) {}
    virtual void OnLinkClosed(const TLinkClosed&) {}
    virtual void OnCommandSent(const TCommandSent&) {}
    virtual void OnFrameReceived(const TFrameReceived&) {}
    virtual void OnReplyReceived(const TReplyReceived&) {}
    virtual void OnReplyDecoded(const TDecodedReply&) {}
    virtual void OnReplyMissing(const TReplyMissing&) {}
    virtual void OnNoise(const TNoise&) {}
};

}  // namespace aircon
