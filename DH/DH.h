// The protocol codec: builds command frames, cuts verified frames out of the
// received byte stream, decodes them and names the protocol's codes.
//
// A frame is ASCII text: "~", VER ADR CID1 CID2/RTN, LENGTH (LCHKSUM + LENID),
// INFO, CHKSUM, carriage return; every byte as two hexadecimal characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Header of a frame. Passed as one 32-bit value whose lowest byte is Ver and
// whose highest byte is CID2 (RTN in a reply).
struct TDH_Header {
    std::uint8_t Ver = 0;
    std::uint8_t Addr = 0;
    std::uint8_t CID1 = 0;
    std::uint8_t CID2 = 0;

    constexpr std::uint32_t ToUInt32() const {
        return std::uint32_t{Ver} | (std::uint32_t{Addr} << 8) | (std::uint32_t{CID1} << 16) |
               (std::uint32_t{CID2} << 24);
    }
    static constexpr TDH_Header FromUInt32(std::uint32_t v) {
        return TDH_Header{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    }
    friend constexpr bool operator==(const TDH_Header&, const TDH_Header&) = default;
};
static_assert(sizeof(TDH_Header) == 4);

class TDH;

// A frame event: Frame holds one frame exactly as received, from its "~" to
// its carriage return inclusive (Frame.size() is the frame's Size). The bytes
// are valid only during the call.
//
// It is bound like a std::function (a lambda, a std::function, or nullptr to
// unbind) and tested with if (event). Copies share one handler: the codec calls a
// copy, so a handler may clear or rebind its own event while it runs, and a copy
// costs a count, not an allocation. The count is not atomic: like the codec, an
// event belongs to one thread.
class TRecDHFrameEvent {
  public:
    using THandler = std::function<void(TDH& Sender, std::span<const std::uint8_t> Frame)>;

    TRecDHFrameEvent() noexcept = default;
    TRecDHFrameEvent(std::nullptr_t) noexcept {}
    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, TRecDHFrameEvent> &&
             std::is_constructible_v<THandler, F&&>) TRecDHFrameEvent(F&& Handler) {
        THandler h(std::forward<F>(Handler));
        if (h) FNode = new TNode{1, std::move(h)};
    }
    TRecDHFrameEvent(const TRecDHFrameEvent& Other) noexcept : FNode(Other.FNode) {
        if (FNode) ++FNode->Count;
    }
    TRecDHFrameEvent(TRecDHFrameEvent&& Other) noexcept : FNode(Other.FNode) {
        Other.FNode = nullptr;
    }
    TRecDHFrameEvent& operator=(TRecDHFrameEvent Other) noexcept {
        std::swap(FNode, Other.FNode);
        return *this;
    }
    ~TRecDHFrameEvent() { Release(); }

    explicit operator bool() const noexcept { return FNode != nullptr; }
    void operator()(TDH& Sender, std::span<const std::uint8_t> Frame) const {
        FNode->Handler(Sender, Frame);
    }

  private:
    struct TNode {
        std::size_t Count;
        THandler Handler;
    };
    void Release() noexcept {
        if (FNode && --FNode->Count == 0) delete FNode;
        FNode = nullptr;
    }
    TNode* FNode = nullptr;
};

class TDH {
  public:
    static constexpr std::size_t InputBufferSize = 1024;

    TDH();
    ~TDH();
    TDH(const TDH&) = delete;
    TDH& operator=(const TDH&) = delete;

    // --- frame format and command builder (stateless) ---

