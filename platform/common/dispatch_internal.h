#pragma once
// Pieces of the dispatch layer shared by its source files: the queue core behind a
// Queue handle, the deadline service behind asyncAfter and timers, and the gate that
// makes a cancellable handler stop cleanly.
//
// Lifetime rule for everything here: the process-wide parts (the main and global
// queues, the deadline service, the signal watcher) are created on first use and
// deliberately never destroyed. Their threads may still be running when the process
// calls exit(); destroying a mutex or a container under them from a static destructor
// would crash the process on its way out, so we leak them instead.

#include "platform/dispatch.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform::dispatch::detail {

using Clock = std::chrono::steady_clock;

// Now plus `delay`, saturating instead of overflowing for huge delays and treating
// negative delays as "now".
Clock::time_point deadlineAfter(Nanoseconds delay);

// Names the calling thread (shortened to what the kernel keeps) for debuggers and ps.
void nameThisThread(const std::string& label);

// The shared part of a queue: its pending work and the threads that serve it.
// Serial and main cores run one item at a time in order; the global core runs items
// concurrently on a pool that grows when every worker is busy.
class QueueCore : public std::enable_shared_from_this<QueueCore> {
public:
    enum class Kind { serial, main, global };

    QueueCore(std::string label, Kind kind);
    QueueCore(const QueueCore&) = delete;
    QueueCore& operator=(const QueueCore&) = delete;

    // Starts the serial queue's thread; the thread keeps the core alive until the
    // core is abandoned and drained.
    void startSerialThread();

    void push(Work work);
    // No more handles will push: a serial thread exits once the remaining work ran.
    void abandon();

    // Serves the main core on the calling thread: forever, or until `done` returns
    // true (checked after each item and at least every `pollEvery`) or `deadline`
    // passes. Several threads may serve it at once; items still run one at a time
    // and in order.
    [[noreturn]] void serveForever();
    bool serveUntil(const std::function<bool()>& done, Clock::time_point deadline,
                    Nanoseconds pollEvery);

    const std::string& label() const { return label_; }
    bool isCurrentThreadServing() const;

private:
    void serialThreadMain();
    void globalWorkerMain();
    // Ordered cores: true when an item may start now (the lock is held).
    bool canStartNext() const { return !items_.empty() && !executing_; }
    // Ordered cores: pops and runs the next item; `lock` is released meanwhile.
    void runNextOrdered(std::unique_lock<std::mutex>& lock);
    // Runs one item with this core marked current on the calling thread, then
    // destroys it (and what it captured) before returning.
    void runItem(Work work);

    const std::string label_;
    const Kind kind_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> items_;
    bool abandoned_ = false;
    // Ordered cores: an item is running now (keeps order when several threads serve).
    bool executing_ = false;
    // Global core: workers that exist and workers waiting for work.
    int workers_ = 0;
    int idleWorkers_ = 0;
};

// What a Queue handle points to. When the last handle (or the last pending delayed
// work holding one) goes, the core is told that no more work will arrive.
struct QueueHandleTarget {
    explicit QueueHandleTarget(std::shared_ptr<QueueCore> c) : core(std::move(c)) {}
    ~QueueHandleTarget() { core->abandon(); }
    QueueHandleTarget(const QueueHandleTarget&) = delete;
    QueueHandleTarget& operator=(const QueueHandleTarget&) = delete;

    std::shared_ptr<QueueCore> core;
};

// One thread that fires callbacks at deadlines on the monotonic clock. Callbacks run
// on that thread without its lock held and must be short (they post work to queues).
class DeadlineService {
public:
    struct Key {
        Clock::time_point deadline;
        std::uint64_t sequence = 0;
        auto operator<=>(const Key&) const = default;
    };

    static DeadlineService& instance();

    Key schedule(Clock::time_point deadline, Work callback);
    // Drops a scheduled callback that has not started; no effect once it has.
    void cancel(const Key& key);

private:
    DeadlineService();
    struct Impl;
    Impl* impl_;  // Leaked with the service; see the lifetime rule above.
};

// A handler that can be cancelled from any thread, including from inside itself.
// Once cancel() returns no new run starts; a run already started completes. The
// handler (and what it captured) is released as soon as it can no longer run.
class CancellableHandler {
public:
    explicit CancellableHandler(Work handler) : handler_(std::move(handler)) {}
    CancellableHandler(const CancellableHandler&) = delete;
    CancellableHandler& operator=(const CancellableHandler&) = delete;

    // Runs the handler unless cancelled; returns false when it was cancelled.
    bool run();
    void cancel();
    bool isCancelled() const;

private:
    mutable std::mutex mutex_;
    Work handler_;
    bool cancelled_ = false;
    int running_ = 0;  // Runs in progress; more than one only on the global queue.
};

}  // namespace platform::dispatch::detail

namespace platform::dispatch {

// The definition behind the forward declaration in the public header.
struct Queue::State : detail::QueueHandleTarget {
    using detail::QueueHandleTarget::QueueHandleTarget;
};

}  // namespace platform::dispatch
