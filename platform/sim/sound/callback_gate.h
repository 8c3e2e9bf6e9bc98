#pragma once
// Keeps program callbacks from running once their owner is gone: each callback runs
// between enter() and leave(), and close() returns only when no callback of another
// thread runs and none will start. A callback that destroys its own owner closes the
// gate from inside itself; close() does not wait for that one.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::sim::detail {

class CallbackGate {
public:
    // False once closed: the callback must not run.
    bool enter() {
        std::scoped_lock lock(mutex_);
        if (closed_) return false;
        running_.push_back(std::this_thread::get_id());
        return true;
    }

    void leave() {
        std::scoped_lock lock(mutex_);
        running_.erase(std::find(running_.begin(), running_.end(), std::this_thread::get_id()));
        left_.notify_all();
    }

    void close() {
        std::unique_lock lock(mutex_);
        closed_ = true;
        auto self = std::this_thread::get_id();
        left_.wait(lock, [&] {
            return std::all_of(running_.begin(), running_.end(), [&](std::thread::id id) { return id == self; });
        });
    }

    // Runs `callback` unless the gate is closed; whether it ran.
    template <class Callback>
    bool run(Callback&& callback) {
        if (!enter()) return false;
        struct Leave {
            CallbackGate* gate;
            ~Leave() { gate->leave(); }
        } leave{this};
        callback();
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable left_;
    std::vector<std::thread::id> running_;
    bool closed_ = false;
};

}  // namespace platform::sim::detail
