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
    std::string cur;
    bool in = false;
    for (char c : Stream) {
        if (c == '~') {
            if (in) out.Dropped += cur.size();
            cur = "~";
            in = true;
        } else if (!in) {
            ++out.Dropped;
        } else {
            cur += c;
            if (c == '\r') {
                out.Frames.push_back(cur);
                in = false;
            } else if (cur.size() >= TDH::InputBufferSize) {
                out.Dropped += cur.size();
                in = false;
            }
        }
    }
    out.Held = in ? cur.size() : 0;
    return out;
}

inline TCut Cut(std::span<const std::uint8_t> Stream) {
    return Cut(std::string_view(reinterpret_cast<const char*>(Stream.data()), Stream.size()));
}

}  // namespace dhmodel
