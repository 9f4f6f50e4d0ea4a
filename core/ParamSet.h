// Parameter sets: the sixteen user parameters of a controller kept in a text file, compared
// with what a controller holds, and written to it.
//
// The file is plain text, UTF-8, one "key = value" a line, so that a person can read it,
// edit it and diff two of them line by line:
//
//   # AirConTool 参数文件 ...
//   format_version = 1
//   saved_at = 2026-12-11 02:30:05.120
//
//   [controller]
//   address = 1
//   protocol_version = 1.0
//   device_name = ACSIM-2 split AC controller
//   software_version = V1.0.3 2026-12-01
//   vendor_name = Simulated Climate
//
//   [parameters]
//   on_temp = 28                    # 空调开机温度 (0x80)
//   return_air_temp_low = -5        # 回风温度下限 (0x83)
//   run_mode = 制冷                 # 运行模式设定 (0xC0)：自动 制冷 除湿 送风 制热 新风 空调
//
// A parameter's key is its field key (the metric label), or its caption; numbers are
// decimal (the lower return-air limit signed, as the panel shows it, the others 0 to
// 65535), the four choices are their words as the panel shows them. "#" starts a comment;
// in [parameters] also after a value. A file may hold only some parameters: only those
// are compared and written. Every mistake is reported with its line and reason, and a
// file with any mistake is not used at all.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Clock.h"
#include "Events.h"
#include "Model.h"
#include "Monitor.h"
#include "ParamJob.h"

namespace aircon {

inline constexpr int ParamSetFormatVersion = 1;
inline constexpr std::size_t ParamSetCount = ParamReadingCount + ParamItemCount;

// Who the parameters belong to, as the controller reported it (0x4F, 0x50, 0x51). Texts
// are UTF-8 with the padding cut (VendorFieldText).
struct TParamSetIdentity {
    std::optional<std::uint8_t> Address;
    std::optional<std::uint8_t> ProtocolVersion;  // the VER byte
    std::optional<std::string> Name;
    std::optional<std::string> SoftwareVersion;
    std::optional<std::string> Vendor;
    friend bool operator==(const TParamSetIdentity&, const TParamSetIdentity&) = default;
};

// A parameter set: a value per ParamFields position as the panel shows it (signed for the
// lower return-air limit); empty where the set holds none.
struct TParamSet {
    std::string SavedAt;  // local time text, as written
    TParamSetIdentity Identity;
    std::array<std::optional<std::int32_t>, ParamSetCount> Values{};
    std::size_t Count() const;
    friend bool operator==(const TParamSet&, const TParamSet&) = default;
};

// The set the controller reported: every parameter it carried and detected.
TParamSet ParamSetOf(const TUserParams& Params, const TParamSetIdentity& Identity,
                     std::string SavedAt);
// The value of position Index as the panel shows it; empty when not reported or not
// detected.
std::optional<std::int32_t> ParamSetValue(const TUserParams& Params, std::size_t Index);
// A value as a person reads it: the word of a choice ("制冷"), the number otherwise; a
// choice code without a word as its number.
std::string ParamSetValueText(std::size_t Index, std::int32_t Value);

// The file's text. Parameters the set does not hold are written as comments saying why.
std::string FormatParamSet(const TParamSet& Set);

enum class TParamSetErrorKind {
    NotAParamSet,  // no format_version before the first section, or not text
    OtherFormat,   // another format version
    Syntax,        // a line that is no "key = value" or "[section]"
    UnknownSection,
    UnknownKey,   // an unknown parameter (or header / identity key)
    Duplicate,    // a key given twice
    OutOfRange,   // a number outside the parameter's range, or no number
    NotAChoice,   // a word the controller cannot take
    BadIdentity,  // an address or protocol version that is none
    Empty,        // no parameter at all
};

struct TParamSetError {
    int Line = 0;  // 1-based; 0 for the file as a whole
    TParamSetErrorKind Kind = TParamSetErrorKind::Syntax;
    std::string Reason;    // English: "run_mode: '强冷' is not a choice the controller takes ..."
    std::string ReasonZh;  // Chinese, for the window
    // "line 9: ..." and "第 9 行：..."
    std::string Text() const;
    std::string TextZh() const;
};

struct TParamSetParse {
    std::optional<TParamSet> Set;  // empty when there is any error
    std::vector<TParamSetError> Errors;
};

TParamSetParse ParseParamSet(std::string_view Text);
// Reads and parses the file at Path; a file that cannot be read, or is larger than any
// parameter set (64 KiB), is one error at line 0.
TParamSetParse ReadParamSetFile(const std::string& Path);

// One row of a comparison: a parameter, its value in the file and in the controller.
struct TParamCompareRow {
    std::size_t Index = 0;  // ParamFields position
    std::uint8_t Code = 0;
    std::string_view Key;
    std::string_view Caption;
    std::optional<std::int32_t> File;        // empty: not in the file
    std::optional<std::int32_t> Controller;  // empty: not reported, or not detected
    std::string FileText;                    // "" when not in the file
    std::string ControllerText;              // "未检测" / "未读到" when empty
    bool InFile = false;
    bool Differs = false;  // in the file, and the controller does not hold that value
};

// An identity field of the file that does not match the controller's.
struct TIdentityMismatch {
    std::string_view Key;      // "device_name", "vendor_name"
    std::string_view Caption;  // "采集器名称", "厂商名称"
    std::string File;
    std::string Controller;
};

struct TParamComparison {
    std::vector<TParamCompareRow> Rows;  // all sixteen, in panel order
    std::size_t InFile = 0;
    std::size_t Differing = 0;
    bool Partial() const { return InFile < ParamSetCount; }
    // The file was saved from a controller of another name or vendor.
    std::vector<TIdentityMismatch> Mismatches;
    // The writes that make the controller hold the file's values, in panel order.
    std::vector<TParamWrite> Writes() const;
};

TParamComparison CompareParamSet(const TParamSet& File, const TUserParams& Controller,
                                 const TParamSetIdentity& ControllerIdentity);

// Holds automatic polling off while a job has the line: the poll timer is stopped and given
// back as it was when the pause ends (unless the link closed meanwhile). Commands queued
// still leave one per reply time-out.
class TPollPause : private IMonitorObserver {
  public:
    explicit TPollPause(TMonitor& Monitor);
    ~TPollPause() override;
    TPollPause(const TPollPause&) = delete;
    TPollPause& operator=(const TPollPause&) = delete;
    void End();

