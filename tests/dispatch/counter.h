#pragma once
// A counter that tests wait on: work on other threads bumps it, the test blocks until
// it reaches a value or a generous timeout passes.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace dispatchtest {

// Generous: only a broken implementation takes this long, even on a loaded machine.
inline constexpr auto kPatience = std::chrono::seconds(10);

class Counter {
public:
    // Notifies under the lock: once the waiter sees the new value it may destroy the
    // counter, so add() must not touch it after unlocking.
    void add(int n = 1) {
        std::scoped_lock lock(mutex_);
        value_ += n;
        changed_.notify_all();
    }

    int value() const {
        std::scoped_lock lock(mutex_);
        return value_;
    }

    bool waitFor(int atLeast, std::chrono::nanoseconds timeout = kPatience) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return value_ >= atLeast; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int value_ = 0;
};

}  // namespace dispatchtest
