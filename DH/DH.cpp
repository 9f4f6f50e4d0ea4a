#include "DH.h"

#include "Frame.h"
#include "Hex.h"
#include "StandardNames.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::uint8_t SOI = 0x7E;  // "~"
constexpr std::uint8_t EOI = 0x0D;  // carriage return

// Frame without INFO: SOI, 12 header/LENGTH characters, 4 CHKSUM characters, EOI.
constexpr std::size_t MinFrameSize = 18;

using dhhex::HexCharToNibble;
using dhhex::HexStrToByte;
using dhhex::NibbleToHexChar;
using dhhex::PutHexByte;

const std::uint8_t* FindFirst(const std::uint8_t* p, std::size_t n, std::uint8_t v) {
    return n ? static_cast<const std::uint8_t*>(std::memchr(p, v, n)) : nullptr;
}

// The first "~" or carriage return in [p, end), or end.
const std::uint8_t* FindDelimiter(const std::uint8_t* p, const std::uint8_t* end) {
#if defined(__SSE2__)
    const __m128i soi = _mm_set1_epi8(static_cast<char>(SOI));
    const __m128i eoi = _mm_set1_epi8(static_cast<char>(EOI));
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, soi), _mm_cmpeq_epi8(v, eoi)));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#endif
    while (p != end && *p != SOI && *p != EOI)
        ++p;
    return p;
}

// The standard name of channel Index (counted from 1) of the split air conditioner, or
// "通道" Index ":" for any other channel or device type.
template <std::size_t N>
std::string StandName(std::uint8_t CID1, std::int32_t Index, const std::string_view (&Names)[N]) {
    if (CID1 == 0x60 && Index >= 1 && Index <= static_cast<std::int32_t>(N))
        return std::string(Names[Index - 1]);
    return "通道" + std::to_string(Index) + ":";
}

}  // namespace

TDH::TDH() = default;
TDH::~TDH() = default;

// ---------------------------------------------------------------------------
// Frame format and command builder

std::uint16_t TDH::CalcChkSum(std::span<const std::uint8_t> Buffer) {
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < Buffer.size(); ++i)
        sum += Buffer[i];
    return static_cast<std::uint16_t>(~sum + 1);
}

std::uint8_t TDH::CalcLChkSum(std::uint16_t LENID) {
    const unsigned n = ((LENID >> 8) & 0xF) + ((LENID >> 4) & 0xF) + (LENID & 0xF);
    return static_cast<std::uint8_t>((~n + 1) & 0xF);
}

std::uint16_t TDH::GetCmdInfoLen(std::uint8_t CID2) {
    switch (CID2) {
        case 0x45:
        case 0x4A:
        case 0x4B:
        case 0x4C:
        case 0x80:
            return 1;
        case 0x48:
            return 5;
        case 0x49:
            return 3;
        case 0x4E:
            return 7;
        default:
            return 0;
    }
}

std::uint16_t TDH::GetCmdPacketLen(std::uint8_t CID2) {
    return static_cast<std::uint16_t>((GetCmdInfoLen(CID2) + 9) * 2);
}

void TDH::GenCmdPacket(TDH_Header Header, std::span<std::uint8_t> Packet,
                       std::span<const std::uint8_t> Datas) {
    if (Packet.size() < MinFrameSize || Datas.size() > (Packet.size() - MinFrameSize) / 2) {
        throw std::length_error("TDH::GenCmdPacket: packet buffer too small for the frame");
    }
    std::uint8_t* out = Packet.data();
    std::size_t pos = 0;
    out[pos++] = SOI;
    PutHexByte(out, pos, Header.Ver);
    PutHexByte(out, pos, Header.Addr);
    PutHexByte(out, pos, Header.CID1);
    PutHexByte(out, pos, Header.CID2);
    const std::uint16_t lenid = static_cast<std::uint16_t>(2 * GetCmdInfoLen(Header.CID2));
    const std::uint16_t length =
        static_cast<std::uint16_t>((CalcLChkSum(lenid) << 12) | (lenid & 0x0FFF));
    PutHexByte(out, pos, static_cast<std::uint8_t>(length >> 8));
    PutHexByte(out, pos, static_cast<std::uint8_t>(length));
    for (std::uint8_t b : Datas)
        PutHexByte(out, pos, b);
    const std::uint16_t chk = CalcChkSum(Packet.first(pos));
    PutHexByte(out, pos, static_cast<std::uint8_t>(chk >> 8));
    PutHexByte(out, pos, static_cast<std::uint8_t>(chk));
    out[pos] = EOI;
}

