// The traffic log: one row per frame sent, per frame received, per reply that did not
// come (and per burst of noise, per opening and closing of the link), kept in a ring of
// the newest rows, written on request to a text file and, when the operator asks for it,
// continuously to a file of their choice.
//
// An observer of the monitoring core; everything here runs on the thread that drives
// the core, except the file writing, which runs on the writer's own thread.
//
// Pausing holds still what a view shows (the rows up to ShownEnd) while the log keeps
// recording: rows that arrive during a pause are kept in the ring and written to the
// file as always, and a view shows them once the pause ends. The ring stays bounded
// during a pause too: a pause that outlasts the ring loses its oldest rows from the
// ring just as without a pause (the file keeps them).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Events.h"
#include "HexText.h"
#include "LocalTime.h"
#include "LogFile.h"

namespace aircon {

enum class TRowKind : std::uint8_t {
    Sent,        // a command frame written to the line
    Received,    // a frame cut from the received bytes, good or not
    Missing,     // no frame within the reply time-out of a command
    Noise,       // received bytes in no frame
    LinkOpened,  // the link opened
    LinkClosed,  // the link closed
};

// How a row stands out.
enum class TRowClass : std::uint8_t {
    Command,      // a command sent
    Reply,        // a frame that passed the check, RTN 0
    RtnError,     // a frame that passed the check, RTN other than 0
    ErrorFrame,   // a frame that failed the check
    Late,         // a good frame for a command already reported missing
    Missing,      // no reply
    Noise,        // bytes in no frame
    Link,         // the link opened or closed
    WriteFailed,  // a command whose write did not complete
};

struct TTrafficRow {
    std::uint64_t Seq = 0;  // numbers the rows since the log was made; never reused
    TStamp At;
    TRowKind Kind = TRowKind::Sent;
    TRowClass Class = TRowClass::Command;
    // The frame as sent or received, or the noise bytes (at most NoiseBytesKept of them);
    // empty for other rows.
    std::vector<std::uint8_t> Frame;
    std::string Summary;  // "0x42 读取模拟量", "RTN 0 正常, 38 字节", "CHKSUM错"
    // Sent: the command's CID2. Received: the CID2 of the last command sent, which the
    // frame is read as the answer to (0xFF before any). Missing: the command unanswered.
    std::uint8_t Cid2 = 0xFF;
    std::optional<Millis> ResponseTime;   // received: from the end of the command's write
    TFrameCheck Check = TFrameCheck::Ok;  // received
    bool Late = false;                    // received after its command was reported missing
    std::uint8_t Rtn = 0;                 // received, passed the check
    bool HasDecoder = false;              // received: its command has a decoder
    bool Decoded = false;                 // received: RTN 0 and the decoder could read it
    Millis Timeout{};                     // missing: the reply time-out it was given
    SteadyTime SentAt{};                  // missing: the end of the command's write
    std::size_t Count = 0;                // noise: bytes; sent: bytes the port wrote
    TCloseReason Closed = TCloseReason::Requested;  // link closed: why
    std::string Port;    // link opened: the port's name; closed: what the port reported
    bool Heard = false;  // sent: another master's command, heard while listening
};

// Local calendar time to the millisecond, and hexadecimal pairs: the helper library's.
using util::LocalTimeText;
using util::SpacedHex;
// Bytes as text a person can read: printable ASCII as it is, a backslash doubled, and
// every other byte as an escape ("\r", "\n", "\t", "\x00").
std::string EscapedText(std::span<const std::uint8_t> Bytes);
// "读取模拟量", ... for the commands this tool sends; the protocol's name otherwise.
std::string CommandName(std::uint8_t CID2);
// "0x42 读取模拟量"
std::string CommandText(std::uint8_t CID2);
// The direction column: "发送", "接收", "无应答", "噪声", "链路".
std::string_view DirectionText(TRowKind Kind);
// The direction column of a row: another master's command reads "另一主机".
std::string_view DirectionText(const TTrafficRow& Row);
// "41 ms", or "" without a response time.
std::string ResponseText(const TTrafficRow& Row);
// One row as a tab-separated line of the saved and the continuous file: time with date,
// direction, summary, response time, hexadecimal, text.
std::string RowLine(const TTrafficRow& Row);
// The first line of those files: the column names.
std::string_view RowLineHeader();

// Why the traffic log's file failed, for the operator: "无法打开文件 <path>：<reason>",
// "写入文件 <path> 失败：<reason>", "关闭文件 <path> 失败：<reason>", the reason in the
// system's words.
std::string LogFileFailureText(const std::string& Path, const TLogFileWriter::TFailure& Failure);

// A noise row keeps the first bytes of its run, as many as the longest frame.
inline constexpr std::size_t NoiseBytesKept = TDH::InputBufferSize;

class TTrafficLog : public IMonitorObserver {
  public:
    static constexpr std::size_t DefaultCapacity = 10000;

