// A parameter write with its read-back: one or several (code, value) pairs written with
// 0x49, one at a time through the monitor's command queue, each waiting for its reply or
// its time-out before the next goes out; then, when the controller took any, the
// parameters read back with 0x47 and each accepted value compared with what the
// controller holds. The job reports each parameter's outcome as it becomes known and
// once at the end. It lives as long as its host keeps it; a closed link ends it, the
// parameters not yet concluded counting as unanswered.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Events.h"
#include "Monitor.h"

namespace aircon {

struct TParamWrite {
    std::uint8_t Code = 0;  // 0x80 to 0x86, 0xC0 to 0xC8
    std::uint16_t Value = 0;
    friend bool operator==(const TParamWrite&, const TParamWrite&) = default;
};

enum class TParamOutcome {
    Waiting,      // not sent yet
    Sent,         // written, no reply yet
    Accepted,     // RTN 0, the read-back not in yet
    Verified,     // accepted, and the read-back holds the value
    Different,    // accepted, but the read-back holds another value (ReadBack)
    NotReadBack,  // accepted, but the read-back got no usable reply
    Refused,      // a reply with RTN other than 0 (Rtn)
    NoReply,      // no reply within the time-out, or the link closed first
};

struct TParamResult {
    TParamWrite Write;
    TParamOutcome Outcome = TParamOutcome::Waiting;
    std::uint8_t Rtn = 0;                   // Refused: the reply's RTN
    std::optional<std::uint16_t> ReadBack;  // what the read-back gave for this code
};

// The outcome as the operator reads it: "已发送", "已接受，正在回读", "已写入并回读确认",
// "控制器回读值为 30，与设定值 32 不同", "被拒绝：无效数据", "无应答", ...
std::string ParamOutcomeText(const TParamResult& Result);

// A parameter's 16-bit word as the panel shows it: signed for the lower return-air limit.
std::string ParamWordText(std::uint8_t Code, std::uint16_t Word);

// What 0x47 gives for a parameter code (empty for a code it does not carry).
std::optional<std::uint16_t> ParamValueOf(const TUserParams& Params, std::uint8_t Code);

class TParamJob : private IMonitorObserver {
  public:
    TParamJob(TMonitor& Monitor, std::vector<TParamWrite> Writes);
    ~TParamJob() override;
    TParamJob(const TParamJob&) = delete;
    TParamJob& operator=(const TParamJob&) = delete;

    // Starts observing the monitor and queues the first write.
    void Start();
    bool Done() const { return FDone; }
    const std::vector<TParamResult>& Results() const { return FResults; }
    // The read-back's record, once it came.
    const std::optional<TUserParams>& ReadBack() const { return FReadBack; }

    // A parameter's outcome changed (its index in Results).
    std::function<void(std::size_t Index)> OnProgress;
    // Every parameter concluded.
    std::function<void()> OnDone;

  private:
    enum class TStep { Idle, Writing, Reading, Done };
    void OnCommandSent(const TCommandSent& Sent) override;
    void OnReplyReceived(const TReplyReceived& Reply) override;
    void OnReplyMissing(const TReplyMissing& Missing) override;
    void OnLinkClosed(const TLinkClosed& Closed) override;

    TIntCMD Item(std::size_t Index) const;
    void Conclude(TParamOutcome Outcome, std::uint8_t Rtn = 0);
    void Next();
    void ReadBackDone(const TUserParams* Params);
    void Finish();
    void Set(std::size_t Index, TParamOutcome Outcome);

    TMonitor& FMonitor;
    std::vector<TParamResult> FResults;
    std::optional<TUserParams> FReadBack;
    TStep FStep = TStep::Idle;
    std::size_t FCurrent = 0;
    bool FOnLine = false;  // the current command was written and awaits its outcome
    bool FDone = false;
};

}  // namespace aircon