    // Sum of Buffer[1] .. Buffer[size-1] (the SOI is never summed), returned
    // as its two's complement modulo 65536.
    static std::uint16_t CalcChkSum(std::span<const std::uint8_t> Buffer);
    static std::uint8_t CalcLChkSum(std::uint16_t LENID);
    static std::uint16_t GetCmdInfoLen(std::uint8_t CID2);
    static std::uint16_t GetCmdPacketLen(std::uint8_t CID2);
    // Writes the whole command frame into Packet, which must hold
    // 18 + 2 * Datas.size() bytes (std::length_error otherwise); LENID comes
    // from the CID2's INFO length, never from Datas.size().
    static void GenCmdPacket(TDH_Header Header, std::span<std::uint8_t> Packet,
                             std::span<const std::uint8_t> Datas);
    // Decodes the (Frame.size() - 2) / 2 character pairs after the SOI into
    // Packet; never writes more than Packet.size() bytes.
    static void DeCodeFrame(std::span<const std::uint8_t> Frame, std::span<std::uint8_t> Packet);
    static std::vector<std::uint8_t> DeCodeFrame(std::span<const std::uint8_t> Frame);
    static std::string RtnToString(std::uint8_t RTN);

    // --- protocol vocabulary ---
    static std::string CID1ToString(std::uint8_t CID1);
    static std::string CID2ToString(std::uint8_t CID2);
    static std::string DataFlagToString(std::uint8_t DataFlag);
    static std::string GetStandAiString(std::uint8_t CID1, std::int32_t Index);
    static std::string GetStandDiString(std::uint8_t CID1, std::int32_t Index);
    static std::string GetStandAlarmString(std::uint8_t CID1, std::int32_t Index);
    static std::string GetStandParamString(std::uint8_t CID1, std::int32_t Index);

    // --- receive assembler ---

    // Appends a received block and reports every complete frame in it, in
    // order: OnRecDHFrame, then OnRecDHCorrectFrame or OnRecDHErrorFrame.
    // A frame runs from the last "~" before a carriage return to that carriage
    // return; frames longer than InputBufferSize bytes are dropped.
    // Bytes that belong to no frame (before a "~", after a carriage return, a
    // frame restarted by a later "~" or grown beyond the buffer) are reported
    // through OnRecDHNoise in the place they had on the line: each run of them
    // once, before the frame that follows it or at the end of the block.
    // Bytes of an incomplete frame held for the next block are not noise yet.
    // A frame is reported once. A handler that throws ends the events of its own
    // frame only: the rest of the block is still cut and reported and an
    // incomplete tail is held, then the first exception leaves this call (the
    // serial port's hand-over passes it to its OnHandOverException).
    // Handlers are called through copies of the events, so a handler may clear
    // or rebind any event, its own included, while it runs.
    // A handler must not feed the same codec (std::logic_error).
    void ReceiveData(std::span<const std::uint8_t> Buffer);

    // Number of bytes held: an incomplete frame waiting for its end.
    std::size_t HeldSize() const { return FInBufferSize; }

    TRecDHFrameEvent OnRecDHFrame;
    TRecDHFrameEvent OnRecDHErrorFrame;
    TRecDHFrameEvent OnRecDHCorrectFrame;
    // Bytes that belong to no frame, valid only during the call.
    TRecDHFrameEvent OnRecDHNoise;

    // True when the frame passes the check (CheckFrameReason in Frame.h gives the
    // reason when it does not).
    static bool CheckFrame(std::span<const std::uint8_t> Frame);

  private:
    void Cut(std::span<const std::uint8_t> Buffer);
    // Raises OnRecDHFrame, then the check event, for one frame.
    void ExtractFrame(std::span<const std::uint8_t> Frame);
    // Keeps bytes that belong to no frame until the next frame or the end of the block.
    void Drop(const std::uint8_t* Begin, const std::uint8_t* End);
    // Raises OnRecDHNoise for the bytes dropped since the last frame, if any.
    void FlushNoise();

    // The held incomplete frame: empty, or a "~" followed by bytes that are
    // neither "~" nor a carriage return, at most InputBufferSize - 1 of them.
    std::array<std::uint8_t, InputBufferSize> FInputBuffer{};
    std::size_t FInBufferSize = 0;
    bool FInReceive = false;           // guards against a handler feeding the codec
    std::exception_ptr FFirstError;    // the first handler failure of the current block
    std::vector<std::uint8_t> FNoise;  // dropped bytes not yet reported
};