#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void TDH::DeCodeFrame(std::span<const std::uint8_t> Frame, std::span<std::uint8_t> Packet) {
    const std::size_t pairs = Frame.size() >= 2 ? (Frame.size() - 2) / 2 : 0;
    const std::size_t n = std::min(pairs, Packet.size());
    if (n == 0) return;  // an empty frame may have no storage to point past
    const std::uint8_t* in = Frame.data() + 1;
    std::uint8_t* out = Packet.data();
    // Table look-ups do not vectorize well: a plain loop is the fastest here.
#if defined(__clang__)
#pragma clang loop vectorize(disable)
#endif
    for (std::size_t i = 0; i < n; ++i)
        out[i] = HexStrToByte(in[2 * i], in[2 * i + 1]);
}

std::vector<std::uint8_t> TDH::DeCodeFrame(std::span<const std::uint8_t> Frame) {
    std::vector<std::uint8_t> packet(Frame.size() >= 2 ? (Frame.size() - 2) / 2 : 0);
    DeCodeFrame(Frame, packet);
    return packet;
}

std::string TDH::RtnToString(std::uint8_t RTN) {
    switch (RTN) {
        case 0x00:
            return "正常";
        case 0x01:
            return "通信版本错";
        case 0x02:
            return "CHKSUM错";
        case 0x03:
            return "LCHKSUM错";
        case 0x04:
            return "CID2无效";
        case 0x05:
            return "命令格式错";
        case 0x06:
            return "无效数据";
        default:
            break;
    }
    if (RTN >= 0x80 && RTN <= 0xEF) return "其它错误(用户自定义)";
    return "无效RTN";
}

// ---------------------------------------------------------------------------
// Receive assembler and frame check

// The check lives beside the receive assembler, which runs it on every frame.
TFrameCheck CheckFrameReason(std::span<const std::uint8_t> Frame) {
    const std::size_t size = Frame.size();
    if (size < MinFrameSize) return TFrameCheck::TooShort;
    if (size % 2 != 0) return TFrameCheck::OddLength;
    const std::uint8_t* f = Frame.data();
    const auto received = static_cast<std::uint16_t>(HexStrToByte(f[size - 5], f[size - 4]) << 8 |
                                                     HexStrToByte(f[size - 3], f[size - 2]));
    if (received != TDH::CalcChkSum(Frame.first(size - 5))) return TFrameCheck::ChkSum;
    const auto lenid = static_cast<std::uint16_t>(
        HexCharToNibble(f[10]) << 8 | HexCharToNibble(f[11]) << 4 | HexCharToNibble(f[12]));
    if (HexCharToNibble(f[9]) != TDH::CalcLChkSum(lenid)) return TFrameCheck::LChkSum;
    return TFrameCheck::Ok;
}

bool TDH::CheckFrame(std::span<const std::uint8_t> Frame) {
    return CheckFrameReason(Frame) == TFrameCheck::Ok;
}

// Each handler is called through a copy of its event, so a handler may clear or
// rebind its own event while it runs. An exception from a handler ends the events of
// that frame only; the first one is kept for ReceiveData to pass on.
void TDH::ExtractFrame(std::span<const std::uint8_t> Frame) {
    FlushNoise();
    try {
        if (const TRecDHFrameEvent handler = OnRecDHFrame) handler(*this, Frame);
        const TRecDHFrameEvent check = CheckFrame(Frame) ? OnRecDHCorrectFrame : OnRecDHErrorFrame;
        if (check) check(*this, Frame);
    } catch (...) {
        if (!FFirstError) FFirstError = std::current_exception();
    }
}

