// A queue of items drained in batches by a handler on a thread of its own.
//
// Callers hand over items and never wait for the handler. The thread takes everything
// that waits at once and gives it to the handler as one batch, in the order it was
// handed over. With a batch delay the thread waits that long after the first item of a
// batch came, so that a stream of items is handled in few batches; an urgent item, a
// wait for the handler (WaitDone) or the end (Finish, Close) takes what waits at once.
//
// Each item carries a weight (bytes, rows, or 0 for an item that does not count): the
// weight that waits bounds the queue where the caller asks for it, and the weight handed
// over against the weight handled says what a stuck handler left undone.
//
// The handler and everything the thread touches live in state that the thread shares:
// Close waits for the thread a bounded time only (a disk that no longer answers), and
// then the thread is left to finish on its own, outliving the queue. The handler must
// therefore hold nothing of its owner but shared state.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace util {

template <class T>
class TBackgroundQueue {
  public:
    using TDuration = std::chrono::steady_clock::duration;

    // Called on the queue's thread, never two at once.
    struct THandler {
        // First, before any batch (opening a file); false: stop at once.
        std::function<bool()> Begin;
        // Each batch, never empty, in order; false: stop, and what waits is dropped.
        std::function<bool(std::vector<T>& Batch)> Take;
        // After the last batch once Finish was asked, unless the handler stopped.
        std::function<void()> End;
    };

    enum class TPushResult {
        Queued,
        Full,    // the weight waiting would pass the limit given: not queued
        Closed,  // finished or stopped: not queued
    };

    struct TCounters {
        std::uint64_t Pushed = 0, Done = 0;  // items handed over, and handled
        std::uint64_t WeightPushed = 0, WeightDone = 0;
        std::uint64_t PendingWeight = 0;  // handed over, not yet taken by the thread
        bool Stopped = false;             // the handler said stop
        bool Ended = false;               // the thread has ended
    };

    static constexpr std::uint64_t NoLimit = std::numeric_limits<std::uint64_t>::max();

    // Starts the thread.
    explicit TBackgroundQueue(THandler Handler, TDuration BatchDelay = TDuration::zero())
        : FState(std::make_shared<TState>(std::move(Handler), BatchDelay)) {
        FThread = std::thread([state = FState] { state->Run(); });
    }
    // Finishes without waiting: the thread still handles what waits, then ends on its own.
    ~TBackgroundQueue() {
        Finish();
        if (!FThread.joinable()) return;
        if (Counters().Ended)
            FThread.join();
        else
            FThread.detach();
    }
    TBackgroundQueue(const TBackgroundQueue&) = delete;
    TBackgroundQueue& operator=(const TBackgroundQueue&) = delete;

    // Hands over one item. Refused when the weight waiting would pass MaxPendingWeight
    // (Full), or after Finish or a stop (Closed).
    TPushResult Push(T Item, std::uint64_t Weight = 1, bool Urgent = false,
                     std::uint64_t MaxPendingWeight = NoLimit) {
        TState& s = *FState;
        std::unique_lock lock(s.Mutex);
        if (s.FinishAsked || s.Stopped) return TPushResult::Closed;
        if (Weight > MaxPendingWeight || s.PendingWeight > MaxPendingWeight - Weight)
            return TPushResult::Full;
        bool wake = Urgent;
        if (s.Queue.empty()) {
            s.FirstQueued = std::chrono::steady_clock::now();
            wake = true;
        }
        s.Queue.push_back(std::move(Item));
        s.PendingWeight += Weight;
        s.Counters.Pushed += 1;
        s.Counters.WeightPushed += Weight;
        if (Urgent) s.Urgent = true;
        lock.unlock();
        if (wake) s.Wake.notify_one();
        return TPushResult::Queued;
    }

    // No more items: the thread handles what waits at once, calls End and ends.
    void Finish() {
        TState& s = *FState;
        {
            std::lock_guard lock(s.Mutex);
            s.FinishAsked = true;
        }
        s.Wake.notify_one();
    }

