// Repeating timers: first fire, interval, one-shot timers and every way to stop one.
//
// To show that a stopped timer does not fire again, the tests queue a marker with
// asyncAfter on the timer's own queue, due a few intervals after the stop. Deadlines
// are served in order and the queue runs in order, so any fire that was going to
// happen before the marker's deadline has run by the time the marker runs.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
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

// Runs the marker described above and waits for it.
void waitPastDeadlinesOf(const Queue& queue, Nanoseconds span) {
    Counter marker;
    queue.asyncAfter(span, [&marker] { marker.add(); });
    ASSERT_TRUE(marker.waitFor(1));
}

TEST(Timer, FirstFireAndIntervalAreNeverEarly) {
    const Queue queue = Queue::serial("test.timer");
    constexpr auto kFirst = 60ms;
    constexpr auto kInterval = 25ms;
    constexpr int kFires = 8;
    std::mutex mutex;
    std::vector<Clock::time_point> fires;
    std::atomic<int> offQueue{0};
    Counter fired;

    const auto created = Clock::now();
    const auto timer = Timer::create(queue, kFirst, kInterval, 1ms, [&] {
        if (!queue.isCurrent()) {
            offQueue.fetch_add(1);
        }
        {
            std::scoped_lock lock(mutex);
            fires.push_back(Clock::now());
        }
        fired.add();
    });
    ASSERT_TRUE(fired.waitFor(kFires));
    timer->cancel();
    waitPastDeadlinesOf(queue, 0ms);  // A fire still running finishes before the locals go.

    std::scoped_lock lock(mutex);
    ASSERT_GE(fires.size(), static_cast<size_t>(kFires));
    EXPECT_GE(fires[0] - created, kFirst);
    EXPECT_LT(fires[0] - created, kFirst + 5s);
    // The n-th fire is due at first + n * interval: never before, and late fires are
    // skipped rather than bunched, so fires never come faster than the interval allows.
    for (size_t n = 1; n < fires.size(); ++n) {
        EXPECT_GE(fires[n] - created, kFirst + static_cast<int>(n) * kInterval) << "fire " << n;
    }
    EXPECT_EQ(offQueue.load(), 0);
}

TEST(Timer, FireCountOverAWindowMatchesTheInterval) {
    const Queue queue = Queue::serial("test.window");
    constexpr auto kInterval = 20ms;
    Counter fired;
    const auto created = Clock::now();
    const auto timer = Timer::create(queue, kInterval, kInterval, 0ms, [&] { fired.add(); });
    ASSERT_TRUE(fired.waitFor(10));
    timer->cancel();
    const auto window = Clock::now() - created;
    waitPastDeadlinesOf(queue, 0ms);  // A fire still running finishes before `fired` goes.
    // At most one fire per elapsed interval; at least ten fired, which needs ten intervals.
    EXPECT_LE(fired.value(), static_cast<int>(window / kInterval));
    EXPECT_GE(window, 10 * kInterval);
}

struct StopCase {
    const char* name;
    int stopAfter;
    enum class How { cancelFromTest, cancelFromHandler, dropHandle } how;

    friend void PrintTo(const StopCase& stop, std::ostream* out) { *out << stop.name; }
};

class TimerStop : public testing::TestWithParam<StopCase> {};

