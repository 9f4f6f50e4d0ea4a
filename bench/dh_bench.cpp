// Receive throughput of the codec on a long stream of realistic replies, cut
// into random blocks of 1 to 64 bytes, against a baseline that does the least
// any receiver must do with the same bytes: add up every character and turn
// every pair of hexadecimal characters into a byte once.
#include "DH.h"
#include "HexText.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace {

struct Stream {
    std::vector<std::uint8_t> bytes;
    std::vector<std::span<const std::uint8_t>> blocks;
    std::size_t frames = 0;
};

void PutHex(std::vector<std::uint8_t>& out, std::uint8_t b) {
    out.push_back(static_cast<std::uint8_t>(util::HexDigit(b >> 4u)));
    out.push_back(static_cast<std::uint8_t>(util::HexDigit(b)));
}

// A reply with RTN 0 whose LENID counts its INFO characters.
void AppendReply(std::vector<std::uint8_t>& out, std::size_t infoSize, std::mt19937& rng) {
    const std::size_t start = out.size();
    out.push_back('~');
    for (std::uint8_t b : {0x10, 0x01, 0x60, 0x00})
        PutHex(out, b);
    const auto lenid = static_cast<std::uint16_t>(2 * infoSize);
    const auto length = static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
    PutHex(out, static_cast<std::uint8_t>(length >> 8));
    PutHex(out, static_cast<std::uint8_t>(length));
    for (std::size_t i = 0; i < infoSize; ++i)
        PutHex(out, static_cast<std::uint8_t>(rng()));
    const std::uint16_t chk = TDH::CalcChkSum(std::span(out).subspan(start));
    PutHex(out, static_cast<std::uint8_t>(chk >> 8));
    PutHex(out, static_cast<std::uint8_t>(chk));
    out.push_back('\r');
}

const Stream& TheStream() {
    static const Stream s = [] {
        Stream st;
        std::mt19937 rng(12345);
        // Replies to 0x42 (38 INFO bytes), 0x43, 0x44 and 0x47, in poll order.
        constexpr std::size_t infoSizes[] = {38, 3, 13, 33};
        while (st.bytes.size() < (1u << 20)) {
            AppendReply(st.bytes, infoSizes[st.frames % 4], rng);
            ++st.frames;
        }
        std::uniform_int_distribution<std::size_t> size(1, 64);
        for (std::size_t pos = 0; pos < st.bytes.size();) {
            const std::size_t n = std::min(size(rng), st.bytes.size() - pos);
            st.blocks.push_back(std::span<const std::uint8_t>(st.bytes).subspan(pos, n));
            pos += n;
        }
        return st;
    }();
    return s;
}

void Report(benchmark::State& state, const Stream& s) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.bytes.size()));
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * s.frames), benchmark::Counter::kIsRate);
}

void BM_CodecReceive(benchmark::State& state) {
    const Stream& s = TheStream();
    TDH dh;
    std::array<std::uint8_t, TDH::InputBufferSize / 2> packet{};
    std::size_t correct = 0;
    std::uint32_t acc = 0;
    dh.OnRecDHCorrectFrame = [&](TDH&, std::span<const std::uint8_t> f) {
        TDH::DeCodeFrame(f, packet);
        acc += packet[6];
        ++correct;
    };
    for (auto _ : state) {
        for (auto block : s.blocks)
            dh.ReceiveData(block);
        benchmark::DoNotOptimize(acc);
    }
    if (correct != state.iterations() * s.frames) state.SkipWithError("frames lost");
    Report(state, s);
}

constexpr std::array<std::uint8_t, 256> NibbleTable = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 10; ++c)
        t['0' + c] = static_cast<std::uint8_t>(c);
    for (int c = 0; c < 6; ++c) {
        t['A' + c] = static_cast<std::uint8_t>(10 + c);
        t['a' + c] = static_cast<std::uint8_t>(10 + c);
    }
    return t;
}();

void BM_Baseline(benchmark::State& state) {
    const Stream& s = TheStream();
    std::array<std::uint8_t, 64> out{};
    std::uint32_t sum = 0;
    std::uint32_t acc = 0;
    for (auto _ : state) {
        int half = -1;  // high nibble carried over from the previous block
        for (auto block : s.blocks) {
            for (std::uint8_t c : block)
                sum += c;
            std::size_t i = 0;
            if (half >= 0 && !block.empty()) {
                acc += static_cast<std::uint8_t>(half << 4 | NibbleTable[block[0]]);
                half = -1;
                i = 1;
            }
            std::size_t k = 0;
            for (; i + 1 < block.size(); i += 2)
                out[k++] = static_cast<std::uint8_t>(NibbleTable[block[i]] << 4 |
                                                     NibbleTable[block[i + 1]]);
            if (i < block.size()) half = NibbleTable[block[i]];
            acc += out[0];
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(acc);
        benchmark::DoNotOptimize(out);
    }
    Report(state, s);
}

}  // namespace

BENCHMARK(BM_CodecReceive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