    // Takes what waits at once and waits until every item handed over so far is handled,
    // or the thread has ended (stopped, or finished). False when Timeout passed first.
    bool WaitDone(TDuration Timeout) const {
        TState& s = *FState;
        std::unique_lock lock(s.Mutex);
        const auto done = Urge(s, lock);
        return s.Progress.wait_for(lock, Timeout, done);
    }
    void WaitDone() const {
        TState& s = *FState;
        std::unique_lock lock(s.Mutex);
        s.Progress.wait(lock, Urge(s, lock));
    }

    // Finish, then wait for the thread to end, Timeout at most. False when the wait ran
    // out: the thread goes on on its own (see Counters for what it had not done).
    bool Close(TDuration Timeout) {
        Finish();
        bool ended;
        {
            TState& s = *FState;
            std::unique_lock lock(s.Mutex);
            ended = s.Progress.wait_for(lock, Timeout, [&] { return s.Counters.Ended; });
        }
        if (ended && FThread.joinable()) FThread.join();
        return ended;
    }

    TCounters Counters() const {
        std::lock_guard lock(FState->Mutex);
        TCounters c = FState->Counters;
        c.PendingWeight = FState->PendingWeight;
        c.Stopped = FState->Stopped;
        return c;
    }
    std::uint64_t PendingWeight() const {
        std::lock_guard lock(FState->Mutex);
        return FState->PendingWeight;
    }

  private:
    struct TState {
        TState(THandler H, TDuration D) : Handler(std::move(H)), BatchDelay(D) {}

        const THandler Handler;
        const TDuration BatchDelay;

        std::mutex Mutex;
        std::condition_variable Wake;      // to the thread
        std::condition_variable Progress;  // from the thread
        std::vector<T> Queue;
        static constexpr std::size_t KeepCapacity = 64;
        std::uint64_t PendingWeight = 0;
        std::chrono::steady_clock::time_point FirstQueued{};
        bool Urgent = false;
        bool FinishAsked = false;
        bool Begun = false;
        bool Stopped = false;
        TCounters Counters;

        void Run() {
            const bool begun = !Handler.Begin || Handler.Begin();
            std::unique_lock lock(Mutex);
            Begun = true;
            bool stopped = !begun;
            std::vector<T> batch;
            while (!stopped) {
                Progress.notify_all();
                Wake.wait(lock, [&] { return FinishAsked || Urgent || !Queue.empty(); });
                if (!FinishAsked && !Urgent && BatchDelay > TDuration::zero())
                    Wake.wait_until(lock, FirstQueued + BatchDelay,
                                    [&] { return FinishAsked || Urgent; });
                batch.swap(Queue);
                const std::uint64_t count = batch.size(), weight = PendingWeight;
                PendingWeight = 0;
                Urgent = false;
                const bool last = FinishAsked;
                lock.unlock();
                stopped = count > 0 && !Handler.Take(batch);
                batch.clear();
                // A burst leaves no large buffer behind: what the queue holds between
                // bursts stays the same however the batches happened to fall.
                if (batch.capacity() > KeepCapacity) std::vector<T>().swap(batch);
                lock.lock();
                if (stopped) break;
                Counters.Done += count;
                Counters.WeightDone += weight;
                if (last) {
                    // Whatever came after Finish was refused: nothing waits.
                    Progress.notify_all();
                    lock.unlock();
                    if (Handler.End) Handler.End();
                    lock.lock();
                    break;
                }
            }
            if (stopped) {
                Stopped = true;
                batch.swap(Queue);  // dropped, outside the lock
                PendingWeight = 0;
            }
            Counters.Ended = true;
            Progress.notify_all();
            lock.unlock();
            batch.clear();
        }
    };

    // Marks the wait urgent and gives its condition: every item handed over so far done.
    static auto Urge(TState& s, std::unique_lock<std::mutex>&) {
        s.Urgent = true;
        s.Wake.notify_one();
        const std::uint64_t target = s.Counters.Pushed;
        return [&s, target] { return (s.Begun && s.Counters.Done >= target) || s.Counters.Ended; };
    }

    std::shared_ptr<TState> FState;
    std::thread FThread;
};

}  // namespace util
