#include "TrafficRows.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "Frame.h"
#include "HexText.h"
#include "Model.h"
#include "Platform.h"

namespace aircon {

namespace {

std::string Hex2(std::uint8_t Value) {
    return util::Hex(Value, 2);
}

// Small codes read best in decimal ("RTN 2"), the others in hexadecimal ("RTN 0x80").
std::string RtnCode(std::uint8_t Rtn) {
    return Rtn < 10 ? std::to_string(Rtn) : "0x" + Hex2(Rtn);
}

// The parameter of a set command: code 0x80 to 0x86 are the readings, 0xC0 to 0xC8 the
// items, in the order of the parameter field table.
std::string SetParamText(std::uint8_t Code, std::uint16_t Value) {
    if (Code >= 0x80 && Code < 0x80 + ParamReadingCount)
        return std::string(ParamFields[Code - 0x80].Caption) + "=" + std::to_string(Value);
    if (Code >= 0xC0 && Code < 0xC0 + ParamItemCount) {
        const std::size_t item = Code - 0xC0;
        std::string text = ParamItemText(item, Value);
        if (text.empty()) text = std::to_string(Value);
        return std::string(ParamFields[ParamReadingCount + item].Caption) + "=" + text;
    }
    return "0x" + Hex2(Code) + "=" + std::to_string(Value);
}

std::string RemoteText(std::uint8_t Code) {
    switch (Code) {
        case 0x10:
            return "开机";
        case 0x1F:
            return "关机";
        default:
            return "0x" + Hex2(Code);
    }
}

// Empties a slot for reuse, keeping what its buffers have grown to.
// The longest reply of the protocol: 0x51 with its 70 bytes of INFO.
constexpr std::size_t RowFrameBytes = 18 + 2 * 70;

void ResetRow(TTrafficRow& Row) {
    std::vector<std::uint8_t> frame = std::move(Row.Frame);
    std::string summary = std::move(Row.Summary);
    std::string port = std::move(Row.Port);
    Row = TTrafficRow{};
    frame.clear();
    summary.clear();
    port.clear();
    Row.Frame = std::move(frame);
    Row.Summary = std::move(summary);
    Row.Port = std::move(port);
}

}  // namespace

std::string LogFileFailureText(const std::string& Path, const TLogFileWriter::TFailure& Failure) {
    const std::string reason = platform::ErrorText(Failure.Error);
    switch (Failure.Step) {
        case TLogFileWriter::TStep::Open:
            return "无法打开文件 " + Path + "：" + reason;
        case TLogFileWriter::TStep::Write:
            return "写入文件 " + Path + " 失败：" + reason;
        case TLogFileWriter::TStep::Close:
            return "关闭文件 " + Path + " 失败：" + reason;
    }
    return Path + "：" + reason;
}

// ---------------------------------------------------------------------------
// Texts

std::string EscapedText(std::span<const std::uint8_t> Bytes) {
    std::string out;
    out.reserve(Bytes.size() + 8);
    for (std::uint8_t b : Bytes) {
        switch (b) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (b >= 0x20 && b < 0x7F) {
                    out += static_cast<char>(b);
                } else {
                    out += "\\x";
                    out += Hex2(b);
                }
        }
    }
    return out;
}

std::string CommandName(std::uint8_t CID2) {
    switch (CID2) {
        case CID2::Analog:
            return "读取模拟量";
        case CID2::Switches:
            return "读取开关量";
        case CID2::Alarms:
            return "读取告警";
        case CID2::Remote:
            return "遥控";
        case CID2::UserParams:
            return "读取用户参数";
        case CID2::SetParam:
            return "设置用户参数";
        case CID2::Version:
            return "读取协议版本号";
        case CID2::Address:
            return "读取设备地址";
        case CID2::VendorInfo:
            return "读取厂商信息";
        case 0xFF:
            return "尚未发送命令";
        default:
            return TDH::CID2ToString(CID2);
    }
}