TEST_P(TimerStop, NoFireAfterTheStop) {
    const StopCase& stop = GetParam();
    const Queue queue = Queue::serial("test.stop");
    constexpr auto kInterval = 5ms;
    Counter fired;
    std::mutex mutex;
    std::shared_ptr<Timer> timer;  // Guarded by `mutex`: the handler may cancel through it.

    {
        std::scoped_lock lock(mutex);
        timer = Timer::create(queue, kInterval, kInterval, 0ms, [&] {
            fired.add();
            if (stop.how == StopCase::How::cancelFromHandler && fired.value() == stop.stopAfter) {
                std::scoped_lock lock(mutex);
                timer->cancel();
            }
        });
    }
    ASSERT_TRUE(fired.waitFor(stop.stopAfter));
    int firesAtStop = stop.stopAfter;
    {
        std::scoped_lock lock(mutex);
        switch (stop.how) {
        case StopCase::How::cancelFromTest:
            timer->cancel();
            EXPECT_TRUE(timer->isCancelled());
            firesAtStop = fired.value();
            break;
        case StopCase::How::cancelFromHandler:
            break;
        case StopCase::How::dropHandle:
            timer.reset();
            firesAtStop = fired.value();
            break;
        }
    }
    waitPastDeadlinesOf(queue, 10 * kInterval);
    // A fire already running on the queue when the test stopped the timer may finish
    // (and count) after the stop; none may start later.
    const int slack = stop.how == StopCase::How::cancelFromHandler ? 0 : 1;
    EXPECT_LE(fired.value(), firesAtStop + slack);
    if (stop.how == StopCase::How::cancelFromHandler) {
        std::scoped_lock lock(mutex);
        EXPECT_TRUE(timer->isCancelled());
        EXPECT_EQ(fired.value(), stop.stopAfter);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, TimerStop,
    testing::Values(StopCase{"cancelFromTest", 3, StopCase::How::cancelFromTest},
                    StopCase{"cancelFromHandler", 3, StopCase::How::cancelFromHandler},
                    StopCase{"cancelFromHandlerOnFirstFire", 1, StopCase::How::cancelFromHandler},
                    StopCase{"dropHandle", 3, StopCase::How::dropHandle}),
    [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST(Timer, CancelBeforeTheFirstFireMeansNoFire) {
    const Queue queue = Queue::serial("test.early.cancel");
    std::atomic<int> fired{0};
    const auto timer = Timer::create(queue, 30ms, 10ms, 0ms, [&] { fired.fetch_add(1); });
    timer->cancel();
    timer->cancel();  // A second cancel is harmless.
    waitPastDeadlinesOf(queue, 100ms);
    EXPECT_EQ(fired.load(), 0);
    EXPECT_TRUE(timer->isCancelled());
}

TEST(Timer, CancelWhileAFireWaitsOnTheQueueSkipsIt) {
    const Queue queue = Queue::serial("test.queued.fire");
    Counter blockerRunning;
    std::mutex gate;
    std::unique_lock hold(gate);
    // Keep the queue busy so the first fire has to wait behind this item.
    queue.async([&] {
        blockerRunning.add();
        std::scoped_lock wait(gate);
    });
    ASSERT_TRUE(blockerRunning.waitFor(1));
    std::atomic<int> fired{0};
    Counter due;
    const auto timer = Timer::create(queue, 1ms, 0ms, 0ms, [&] { fired.fetch_add(1); });
    // Once a marker due after the fire has passed the deadline service, the fire is
    // queued behind the blocker.
    Queue::serial("test.queued.fire.clock").asyncAfter(20ms, [&] { due.add(); });
    ASSERT_TRUE(due.waitFor(1));
    timer->cancel();
    hold.unlock();
    waitPastDeadlinesOf(queue, 10ms);
    EXPECT_EQ(fired.load(), 0);
}

TEST(Timer, ZeroIntervalFiresOnce) {
    const Queue queue = Queue::serial("test.oneshot");
    Counter fired;
    const auto timer = Timer::create(queue, 5ms, 0ms, 0ms, [&] { fired.add(); });
    ASSERT_TRUE(fired.waitFor(1));
    waitPastDeadlinesOf(queue, 60ms);
    EXPECT_EQ(fired.value(), 1);
}

TEST(Timer, FiresNeverOverlapOnTheGlobalQueue) {
    // Shared with the handler: a fire still running on a global worker after the
    // cancel may outlive this test's frame.
    struct Observed {
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        Counter fired;
    };
    const auto observed = std::make_shared<Observed>();
    const auto timer = Timer::create(Queue::global(), 1ms, 1ms, 0ms, [observed] {
        if (observed->inside.fetch_add(1) != 0) {
            observed->overlaps.fetch_add(1);
        }
        std::this_thread::sleep_for(3ms);  // Work longer than the interval, on purpose.
        observed->inside.fetch_sub(1);
        observed->fired.add();
    });
    ASSERT_TRUE(observed->fired.waitFor(10));
    timer->cancel();
    EXPECT_EQ(observed->overlaps.load(), 0);
}

}  // namespace
}  // namespace platform::dispatch
