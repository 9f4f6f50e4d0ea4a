// Feeds random byte streams, cut into random blocks, to the monitoring core's intake,
// with commands sent now and then in between, and checks what it raises.
//
// Input layout: the first byte seeds the block sizes and the commands; the rest is the
// stream. Invariants:
//  - every frame is reported once, the frames equal those of the byte-by-byte model,
//    and a frame is read as a reply right after it exactly when its check reason is
//    Ok (header and INFO as its character pairs say, INFO sized by the frame);
//  - every RTN-0 reply whose last command has a decoder that can read its INFO is
//    decoded exactly once, right after it, to what the decoder gives on its own;
//    nothing else is decoded; the decoders run over exact-size INFO copies, so a read
//    past the INFO shows under ASan;
//  - counts add up: noise + frame bytes + bytes held == bytes fed, and the link
//    counters' frames are their replies plus their error frames.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DhModel.h"
#include "FakeClock.h"
#include "LinkCounters.h"
#include "Monitor.h"

namespace {

using namespace aircon;

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

class TLink : public ILink {
  public:
    bool Connected() const override { return true; }
    std::int32_t Write(std::span<const std::uint8_t> Frame) override {
        return static_cast<std::int32_t>(Frame.size());
    }
};

class TChecker : public IMonitorObserver {
  public:
    TChecker(TMonitor& Monitor, const dhmodel::TCut& Model) : FMonitor(Monitor), FModel(Model) {}

    void OnFrameReceived(const TFrameReceived& e) override {
        Require(!FExpectReply && !FExpectDecoded, "a frame before the last one was done");
        const auto f = e.Frame;
        Line.insert(Line.end(), f.begin(), f.end());
        Require(f.size() >= 2 && f.size() <= TDH::InputBufferSize, "frame size");
        Require(f.front() == '~' && f.back() == '\r', "frame delimiters");
        Require(FFrames < FModel.Frames.size() && FModel.Frames[FFrames].size() == f.size() &&
                    std::memcmp(FModel.Frames[FFrames].data(), f.data(), f.size()) == 0,
                "frames match the byte-by-byte model");
        ++FFrames;
        FrameBytes += f.size();
        FFrame = f;
        FExpectReply = e.Check == TFrameCheck::Ok;
        if (!FExpectReply) ++ErrorFrames;
    }

    void OnReplyReceived(const TReplyReceived& e) override {
        Require(FExpectReply, "a reply without its frame");
        FExpectReply = false;
        Require(e.Frame.data() == FFrame.data() && e.Frame.size() == FFrame.size(),
                "the reply's frame is the frame just reported");
        Require(e.LastCID2 == FMonitor.LastCID2(), "read as the answer to the last command");
        Require(e.HasDecoder == HasDecoder(e.LastCID2), "decoder known");
        // Header and INFO as the frame's character pairs say, INFO sized by the frame.
        std::uint8_t bytes[TDH::InputBufferSize / 2];
        const std::size_t n = (FFrame.size() - 2) / 2;
        TDH::DeCodeFrame(FFrame, std::span(bytes, n));
        Require(e.Header == TDH_Header{bytes[0], bytes[1], bytes[2], bytes[3]} && e.Rtn == bytes[3],
                "header as received");
        Require(e.Info.size() == n - 8 &&
                    (e.Info.empty() || std::memcmp(bytes + 6, e.Info.data(), n - 8) == 0),
                "INFO from the frame size");
        ++Replies;
        if (e.Rtn != 0) return;
        // What the decoder makes of it, on an exact-size copy.
        auto copy = std::make_unique_for_overwrite<std::uint8_t[]>(e.Info.size());
        if (!e.Info.empty()) std::memcpy(copy.get(), e.Info.data(), e.Info.size());
        const TDH_Header h{e.Header.Ver, e.Header.Addr, e.Header.CID1, e.LastCID2};
        FExpected = DecodeReply(e.LastCID2, h, {copy.get(), e.Info.size()});
        FExpectDecoded = FExpected.has_value();
    }

    void OnReplyDecoded(const TDecodedReply& e) override {
        Require(FExpectDecoded, "decoded without an RTN-0 reply its decoder reads");
        Require(e.Data == *FExpected, "decoded as the decoder gives");
        Require(e.CID2 == FMonitor.LastCID2() && e.Header.CID2 == e.CID2, "decoded by last CID2");
        FExpectDecoded = false;
        ++Decoded;
    }

    void OnNoise(const TNoise& e) override {
        Require(e.Count > 0, "empty noise");
        Require(e.Bytes.size() == e.Count, "noise bytes as counted");
        Line.insert(Line.end(), e.Bytes.begin(), e.Bytes.end());
        Noise += e.Count;
    }

    // After each block: every reply had its events.
    void BlockDone() const { Require(!FExpectReply && !FExpectDecoded, "events missing"); }

    std::size_t Frames() const { return FFrames; }
    std::size_t FrameBytes = 0, Noise = 0, Replies = 0, ErrorFrames = 0, Decoded = 0;
    std::vector<std::uint8_t> Line;  // frames and noise in the order of their events

  private:
    TMonitor& FMonitor;
    const dhmodel::TCut& FModel;
    std::size_t FFrames = 0;
    std::span<const std::uint8_t> FFrame;  // valid from its frame event to its reply event
    bool FExpectReply = false;
    bool FExpectDecoded = false;
    std::optional<TReplyData> FExpected;
};

constexpr std::uint8_t kCommands[] = {0x42, 0x43, 0x44, 0x47, 0x4F, 0x50,
                                      0x51, 0x45, 0x49, 0x41, 0x80};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::uint32_t seed = data[0] * 2654435761u + 1;
    ++data;
    --size;

    TFakeClock clock;
    TLink link;
    TFixedPollSettings inputs{TPollSettings{1, 500, 350, false}};
    TMonitor monitor(clock, link, inputs);
    const dhmodel::TCut model = dhmodel::Cut({data, size});
    TChecker checker(monitor, model);
    TLinkCounters counters;
    monitor.AddObserver(checker);
    monitor.AddObserver(counters);

    for (std::size_t pos = 0; pos < size;) {
        seed = seed * 1103515245u + 12345u;
        if ((seed >> 12) % 4 == 0) {
            monitor.SendNoDataCmd(1, kCommands[(seed >> 20) % std::size(kCommands)]);
        }
        // Mostly small blocks, now and then one larger than the codec's buffer.
        const std::size_t want = (seed >> 16) % 8 == 0 ? (seed >> 8) % 3000 : (seed >> 16) % 64;
        const std::size_t n = std::min(size - pos, want);
        monitor.ReceiveData({data + pos, n});
        checker.BlockDone();
        pos += n;
    }

    Require(checker.Frames() == model.Frames.size(), "as many frames as the model");
    const std::size_t held = monitor.Codec().HeldSize();
    Require(held == model.Held, "held bytes match the model");
    Require(checker.Noise == model.Dropped, "noise matches the model");
    Require(checker.Noise + checker.FrameBytes + held == size, "every byte accounted for");
    // Frames and noise in line order give back the stream, but for the bytes held.
    Require(checker.Line.size() == size - held &&
                std::equal(checker.Line.begin(), checker.Line.end(), data),
            "frames and noise in line order");
    const TLinkCountersData& c = counters.Data();
    Require(c.Replies + c.ErrorFrames == checker.Frames(), "frames = replies + error frames");
    Require(c.Replies == checker.Replies && c.ErrorFrames == checker.ErrorFrames, "counters");
    Require(c.NoiseBytes == checker.Noise, "noise counted");
    return 0;
}