    explicit TTrafficLog(std::size_t Capacity = DefaultCapacity);
    ~TTrafficLog() override;
    TTrafficLog(const TTrafficLog&) = delete;
    TTrafficLog& operator=(const TTrafficLog&) = delete;

    // --- the ring: the newest rows, oldest first ---
    std::size_t Capacity() const { return FCapacity; }
    std::size_t Size() const { return FSize; }
    const TTrafficRow& Row(std::size_t Index) const;            // 0 is the oldest held
    std::uint64_t FirstSeq() const { return FEndSeq - FSize; }  // Seq of Row(0)
    std::uint64_t EndSeq() const { return FEndSeq; }            // Seq of the next row
    // The row numbered Seq, when the ring still holds it.
    const TTrafficRow* FindSeq(std::uint64_t Seq) const;
    // Rows that left the ring, oldest first, since the log was made (Clear included).
    std::uint64_t Dropped() const { return FirstSeq(); }
    // Empties the ring; the file and the numbering go on.
    void Clear();

    // --- pause: what a view shows holds still, recording goes on ---
    void SetPaused(bool Paused);
    bool Paused() const { return FPaused; }
    // A view shows the rows from FirstSeq() up to here (EndSeq() unless paused).
    std::uint64_t ShownEnd() const;
    // Rows recorded during the pause that a view does not show yet.
    std::uint64_t HeldBack() const { return FEndSeq - ShownEnd(); }

    // --- text ---
    // Every row held, as the lines of a text file (column names first).
    std::string Text() const;
    // Saves Text() to Path on a writer thread of its own; the caller is not held up by
    // the disk. OnEvent says when it is done (Finished) or why not (Failed). The
    // returned writer may be dropped at once: the save goes on.
    std::shared_ptr<TLogFileWriter> SaveText(const std::string& Path,
                                             TLogFileWriter::TOnEvent OnEvent) const;

    // --- the continuous file: each row appended as it is recorded ---
    // Starts writing to Path (appending), replacing any file written so far. Failures
    // come through OnEvent on the writer's thread.
    void StartFile(const std::string& Path, TLogFileWriter::TOnEvent OnEvent);
    void StopFile();
    const TLogFileWriter* File() const { return FFile.get(); }

    // Called after each row is complete and after Clear (on the core's thread).
    std::function<void()> OnChanged;

    // --- IMonitorObserver ---
    void OnLinkOpened(const TLinkOpened&) override;
    void OnLinkClosed(const TLinkClosed&) override;
    void OnCommandSent(const TCommandSent&) override;
    void OnFrameReceived(const TFrameReceived&) override;
    void OnReplyReceived(const TReplyReceived&) override;
    void OnReplyMissing(const TReplyMissing&) override;
    void OnNoise(const TNoise&) override;

  private:
    TTrafficRow& Slot(std::size_t Index);  // Row(Index), to complete it
    TTrafficRow& Append(TRowKind Kind, const TStamp& At);
    void Complete(TTrafficRow& Row);
    void CompleteOpen();

    std::size_t FCapacity;
    std::vector<TTrafficRow> FRows;  // the ring's slots, reused once it is full
    std::size_t FHead = 0;           // slot of the oldest row
    std::size_t FSize = 0;
    std::uint64_t FEndSeq = 0;
    bool FPaused = false;
    std::uint64_t FPauseEnd = 0;
    // A good frame's row waits for its reply event to complete it.
    std::optional<std::uint64_t> FOpenRow;
    std::uint8_t FLastCid2 = 0xFF;
    std::unique_ptr<TLogFileWriter> FFile;
};

}  // namespace aircon
