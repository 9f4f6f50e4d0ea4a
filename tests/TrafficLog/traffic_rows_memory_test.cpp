// An hour of polling at ten replies a second, fast-forwarded on the fake clock: the
// traffic log keeps its newest 10,000 rows, the continuous file takes every row, and the
// memory in use stays flat once the ring is full.
//
// Every allocation of this program is counted (operator new is replaced here), so the
// figure is the memory actually held, not what the allocator keeps in reserve.
#include <malloc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

#include "CoreTestSupport.h"
#include "LinkCounters.h"
#include "TrafficRows.h"

namespace {
std::atomic<long long> LiveBytes{0};

void* Allocate(std::size_t Size) {
    void* p = std::malloc(Size ? Size : 1);
    if (!p) throw std::bad_alloc();
    LiveBytes += static_cast<long long>(malloc_usable_size(p));
    return p;
}
void Release(void* P) noexcept {
    if (!P) return;
    LiveBytes -= static_cast<long long>(malloc_usable_size(P));
    std::free(P);
}
}  // namespace

void* operator new(std::size_t Size) {
    return Allocate(Size);
}
void* operator new[](std::size_t Size) {
    return Allocate(Size);
}
void operator delete(void* P) noexcept {
    Release(P);
}
void operator delete[](void* P) noexcept {
    Release(P);
}
void operator delete(void* P, std::size_t) noexcept {
    Release(P);
}
void operator delete[](void* P, std::size_t) noexcept {
    Release(P);
}

namespace coretest {
namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

TEST(TrafficLogMemory, AnHourAtTenRepliesASecondStaysFlat) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("traffic-memory-test-" + std::to_string(::getpid()) + ".txt");
    const long long before = LiveBytes;
    {
        TRig rig;
        rig.Monitor.RemoveObserver(rig.Rec);  // the rig's own record of every event
        rig.Inputs.Interval = 100;            // a command every 100 ms
        rig.Inputs.Timeout = 50;
        TTrafficLog log;
        TLinkCounters counters;
        rig.Monitor.AddObserver(log);
        rig.Monitor.AddObserver(counters);
        TResponder controller(rig.Clock, rig.Link, rig.Monitor);
        controller.Delay = Millis(20);
        controller.Answers = NormalAnswer;
        log.StartFile(file, {});
        rig.Open();

        // Nor is the rig's record of the writes: it is emptied as we go.
        auto runTo = [&](long long At) {
            rig.RunTo(At);
            rig.Link.Writes.clear();
            rig.Link.Writes.shrink_to_fit();
            ASSERT_TRUE(log.File()->WaitIdle(std::chrono::seconds(30)));
        };
        // Ten minutes: 6,000 replies, 12,000 rows, the ring is full.
        for (long long t = 60'000; t <= 600'000; t += 60'000)
            runTo(t);
        ASSERT_EQ(log.Size(), TTrafficLog::DefaultCapacity);
        const long long full = LiveBytes;
        const long rssFull = RssKb();

        // Half an hour: every slot of the ring has held each kind of row by now, so its
        // buffers have grown to the longest they are given.
        for (long long t = 660'000; t <= 1'800'000; t += 60'000)
            runTo(t);
        const long long half = LiveBytes;
        // The rest of the hour.
        for (long long t = 1'860'000; t <= 3'600'000; t += 60'000)
            runTo(t);
        const long long end = LiveBytes;
        const long rssEnd = RssKb();

        EXPECT_GE(counters.Data().Replies, 35'990u);
        EXPECT_EQ(counters.Data().RepliesMissing, 0u);
        EXPECT_EQ(log.Size(), TTrafficLog::DefaultCapacity);
        // The opening, every command and every reply.
        EXPECT_EQ(log.EndSeq(), 1 + counters.Data().CommandsSent + counters.Data().Replies);
        const auto written = log.File()->Status().LinesWritten;
        EXPECT_EQ(written, log.EndSeq());
        EXPECT_EQ(log.File()->Status().LinesDropped, 0u);

        std::printf(
            "rows %llu, file lines %llu; memory held: %lld kB when the ring filled "
            "(10 min), %lld kB at 30 min, %lld kB at 60 min; resident %ld kB -> %ld kB\n",
            static_cast<unsigned long long>(log.EndSeq()), static_cast<unsigned long long>(written),
            (full - before) / 1024, (half - before) / 1024, (end - before) / 1024, rssFull, rssEnd);
        // Flat: the slots of the ring are reused, nothing grows with the rows.
        EXPECT_LE(end - half, 4 * 1024);
        // Bounded: what a slot's buffers grow to is the longest frame it held.
        EXPECT_LE(half - full, 256 * 1024);
        EXPECT_LE(end - before, 8ll << 20);
        rig.Monitor.RemoveObserver(log);
        rig.Monitor.RemoveObserver(counters);
    }
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace coretest
