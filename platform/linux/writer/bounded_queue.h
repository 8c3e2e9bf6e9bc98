#pragma once
// A queue between a real-time producer and a worker thread: it holds at most a fixed
// number of items, so a producer that outruns the worker is told (and drops) instead
// of piling up memory or waiting.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace platform::writer {

template <class T>
class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity_(capacity) {}

    // False when the queue is full or closed; the item is not taken then.
    bool tryPush(T item) {
        {
            std::scoped_lock lock(mutex_);
            if (closed_ || items_.size() >= capacity_) return false;
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
        return true;
    }

    // Waits for room; false when the queue is closed.
    bool push(T item) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
            if (closed_) return false;
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
        return true;
    }

    bool full() const {
        std::scoped_lock lock(mutex_);
        return closed_ || items_.size() >= capacity_;
    }

    enum class Popped { item, timedOut, closed };

    // The oldest item; or timedOut at `deadline`; or closed once the queue is closed
    // and empty (items pushed before close() are still handed out).
    Popped pop(T& out, std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::unique_lock lock(mutex_);
        auto ready = [&] { return closed_ || !items_.empty(); };
        if (deadline) {
            if (!changed_.wait_until(lock, *deadline, ready)) return Popped::timedOut;
        } else {
            changed_.wait(lock, ready);
        }
        if (items_.empty()) return Popped::closed;
        out = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        changed_.notify_all();
        return Popped::item;
    }

    // No more items are taken; the worker drains what is there.
    void close() {
        {
            std::scoped_lock lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }

    // Drops everything still queued (a writer that gives up).
    void clear() {
        {
            std::scoped_lock lock(mutex_);
            items_.clear();
        }
        changed_.notify_all();
    }

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<T> items_;
    bool closed_ = false;
};

}  // namespace platform::writer
