// Serial and global queues, delayed work and detached threads.

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "tests/dispatch/counter.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using dispatchtest::Counter;
using dispatchtest::kPatience;

TEST(SerialQueue, RunsWorkInSubmissionOrder) {
    const Queue queue = Queue::serial("test.order");
    std::vector<int> seen;  // Touched only by the queue's work and, after `done`, the test.
    Counter done;
    constexpr int kItems = 2000;
    for (int i = 0; i < kItems; ++i) {
        queue.async([&seen, &done, i] {
            seen.push_back(i);
            if (i == kItems - 1) {
                done.add();
            }
        });
    }
    ASSERT_TRUE(done.waitFor(1));
    ASSERT_EQ(seen.size(), static_cast<size_t>(kItems));
    for (int i = 0; i < kItems; ++i) {
        ASSERT_EQ(seen[i], i);
    }
}

TEST(SerialQueue, KeepsEachProducersOrderAndNeverOverlaps) {
    const Queue queue = Queue::serial("test.overlap");
    constexpr int kProducers = 4;
    constexpr int kItemsEach = 300;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> notCurrent{0};
    std::vector<int> lastFrom(kProducers, -1);  // Only the queue's work touches it.
    std::atomic<int> outOfOrder{0};
    Counter finished;

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItemsEach; ++i) {
                queue.async([&, p, i] {
                    if (inside.fetch_add(1) != 0) {
                        overlaps.fetch_add(1);
                    }
                    if (!queue.isCurrent()) {
                        notCurrent.fetch_add(1);
                    }
                    if (lastFrom[p] != i - 1) {
                        outOfOrder.fetch_add(1);
                    }
                    lastFrom[p] = i;
                    std::this_thread::yield();  // Widen the window an overlap would need.
                    inside.fetch_sub(1);
                    finished.add();
                });
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    ASSERT_TRUE(finished.waitFor(kProducers * kItemsEach));
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(notCurrent.load(), 0);
    EXPECT_EQ(outOfOrder.load(), 0);
}

