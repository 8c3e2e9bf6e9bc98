// Delayed work and repeating timers: one thread waits for the earliest deadline on the
// monotonic clock and posts what is due to its queue.

#include <map>
#include <thread>
#include <utility>

#include "platform/common/dispatch_internal.h"
#include "platform/dispatch.h"

namespace platform::dispatch {
namespace detail {

struct DeadlineService::Impl {
    std::mutex mutex;
    std::condition_variable changed;
    // Ordered by deadline, then by scheduling order, so equal deadlines keep their order.
    std::map<Key, Work> entries;
    std::uint64_t nextSequence = 0;

    [[noreturn]] void threadMain() {
        nameThisThread("dispatch.timer");
        std::unique_lock lock(mutex);
        for (;;) {
            if (entries.empty()) {
                changed.wait(lock);
                continue;
            }
            const Clock::time_point first = entries.begin()->first.deadline;
            if (first == Clock::time_point::max()) {
                changed.wait(lock);  // Never due; wait for something earlier or a cancel.
                continue;
            }
            if (Clock::now() < first) {
                changed.wait_until(lock, first);
                continue;
            }
            auto due = entries.extract(entries.begin());
            lock.unlock();
            due.mapped()();
            due = {};  // Captures go without the lock: they may schedule or cancel.
            lock.lock();
        }
    }
};

DeadlineService::DeadlineService() : impl_(new Impl) {
    std::thread([impl = impl_] { impl->threadMain(); }).detach();
}

DeadlineService& DeadlineService::instance() {
    // Never destroyed: its thread runs until the process ends (see dispatch_internal.h).
    static auto* service = new DeadlineService();
    return *service;
}

DeadlineService::Key DeadlineService::schedule(Clock::time_point deadline, Work callback) {
    Key key;
    bool isNewFirst = false;
    {
        std::scoped_lock lock(impl_->mutex);
        key = Key{deadline, impl_->nextSequence++};
        impl_->entries.emplace(key, std::move(callback));
        isNewFirst = impl_->entries.begin()->first == key;
    }
    if (isNewFirst) {
        impl_->changed.notify_one();
    }
    return key;
}

void DeadlineService::cancel(const Key& key) {
    decltype(impl_->entries)::node_type dropped;  // Destroyed after the lock is released.
    std::scoped_lock lock(impl_->mutex);
    dropped = impl_->entries.extract(key);
}

bool CancellableHandler::run() {
    {
        std::scoped_lock lock(mutex_);
        if (cancelled_) {
            return false;
        }
        ++running_;
    }
    handler_();
    Work released;  // Destroyed after the lock is released.
    std::scoped_lock lock(mutex_);
    --running_;
    if (cancelled_ && running_ == 0) {
        released = std::move(handler_);
    }
    return true;
}

void CancellableHandler::cancel() {
    Work released;  // Destroyed after the lock is released.
    std::scoped_lock lock(mutex_);
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    // A running handler (perhaps the caller itself) still needs its captures; the
    // last run to finish releases them instead.
    if (running_ == 0) {
        released = std::move(handler_);
    }
}

bool CancellableHandler::isCancelled() const {
    std::scoped_lock lock(mutex_);
    return cancelled_;
}

namespace {

Clock::time_point saturatingAdd(Clock::time_point point, Clock::duration step) {
    if (point >= Clock::time_point::max() - step) {
        return Clock::time_point::max();
    }
    return point + step;
}

// The state a timer shares between its handle, the deadline service and fires
// waiting on its queue.
class TimerCore : public std::enable_shared_from_this<TimerCore> {
public:
    TimerCore(Queue queue, Nanoseconds interval, Work handler)
        : queue_(std::move(queue)),
          interval_(std::chrono::duration_cast<Clock::duration>(interval)),
          handler_(std::move(handler)) {}

    void start(Clock::time_point firstDeadline) {
        std::scoped_lock lock(mutex_);
        nextDeadline_ = firstDeadline;
        armLocked();
    }

    void cancel() {
        DeadlineService::Key pending;
        bool hadPending = false;
        {
            std::scoped_lock lock(mutex_);
            cancelled_ = true;
            hadPending = armed_;
            pending = key_;
            armed_ = false;
        }
        // The handler gate makes the promise: no run starts once this returns.
        handler_.cancel();
        if (hadPending) {
            DeadlineService::instance().cancel(pending);
        }
    }

    bool isCancelled() const { return handler_.isCancelled(); }

private:
    // Deadline-service thread: posts one fire unless one is still waiting or running
    // (fires that come due meanwhile are merged into it), then arms the next deadline.
    void onDeadline() {
        std::scoped_lock lock(mutex_);
        armed_ = false;
        if (cancelled_) {
            return;
        }
        if (!firePending_) {
            firePending_ = true;
            queue_.async([self = shared_from_this()] { self->fire(); });
        }
        if (interval_ <= Clock::duration::zero()) {
            return;  // A one-shot timer.
        }
        // Keep the phase: a late wake-up skips the fires it missed rather than
        // bunching them up.
        nextDeadline_ = saturatingAdd(nextDeadline_, interval_);
        const auto now = Clock::now();
        if (nextDeadline_ <= now) {
            const auto missed = (now - nextDeadline_) / interval_ + 1;
            nextDeadline_ = saturatingAdd(nextDeadline_, missed * interval_);
        }
        armLocked();
    }

    // On the timer's queue.
    void fire() {
        handler_.run();
        std::scoped_lock lock(mutex_);
        firePending_ = false;
    }

    void armLocked() {
        // The service holds only a weak reference: a timer whose handles are gone
        // is cancelled by its handle's destructor and must not be kept alive here.
        key_ = DeadlineService::instance().schedule(
            nextDeadline_, [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->onDeadline();
                }
            });
        armed_ = true;
    }

    const Queue queue_;
    const Clock::duration interval_;
    CancellableHandler handler_;

    std::mutex mutex_;
    bool cancelled_ = false;
    bool armed_ = false;
    bool firePending_ = false;
    Clock::time_point nextDeadline_;
    DeadlineService::Key key_;
};

class TimerHandle final : public Timer {
public:
    explicit TimerHandle(std::shared_ptr<TimerCore> core) : core_(std::move(core)) {}
    ~TimerHandle() override { core_->cancel(); }
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;

    void cancel() override { core_->cancel(); }
    bool isCancelled() const override { return core_->isCancelled(); }

private:
    std::shared_ptr<TimerCore> core_;
};

}  // namespace
}  // namespace detail

std::shared_ptr<Timer> Timer::create(Queue queue, Nanoseconds firstFire, Nanoseconds interval,
                                     Nanoseconds /*leeway*/, Work handler) {
    // Fires are aimed at their exact deadline; the leeway only allows lateness, which
    // the deadline thread needs no permission for.
    auto core = std::make_shared<detail::TimerCore>(std::move(queue), interval, std::move(handler));
    core->start(detail::deadlineAfter(firstFire));
    return std::make_shared<detail::TimerHandle>(std::move(core));
}

}  // namespace platform::dispatch
