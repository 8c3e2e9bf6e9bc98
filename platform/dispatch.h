#pragma once
// Serial queues, delayed work, repeating timers, signal sources, the main loop and
// detached threads: the concurrency the programs are written against.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform::dispatch {

using Work = std::function<void()>;
using Nanoseconds = std::chrono::nanoseconds;

enum class QualityOfService { unspecified, userInteractive, standard };

// A serial queue: work items run one at a time, in submission order, on a thread of
// the queue's own. Copies are handles to the same queue; a queue lives while any
// handle or pending work refers to it.
class Queue {
public:
    // The queue served by the main thread once it calls dispatchMain().
    static Queue main();
    // A shared queue for work that needs no order with anything else.
    static Queue global();
    static Queue serial(std::string label, QualityOfService qos = QualityOfService::unspecified);

    // Empty work is ignored. Work runs with the queue current (see isCurrent()).
    void async(Work work) const;
    // Runs `work` on the queue once `delay` has passed (measured on the monotonic
    // clock; never early, possibly late on a busy machine).
    void asyncAfter(Nanoseconds delay, Work work) const;
    const std::string& label() const;
    // True when the calling thread is running this queue's work now.
    bool isCurrent() const;

    struct State;

private:
    explicit Queue(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

// A repeating timer whose handler runs on its queue: first at `firstFire` from now,
// then every `interval`; each fire may come up to `leeway` late. Cancel stops further
// fires; a handler already running completes. The timer stops when cancelled or when
// the last handle to it goes. An `interval` of zero or less makes a one-shot timer.
// Fires never overlap: one that comes due while the previous is still queued or
// running is merged into it. A run that started before cancel() returned (on another
// thread) completes; cancel() from inside the handler is fine.
class Timer {
public:
    static std::shared_ptr<Timer> create(Queue queue, Nanoseconds firstFire, Nanoseconds interval,
                                         Nanoseconds leeway, Work handler);
    virtual ~Timer() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

// Delivers a POSIX signal to a handler on a queue. Creating the source takes the
// signal over from its default action: the process is never killed or stopped by it
// and the handler runs, on `queue`, once or more after the signal arrives (signals
// that arrive together may be reported once). The source stays active until cancel(),
// even without handles, so a dropped handle cannot silently swallow the signal; after
// cancel() the signal stays taken over (ignored) unless another source wants it.
// Returns nullptr for a signal that cannot be caught (SIGKILL, SIGSTOP, out of range).
class SignalSource {
public:
    static std::shared_ptr<SignalSource> create(int signalNumber, Queue queue, Work handler);
    virtual ~SignalSource() = default;
    virtual void cancel() = 0;
};

// Makes the calling thread (the main thread) serve the main queue for the rest of the
// process. Never returns; the process ends by exit.
[[noreturn]] void dispatchMain();

// For tests that cannot give the main thread away: serves the main queue on the
// calling thread until `done` returns true (checked after each work item and at
// least every few milliseconds) or `timeout` passes. Returns whether `done` held.
bool serveMainQueueUntil(const std::function<bool()>& done, Nanoseconds timeout);

// Starts a thread that nobody joins.
void detachThread(Work work);

}  // namespace platform::dispatch
