// Signal sources: the signal never ends the process, and its handler runs on the
// source's queue. The process running these tests raises SIGTERM and SIGINT at
// itself and must survive them.

#include <atomic>
#include <csignal>
#include <memory>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "tests/dispatch/counter.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using dispatchtest::Counter;

// Shared with the handler: a delivery queued before a cancel may run after the test's
// frame is gone (it then does nothing, but it still holds its captures).
struct Observed {
    Counter runs;
    std::atomic<int> offQueue{0};
};

std::shared_ptr<SignalSource> observe(int signalNumber, const Queue& queue,
                                      const std::shared_ptr<Observed>& observed) {
    return SignalSource::create(signalNumber, queue, [queue, observed] {
        if (!queue.isCurrent()) {
            observed->offQueue.fetch_add(1);
        }
        observed->runs.add();
    });
}

class SignalSourceOf : public testing::TestWithParam<int> {};

TEST_P(SignalSourceOf, EachRaiseRunsTheHandlerOnItsQueue) {
    const int signalNumber = GetParam();
    const Queue queue = Queue::serial("test.signal");
    const auto observed = std::make_shared<Observed>();
    const auto source = observe(signalNumber, queue, observed);
    ASSERT_NE(source, nullptr);

    // One raise at a time: arrivals while a delivery is still queued may merge.
    for (int n = 1; n <= 3; ++n) {
        ASSERT_EQ(raise(signalNumber), 0);
        ASSERT_TRUE(observed->runs.waitFor(n)) << "raise " << n;
    }
    EXPECT_EQ(observed->offQueue.load(), 0);
    source->cancel();
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, SignalSourceOf, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

TEST(SignalSource, ABurstOfSignalsRunsTheHandlerAtLeastOnce) {
    const Queue queue = Queue::serial("test.signal.burst");
    const auto observed = std::make_shared<Observed>();
    const auto source = observe(SIGTERM, queue, observed);
    ASSERT_NE(source, nullptr);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(raise(SIGTERM), 0);
    }
    ASSERT_TRUE(observed->runs.waitFor(1));
    EXPECT_LE(observed->runs.value(), 50);
    source->cancel();
}

TEST(SignalSource, EverySourceOfTheSignalRuns) {
    const auto first = std::make_shared<Observed>();
    const auto second = std::make_shared<Observed>();
    const Queue firstQueue = Queue::serial("test.signal.a");
    const Queue secondQueue = Queue::serial("test.signal.b");
    const auto a = observe(SIGTERM, firstQueue, first);
    const auto b = observe(SIGTERM, secondQueue, second);
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_TRUE(first->runs.waitFor(1));
    EXPECT_TRUE(second->runs.waitFor(1));
    EXPECT_EQ(first->offQueue.load() + second->offQueue.load(), 0);
    a->cancel();
    b->cancel();
}

TEST(SignalSource, CancelledSourceStaysQuietAndTheSignalStaysHarmless) {
    const Queue queue = Queue::serial("test.signal.cancel");
    const auto cancelled = std::make_shared<Observed>();
    observe(SIGTERM, queue, cancelled)->cancel();
    // A later source on the same queue: its delivery is queued in the same pass as the
    // cancelled one's would be, so once it ran the cancelled one had its chance.
    const auto witness = std::make_shared<Observed>();
    const auto live = observe(SIGTERM, queue, witness);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_TRUE(witness->runs.waitFor(1));
    EXPECT_EQ(cancelled->runs.value(), 0);
    live->cancel();
}

TEST(SignalSource, RefusesSignalsThatCannotBeCaught) {
    for (const int signalNumber : {SIGKILL, SIGSTOP, 0, -1, NSIG}) {
        EXPECT_EQ(SignalSource::create(signalNumber, Queue::global(), [] {}), nullptr)
            << "signal " << signalNumber;
    }
}

TEST(SignalSourceDeathTest, SourceWithoutHandlesStillRunsAndSignalDoesNotKill) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The handle is dropped at once; the source must keep working.
            SignalSource::create(SIGTERM, Queue::global(), [] { _exit(3); });
            raise(SIGTERM);
            serveMainQueueUntil([] { return false; }, 10s);
            _exit(1);
        },
        testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace platform::dispatch