void TDH::Drop(const std::uint8_t* Begin, const std::uint8_t* End) {
    FNoise.insert(FNoise.end(), Begin, End);
}

// The run is taken out of FNoise before the handler runs, so the handler sees it once
// whatever it does.
void TDH::FlushNoise() {
    if (FNoise.empty()) return;
    std::vector<std::uint8_t> noise;
    noise.swap(FNoise);
    try {
        if (const TRecDHFrameEvent handler = OnRecDHNoise) handler(*this, noise);
    } catch (...) {
        if (!FFirstError) FFirstError = std::current_exception();
    }
    // Keep the buffer's room for the next run.
    noise.clear();
    if (FNoise.empty()) FNoise.swap(noise);
}

// The stream is cut like this:
//  - bytes outside a frame are dropped until a "~" starts one;
//  - a frame ends at the first carriage return after its "~";
//  - a "~" inside a frame starts the frame afresh, dropping what came before
//    it (a stray SOI never swallows the next reply);
//  - a frame that grows beyond InputBufferSize bytes is dropped as soon as it
//    does, and the search goes on with the following bytes.
// Frames that lie wholly inside the block are reported straight from it;
// only an incomplete frame at the end of a block is copied into FInputBuffer.
// The state is settled before a frame's events run, so an exception from a
// handler cannot make the same frame appear again.
void TDH::ReceiveData(std::span<const std::uint8_t> Buffer) {
    if (FInReceive) throw std::logic_error("TDH::ReceiveData called from its own frame event");
    FInReceive = true;
    struct Reset {
        TDH& dh;
        ~Reset() {
            dh.FInReceive = false;
            dh.FFirstError = nullptr;
        }
    } reset{*this};
    Cut(Buffer);
    FlushNoise();
    if (FFirstError) std::rethrow_exception(FFirstError);
}

void TDH::Cut(std::span<const std::uint8_t> Buffer) {
    const std::uint8_t* p = Buffer.data();
    const std::uint8_t* const end = p + Buffer.size();

    // Continue the held frame.
    if (FInBufferSize > 0 && p != end) {
        const std::size_t room = InputBufferSize - FInBufferSize;  // bytes it may still take
        const std::uint8_t* const limit = p + std::min<std::size_t>(room, end - p);
        const std::uint8_t* const d = FindDelimiter(p, limit);
        if (d == limit) {
            if (limit == end && static_cast<std::size_t>(end - p) < room) {
                std::memcpy(FInputBuffer.data() + FInBufferSize, p, end - p);
                FInBufferSize += end - p;
                return;
            }
            // Would grow beyond the buffer: no frame is this long.
            Drop(FInputBuffer.data(), FInputBuffer.data() + FInBufferSize);
            Drop(p, limit);
            FInBufferSize = 0;
            p = limit;
        } else if (*d == SOI) {
            // A new "~" restarts; the held bytes go.
            Drop(FInputBuffer.data(), FInputBuffer.data() + FInBufferSize);
            Drop(p, d);
            FInBufferSize = 0;
            p = d;
        } else {
            const std::size_t add = d - p + 1;
            std::memcpy(FInputBuffer.data() + FInBufferSize, p, add);
            const std::size_t size = FInBufferSize + add;
            FInBufferSize = 0;
            p = d + 1;
            ExtractFrame(std::span<const std::uint8_t>(FInputBuffer.data(), size));
        }
    }

    while (p != end) {
        const std::uint8_t* const soi = FindFirst(p, end - p, SOI);
        if (!soi) {  // nothing more starts a frame
            Drop(p, end);
            return;
        }
        Drop(p, soi);
        p = soi;
        const std::uint8_t* const limit = p + std::min<std::size_t>(InputBufferSize, end - p);
        const std::uint8_t* const d = FindDelimiter(p + 1, limit);
        if (d == limit) {
            if (limit == end && static_cast<std::size_t>(end - p) < InputBufferSize) {
                // Incomplete and short enough to be completed by the next block.
                std::memcpy(FInputBuffer.data(), p, end - p);
                FInBufferSize = end - p;
                return;
            }
            Drop(p, limit);  // InputBufferSize bytes and no end: dropped
            p = limit;
        } else if (*d == SOI) {
            Drop(p, d);  // a later "~" restarts the frame
            p = d;
        } else {
            const std::uint8_t* const start = p;
            p = d + 1;
            ExtractFrame(std::span<const std::uint8_t>(start, p));
        }
    }
}

