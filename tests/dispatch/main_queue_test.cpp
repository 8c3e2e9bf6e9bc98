// The main queue: served by whoever gives it a thread (dispatchMain for the programs,
// serveMainQueueUntil for tests), and a process that ends by exit while queues,
// timers and signal sources are alive ends cleanly.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "tests/dispatch/counter.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using dispatchtest::Counter;
using dispatchtest::kPatience;

TEST(MainQueue, ServesPostedWorkInOrderOnTheServingThread) {
    const auto servingThread = std::this_thread::get_id();
    std::vector<int> order;  // Touched only by main-queue work, which runs on this thread.
    int offThread = 0;
    int notCurrent = 0;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            Queue::main().async([&, i] {
                order.push_back(i);
                offThread += std::this_thread::get_id() != servingThread;
                notCurrent += !Queue::main().isCurrent();
            });
        }
    });
    const bool done = serveMainQueueUntil([&] { return order.size() == 100; }, kPatience);
    poster.join();
    ASSERT_TRUE(done);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(order[i], i);
    }
    EXPECT_EQ(offThread, 0);
    EXPECT_EQ(notCurrent, 0);
    EXPECT_FALSE(Queue::main().isCurrent());
    EXPECT_EQ(Queue::main().label(), "main");
}

TEST(MainQueue, ServingGivesUpAtTheTimeout) {
    const auto started = Clock::now();
    EXPECT_FALSE(serveMainQueueUntil([] { return false; }, 80ms));
    const auto took = Clock::now() - started;
    EXPECT_GE(took, 80ms);
    EXPECT_LT(took, 80ms + 5s);
}

TEST(MainQueue, ServingNoticesAConditionSetElsewhere) {
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    const auto started = Clock::now();
    EXPECT_TRUE(serveMainQueueUntil([&] { return flag.load(); }, kPatience));
    EXPECT_LT(Clock::now() - started, kPatience);
    setter.join();
}

TEST(MainQueue, TimersAndDelayedWorkFireWhileServed) {
    int fires = 0;  // Main-queue work only.
    bool delayedRan = false;
    const auto timer = Timer::create(Queue::main(), 10ms, 10ms, 5ms, [&] { ++fires; });
    Queue::main().asyncAfter(30ms, [&] { delayedRan = true; });
    EXPECT_TRUE(serveMainQueueUntil([&] { return fires >= 5 && delayedRan; }, kPatience));
    timer->cancel();
}

TEST(MainQueue, SignalHandlerRunsOnTheMainQueue) {
    bool ran = false;  // Main-queue work only.
    bool onMain = false;
    const auto source = SignalSource::create(SIGINT, Queue::main(), [&] {
        ran = true;
        onMain = Queue::main().isCurrent();
    });
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(serveMainQueueUntil([&] { return ran; }, kPatience));
    EXPECT_TRUE(onMain);
    source->cancel();
}

// The programs park the main thread in dispatchMain and end by exit() from queued work
// while every other thread is still busy. The exit must be clean: status as given,
// no crash from static destruction under running threads.
TEST(DispatchMainDeathTest, ExitFromMainQueueWorkEndsTheProcessCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const Queue busy = Queue::serial("test.busy");
            for (int i = 0; i < 1000; ++i) {
                busy.async([] { std::this_thread::sleep_for(1ms); });
            }
            Queue::global().async([] { std::this_thread::sleep_for(1h); });
            static auto ticker = Timer::create(busy, 1ms, 1ms, 0ms, [] {});
            static auto source = SignalSource::create(SIGTERM, busy, [] {});
            detachThread([] { std::this_thread::sleep_for(1h); });
            int countdown = 0;
            static auto exitTimer = Timer::create(Queue::main(), 20ms, 1ms, 0ms, [&countdown] {
                if (++countdown == 5) {
                    raise(SIGTERM);
                    std::exit(7);
                }
            });
            dispatchMain();
        },
        testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace platform::dispatch