  private:
    void OnLinkClosed(const TLinkClosed&) override { FWasPolling = false; }

    TMonitor& FMonitor;
    bool FWasPolling = false;
    bool FEnded = false;
};

// Reads what a parameter set needs: the identity (0x4F, 0x50, 0x51) and the parameters
// (0x47), through the command queue, with automatic polling paused. Ends when every
// command has its reply, its refusal or its time-out, or when the link closes.
class TParamSetReader : private IMonitorObserver {
  public:
    explicit TParamSetReader(TMonitor& Monitor);
    ~TParamSetReader() override;
    TParamSetReader(const TParamSetReader&) = delete;
    TParamSetReader& operator=(const TParamSetReader&) = delete;

    void Start();
    bool Done() const { return FDone; }
    // The parameters, when 0x47 was answered.
    const std::optional<TUserParams>& Params() const { return FParams; }
    const TParamSetIdentity& Identity() const { return FIdentity; }
    // Why there are no parameters: "无应答" / "被拒绝：..." (English in FailureEn).
    const std::string& Failure() const { return FFailure; }
    const std::string& FailureEn() const { return FFailureEn; }

    std::function<void()> OnDone;

  private:
    void OnCommandSent(const TCommandSent& e) override;
    void OnReplyReceived(const TReplyReceived& e) override;
    void OnReplyMissing(const TReplyMissing& e) override;
    void OnLinkClosed(const TLinkClosed& e) override;
    void Conclude(std::uint8_t CID2);
    void Finish();

    TMonitor& FMonitor;
    std::unique_ptr<TPollPause> FPause;
    std::vector<std::uint8_t> FWaiting;   // commands not concluded yet
    std::optional<std::uint8_t> FOnLine;  // the one of ours written last
    std::optional<TUserParams> FParams;
    TParamSetIdentity FIdentity;
    std::string FFailure, FFailureEn;
    bool FStarted = false;
    bool FDone = false;
};

// Writes a comparison's differing parameters (TParamJob: 0x49 one at a time, then 0x47 read
// back) with automatic polling paused until the job ends.
class TParamSetWriter {
  public:
    TParamSetWriter(TMonitor& Monitor, std::vector<TParamWrite> Writes);
    ~TParamSetWriter();
    TParamSetWriter(const TParamSetWriter&) = delete;
    TParamSetWriter& operator=(const TParamSetWriter&) = delete;

    void Start();
    bool Done() const { return FJob.Done(); }
    const TParamJob& Job() const { return FJob; }
    // How many parameters ended written and verified.
    std::size_t Verified() const;

    std::function<void(std::size_t Index)> OnProgress;
    std::function<void()> OnDone;

  private:
    TMonitor& FMonitor;
    TParamJob FJob;
    std::unique_ptr<TPollPause> FPause;
};

}  // namespace aircon