// ---------------------------------------------------------------------------
// Protocol vocabulary

std::string TDH::CID1ToString(std::uint8_t CID1) {
    static constexpr const char* kHighVoltageEtc[] = {
        "进线柜(高压配电设备)", "出线柜(高压配电设备)",
        "母联柜(高压配电设备)", "直流操作电源柜(高压配电设备)",
        "进线柜(低压配电设备)", "配电柜(低压配电设备)",
        "稳压器(低压配电设备)", "预留",
        "柴油发电机组",         "燃气发电机组",
        "不间断电源(UPS)",      "逆变器"};
    static constexpr const char* kPower[] = {"开关电源系统(交流配电)", "开关电源系统(整流器)",
                                             "开关电源系统(直流配电)", "太阳能供电设备",
                                             "直流-直流变换器",        "风力发电设备",
                                             "蓄电池监测装置"};
    static constexpr const char* kAirCon[] = {"分散空调", "集中空调设备(冷冻系统)",
                                              "集中空调设备(空调系统)", "集中空调设备(配电系统)"};
    if (CID1 >= 0xD0) return "自定义设备";
    if (CID1 == 0x90) return "通用采集器";
    if (CID1 == 0x80) return "环境";
    if (CID1 >= 0x20 && CID1 <= 0x2B) return kHighVoltageEtc[CID1 - 0x20];
    if (CID1 >= 0x40 && CID1 <= 0x46) return kPower[CID1 - 0x40];
    if (CID1 >= 0x60 && CID1 <= 0x63) return kAirCon[CID1 - 0x60];
    return "预留";
}

std::string TDH::CID2ToString(std::uint8_t CID2) {
    static constexpr const char* kCommands[] = {"获取模拟量量化后的数据(浮点数)",
                                                "获取模拟量量化后的数据(定点数)",
                                                "获取开关输入状态",
                                                "获取告警状态",
                                                "遥控",
                                                "获取系统参数(浮点数)",
                                                "获取系统参数(定点数)",
                                                "设定系统参数(浮点数)",
                                                "设定系统参数(定点数)",
                                                "获取系统历史数据(浮点数)",
                                                "获取系统历史数据(定点数)",
                                                "获取历史告警",
                                                "获取检测模块时间",
                                                "设定检测模块时间",
                                                "获取通信协议版本号",
                                                "获取设备地址",
                                                "获取设备厂商信息"};
    static_assert(std::size(kCommands) == 0x51 - 0x41 + 1);
    if (CID2 >= 0x41 && CID2 <= 0x51) return kCommands[CID2 - 0x41];
    if (CID2 >= 0x80 && CID2 <= 0xEF) return "用户自定义";
    return "无效的CID2";
}

std::string TDH::DataFlagToString(std::uint8_t DataFlag) {
    std::string s = "\t告警：";
    s += (DataFlag & 0x01) ? '1' : '0';
    s += "\t开关：";
    s += (DataFlag & 0x10) ? '0' : '1';
    s += "\t子机号：";
    s += std::to_string(((DataFlag >> 1) & 0x7) + 1);
    return s;
}

std::string TDH::GetStandAiString(std::uint8_t CID1, std::int32_t Index) {
    return StandName(CID1, Index, dhnames::Analog);
}

std::string TDH::GetStandDiString(std::uint8_t CID1, std::int32_t Index) {
    return StandName(CID1, Index, dhnames::Switch);
}

std::string TDH::GetStandAlarmString(std::uint8_t CID1, std::int32_t Index) {
    return StandName(CID1, Index, dhnames::Alarm);
}

std::string TDH::GetStandParamString(std::uint8_t CID1, std::int32_t Index) {
    return StandName(CID1, Index, dhnames::Param);
}