TEST(SerialQueue, IsCurrentOnlyInsideItsOwnWork) {
    const Queue first = Queue::serial("test.first");
    const Queue second = Queue::serial("test.second");
    EXPECT_FALSE(first.isCurrent());
    EXPECT_FALSE(Queue::main().isCurrent());

    std::atomic<bool> firstInFirst{false};
    std::atomic<bool> secondInFirst{true};
    std::atomic<bool> copyInFirst{false};
    Counter done;
    first.async([&, copy = first] {
        firstInFirst = first.isCurrent();
        secondInFirst = second.isCurrent();
        copyInFirst = copy.isCurrent();  // Copies are handles to the same queue.
        done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_TRUE(firstInFirst);
    EXPECT_FALSE(secondInFirst);
    EXPECT_TRUE(copyInFirst);
    EXPECT_EQ(first.label(), "test.first");
}

TEST(SerialQueue, WorkQueuedBeforeTheLastHandleGoesStillRuns) {
    Counter ran;
    {
        const Queue queue = Queue::serial("test.dropped");
        for (int i = 0; i < 10; ++i) {
            queue.async([&ran] { ran.add(); });
        }
        queue.asyncAfter(20ms, [&ran] { ran.add(); });
    }
    EXPECT_TRUE(ran.waitFor(11));
}

int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

TEST(SerialQueue, ThreadsOfDroppedQueuesEnd) {
    constexpr int kQueues = 40;
    int withQueues = 0;
    {
        std::vector<Queue> queues;
        Counter ran;
        for (int i = 0; i < kQueues; ++i) {
            queues.push_back(Queue::serial("test.many"));
            queues.back().async([&ran] { ran.add(); });
        }
        ASSERT_TRUE(ran.waitFor(kQueues));
        withQueues = threadCount();
    }
    // Counted down from the peak: threads other tests left behind may end meanwhile,
    // which only helps. A thread leaves /proc only once it has ended, so there is
    // nothing to wait on but the count itself.
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (threadCount() > withQueues - kQueues && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_LE(threadCount(), withQueues - kQueues);
}

TEST(GlobalQueue, WorkDoesNotWaitBehindABlockedItem) {
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    Counter blockedStarted;
    Counter blockedFinished;
    Counter laterRan;

    Queue::global().async([&] {
        blockedStarted.add();
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return open; });
        lock.unlock();
        blockedFinished.add();
    });
    ASSERT_TRUE(blockedStarted.waitFor(1));
    Queue::global().async([&] { laterRan.add(); });
    EXPECT_TRUE(laterRan.waitFor(1));

    {
        std::scoped_lock lock(mutex);
        open = true;
    }
    released.notify_all();
    EXPECT_TRUE(blockedFinished.waitFor(1));
}

TEST(GlobalQueue, RunsAllWorkAndIsCurrentInsideIt) {
    Counter ran;
    std::atomic<int> notCurrent{0};
    constexpr int kItems = 500;
    for (int i = 0; i < kItems; ++i) {
        Queue::global().async([&] {
            if (!Queue::global().isCurrent()) {
                notCurrent.fetch_add(1);
            }
            ran.add();
        });
    }
    ASSERT_TRUE(ran.waitFor(kItems));
    EXPECT_EQ(notCurrent.load(), 0);
    EXPECT_FALSE(Queue::global().isCurrent());
}

// Delays are measured on the monotonic clock: the work may be late on a busy machine
// but never early.
TEST(AsyncAfter, NeverRunsEarly) {
    const Queue queue = Queue::serial("test.after");
    const std::vector<std::chrono::milliseconds> delays = {0ms, 1ms, 15ms, 60ms, 150ms};
    struct Result {
        std::chrono::steady_clock::duration waited{};
        bool onQueue = false;
    };
    std::vector<Result> results(delays.size());
    Counter ran;
    for (size_t i = 0; i < delays.size(); ++i) {
        const auto posted = std::chrono::steady_clock::now();
        queue.asyncAfter(delays[i], [&, i, posted] {
            results[i].waited = std::chrono::steady_clock::now() - posted;
            results[i].onQueue = queue.isCurrent();
            ran.add();
        });
    }
    ASSERT_TRUE(ran.waitFor(static_cast<int>(delays.size())));
    for (size_t i = 0; i < delays.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "delay " << delays[i].count() << " ms");
        EXPECT_GE(results[i].waited, delays[i]);
        EXPECT_LT(results[i].waited, delays[i] + 5s);
        EXPECT_TRUE(results[i].onQueue);
    }
}

TEST(AsyncAfter, EarlierDeadlinesRunFirst) {
    const Queue queue = Queue::serial("test.deadlines");
    std::vector<int> order;  // Touched only on the queue until `ran` says all are done.
    Counter ran;
    const std::vector<std::pair<int, std::chrono::milliseconds>> items = {
        {3, 90ms}, {1, 10ms}, {2, 50ms}, {4, 130ms}};
    for (const auto& [id, delay] : items) {
        queue.asyncAfter(delay, [&, id] {
            order.push_back(id);
            ran.add();
        });
    }
    ASSERT_TRUE(ran.waitFor(4));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(AsyncAfter, HugeDelayNeverFiresAndDoesNotDelayOthers) {
    const Queue queue = Queue::serial("test.forever");
    std::atomic<bool> forever{false};
    queue.asyncAfter(Nanoseconds::max(), [&] { forever = true; });
    Counter ran;
    queue.asyncAfter(5ms, [&] { ran.add(); });
    ASSERT_TRUE(ran.waitFor(1));
    EXPECT_FALSE(forever);
}

TEST(DetachThread, RunsTheWorkOnAnotherThread) {
    Counter ran;
    std::thread::id workerId;
    detachThread([&] {
        workerId = std::this_thread::get_id();
        ran.add();
    });
    ASSERT_TRUE(ran.waitFor(1));
    EXPECT_NE(workerId, std::this_thread::get_id());
}

}  // namespace
}  // namespace platform::dispatch