std::string CommandText(std::uint8_t CID2) {
    return "0x" + Hex2(CID2) + " " + CommandName(CID2);
}

std::string_view DirectionText(TRowKind Kind) {
    switch (Kind) {
        case TRowKind::Sent:
            return "发送";
        case TRowKind::Received:
            return "接收";
        case TRowKind::Missing:
            return "无应答";
        case TRowKind::Noise:
            return "噪声";
        case TRowKind::LinkOpened:
        case TRowKind::LinkClosed:
            return "链路";
    }
    return "";
}

std::string_view DirectionText(const TTrafficRow& Row) {
    return Row.Heard ? "另一主机" : DirectionText(Row.Kind);
}

std::string ResponseText(const TTrafficRow& Row) {
    if (!Row.ResponseTime) return {};
    return std::to_string(Row.ResponseTime->count()) + " ms";
}

std::string_view RowLineHeader() {
    return "时间\t方向\t摘要\t响应\t十六进制\t文本";
}

std::string RowLine(const TTrafficRow& Row) {
    std::string line = LocalTimeText(Row.At.Wall);
    line.reserve(line.size() + Row.Summary.size() + Row.Frame.size() * 4 + 32);
    line += '\t';
    line += DirectionText(Row);
    line += '\t';
    line += Row.Summary;
    line += '\t';
    line += ResponseText(Row);
    line += '\t';
    line += SpacedHex(Row.Frame);
    line += '\t';
    line += EscapedText(Row.Frame);
    return line;
}

// ---------------------------------------------------------------------------
// The ring

TTrafficLog::TTrafficLog(std::size_t Capacity) : FCapacity(Capacity) {
    if (Capacity == 0) throw std::invalid_argument("TTrafficLog: capacity 0");
    // Every slot up front: appending never moves the rows.
    FRows.reserve(Capacity);
}

TTrafficLog::~TTrafficLog() {
    // The end of the program: give the disk a moment to take the last rows.
    if (FFile) FFile->Close(std::chrono::seconds(2));
}

const TTrafficRow& TTrafficLog::Row(std::size_t Index) const {
    if (Index >= FSize) throw std::out_of_range("TTrafficLog::Row");
    const std::size_t slot = FHead + Index;
    return FRows[slot < FCapacity ? slot : slot - FCapacity];
}

TTrafficRow& TTrafficLog::Slot(std::size_t Index) {
    const std::size_t slot = FHead + Index;
    return FRows[slot < FCapacity ? slot : slot - FCapacity];
}

const TTrafficRow* TTrafficLog::FindSeq(std::uint64_t Seq) const {
    if (Seq < FirstSeq() || Seq >= FEndSeq) return nullptr;
    return &Row(static_cast<std::size_t>(Seq - FirstSeq()));
}

void TTrafficLog::Clear() {
    CompleteOpen();
    FRows.clear();  // the reserved slots stay
    FHead = 0;
    FSize = 0;
    if (OnChanged) OnChanged();
}

void TTrafficLog::SetPaused(bool Paused) {
    CompleteOpen();
    if (Paused && !FPaused) FPauseEnd = FEndSeq;
    FPaused = Paused;
    if (OnChanged) OnChanged();
}

std::uint64_t TTrafficLog::ShownEnd() const {
    if (!FPaused) return FEndSeq;
    return std::max(FPauseEnd, FirstSeq());
}

TTrafficRow& TTrafficLog::Append(TRowKind Kind, const TStamp& At) {
    CompleteOpen();
    TTrafficRow* row;
    if (FSize < FCapacity) {
        row = &FRows.emplace_back();
        // A row keeps its frame buffer when the ring reuses it. Made large enough for any
        // reply of the protocol from the start, a slot that held a command and then holds
        // a reply does not grow: a full ring holds its ceiling instead of creeping up to it.
        row->Frame.reserve(RowFrameBytes);
        ++FSize;
    } else {
        row = &FRows[FHead];
        FHead = FHead + 1 < FCapacity ? FHead + 1 : 0;
        ResetRow(*row);
    }
    row->Seq = FEndSeq++;
    row->At = At;
    row->Kind = Kind;
    return *row;
}

