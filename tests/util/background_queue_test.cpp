// The background queue: items drained in batches by a handler on a thread of its own.
// Nothing here sleeps to let the thread run: each test waits on a condition with a time-out
// far beyond what a busy machine needs, or holds the handler at a gate of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BackgroundQueue.h"

namespace {

using namespace std::chrono_literals;
using TQueue = util::TBackgroundQueue<int>;
using TPush = TQueue::TPushResult;

constexpr auto Long = 30s;  // a wait that only a fault runs out

// What the handler saw, shared with it: the thread may outlive the queue and the test's
// scope, so it holds its own share.
struct TSeen {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<std::vector<int>> Batches;
    int Items = 0;
    int Begins = 0, Ends = 0;
    int EndAfterItems = -1;  // how many items were handled when End came
    bool BeginOk = true;
    int StopAt = -1;    // Take says stop on the batch holding this item
    bool Gate = true;   // false: the handler waits in its next call until it opens
    bool Held = false;  // the handler waits at the gate

    void Pass(std::unique_lock<std::mutex>& Lock) {
        Held = !Gate;
        Changed.notify_all();
        Changed.wait(Lock, [&] { return Gate; });
        Held = false;
    }
    template <class TPred>
    bool WaitFor(TPred Pred) {
        std::unique_lock lock(Mutex);
        return Changed.wait_for(lock, Long, Pred);
    }
    void Open() {
        std::lock_guard lock(Mutex);
        Gate = true;
        Changed.notify_all();
    }
};

TQueue::THandler Handler(const std::shared_ptr<TSeen>& Seen) {
    return {[Seen] {
                std::unique_lock lock(Seen->Mutex);
                ++Seen->Begins;
                Seen->Pass(lock);
                return Seen->BeginOk;
            },
            [Seen](std::vector<int>& Batch) {
                std::unique_lock lock(Seen->Mutex);
                Seen->Pass(lock);
                Seen->Batches.push_back(Batch);
                Seen->Items += static_cast<int>(Batch.size());
                Seen->Changed.notify_all();
                for (int i : Batch)
                    if (i == Seen->StopAt) return false;
                return true;
            },
            [Seen] {
                std::lock_guard lock(Seen->Mutex);
                ++Seen->Ends;
                Seen->EndAfterItems = Seen->Items;
                Seen->Changed.notify_all();
            }};
}

std::vector<int> Flat(const std::vector<std::vector<int>>& Batches) {
    std::vector<int> all;
    for (const auto& b : Batches)
        all.insert(all.end(), b.begin(), b.end());
    return all;
}

TEST(BackgroundQueue, HandlesEveryItemInOrderBeforeCloseReturns) {
    auto seen = std::make_shared<TSeen>();
    TQueue q(Handler(seen));
    constexpr int N = 20000;
    std::vector<int> expected;
    for (int i = 0; i < N; ++i) {
        ASSERT_EQ(q.Push(i, 2), TPush::Queued);
        expected.push_back(i);
    }
    ASSERT_TRUE(q.Close(Long));
    std::lock_guard lock(seen->Mutex);
    EXPECT_EQ(Flat(seen->Batches), expected);
    for (const auto& b : seen->Batches)
        EXPECT_FALSE(b.empty());
    EXPECT_EQ(seen->Begins, 1);
    EXPECT_EQ(seen->Ends, 1);
    EXPECT_EQ(seen->EndAfterItems, N);  // End comes after the last batch
    const auto c = q.Counters();
    EXPECT_EQ(c.Pushed, std::uint64_t{N});
    EXPECT_EQ(c.Done, std::uint64_t{N});
    EXPECT_EQ(c.WeightPushed, 2u * N);
    EXPECT_EQ(c.WeightDone, 2u * N);
    EXPECT_TRUE(c.Ended);
    EXPECT_FALSE(c.Stopped);
    EXPECT_EQ(q.Push(N, 1), TPush::Closed);  // nothing after the end
}

// Several callers at once: each caller's items keep their order, none is lost.
TEST(BackgroundQueue, KeepsEachCallersOrder) {
    auto seen = std::make_shared<TSeen>();
    TQueue q(Handler(seen));
    constexpr int PerCaller = 5000;
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c)
        callers.emplace_back([&q, c] {
            for (int i = 0; i < PerCaller; ++i)
                q.Push(c * PerCaller + i);
        });
    for (auto& t : callers)
        t.join();
    ASSERT_TRUE(q.Close(Long));
    std::lock_guard lock(seen->Mutex);
    const std::vector<int> all = Flat(seen->Batches);
    ASSERT_EQ(all.size(), 3u * PerCaller);
    int next[3] = {0, PerCaller, 2 * PerCaller};
    for (int i : all)
        ASSERT_EQ(i, next[i / PerCaller]++);
}

