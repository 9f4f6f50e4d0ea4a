// The receive assembler: frames cut out of a byte stream, checked and reported.
#include "DH.h"
#include "DhModel.h"
#include "HexText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
std::string Text(std::span<const std::uint8_t> b) {
    return {b.begin(), b.end()};
}

std::string Hex(std::uint8_t b) {
    return util::Hex(b, 2);
}

// A reply as a controller writes it: LENID counts the INFO characters.
std::string Reply(std::uint8_t adr, std::uint8_t rtn, const Bytes& info, std::uint8_t ver = 0x10) {
    const auto lenid = static_cast<std::uint16_t>(2 * info.size());
    const auto length = static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
    std::string f =
        "~" + Hex(ver) + Hex(adr) + "60" + Hex(rtn) + Hex(length >> 8) + Hex(length & 0xFF);
    for (auto b : info)
        f += Hex(b);
    const std::uint16_t chk = TDH::CalcChkSum(Bytes(f.begin(), f.end()));
    return f + Hex(chk >> 8) + Hex(chk & 0xFF) + "\r";
}

const std::string kA = "~10016045E00210FD37\r";                // 20 characters, correct
const std::string kB = "~100160420000FDB2\r";                  // 18 characters, correct
const std::string kBad = "~10016045E00210FD36\r";              // wrong CHKSUM
const std::string kLong = Reply(0x01, 0x00, Bytes(38, 0x20));  // a 0x42 reply, 94 characters

struct Reported {
    std::string frame;
    bool correct;
    friend bool operator==(const Reported&, const Reported&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Reported& r) {
        std::string shown;
        for (char c : r.frame)
            shown += c == '\r' ? std::string("<CR>") : std::string(1, c);
        return os << (r.correct ? "correct " : "error ") << shown;
    }
};

class DHReceive : public ::testing::Test {
  protected:
    void SetUp() override {
        dh.OnRecDHFrame = [this](TDH& sender, std::span<const std::uint8_t> f) {
            EXPECT_EQ(&sender, &dh);
            log.push_back({'F', Text(f)});
        };
        dh.OnRecDHCorrectFrame = [this](TDH& sender, std::span<const std::uint8_t> f) {
            EXPECT_EQ(&sender, &dh);
            log.push_back({'C', Text(f)});
        };
        dh.OnRecDHErrorFrame = [this](TDH& sender, std::span<const std::uint8_t> f) {
            EXPECT_EQ(&sender, &dh);
            log.push_back({'E', Text(f)});
        };
    }

    void Feed(std::string_view s) {
        dh.ReceiveData({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
    }

    // The frames reported so far; checks that each raised exactly two events,
    // OnRecDHFrame first, with the same bytes.
    std::vector<Reported> Frames() {
        std::vector<Reported> out;
        EXPECT_EQ(log.size() % 2, 0u);
        for (std::size_t i = 0; i + 1 < log.size(); i += 2) {
            EXPECT_EQ(log[i].first, 'F') << i;
            EXPECT_NE(log[i + 1].first, 'F') << i;
            EXPECT_EQ(log[i].second, log[i + 1].second) << i;
            out.push_back({log[i].second, log[i + 1].first == 'C'});
        }
        return out;
    }

    TDH dh;
    std::vector<std::pair<char, std::string>> log;
};

TEST_F(DHReceive, SeveralFramesInOneBlockAreReportedInOrderBeforeReturning) {
    Feed(kA + kBad + kLong);
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}, {kBad, false}, {kLong, true}}));
    EXPECT_EQ(dh.HeldSize(), 0u);
}

TEST_F(DHReceive, FrameSplitAtEveryBoundary) {
    const std::string stream = "\r~x" + kLong;  // noise and a stray "~" in front
    for (std::size_t k = 0; k <= stream.size(); ++k) {
        SCOPED_TRACE(k);
        log.clear();
        Feed(stream.substr(0, k));
        if (k < stream.size()) {
            EXPECT_TRUE(log.empty());
        }
        Feed(stream.substr(k));
        EXPECT_EQ(Frames(), (std::vector<Reported>{{kLong, true}}));
        EXPECT_EQ(dh.HeldSize(), 0u);
    }
}

