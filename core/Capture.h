// The capture file: every block the line carried, with its time and direction, as a
// pcap file (the classic format: a 24-byte file header, then per block a 16-byte record
// header with seconds, microseconds and lengths) of link type USER0 (147). Each record's
// data is one direction byte followed by the block's bytes exactly as they were read or
// written. Wireshark, tshark, tcpdump and every pcap library open it; a protocol can be
// assigned to USER0 in Wireshark (DLT User) with a header size of 1.
//
// Size limit, oldest first: the files FILE, FILE.1, ... FILE.9 together stay below the
// limit. When FILE would grow beyond a tenth of it, FILE.8 becomes FILE.9 (the old FILE.9
// is removed), ..., FILE becomes FILE.1, and a new FILE starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Clock.h"
#include "Events.h"

namespace aircon {

inline constexpr std::uint32_t CaptureLinkType = 147;  // LINKTYPE_USER0
inline constexpr std::uint32_t CaptureSnapLen = 65535;
inline constexpr int CaptureKept = 9;  // numbered files besides the current one

// The direction byte before each block.
enum class TCaptureDirection : std::uint8_t {
    Received = 0,  // read by the tool from its own line (the controller's replies)
    Sent = 1,      // written by the tool
    Heard = 2,     // read while listening: either master or device, the listener tells
};

struct TCaptureRecord {
    WallTime Time{};
    TCaptureDirection Direction = TCaptureDirection::Received;
    std::vector<std::uint8_t> Bytes;
};

// Writes the capture. As an observer of the monitor it takes the commands written; the
// host hands it every received block (TSession::OnBlock).
class TCaptureWriter : public IMonitorObserver {
  public:
    TCaptureWriter(IClock& Clock, std::string Path, std::uint64_t Limit);
    ~TCaptureWriter() override;
    TCaptureWriter(const TCaptureWriter&) = delete;
    TCaptureWriter& operator=(const TCaptureWriter&) = delete;

    // Opens (creates or replaces) the file; false with Error() when it cannot.
    bool Open();
    void Add(TCaptureDirection Direction, std::span<const std::uint8_t> Bytes);
    void Add(WallTime Time, TCaptureDirection Direction, std::span<const std::uint8_t> Bytes);
    void OnCommandSent(const TCommandSent& e) override;
    // A received block: Received, or Heard while listening.
    void SetListening(bool On) { FListening = On; }
    void Received(std::span<const std::uint8_t> Block);

    // The last failure ("cannot write /x.pcap: No space left on device"); empty when none.
    // A failed write closes the file; nothing more is written.
    const std::string& Error() const { return FError; }
    std::uint64_t FileSize() const { return FSize; }
    std::uint64_t FileLimit() const { return FLimit / (CaptureKept + 1); }
    // Called with the error, once, when writing fails.
    std::function<void(const std::string&)> OnError;

  private:
    bool Rotate();
    bool WriteHeader();
    void Fail(const std::string& What);

    IClock& FClock;
    std::string FPath;
    std::uint64_t FLimit;
    std::FILE* FFile = nullptr;
    std::uint64_t FSize = 0;
    bool FListening = false;
    std::string FError;
};

// A capture file read whole. Error names the file and the byte offset of what is wrong;
// the records before it are kept.
struct TCaptureFile {
    std::vector<TCaptureRecord> Records;
    std::string Error;
};
TCaptureFile ReadCapture(const std::string& Path);
// The same over bytes already read (Name is used in the error).
TCaptureFile ParseCapture(std::span<const std::uint8_t> Data, const std::string& Name);

// A clock that a replay moves: Now and WallNow are the time it was set to, and timers
// fire as it is moved past their deadlines.
class TReplayClock : public IClock {
  public:
    TReplayClock();
    ~TReplayClock() override;
    TReplayClock(const TReplayClock&) = delete;
    TReplayClock& operator=(const TReplayClock&) = delete;
    SteadyTime Now() const override;
    WallTime WallNow() const override;
    std::unique_ptr<ITimerDriver> CreateTimer() override;
    // Moves to Wall (never back), firing every timer due on the way, in order. The first
    // call sets the start.
    void AdvanceTo(WallTime Wall);

  private:
    struct TState;
    class TDriver;
    std::shared_ptr<TState> FState;
};

class TListener;
// Replays a capture into a listener, every block in turn, at once: the listener opens
// under Name, each block comes at its recorded time (the clock moved there first, firing
// the pairing time-outs due on the way), a last command waits its pairing time-out, and
// the listener closes. Before (when given) is called before each block and ends the
// replay by returning false (a paced replay sleeps in it).
void ReplayCapture(const TCaptureFile& File, const std::string& Name, TReplayClock& Clock,
                   TListener& Listener,
                   const std::function<bool(const TCaptureRecord&)>& Before = {});

}  // namespace aircon
