// A byte-by-byte model of how the receive assembler cuts a stream into frames,
// blind to block boundaries, for the tests and fuzzers of the codec and the
// monitoring core to compare against.
//
// The rules: a "~" starts a frame (what a frame held before it is dropped); a frame
// ends at the first carriage return after its "~"; a frame that reaches
// TDH::InputBufferSize bytes without one is dropped; bytes outside a frame are
// dropped. What is left at the end of the stream is held for the next block.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "DH.h"

namespace dhmodel {

struct TCut {
    std::vector<std::string> Frames;  // "~" to carriage return inclusive, in order
    std::size_t Dropped = 0;          // bytes in no frame and not held
    std::size_t Held = 0;             // bytes of the incomplete frame at the end
};

inline TCut Cut(std::string_view Stream) {
    TCut out;
    std::size_t start = 0;  // of the frame being collected
    bool in = false;
    for (std::size_t i = 0; i < Stream.size(); ++i) {
        const char c = Stream[i];
        const std::size_t size = i - start + 1;  // of the frame with this byte
        if (c == '~') {
            if (in) out.Dropped += i - start;
            start = i;
            in = true;
        } else if (!in) {
            ++out.Dropped;
        } else if (c == '\r') {
            out.Frames.emplace_back(Stream.substr(start, size));
            in = false;
        } else if (size >= TDH::InputBufferSize) {
            out.Dropped += size;
            in = false;
        }
    }
    out.Held = in ? Stream.size() - start : 0;
    return out;
}

inline TCut Cut(std::span<const std::uint8_t> Stream) {
    return Cut(std::string_view(reinterpret_cast<const char*>(Stream.data()), Stream.size()));
}

}  // namespace dhmodel