TEST_F(DHReceive, FrameSplitIntoThreeBlocksAtEveryPairOfBoundaries) {
    const std::string stream = kA + "zz" + kB;
    for (std::size_t i = 0; i <= stream.size(); ++i) {
        for (std::size_t j = i; j <= stream.size(); ++j) {
            log.clear();
            Feed(stream.substr(0, i));
            Feed(stream.substr(i, j - i));
            Feed(stream.substr(j));
            ASSERT_EQ(Frames(), (std::vector<Reported>{{kA, true}, {kB, true}})) << i << "," << j;
        }
    }
}

TEST_F(DHReceive, OneByteAtATime) {
    const std::string stream = kLong + kA;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        Feed(stream.substr(i, 1));
        EXPECT_EQ(dh.HeldSize(),
                  stream[i] == '\r' ? 0u : (i < kLong.size() ? i : i - kLong.size()) + 1);
    }
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kLong, true}, {kA, true}}));
}

TEST_F(DHReceive, NoiseAndStrayCarriageReturnsBetweenFramesAreDropped) {
    Feed("\r\r\nabc" + kA + "\r\n junk \r\r" + kB + "tail\r");
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}, {kB, true}}));
    EXPECT_EQ(dh.HeldSize(), 0u);
    log.clear();
    Feed("no frame start here\r\r");
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(dh.HeldSize(), 0u);
}

TEST_F(DHReceive, HeldFrameSurvivesEmptyBlocks) {
    Feed("~100160");
    Feed("");
    EXPECT_EQ(dh.HeldSize(), 7u);
    Feed(kA.substr(7));
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}}));
}

TEST_F(DHReceive, FrameCheck) {
    const struct {
        const char* what;
        std::string frame;
        bool correct;
    } cases[] = {
        {"SOI and EOI only", "~\r", false},
        {"17 characters", "~10016042000FDB2\r", false},
        {"19 characters", "~1001604200000FDB2\r", false},
        {"command without INFO", kB, true},
        {"LENID announces more INFO than present", "~10016000C00400FD41\r", true},
        {"correct CHKSUM, wrong LCHKSUM", "~10016045D00210FD38\r", false},
        {"wrong CHKSUM, correct LCHKSUM", kBad, false},
        {"CHKSUM field in lower case", "~100160420000fdb2\r", true},
        {"lower-case letter summed as received", "~10016045e00210FD37\r", false},
        {"other VER and ADR", Reply(0x7F, 0x00, {0x01, 0x02}, 0x21), true},
        {"reply with RTN", Reply(0x02, 0x04, {}), true},
        {"long reply", kLong, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(TDH::CheckFrame(Bytes(c.frame.begin(), c.frame.end())), c.correct);
        log.clear();
        Feed("xx" + c.frame + "yy");
        EXPECT_EQ(Frames(), (std::vector<Reported>{{c.frame, c.correct}}));
    }
}

// A "~" inside a frame starts a new one; what came before it goes without an event.
TEST_F(DHReceive, StraySoiNeverSwallowsTheNextFrame) {
    const std::vector<std::vector<std::string>> streams{
        {"~12", kA},
        {"~1234" + kA},
        {"~~~" + kA},
        {"~1001604", "~", kA.substr(1)},
        {"~10016045E0", "0210~" + kA.substr(1, 4), kA.substr(5)},
        {std::string("~") + std::string(900, '5'), kA},
    };
    for (const auto& blocks : streams) {
        SCOPED_TRACE(blocks.front());
        log.clear();
        for (const auto& b : blocks)
            Feed(b);
        EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}}));
    }
}

TEST_F(DHReceive, OverflowOfHeldBytesKeepsTheFramesOfTheNewBlock) {
    const std::string held = "~" + std::string(999, '1');
    for (const std::string& block : {"abcd" + kA, "abcde" + kA, "abcdefghijklmnopqrstu" + kA}) {
        SCOPED_TRACE(block.size());
        log.clear();
        Feed(held);
        EXPECT_EQ(dh.HeldSize(), 1000u);
        Feed(block);
        EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}}));
        EXPECT_EQ(dh.HeldSize(), 0u);
    }
}