// What comes while the handler works waits, and is taken as one batch.
TEST(BackgroundQueue, TakesWhatWaitedAsOneBatch) {
    auto seen = std::make_shared<TSeen>();
    TQueue q(Handler(seen));
    ASSERT_TRUE(q.WaitDone(Long));  // begun
    {
        std::lock_guard lock(seen->Mutex);
        seen->Gate = false;
    }
    q.Push(1);
    ASSERT_TRUE(seen->WaitFor([&] { return seen->Held; }));  // holding item 1
    for (int i = 2; i <= 50; ++i)
        q.Push(i, 3);
    EXPECT_EQ(q.PendingWeight(), 49u * 3);
    EXPECT_FALSE(q.WaitDone(0ms));
    seen->Open();
    ASSERT_TRUE(q.WaitDone(Long));
    EXPECT_EQ(q.PendingWeight(), 0u);
    std::lock_guard lock(seen->Mutex);
    ASSERT_EQ(seen->Batches.size(), 2u);
    EXPECT_EQ(seen->Batches[0], std::vector<int>{1});
    EXPECT_EQ(seen->Batches[1].size(), 49u);
    EXPECT_EQ(seen->Batches[1].front(), 2);
}

// With a batch delay, items wait for it, unless one is urgent or someone waits for them.
TEST(BackgroundQueue, BatchDelayHoldsItemsUntilUrgedOrDue) {
    {
        auto seen = std::make_shared<TSeen>();
        TQueue q(Handler(seen), 1h);
        q.Push(1);
        q.Push(2);
        q.Push(3);
        q.Push(4, 1, true);
        ASSERT_TRUE(seen->WaitFor([&] { return seen->Items == 4; }));
        std::lock_guard lock(seen->Mutex);
        ASSERT_EQ(seen->Batches.size(), 1u);  // the three waited for the urgent one
        EXPECT_EQ(seen->Batches[0], (std::vector<int>{1, 2, 3, 4}));
    }
    {
        auto seen = std::make_shared<TSeen>();
        TQueue q(Handler(seen), 1h);
        q.Push(1);
        ASSERT_TRUE(q.WaitDone(Long));  // waiting urges
        EXPECT_EQ(seen->Items, 1);
    }
    {
        auto seen = std::make_shared<TSeen>();
        TQueue q(Handler(seen), 1h);
        q.Push(1);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(q.Close(Long));  // the end does not wait out the delay
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10min);
        EXPECT_EQ(seen->Items, 1);
    }
    {
        auto seen = std::make_shared<TSeen>();
        TQueue q(Handler(seen), 40ms);
        const auto start = std::chrono::steady_clock::now();
        q.Push(1);
        ASSERT_TRUE(seen->WaitFor([&] { return seen->Items == 1; }));  // due on its own
        EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    }
}

