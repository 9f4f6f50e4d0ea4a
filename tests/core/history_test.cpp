// The session's history for trends and the report: replies through the core become
// series with gaps where a value is not detected or the link was closed, alarm changes
// with their words, and the latest reply of each kind; long sessions are thinned within
// a fixed size; the points drawn for a pixel width keep every peak and every gap.
#include "History.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <set>

#include "CoreTestSupport.h"
#include "RecordingCsv.h"

// Every allocation of this program goes through here; while Counting is set, its bytes
// are added up. (The compiler cannot see that these replace the global ones.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
std::atomic<bool> Counting{false};
std::atomic<std::size_t> Allocated{0};

void* operator new(std::size_t N) {
    if (Counting.load(std::memory_order_relaxed)) Allocated += N;
    if (void* p = std::malloc(N ? N : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* P) noexcept {
    std::free(P);
}
void operator delete(void* P, std::size_t) noexcept {
    std::free(P);
}
#pragma GCC diagnostic pop

namespace {

using namespace coretest;
using aircon::Decimate;
using aircon::SeriesIndex;
using aircon::SeriesKeyAt;
using aircon::THistory;
using aircon::TPoint;
using aircon::TSeriesKey;
using aircon::TSeriesKind;

template <class TPoints>
std::string Describe(const TPoints& S, std::int64_t T0) {
    std::string s;
    for (const TPoint& p : S) {
        if (!s.empty()) s += " ";
        s += std::to_string(p.T - T0) + ":" +
             (p.Gap() ? std::string("gap") : std::to_string(static_cast<long long>(p.V)));
    }
    return s;
}

// An alarm change by its keys and codes: "unit1 compressor_overload 0>240"; "first" when
// it is the field's first report.
std::string Change(const aircon::TAlarmChange& C) {
    auto code = [](const aircon::TStateCode& X) {
        return X ? std::to_string(*X) : std::string("none");
    };
    return "unit" + std::to_string(C.Unit + 1) + " " +
           std::string(aircon::AlarmFields[static_cast<std::size_t>(C.Field)].Key) + " " +
           (C.FromKnown ? code(C.From) : std::string("first")) + ">" + code(C.To);
}

TEST(History, RepliesThroughTheCoreBecomeSeriesGapsAndAlarmChanges) {
    TFakeClock clock;
    TFakeLink link{clock};
    TInputs inputs;
    TMonitor monitor{clock, link, inputs};
    TResponder responder{clock, link, monitor};
    THistory history;
    monitor.AddObserver(history);
    // Each kind answers for the units in turn; the n-th answer of a kind carries:
    int n42 = 0, n43 = 0, n44 = 0;
    responder.Answers = [&](std::uint8_t Cid2) {
        if (Cid2 == 0x42) {
            const int i = n42++;
            Bytes b = AnalogInfo(static_cast<std::uint8_t>((i % 2) << 1));
            b[13] = 0;  // supply-air temperature 20, 21, ...
            b[14] = static_cast<std::uint8_t>(20 + i);
            if (i == 2) b[13] = b[14] = 0x20;  // not detected once
            return Reply(0, b);
        }
        if (Cid2 == 0x43) {
            const int i = n43++;
            Bytes b = SwitchInfo(static_cast<std::uint8_t>((i % 2) << 1));
            b[6] = i >= 2 ? 0 : 1;  // the compressor stops
            return Reply(0, b);
        }
        const int i = n44++;
        Bytes b = AlarmInfo(static_cast<std::uint8_t>((i % 2) << 1));
        b[3] = i == 0 ? 0x20 : 0;   // voltage CA/C of unit 1 not detected at first
        b[10] = i == 2 ? 0xF0 : 0;  // compressor overload of unit 1, once
        return Reply(0, b);
    };
    link.Open = true;
    monitor.LinkOpened("ttyV0");
    const std::int64_t t0 = aircon::ToMs(clock.WallNow());
    // Replies at 870, 1220, 1570 (0x42, 0x43, 0x44) and every 1500 ms after; the link
    // closes and opens again at 6000.
    clock.Advance(Millis(6000));
    link.Open = false;
    monitor.LinkClosed();
    link.Open = true;
    monitor.LinkOpened("ttyV0");
    clock.Advance(Millis(4500));

    EXPECT_EQ(Describe(history.Series(TSeriesKey{0, TSeriesKind::Analog, 6}), t0),
              "870:20 3870:gap 6870:24 9870:26");
    EXPECT_EQ(Describe(history.Series(TSeriesKey{1, TSeriesKind::Analog, 6}), t0),
              "2370:21 5370:23 6000:gap 8370:25");
    EXPECT_EQ(Describe(history.Series(TSeriesKey{0, TSeriesKind::Switch, 3}), t0),
              "1220:1 4220:0 6000:gap 7220:0 10220:0");

    std::vector<std::string> changes;
    for (const auto& c : history.AlarmChanges())
        changes.push_back(std::to_string(c.T - t0) + " " + Change(c));
    EXPECT_EQ(changes, (std::vector<std::string>{
                           "4570 unit1 voltage_ca none>0",
                           "4570 unit1 compressor_overload 0>240",
                           "9070 unit1 compressor_overload 240>0",
                       }));

    const auto& latest = history.Latest();
    ASSERT_TRUE(latest.Analog[0] && latest.Analog[1] && latest.Alarms[0] && latest.Switches[1]);
    EXPECT_EQ(aircon::ToMs(latest.Analog[0]->At) - t0, 9870);
    EXPECT_EQ(latest.Analog[0]->Value.Values[6], 26);
    EXPECT_FALSE(latest.Params);
    EXPECT_EQ(history.Replies(), 7u + 7 + 5);
}

// A controller that falls silent for a while, the link open all along: the lines break
// where the silence passed three poll cycles and go on with the next reply; one reply
// lost on the way does not break them.
TEST(History, AnOutageWithTheLinkOpenIsAGap) {
    TFakeClock clock;
    TFakeLink link{clock};
    TInputs inputs;
    TMonitor monitor{clock, link, inputs};
    TResponder responder{clock, link, monitor};
    THistory history;
    monitor.AddObserver(history);
    const auto start = clock.Now();
    int n42 = 0;
    responder.Answers = [&](std::uint8_t Cid2) -> std::string {
        const auto ms = std::chrono::duration_cast<Millis>(clock.Now() - start).count();
        if (ms >= 4000 && ms < 4600) return {};   // one reply lost
        if (ms >= 8000 && ms < 20000) return {};  // twelve seconds of silence
        if (Cid2 != 0x42) return NormalAnswer(Cid2);
        Bytes b = AnalogInfo();
        b[13] = 0;
        b[14] = static_cast<std::uint8_t>(n42++);
        return Reply(0, b);
    };
    link.Open = true;
    monitor.LinkOpened("ttyV0");
    const std::int64_t t0 = aircon::ToMs(clock.WallNow());
    clock.Advance(Millis(24000));
    // The usual spacing of replies here is 350 ms: an outage is a pause over 3150 ms.
    ASSERT_EQ(history.OutageAfterMs(), 3150);
    EXPECT_EQ(Describe(history.Series(TSeriesKey{0, TSeriesKind::Analog, 6}), t0),
              "870:0 2370:1 3870:2 5370:3 6870:4 10720:gap 20370:5 21870:6 23370:7");
    // Every series breaks, the switch states as well.
    const auto& power = history.Series(TSeriesKey{0, TSeriesKind::Power, 0});
    EXPECT_EQ(std::count_if(power.begin(), power.end(), [](const TPoint& p) { return p.Gap(); }),
              1);
}

// The same rule on any spacing of replies, a recording read back included: the pause
// allowed follows the poll interval, never falls below three seconds, and is not
// guessed from too few replies.
TEST(History, AnOutageIsAPauseOfSeveralPollCycles) {
    struct TCase {
        const char* Name;
        std::vector<std::int64_t> Pauses;  // between consecutive replies, ms
        int Gaps;
    };
    auto steady = [](std::int64_t Ms, int N) { return std::vector<std::int64_t>(N, Ms); };
    auto join = [](std::vector<std::vector<std::int64_t>> Parts) {
        std::vector<std::int64_t> all;
        for (const auto& p : Parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const TCase cases[] = {
        {"5 s at a 500 ms interval", join({steady(500, 20), {5000}, steady(500, 5)}), 1},
        {"4 s at a 500 ms interval", join({steady(500, 20), {4000}, steady(500, 5)}), 0},
        {"two lost replies", join({steady(500, 20), {1500, 1500}, steady(500, 5)}), 0},
        {"2 s at a 100 ms interval", join({steady(100, 20), {2000}, steady(100, 5)}), 0},
        {"4 s at a 100 ms interval", join({steady(100, 20), {4000}, steady(100, 5)}), 1},
        {"interval raised to 10 s", join({steady(500, 20), steady(10000, 30)}), 8},
        {"a minute after three replies", join({steady(500, 2), {60000}}), 0},
        {"a minute after four replies", join({steady(500, 3), {60000}}), 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        THistory h;
        aircon::TAnalogValues a;
        a.Count = 12;
        a.Values.fill(aircon::TReading(1));
        std::int64_t t = 1000;
        h.Add(WallTime(Millis(t)), a);
        for (std::int64_t pause : c.Pauses)
            h.Add(WallTime(Millis(t += pause)), a);
        const auto& s = h.Series(0);
        EXPECT_EQ(std::count_if(s.begin(), s.end(), [](const TPoint& p) { return p.Gap(); }),
                  c.Gaps);
        EXPECT_FALSE(s.back().Gap());
    }
}

// An old recording breaks its lines where the controller was silent; its rows and
// columns are read as they are.
TEST(History, ARecordingBreaksWhereTheRowsPause) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("history-outage-" + std::to_string(::getpid()));
    {
        std::string text(aircon::Utf8Bom);
        text += aircon::RecordingHeader();
        aircon::TLocalTimeText time;
        std::int64_t t = 1796882587000LL;
        for (int i = 0; i < 40; ++i) {
            aircon::TAnalogValues v;
            v.Count = 12;
            v.Values.fill(aircon::TReading(i));
            // a reply every 1.5 s (one kind of three at 500 ms); 30 s of silence after
            // row 20, one lost cycle after row 30
            t += i == 20 ? 30000 : i == 30 ? 3000 : 1500;
            aircon::AppendRecordingRow(text, aircon::TRecordedRow{WallTime(Millis(t)), v, 0}, time);
            aircon::TSwitchStates sw;
            sw.Power = 0;
            sw.Count = aircon::SwitchItemCount;
            aircon::AppendRecordingRow(text, aircon::TRecordedRow{WallTime(Millis(t + 500)), sw, 0},
                                       time);
            aircon::TAlarmStates al;
            al.Count = aircon::AlarmFieldCount;
            aircon::AppendRecordingRow(
                text, aircon::TRecordedRow{WallTime(Millis(t + 1000)), al, 0}, time);
        }
        std::ofstream(file, std::ios::binary) << text;
    }
    THistory h;
    const aircon::TRecordingLoad loaded = aircon::LoadRecording(file, h);
    std::filesystem::remove(file);
    ASSERT_TRUE(loaded.Ok) << static_cast<int>(loaded.Failure);
    EXPECT_EQ(loaded.Rows, 120u);
    const auto& s = h.Series(0);
    ASSERT_EQ(s.size(), 41u);
    EXPECT_TRUE(s[20].Gap());
    EXPECT_EQ(s[19].V, 19);
    EXPECT_EQ(s[21].V, 20);
    EXPECT_EQ(std::count_if(s.begin(), s.end(), [](const TPoint& p) { return p.Gap(); }), 1);
}

// A file that cannot be read says why, and the history stays as it was; a file with
// damaged rows loads the rest and names the first damage.
TEST(History, ALoadThatFailsSaysWhyAndDamageIsNamed) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("history-load-" + std::to_string(::getpid()));
    fs::create_directories(dir / "folder.csv");
    std::string good(aircon::Utf8Bom);
    good += aircon::RecordingHeader();
    aircon::TAnalogValues v;
    v.Count = 12;
    v.Values.fill(aircon::TReading(7));
    good += aircon::RecordingRow({WallTime(Millis(1796882587000LL)), v, 0});
    std::ofstream(dir / "foreign.csv", std::ios::binary) << "a,b\r\n1,2\r\n";
    std::ofstream(dir / "damaged.csv", std::ios::binary) << good + "garbage\r\nmore\r\n";
    using F = aircon::TLoadFailure;
    const struct {
        const char* name;
        F failure;
        std::errc open;  // CannotOpen: what the system said
        aircon::TRecordingRefusal refusal;
    } cases[] = {
        {"gone.csv", F::CannotOpen, std::errc::no_such_file_or_directory, {}},
#ifndef _WIN32  // Windows refuses to open a folder as a file: it does not open
        {"folder.csv", F::Folder, {}, {}},
#endif
        {"foreign.csv",
         F::NotARecording,
         {},
         {aircon::TRecordingRefusalKind::MissingColumn, "时间"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        THistory h;
        const aircon::TRecordingLoad loaded = aircon::LoadRecording(dir / c.name, h);
        EXPECT_FALSE(loaded.Ok);
        EXPECT_EQ(loaded.Failure, c.failure);
        if (c.failure == F::CannotOpen)
            EXPECT_EQ(loaded.OpenError, c.open) << loaded.OpenError.message();
        else
            EXPECT_FALSE(loaded.OpenError);
        EXPECT_EQ(loaded.Refusal, c.refusal);
        EXPECT_EQ(h.Replies(), 0u);
    }
    THistory h;
    const aircon::TRecordingLoad loaded = aircon::LoadRecording(dir / "damaged.csv", h);
    fs::remove_all(dir);
    ASSERT_TRUE(loaded.Ok) << static_cast<int>(loaded.Failure);
    EXPECT_EQ(loaded.Failure, F::None);
    EXPECT_EQ(loaded.Rows, 1u);
    EXPECT_EQ(loaded.Damaged, 2u);
    EXPECT_EQ(loaded.FirstDamage, (aircon::TRowDamage{3, aircon::TRowDamageKind::Time, ""}));
    EXPECT_EQ(h.Replies(), 1u);
}

TEST(History, AlarmsAlreadyRaisedWhenFirstSeenAreMarked) {
    THistory h;
    aircon::TAlarmStates a;
    a.Unit = 1;
    a.Count = 11;
    a.Codes.fill(0);
    a.Codes[2] = 0x02;
    a.Codes[4] = std::nullopt;
    h.Add(WallTime(Millis(1000)), a);
    ASSERT_EQ(h.AlarmChanges().size(), 1u);
    EXPECT_EQ(Change(h.AlarmChanges()[0]), "unit2 voltage_ca first>2");
    a.Codes[2] = 0x07;  // a code without a word
    h.Add(WallTime(Millis(2000)), a);
    EXPECT_EQ(Change(h.AlarmChanges()[1]), "unit2 voltage_ca 2>7");
}

TEST(History, LongSessionsAreThinnedWithinTheirSize) {
    THistory h(64);
    aircon::TAnalogValues a;
    a.Count = 12;
    for (int i = 0; i < 10000; ++i) {
        a.Values[0] = i;
        a.Values[1] = i % 100 == 50 ? std::nullopt : aircon::TReading(i);
        h.Add(WallTime(Millis(i * 1000)), a);
    }
    const auto& s0 = h.Series(0);
    EXPECT_LE(s0.size(), 64u);
    EXPECT_GE(s0.size(), 32u);
    EXPECT_EQ(s0.front().V, 0);
    EXPECT_EQ(s0.back().V, 9999);  // the newest point is always kept
    EXPECT_TRUE(std::is_sorted(s0.begin(), s0.end(),
                               [](const TPoint& x, const TPoint& y) { return x.T < y.T; }));
    // Gaps are thinned with the values: the ones of the last half bound stay, and so
    // does a break in the line somewhere in every stretch that had one.
    const auto& s1 = h.Series(1);
    EXPECT_LE(s1.size(), 64u);
    const auto gaps = std::count_if(s1.begin(), s1.end(), [](const TPoint& p) { return p.Gap(); });
    EXPECT_GE(gaps, 1);
    EXPECT_LE(gaps, 32);
}

// Series that break often stay within the bound, gaps counted, and keeping the bound
// costs a few passes over each point however the gaps fall: a sensor not detected every
// other reply, a link closed after every reply, a recording with a lost-row marker after
// every row. (Each of them used to keep every gap: the series outgrew the bound and
// every new reading cost a pass over the whole of it.)
TEST(History, GapsCountAgainstTheBoundAndKeepingItCostsLittle) {
    constexpr std::size_t Bound = 1000;
    constexpr int Replies = 30000;
    enum class TBreak { None, EveryOtherNotDetected, LinkClosedAfterEach };
    struct TCase {
        const char* Name;
        TBreak Breaks;
    };
    for (const TCase c : {TCase{"no gaps", TBreak::None},
                          TCase{"not detected every other reply", TBreak::EveryOtherNotDetected},
                          TCase{"link closed after every reply", TBreak::LinkClosedAfterEach}}) {
        SCOPED_TRACE(c.Name);
        THistory h(Bound);
        aircon::TAnalogValues a;
        a.Count = 12;
        std::uint64_t appended = 0;
        std::size_t largest = 0;
        for (int i = 0; i < Replies; ++i) {
            for (std::size_t f = 0; f < 12; ++f)
                a.Values[f] = c.Breaks == TBreak::EveryOtherNotDetected && f < 6 && i % 2 == 1
                                  ? std::nullopt
                                  : aircon::TReading(i);
            h.Add(WallTime(Millis(i * 1000LL)), a);
            appended += 12;
            if (c.Breaks == TBreak::LinkClosedAfterEach) {
                h.Break(WallTime(Millis(i * 1000LL + 500)));
                appended += aircon::SeriesCount;
            }
            if (i % 97 == 0)
                for (int s = 0; s < aircon::SeriesCount; ++s)
                    largest = std::max(largest, h.Series(s).size());
        }
        for (int s = 0; s < aircon::SeriesCount; ++s) {
            const auto& series = h.Series(s);
            largest = std::max(largest, series.size());
            EXPECT_TRUE(std::is_sorted(series.begin(), series.end(),
                                       [](const TPoint& x, const TPoint& y) { return x.T < y.T; }));
            // Never two gaps in a row: a run of them is one.
            const auto twoGaps = std::adjacent_find(
                series.begin(), series.end(),
                [](const TPoint& x, const TPoint& y) { return x.Gap() && y.Gap(); });
            EXPECT_TRUE(twoGaps == series.end())
                << "two gaps in a row at " << (twoGaps - series.begin()) << " of series " << s;
        }
        EXPECT_LE(largest, Bound);
        const auto& s0 = h.Series(0);
        ASSERT_FALSE(s0.empty());
        EXPECT_GE(s0.size(), Bound / 3);  // thinned, not emptied
        EXPECT_EQ(s0.front().T, 0);
        // The series ends as the data did: with the last reading, or with a gap.
        EXPECT_EQ(s0.back().Gap(), c.Breaks != TBreak::None);
        if (c.Breaks == TBreak::None) {
            EXPECT_EQ(s0.back().T, (Replies - 1) * 1000LL);
        }
        // A thinning passes once over at most Bound + 1 points and frees at least a
        // third of them: at most about three passes per point added.
        EXPECT_LE(h.ThinningWork(), 4 * appended) << h.ThinningWork() << " for " << appended;
    }
}

// A recording with a 丢失行 marker after every row loads into the same bounded history
// at about the same cost as the rows alone (it used to cost a pass over the series per
// row once the markers' gaps had passed the bound).
TEST(History, ARecordingFullOfLostRowMarkersLoadsWithinTheBound) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::filesystem::path with = dir / ("history-markers-" + std::to_string(::getpid()));
    const std::filesystem::path without = dir / ("history-rows-" + std::to_string(::getpid()));
    constexpr int Rows = 6000;
    {
        std::ofstream a(with, std::ios::binary), b(without, std::ios::binary);
        std::string ta(aircon::Utf8Bom), tb(aircon::Utf8Bom);
        ta += aircon::RecordingHeader();
        tb += aircon::RecordingHeader();
        aircon::TLocalTimeText time;
        for (int i = 0; i < Rows; ++i) {
            aircon::TAnalogValues v;
            v.Unit = i % 2;
            v.Count = 12;
            for (std::size_t f = 0; f < 12; ++f)
                v.Values[f] = aircon::TReading(i % 300 + static_cast<int>(f));
            const WallTime at = WallTime(Millis(1796882587000LL + i * 1000LL));
            aircon::AppendRecordingRow(ta, aircon::TRecordedRow{at, v, 0}, time);
            aircon::AppendRecordingRow(tb, aircon::TRecordedRow{at, v, 0}, time);
            aircon::TRecordedRow marker;
            marker.At = at + Millis(500);
            marker.LostRows = 1;
            aircon::AppendRecordingRow(ta, marker, time);
        }
        a << ta;
        b << tb;
    }
    THistory h(500), plain(500);
    const aircon::TRecordingLoad loaded = aircon::LoadRecording(with, h);
    const aircon::TRecordingLoad loadedPlain = aircon::LoadRecording(without, plain);
    std::filesystem::remove(with);
    std::filesystem::remove(without);
    ASSERT_TRUE(loaded.Ok) << static_cast<int>(loaded.Failure);
    ASSERT_TRUE(loadedPlain.Ok) << static_cast<int>(loadedPlain.Failure);
    EXPECT_EQ(loaded.Rows, 2u * Rows);
    EXPECT_EQ(loaded.Damaged, 0u);
    for (int s = 0; s < aircon::SeriesCount; ++s)
        EXPECT_LE(h.Series(s).size(), 500u) << "series " << s;
    // The markers double the points of the analog series; the work stays in proportion.
    EXPECT_GT(plain.ThinningWork(), 0u);
    EXPECT_LE(h.ThinningWork(), 4 * plain.ThinningWork() + 4 * 500 * aircon::SeriesCount);
}

// A history fills up to a fixed amount of memory and then stays there: growing copies
// nothing into larger buffers (the outgrown ones used to be left behind in the heap, 3.7
// MB over a long run), and a full history allocates nothing however long it runs.
TEST(History, AFullHistoryHoldsAFixedAmountAndGrowingLeavesNoOutgrownBuffers) {
    constexpr std::size_t Bound = 5000;
    THistory h(Bound);
    aircon::TAnalogValues a;
    a.Count = 12;
    auto held = [&] {
        std::size_t bytes = 0;
        for (int s = 0; s < aircon::SeriesCount; ++s)
            bytes += h.Series(s).Bytes();
        return bytes;
    };
    int t = 0;
    auto add = [&](int N, bool Gaps) {
        for (int i = 0; i < N; ++i, ++t) {
            for (std::size_t f = 0; f < 12; ++f)
                a.Values[f] = Gaps && t % 3 == 0 && f % 2 == 0 ? std::nullopt : aircon::TReading(t);
            h.Add(WallTime(Millis(t * 1000LL)), a);
        }
    };
    Allocated = 0;
    Counting = true;
    add(static_cast<int>(Bound), false);  // up to the bound, not yet thinned
    Counting = false;
    const std::size_t growing = Allocated;
    const std::size_t full = held();
    // What was allocated while growing is what is held: nothing was outgrown.
    EXPECT_LE(growing, full + full / 20) << "held " << full;
    // The ceiling: the chunks that hold Bound + 1 points, for each of the 12 series fed.
    const std::size_t chunks =
        (Bound + 1 + aircon::TSeries::ChunkPoints - 1) / aircon::TSeries::ChunkPoints;
    EXPECT_LE(full, 12 * (chunks * aircon::TSeries::ChunkPoints * sizeof(TPoint) + 256));

    add(1, false);  // the first thinning
    const std::size_t ceiling = held();
    Allocated = 0;
    Counting = true;
    add(100000, true);
    Counting = false;
    EXPECT_EQ(Allocated, 0u);
    EXPECT_EQ(held(), ceiling);
    EXPECT_LE(h.Series(0).size(), Bound);
    h.Clear();
    EXPECT_EQ(held(), 0u);
}

TEST(History, AClockSetBackKeepsTheSeriesInTimeOrder) {
    THistory h;
    aircon::TAnalogValues a;
    a.Count = 12;
    for (int t : {1000, 2000, 1500, 3000}) {
        a.Values[0] = t;
        h.Add(WallTime(Millis(t)), a);
    }
    EXPECT_EQ(Describe(h.Series(0), 0), "1000:1000 2000:2000 2000:1500 3000:3000");
    std::vector<TPoint> out;
    Decimate(h.Series(0), 1000, 3000, 1, out);  // a search over the times stays sound
    EXPECT_EQ(out.size(), 4u);
}

// Every series has the quantity its caption names, with its unit where the caption
// leaves no doubt, and every state series its words.
TEST(History, EachSeriesHasItsQuantityUnitOrWords) {
    auto describe = [](int Index) {
        const aircon::TQuantityInfo& q =
            aircon::QuantityInfo(aircon::SeriesQuantity(SeriesKeyAt(Index)));
        std::string s(q.Name);
        if (!q.Unit.empty()) s += " " + std::string(q.Unit);
        for (const auto& w : q.Words)
            s += " " + std::to_string(w.Code) + "=" + std::string(w.Text);
        return s;
    };
    std::map<std::string, std::string> seen;
    for (int i = 0; i < aircon::SeriesPerUnit; ++i) {
        const std::string caption(aircon::SeriesField(SeriesKeyAt(i)).Caption);
        seen[caption] = describe(i);
        // Both units alike.
        EXPECT_EQ(describe(i), describe(i + aircon::SeriesPerUnit)) << caption;
    }
    const std::map<std::string, std::string> expected = {
        {"主机工作线/相电压AB/A", "电压 V"},
        {"主机工作线/相电压BC/B", "电压 V"},
        {"主机工作线/相电压CA/C", "电压 V"},
        {"主机工作电流A相", "电流 A"},
        {"主机工作电流B相", "电流 A"},
        {"主机工作电流C相", "电流 A"},
        {"送风温度", "温度 °C"},
        {"回风温度", "温度 °C"},
        {"送风湿度", "湿度 %RH"},
        {"回风湿度", "湿度 %RH"},
        {"压缩机吸气压力", "压力"},
        {"压缩机排气压力", "压力"},
        {"室外环境温度", "温度 °C"},
        {"排气温度", "温度 °C"},
        {"室外湿度", "湿度 %RH"},
        {"室内盘管温度", "温度 °C"},
        {"压缩机运行时间", "运行时间 h"},
        {"机组运行时间", "运行时间 h"},
        {"空调状态", "空调状态 0=开机 1=关机"},
        {"运行模式", "运行模式 0=自动 1=制冷 2=除湿 3=送风 4=制热 32=未检测"},
        {"内风机", "风速 0=停 1=低风 2=中风 3=高风 32=未检测"},
        {"四通阀", "运转/停止 0=停止 1=运转 32=未检测"},
        {"压缩机启停", "运转/停止 0=停止 1=运转 32=未检测"},
        {"外风机", "风速 0=停 1=低风 2=中风 3=高风 32=未检测"},
        {"摆风状态", "运转/停止 0=停止 1=运转 32=未检测"},
        {"电加热", "开启/关闭 0=关闭 1=开启 32=未检测"},
        {"排风机", "开启/关闭 0=关闭 1=开启 32=未检测"},
        {"水泵状态", "开启/关闭 0=关闭 1=开启 32=未检测"},
    };
    EXPECT_EQ(seen, expected);
    // The words of a state series are the ones its panel shows.
    for (std::size_t item = 0; item < aircon::SwitchItemCount; ++item) {
        const auto& q = aircon::QuantityInfo(aircon::SwitchItemQuantity(item));
        for (const auto& w : q.Words)
            EXPECT_EQ(w.Text, aircon::SwitchItemWord(item, static_cast<std::uint8_t>(w.Code)));
    }
}

TEST(History, SeriesIndexesCoverBothUnitsOnce) {
    std::set<int> seen;
    for (int i = 0; i < aircon::SeriesCount; ++i) {
        const TSeriesKey k = SeriesKeyAt(i);
        EXPECT_EQ(SeriesIndex(k), i);
        seen.insert(i);
    }
    EXPECT_EQ(aircon::SeriesField(SeriesKeyAt(6)).Key, "supply_air_temp");
    EXPECT_EQ(SeriesKeyAt(aircon::SeriesPerUnit + 18), (TSeriesKey{1, TSeriesKind::Power, 0}));
    EXPECT_EQ(aircon::SeriesField(SeriesKeyAt(aircon::SeriesPerUnit + 22)).Key, "compressor");
}

TEST(Decimate, KeepsEveryPeakEveryGapAndTheEdges) {
    std::vector<TPoint> s;
    for (int i = 0; i < 100000; ++i)
        s.push_back({i * 10, static_cast<double>(i % 7)});
    s[50000].V = 1000;   // a spike
    s[60000].V = -1000;  // a dip
    s[70000].V = std::nan("");
    std::vector<TPoint> out;
    Decimate(s, 100000, 900000, 500, out);
    EXPECT_LE(out.size(), 500u * 4 + 3);
    EXPECT_GE(out.size(), 500u);
    EXPECT_EQ(out.front().T, 99990);  // the point before the range
    EXPECT_EQ(out.back().T, 900010);  // and the one after it
    auto has = [&](double v) {
        return std::any_of(out.begin(), out.end(), [&](const TPoint& p) { return p.V == v; });
    };
    EXPECT_TRUE(has(1000));
    EXPECT_TRUE(has(-1000));
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const TPoint& p) { return p.Gap(); }), 1);
    EXPECT_TRUE(std::is_sorted(out.begin(), out.end(),
                               [](const TPoint& x, const TPoint& y) { return x.T < y.T; }));

    // Few points in the range: all of them, with their neighbours.
    Decimate(s, 1000, 1050, 500, out);
    EXPECT_EQ(out.size(), 8u);
    EXPECT_EQ(out.front().T, 990);
    EXPECT_EQ(out.back().T, 1060);
    Decimate(std::span<const TPoint>(), 0, 10, 10, out);
    EXPECT_TRUE(out.empty());
    Decimate(s, 2000000, 3000000, 10, out);  // after the last point: the last one
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.front().T, 999990);
}

}  // namespace