TEST_F(DHReceive, FramesUpTo1024CharactersWhateverTheBlocks) {
    const std::string max = "~" + std::string(1022, '0') + "\r";   // 1024: reported
    const std::string over = "~" + std::string(1023, '0') + "\r";  // 1025: dropped
    for (std::size_t cut : {0u, 1u, 500u, 1000u, 1022u, 1023u, 1024u, 1025u, 2048u}) {
        SCOPED_TRACE(cut);
        const std::string stream = max + over + kA;
        log.clear();
        const auto part = [&](std::size_t pos, std::size_t n = std::string::npos) {
            return std::string_view(stream).substr(std::min(pos, stream.size()), n);
        };
        Feed(part(0, cut));
        Feed(part(cut, 1024));
        Feed(part(cut + 1024, 1000));
        Feed(part(cut + 2024));
        EXPECT_EQ(Frames(), (std::vector<Reported>{{max, false}, {kA, true}}));
        EXPECT_EQ(dh.HeldSize(), 0u);
    }
}

TEST_F(DHReceive, HeldFrameCompletedUpToTheLimit) {
    const std::string held = "~" + std::string(999, '0');
    Feed(held);
    Feed(std::string(23, '0') + "\r");  // 1024 in all
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].frame.size(), 1024u);
    log.clear();
    Feed(held);
    Feed(std::string(24, '0') + "\r" + kB);  // 1025: dropped, the next frame is not
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kB, true}}));
}

TEST_F(DHReceive, EndlessFrameIsDroppedAndTheBufferNeverOverflows) {
    Feed("~");
    for (int i = 0; i < 30; ++i) {
        Feed(std::string(100, '7'));
        EXPECT_LT(dh.HeldSize(), TDH::InputBufferSize);
    }
    EXPECT_EQ(dh.HeldSize(), 0u);  // dropped once it could no longer be a frame
    Feed("\r" + kA);
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}}));
}

TEST_F(DHReceive, BlocksOfAnySizeReportEveryFrame) {
    std::string stream;
    std::vector<Reported> expected;
    for (int i = 0; i < 4000; ++i) {  // 4000 * 20 bytes: more than 16 bits can count
        const std::string f = Reply(static_cast<std::uint8_t>(i), 0x00, {});
        stream += f + "\r\n";
        expected.push_back({f, true});
    }
    ASSERT_GT(stream.size(), 65536u);
    Feed(stream);
    EXPECT_EQ(Frames(), expected);
}

TEST_F(DHReceive, ThrowingHandlerDoesNotReportTheFrameAgain) {
    int calls = 0;
    dh.OnRecDHCorrectFrame = [&](TDH&, std::span<const std::uint8_t> f) {
        log.push_back({'C', Text(f)});
        if (++calls == 1) throw std::runtime_error("handler failed");
    };
    // From a single block, and completed from held bytes.
    for (const auto& blocks :
         std::vector<std::vector<std::string>>{{kA}, {kA.substr(0, 9), kA.substr(9)}}) {
        log.clear();
        calls = 0;
        EXPECT_THROW(for (const auto& b : blocks) Feed(b), std::runtime_error);
        EXPECT_EQ(dh.HeldSize(), 0u);
        Feed("");
        Feed(kB);
        EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}, {kB, true}}));
    }
}

TEST_F(DHReceive, ThrowingFrameHandlerSkipsOnlyTheCheckEventOfThatFrame) {
    bool fail = true;
    dh.OnRecDHFrame = [&](TDH&, std::span<const std::uint8_t> f) {
        log.push_back({'F', Text(f)});
        if (std::exchange(fail, false)) throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(Feed(kBad + "~1001"), std::runtime_error);
    ASSERT_EQ(log.size(), 1u);
    log.clear();
    Feed(kA);
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kA, true}}));
}

// A handler that throws loses only its own frame: the rest of the block is still
// cut and reported, an incomplete tail is held, and the first exception reaches the
// caller once the block is done.
TEST_F(DHReceive, ThrowingHandlerLosesOnlyItsOwnFrame) {
    struct Case {
        const char* what;
        std::vector<std::string> blocks;
        std::vector<Reported> expected;  // the frames reported in full
        std::size_t held;
    };
    const Case cases[] = {
        {"frames after it in the same block",
         {kA + kBad + kB + "~1001"},
         {{kBad, false}, {kB, true}},
         5},
        {"completed from held bytes",
         {kA.substr(0, 9), kA.substr(9) + kB + "~10"},
         {{kB, true}},
         3},
        {"two throwing frames", {kA + kA + kB}, {{kB, true}}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        int thrown = 0;
        dh.OnRecDHCorrectFrame = [&](TDH&, std::span<const std::uint8_t> f) {
            if (Text(f) == kA) {
                ++thrown;
                throw std::runtime_error("handler failed " + std::to_string(thrown));
            }
            log.push_back({'C', Text(f)});
        };
        std::string message;
        try {
            for (const auto& b : c.blocks)
                Feed(b);
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        EXPECT_EQ(message, "handler failed 1");  // the first one, once
        // Every frame still raised its frame event, the throwing ones included.
        std::vector<std::string> seen;
        std::vector<Reported> full;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].first != 'F') continue;
            seen.push_back(log[i].second);
            if (i + 1 < log.size() && log[i + 1].first != 'F')
                full.push_back({log[i].second, log[i + 1].first == 'C'});
        }
        EXPECT_EQ(full, c.expected);
        EXPECT_EQ(seen.size(), c.expected.size() + static_cast<std::size_t>(thrown));
        EXPECT_EQ(dh.HeldSize(), c.held);
        dh.ReceiveData({});
        SetUp();
    }
}