// A handler that never comes back (a disk that no longer answers) holds up Close for its
// time-out only; the thread finishes on its own once the handler returns.
TEST(BackgroundQueue, CloseWithAStuckHandlerIsBounded) {
    auto seen = std::make_shared<TSeen>();
    {
        TQueue q(Handler(seen));
        ASSERT_TRUE(q.WaitDone(Long));
        {
            std::lock_guard lock(seen->Mutex);
            seen->Gate = false;
        }
        q.Push(1, 1);
        ASSERT_TRUE(seen->WaitFor([&] { return seen->Held; }));
        q.Push(2, 5);
        q.Push(3, 7);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(q.Close(100ms));
        EXPECT_LT(std::chrono::steady_clock::now() - start, Long);
        const auto c = q.Counters();
        EXPECT_EQ(c.WeightPushed - c.WeightDone, 13u);
        EXPECT_EQ(c.Pushed - c.Done, 3u);
        EXPECT_FALSE(c.Ended);
        EXPECT_EQ(q.Push(4), TPush::Closed);
    }  // the queue is gone, its thread still held
    seen->Open();
    ASSERT_TRUE(seen->WaitFor([&] { return seen->Ends == 1; }));
    EXPECT_EQ(Flat(seen->Batches), (std::vector<int>{1, 2, 3}));
}

// A handler that says stop (a failed disk): nothing more is handled or taken, and whoever
// waits is let go.
TEST(BackgroundQueue, AStoppedHandlerDropsTheRest) {
    const struct {
        const char* Name;
        bool BeginOk;
        int StopAt;
        std::vector<int> Handled;
    } cases[] = {
        {"Begin fails", false, -1, {}},
        {"Take fails", true, 2, {1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto seen = std::make_shared<TSeen>();
        {
            std::lock_guard lock(seen->Mutex);
            seen->BeginOk = c.BeginOk;
            seen->StopAt = c.StopAt;
            seen->Gate = false;  // everything below waits before the first call
        }
        TQueue q(Handler(seen));
        q.Push(1);
        q.Push(2);
        seen->Open();
        ASSERT_TRUE(q.WaitDone(Long));  // let go by the end of the thread
        EXPECT_TRUE(q.Counters().Ended);
        EXPECT_EQ(q.Push(3), TPush::Closed);
        EXPECT_TRUE(q.Close(Long));
        const auto counters = q.Counters();
        EXPECT_TRUE(counters.Stopped);
        EXPECT_EQ(counters.Done, 0u);  // a failed batch is not done
        EXPECT_EQ(counters.PendingWeight, 0u);
        std::lock_guard lock(seen->Mutex);
        EXPECT_EQ(Flat(seen->Batches), c.Handled);
        EXPECT_EQ(seen->Ends, 0);
    }
}

// The weight that waits is bounded where the caller asks: beyond it items are refused, and
// room comes back once the thread has taken them.
TEST(BackgroundQueue, BoundsTheWeightThatWaits) {
    auto seen = std::make_shared<TSeen>();
    {
        std::lock_guard lock(seen->Mutex);
        seen->Gate = false;  // Begin waits: nothing is taken
    }
    TQueue q(Handler(seen));
    ASSERT_TRUE(seen->WaitFor([&] { return seen->Held; }));
    const struct {
        std::uint64_t Weight;
        TPush Result;
    } pushes[] = {{4, TPush::Queued}, {4, TPush::Queued}, {4, TPush::Full},
                  {2, TPush::Queued}, {1, TPush::Full},   {0, TPush::Queued}};
    int item = 0;
    for (const auto& p : pushes)
        EXPECT_EQ(q.Push(++item, p.Weight, false, 10), p.Result) << item;
    EXPECT_EQ(q.PendingWeight(), 10u);
    EXPECT_EQ(q.Push(99, TQueue::NoLimit, false, 10), TPush::Full);
    seen->Open();
    ASSERT_TRUE(q.WaitDone(Long));
    EXPECT_EQ(q.PendingWeight(), 0u);
    EXPECT_EQ(q.Push(7, 10, false, 10), TPush::Queued);
    ASSERT_TRUE(q.Close(Long));
    std::lock_guard lock(seen->Mutex);
    EXPECT_EQ(Flat(seen->Batches), (std::vector<int>{1, 2, 4, 6, 7}));
}

}  // namespace
