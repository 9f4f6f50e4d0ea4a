// Feeds random blocks to the receive assembler and checks every reported frame.
//
// Input layout: the first byte seeds the block sizes; the rest is the stream.
// Invariants: each frame starts with "~", ends with a carriage return, holds
// neither inside, is at most 1024 bytes, raises exactly two events (the frame
// event, then the check event that CheckFrame selects), and the frames equal
// those of a byte-by-byte model that ignores block boundaries.
#include "DH.h"
#include "DhModel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::uint32_t seed = data[0] * 2654435761u + 1;
    ++data;
    --size;

    TDH dh;
    std::vector<std::string> frames;
    int pending = 0;  // 1 after the frame event, until its check event
    dh.OnRecDHFrame = [&](TDH& sender, std::span<const std::uint8_t> f) {
        Require(&sender == &dh, "sender");
        Require(pending == 0, "frame event while a frame is open");
        Require(f.size() >= 2 && f.size() <= TDH::InputBufferSize, "frame size");
        Require(f.front() == '~' && f.back() == '\r', "frame delimiters");
        Require(std::memchr(f.data() + 1, '~', f.size() - 2) == nullptr, "SOI inside a frame");
        Require(std::memchr(f.data() + 1, '\r', f.size() - 2) == nullptr, "EOI inside a frame");
        frames.emplace_back(f.begin(), f.end());
        pending = 1;
    };
    auto check = [&](bool correct) {
        return [&, correct](TDH&, std::span<const std::uint8_t> f) {
            Require(pending == 1, "check event without a frame event");
            Require(std::string(f.begin(), f.end()) == frames.back(), "same bytes in both events");
            Require(TDH::CheckFrame(f) == correct, "check event matches CheckFrame");
            std::vector<std::uint8_t> packet((f.size() - 2) / 2);
            TDH::DeCodeFrame(f, packet);
            Require(TDH::DeCodeFrame(f) == packet, "both decoders agree");
            pending = 0;
        };
    };
    dh.OnRecDHCorrectFrame = check(true);
    dh.OnRecDHErrorFrame = check(false);

    for (std::size_t pos = 0; pos < size;) {
        seed = seed * 1103515245u + 12345u;
        // Mostly small blocks, now and then one larger than the buffer.
        const std::size_t want = (seed >> 16) % 8 == 0 ? (seed >> 8) % 3000 : (seed >> 16) % 64;
        const std::size_t n = std::min(size - pos, want);
        dh.ReceiveData({data + pos, n});
        Require(pending == 0, "check event missing");
        Require(dh.HeldSize() < TDH::InputBufferSize, "held bytes within the buffer");
        pos += n;  // an empty block (n == 0) must change nothing
    }
    const dhmodel::TCut model = dhmodel::Cut({data, size});
    Require(frames == model.Frames, "frames match the byte-by-byte model");
    Require(dh.HeldSize() == model.Held, "held bytes match the model");
    return 0;
}