// A handler may clear or replace its own event while it runs; the handler that runs
// keeps what it captured until it returns.
TEST_F(DHReceive, HandlerMayRebindItsOwnEvent) {
    using Marks = std::array<std::uint64_t, 16>;
    Marks first;
    first.fill(0x1111111111111111u);
    Marks second;
    second.fill(0x2222222222222222u);
    std::vector<std::uint64_t> readBack;
    int laterCalls = 0;
    dh.OnRecDHCorrectFrame = [&, first](TDH& sender, std::span<const std::uint8_t>) {
        // A replacement of the same size takes the place the old one had.
        sender.OnRecDHCorrectFrame = [&, second](TDH&, std::span<const std::uint8_t>) {
            laterCalls += second[0] == 0x2222222222222222u ? 1 : 100;
        };
        readBack.assign(first.begin(), first.end());
    };
    int frameEvents = 0;
    dh.OnRecDHFrame = [&](TDH& sender, std::span<const std::uint8_t>) {
        sender.OnRecDHFrame = nullptr;
        ++frameEvents;
    };
    Feed(kA + kB);
    EXPECT_EQ(readBack, std::vector<std::uint64_t>(16, 0x1111111111111111u));
    EXPECT_EQ(frameEvents, 1);
    EXPECT_EQ(laterCalls, 1);  // the second frame reached the replacement
    EXPECT_FALSE(dh.OnRecDHFrame);
}

// An event is bound like a std::function; an empty std::function binds nothing, and a
// copy of an event calls the same handler, so unbinding the event leaves the copy working.
TEST(DHFrameEvent, BindsLikeAFunctionAndCopiesShareTheHandler) {
    TDH dh;
    int calls = 0;
    dh.OnRecDHFrame = std::function<void(TDH&, std::span<const std::uint8_t>)>();
    EXPECT_FALSE(dh.OnRecDHFrame);
    dh.OnRecDHFrame = [&](TDH&, std::span<const std::uint8_t> f) { calls += int(f.size()); };
    ASSERT_TRUE(dh.OnRecDHFrame);
    TRecDHFrameEvent copy = dh.OnRecDHFrame;
    dh.OnRecDHFrame = nullptr;
    EXPECT_FALSE(dh.OnRecDHFrame);
    ASSERT_TRUE(copy);
    const std::uint8_t bytes[] = {'~', '\r'};
    copy(dh, bytes);
    EXPECT_EQ(calls, 2);
    const TRecDHFrameEvent moved = std::move(copy);
    EXPECT_FALSE(copy);
    moved(dh, bytes);
    EXPECT_EQ(calls, 4);
}

TEST_F(DHReceive, HandlerMayNotFeedTheSameCodec) {
    dh.OnRecDHCorrectFrame = [&](TDH& sender, std::span<const std::uint8_t> f) {
        log.push_back({'C', Text(f)});
        sender.ReceiveData(f);
    };
    EXPECT_THROW(Feed(kA), std::logic_error);
    SetUp();
    log.clear();
    Feed(kB);
    EXPECT_EQ(Frames(), (std::vector<Reported>{{kB, true}}));
}

