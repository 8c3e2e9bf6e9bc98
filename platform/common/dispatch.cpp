// Queues, the main loop and detached threads, on std::thread and condition variables.

#include "platform/dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/common/dispatch_internal.h"

namespace platform::dispatch {
namespace detail {
namespace {

// The core whose work the calling thread is running now; nullptr outside work items.
thread_local const QueueCore* currentCore = nullptr;

// The global pool grows while every worker is busy, so work never waits behind a
// blocked item, up to this many threads; beyond that, work waits for a free worker.
constexpr int kMaxGlobalWorkers = 64;
// An idle global worker ends after this long, so a burst of work leaves no threads behind.
constexpr auto kGlobalWorkerIdleLifetime = std::chrono::seconds(10);

}  // namespace

Clock::time_point deadlineAfter(Nanoseconds delay) {
    const auto now = Clock::now();
    if (delay <= Nanoseconds::zero()) {
        return now;
    }
    if (delay >= Clock::time_point::max() - now) {
        return Clock::time_point::max();
    }
    return now + std::chrono::duration_cast<Clock::duration>(delay);
}

void nameThisThread(const std::string& label) {
    // The kernel keeps 15 bytes of a thread name; longer names are refused outright.
    const std::string shortName = label.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
}

QueueCore::QueueCore(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}

void QueueCore::startSerialThread() {
    // Detached on purpose: the thread ends by itself once the queue is abandoned and
    // drained, and nothing may join it from a static destructor at process exit.
    std::thread([self = shared_from_this()] { self->serialThreadMain(); }).detach();
}

void QueueCore::push(Work work) {
    bool spawnWorker = false;
    {
        std::scoped_lock lock(mutex_);
        items_.push_back(std::move(work));
        if (kind_ == Kind::global && std::ssize(items_) > idleWorkers_ &&
            workers_ < kMaxGlobalWorkers) {
            ++workers_;
            spawnWorker = true;
        }
    }
    if (kind_ == Kind::main) {
        wake_.notify_all();  // Every thread serving the main queue re-checks its turn.
    } else {
        wake_.notify_one();
    }
    if (spawnWorker) {
        try {
            std::thread([self = shared_from_this()] { self->globalWorkerMain(); }).detach();
        } catch (const std::system_error&) {
            std::scoped_lock lock(mutex_);
            --workers_;
            // With other workers alive the item still runs; with none, nothing would
            // ever run it, so the failure must reach the caller.
            if (workers_ == 0) {
                throw;
            }
        }
    }
}

void QueueCore::abandon() {
    {
        std::scoped_lock lock(mutex_);
        abandoned_ = true;
    }
    wake_.notify_all();
}

bool QueueCore::isCurrentThreadServing() const { return currentCore == this; }

void QueueCore::runItem(Work work) {
    const QueueCore* previous = currentCore;
    currentCore = this;
    work();
    work = nullptr;  // What the item captured goes while the queue is still current.
    currentCore = previous;
}

void QueueCore::runNextOrdered(std::unique_lock<std::mutex>& lock) {
    Work work = std::move(items_.front());
    items_.pop_front();
    executing_ = true;
    lock.unlock();
    runItem(std::move(work));
    lock.lock();
    executing_ = false;
    if (kind_ == Kind::main) {
        wake_.notify_all();  // Another thread serving the main queue may take the next item.
    }
}

void QueueCore::serialThreadMain() {
    nameThisThread(label_);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return canStartNext() || abandoned_; });
        if (items_.empty()) {
            return;  // Abandoned and drained: nobody can queue work here any more.
        }
        runNextOrdered(lock);
    }
}

void QueueCore::globalWorkerMain() {
    nameThisThread(label_);
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idleWorkers_;
        const bool gotWork =
            wake_.wait_for(lock, kGlobalWorkerIdleLifetime, [this] { return !items_.empty(); });
        --idleWorkers_;
        if (!gotWork) {
            --workers_;
            return;
        }
        Work work = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        runItem(std::move(work));
        lock.lock();
    }
}

void QueueCore::serveForever() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return canStartNext(); });
        runNextOrdered(lock);
    }
}

bool QueueCore::serveUntil(const std::function<bool()>& done, Clock::time_point deadline,
                           Nanoseconds pollEvery) {
    for (;;) {
        if (done()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        const auto wakeAt =
            std::min(deadline, now + std::chrono::duration_cast<Clock::duration>(pollEvery));
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, wakeAt, [this] { return canStartNext(); })) {
            runNextOrdered(lock);
        }
    }
}

namespace {

// The main and global queues exist for the whole process. Their handles are created
// once and never destroyed (see the lifetime rule in dispatch_internal.h): their
// threads may outlive static destruction at exit.
const std::shared_ptr<Queue::State>& mainState() {
    static const auto* state = new std::shared_ptr<Queue::State>(std::make_shared<Queue::State>(
        std::make_shared<QueueCore>("main", QueueCore::Kind::main)));
    return *state;
}

const std::shared_ptr<Queue::State>& globalState() {
    static const auto* state = new std::shared_ptr<Queue::State>(std::make_shared<Queue::State>(
        std::make_shared<QueueCore>("global", QueueCore::Kind::global)));
    return *state;
}

// How often serveMainQueueUntil re-checks its condition when no work arrives.
constexpr auto kMainQueuePollInterval = std::chrono::milliseconds(2);

}  // namespace
}  // namespace detail

Queue::Queue(std::shared_ptr<State> state) : state_(std::move(state)) {}

Queue Queue::main() { return Queue(detail::mainState()); }

Queue Queue::global() { return Queue(detail::globalState()); }

Queue Queue::serial(std::string label, QualityOfService /*qos*/) {
    // The quality of service is accepted and not acted on: every serial queue has a
    // thread of its own, so interactive work never waits behind another queue's work,
    // and raising a thread's priority on Linux needs privileges we do not have.
    auto core =
        std::make_shared<detail::QueueCore>(std::move(label), detail::QueueCore::Kind::serial);
    core->startSerialThread();
    return Queue(std::make_shared<State>(std::move(core)));
}

void Queue::async(Work work) const {
    if (!work) {
        return;
    }
    state_->core->push(std::move(work));
}

void Queue::asyncAfter(Nanoseconds delay, Work work) const {
    if (!work) {
        return;
    }
    // The scheduled callback holds a handle, so the queue lives until the work is queued.
    detail::DeadlineService::instance().schedule(
        detail::deadlineAfter(delay), [state = state_, work = std::move(work)]() mutable {
            state->core->push(std::move(work));
        });
}

const std::string& Queue::label() const { return state_->core->label(); }

bool Queue::isCurrent() const { return state_->core->isCurrentThreadServing(); }

void dispatchMain() { detail::mainState()->core->serveForever(); }

bool serveMainQueueUntil(const std::function<bool()>& done, Nanoseconds timeout) {
    return detail::mainState()->core->serveUntil(done, detail::deadlineAfter(timeout),
                                                 detail::kMainQueuePollInterval);
}

void detachThread(Work work) {
    if (!work) {
        return;
    }
    std::thread(std::move(work)).detach();
}

}  // namespace platform::dispatch