void TTrafficLog::Complete(TTrafficRow& Row) {
    if (FFile) FFile->Write(RowLine(Row));
    if (OnChanged) OnChanged();
}

// A good frame whose reply event never came: complete it with what it has.
void TTrafficLog::CompleteOpen() {
    if (!FOpenRow) return;
    const std::uint64_t seq = *FOpenRow;
    FOpenRow.reset();
    if (seq < FirstSeq() || seq >= FEndSeq) return;
    Complete(Slot(static_cast<std::size_t>(seq - FirstSeq())));
}

// ---------------------------------------------------------------------------
// Text and files

std::string TTrafficLog::Text() const {
    std::string text(RowLineHeader());
    text += '\n';
    for (std::size_t i = 0; i < FSize; ++i) {
        text += RowLine(Row(i));
        text += '\n';
    }
    return text;
}

std::shared_ptr<TLogFileWriter> TTrafficLog::SaveText(const std::string& Path,
                                                      TLogFileWriter::TOnEvent OnEvent) const {
    // The rows are already in memory: no limit on what waits for the disk.
    auto writer = std::make_shared<TLogFileWriter>(Path, TLogFileWriter::TMode::Truncate,
                                                   std::string(RowLineHeader()), std::move(OnEvent),
                                                   std::numeric_limits<std::size_t>::max());
    for (std::size_t i = 0; i < FSize; ++i)
        writer->Write(RowLine(Row(i)));
    writer->Finish();
    return writer;
}

void TTrafficLog::StartFile(const std::string& Path, TLogFileWriter::TOnEvent OnEvent) {
    CompleteOpen();
    FFile = std::make_unique<TLogFileWriter>(Path, TLogFileWriter::TMode::Append,
                                             std::string(RowLineHeader()), std::move(OnEvent));
}

void TTrafficLog::StopFile() {
    CompleteOpen();
    FFile.reset();  // the writer's thread writes the rest and closes the file on its own
}

// ---------------------------------------------------------------------------
// Events

void TTrafficLog::OnLinkOpened(const TLinkOpened& E) {
    TTrafficRow& row = Append(TRowKind::LinkOpened, E.At);
    row.Class = TRowClass::Link;
    row.Port = E.Port;
    row.Summary = "打开 " + E.Port;
    FLastCid2 = 0xFF;
    Complete(row);
}

void TTrafficLog::OnLinkClosed(const TLinkClosed& E) {
    TTrafficRow& row = Append(TRowKind::LinkClosed, E.At);
    row.Class = TRowClass::Link;
    row.Summary = "关闭 " + std::string(CloseReasonText(E.Reason));
    row.Closed = E.Reason;
    row.Port = E.Detail;  // what the port reported, for a vanished or failed port
    Complete(row);
}

void TTrafficLog::OnCommandSent(const TCommandSent& E) {
    TTrafficRow& row = Append(TRowKind::Sent, E.At);
    row.Frame.assign(E.Frame.begin(), E.Frame.end());
    row.Cid2 = E.CID2;
    row.Count = E.Written > 0 ? static_cast<std::size_t>(E.Written) : 0;
    row.Heard = E.Heard;
    // Another master's command may be for another device type on the bus (power
    // supplies, batteries): its code then means what that device's protocol says.
    const bool foreign = E.Heard && E.Frame.size() > 6 && (E.Frame[5] != '6' || E.Frame[6] != '0');
    if (foreign) {
        row.Summary = "CID1 0x" + std::string(E.Frame.begin() + 5, E.Frame.begin() + 7) + " 0x" +
                      Hex2(E.CID2);
    } else {
        row.Summary = CommandText(E.CID2);
        if (E.CID2 == CID2::Remote) {
            row.Summary += " " + RemoteText(E.Item.Param);
        } else if (E.CID2 == CID2::SetParam) {
            row.Summary += " " + SetParamText(E.Item.Param, E.Item.Value);
        }
    }
    // To which address: several controllers may share the line.
    if (E.Heard) row.Summary = "地址 " + std::to_string(E.Addr) + " " + row.Summary;
    if (row.Count != E.Frame.size()) {
        row.Class = TRowClass::WriteFailed;
        row.Summary += ", 写入失败 (" + std::to_string(row.Count) + "/" +
                       std::to_string(E.Frame.size()) + " 字节)";
    } else {
        row.Class = TRowClass::Command;
    }
    FLastCid2 = E.CID2;
    Complete(row);
}