TEST(DHReceiveUnbound, EventsMayBeEmpty) {
    TDH dh;
    const std::string s = kA + kBad + kA.substr(0, 5);
    dh.ReceiveData({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
    EXPECT_EQ(dh.HeldSize(), 5u);
    int correct = 0;
    dh.OnRecDHCorrectFrame = [&](TDH&, std::span<const std::uint8_t>) { ++correct; };
    const std::string rest = kA.substr(5);
    dh.ReceiveData({reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size()});
    EXPECT_EQ(correct, 1);
}

// The frames of the byte-by-byte model, each with its check.
std::vector<Reported> Model(const std::string& stream) {
    std::vector<Reported> out;
    for (const std::string& f : dhmodel::Cut(stream).Frames)
        out.push_back({f, TDH::CheckFrame(Bytes(f.begin(), f.end()))});
    return out;
}

TEST_F(DHReceive, RandomStreamsCutIntoRandomBlocksMatchTheModel) {
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 1000; ++round) {
        std::string stream;
        while (stream.size() < 6000) {
            switch (pick(7)) {
                case 0:
                    stream += kA;
                    break;
                case 1:
                    stream += kLong;
                    break;
                case 2:
                    stream += kBad;
                    break;
                case 3:
                    stream += kLong.substr(0, pick(static_cast<int>(kLong.size())));
                    break;
                case 4:
                    stream += std::string(pick(1200), '3');
                    break;
                case 5:
                    stream += "~\r~~\r\r"[pick(6)];
                    break;
                default:
                    stream +=
                        Reply(static_cast<std::uint8_t>(pick(256)), 0, Bytes(pick(500), 0x31));
            }
        }
        log.clear();
        const int maxBlock = round % 3 == 0 ? 3000 : 64;
        for (std::size_t pos = 0; pos < stream.size();) {
            const std::size_t n = 1 + pick(maxBlock);
            Feed(std::string_view(stream).substr(pos, n));
            ASSERT_LT(dh.HeldSize(), TDH::InputBufferSize);
            pos += n;
        }
        ASSERT_EQ(Frames(), Model(stream)) << "round " << round;
        ASSERT_EQ(dh.HeldSize(), dhmodel::Cut(stream).Held) << "round " << round;
        Feed("\r");  // end of the round: nothing held over
    }
}

// Noise is reported where it was on the line: frames and noise together, in the order
// of their events, give back the stream byte for byte (but for the incomplete frame held
// at the end), whatever the blocks. Within a block each run is reported once.
TEST_F(DHReceive, NoiseAndFramesInLineOrderGiveBackTheStream) {
    std::string line;  // frames and noise as reported
    int runs = 0;
    bool lastWasNoise = false;
    int mergedRuns = 0;  // two noise events in a row within one block
    dh.OnRecDHFrame = [&](TDH&, std::span<const std::uint8_t> f) {
        line += Text(f);
        lastWasNoise = false;
    };
    dh.OnRecDHNoise = [&](TDH& sender, std::span<const std::uint8_t> n) {
        EXPECT_EQ(&sender, &dh);
        EXPECT_FALSE(n.empty());
        if (lastWasNoise) ++mergedRuns;
        lastWasNoise = true;
        line += Text(n);
        ++runs;
    };
    std::mt19937 rng(20261211);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const std::string parts[] = {kA, kLong, kBad, "xy", "\r\n", "~", "~10", std::string(1100, '3')};
    for (int round = 0; round < 300; ++round) {
        std::string stream;
        while (stream.size() < 4000)
            stream += parts[pick(8)];
        line.clear();
        runs = 0;
        const int maxBlock = round % 2 == 0 ? 2000 : 16;
        for (std::size_t pos = 0; pos < stream.size();) {
            const std::size_t n = 1 + pick(maxBlock);
            lastWasNoise = false;  // a new block
            Feed(std::string_view(stream).substr(pos, n));
            pos += n;
        }
        const dhmodel::TCut model = dhmodel::Cut(stream);
        ASSERT_EQ(line, stream.substr(0, stream.size() - model.Held)) << "round " << round;
        ASSERT_GT(runs, 0);
        ASSERT_EQ(mergedRuns, 0) << "round " << round;
        lastWasNoise = false;
        Feed("\r");
    }
}

TEST_F(DHReceive, NoiseComesBeforeTheFrameItPreceded) {
    std::vector<std::string> events;
    dh.OnRecDHFrame = [&](TDH&, std::span<const std::uint8_t> f) { events.push_back(Text(f)); };
    dh.OnRecDHNoise = [&](TDH&, std::span<const std::uint8_t> n) {
        events.push_back("noise " + Text(n));
    };
    Feed("ab" + kA + "\r\n~10");
    Feed("01" + kB + "z");
    EXPECT_EQ(events, (std::vector<std::string>{"noise ab", kA, "noise \r\n", "noise ~1001", kB,
                                                "noise z"}));
}

}  // namespace