void TTrafficLog::OnFrameReceived(const TFrameReceived& E) {
    TTrafficRow& row = Append(TRowKind::Received, E.At);
    row.Frame.assign(E.Frame.begin(), E.Frame.end());
    row.Cid2 = FLastCid2;
    row.Check = E.Check;
    row.ResponseTime = E.ResponseTime;
    row.Late = E.Late;
    if (E.Check != TFrameCheck::Ok) {
        row.Class = TRowClass::ErrorFrame;
        row.Summary = FrameCheckText(E.Check);
        if (E.Late) row.Summary += " (迟到)";
        Complete(row);
        return;
    }
    // A frame that passed the check: its reply event follows and completes the row.
    row.Class = E.Late ? TRowClass::Late : TRowClass::Reply;
    row.Summary = E.Late ? "迟到应答" : "应答";
    FOpenRow = row.Seq;
}

void TTrafficLog::OnReplyReceived(const TReplyReceived& E) {
    if (!FOpenRow || *FOpenRow + 1 != FEndSeq) return;  // not the frame just cut
    FOpenRow.reset();
    TTrafficRow& row = Slot(FSize - 1);
    row.Rtn = E.Rtn;
    row.Cid2 = E.LastCID2;
    row.HasDecoder = E.HasDecoder;
    row.Decoded = E.Decode == TDecodeResult::Decoded;  // the core's one decoding
    std::string summary = row.Late ? "迟到 " : "";
    summary += "RTN " + RtnCode(E.Rtn) + " " + TDH::RtnToString(E.Rtn) + ", " +
               std::to_string(E.Info.size()) + " 字节";
    if (E.Rtn == 0 && E.HasDecoder && !row.Decoded) summary += ", 无法解码";
    row.Summary = std::move(summary);
    if (E.Rtn != 0) row.Class = TRowClass::RtnError;
    Complete(row);
}

void TTrafficLog::OnReplyMissing(const TReplyMissing& E) {
    TTrafficRow& row = Append(TRowKind::Missing, E.At);
    row.Class = TRowClass::Missing;
    row.Cid2 = E.CID2;
    row.Timeout = E.Timeout;
    row.SentAt = E.SentAt;
    row.Summary = "无应答 " + std::to_string(E.Timeout.count()) + " ms, " + CommandText(E.CID2);
    Complete(row);
}

void TTrafficLog::OnNoise(const TNoise& E) {
    TTrafficRow& row = Append(TRowKind::Noise, E.At);
    row.Class = TRowClass::Noise;
    row.Count = E.Count;
    // The bytes themselves, as far as a frame could reach: a longer run is line garbage
    // whose start says enough, and the ring stays bounded.
    const std::size_t kept = std::min(E.Bytes.size(), NoiseBytesKept);
    row.Frame.assign(E.Bytes.begin(), E.Bytes.begin() + static_cast<std::ptrdiff_t>(kept));
    row.Summary = "噪声 " + std::to_string(E.Count) + " 字节 (不属于任何帧)";
    if (kept < E.Bytes.size()) row.Summary += ", 记录前 " + std::to_string(kept) + " 字节";
    Complete(row);
}

}  // namespace aircon
