// Signal sources. The signal handler only marks the signal as arrived and writes one
// byte to a pipe (both async-signal-safe); a watcher thread reads the pipe and posts
// the handlers of that signal's sources to their queues.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "platform/common/dispatch_internal.h"
#include "platform/dispatch.h"

namespace platform::dispatch {
namespace detail {
namespace {

// Written by the signal handler, so they are plain lock-free atomics with static
// storage and trivial destructors (nothing to tear down at exit under a signal).
std::atomic<bool> arrivedSignals[NSIG];
std::atomic<int> wakeWriteFd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

extern "C" void onSignal(int signalNumber) {
    const int savedErrno = errno;
    if (signalNumber > 0 && signalNumber < NSIG) {
        arrivedSignals[signalNumber].store(true);
    }
    const int fd = wakeWriteFd.load();
    if (fd >= 0) {
        // A full pipe already holds a wake-up; the mark above is not lost.
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

struct SourceCore {
    SourceCore(int signalNumber, Queue queue, Work handler)
        : signalNumber(signalNumber), queue(std::move(queue)), handler(std::move(handler)) {}

    const int signalNumber;
    const Queue queue;
    CancellableHandler handler;
    // A delivery is queued and has not started: further arrivals merge into it.
    std::atomic<bool> deliveryQueued{false};
};

class SignalWatcher {
public:
    static SignalWatcher& instance() {
        // Never destroyed: its thread blocks in read() until the process ends (see
        // dispatch_internal.h).
        static auto* watcher = new SignalWatcher();
        return *watcher;
    }

    // Takes the signal over on first use. False when the signal cannot be caught.
    bool add(std::shared_ptr<SourceCore> source) {
        std::scoped_lock lock(mutex_);
        const int signalNumber = source->signalNumber;
        if (!installed_[signalNumber]) {
            struct sigaction action = {};
            action.sa_handler = onSignal;
            sigfillset(&action.sa_mask);
            // Restart interrupted calls so blocking reads elsewhere in the program do
            // not fail with EINTR when a signal arrives.
            action.sa_flags = SA_RESTART;
            if (sigaction(signalNumber, &action, nullptr) != 0) {
                return false;
            }
            installed_[signalNumber] = true;
        }
        sources_.push_back(std::move(source));
        return true;
    }

    // The signal stays taken over: after the last source goes it is ignored, which
    // is what the program asked for when it first created a source for it.
    void remove(const SourceCore* source) {
        std::shared_ptr<SourceCore> dropped;  // Destroyed after the lock is released.
        std::scoped_lock lock(mutex_);
        const auto found = std::find_if(sources_.begin(), sources_.end(),
                                        [source](const auto& s) { return s.get() == source; });
        if (found != sources_.end()) {
            dropped = std::move(*found);
            sources_.erase(found);
        }
    }

private:
    SignalWatcher() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            std::perror("dispatch: pipe2");
            std::abort();  // Without the pipe no signal could ever be delivered.
        }
        // The handler must never block; the watcher blocks reading.
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        readFd_ = fds[0];
        wakeWriteFd.store(fds[1]);
        std::thread([this] { threadMain(); }).detach();
    }

    [[noreturn]] void threadMain() {
        nameThisThread("dispatch.signal");
        char buffer[64];
        for (;;) {
            const ssize_t n = read(readFd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                std::perror("dispatch: signal pipe");
                std::abort();  // The write end is never closed; this cannot happen.
            }
            for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
                if (arrivedSignals[signalNumber].exchange(false)) {
                    deliver(signalNumber);
                }
            }
        }
    }

    void deliver(int signalNumber) {
        std::scoped_lock lock(mutex_);
        for (const auto& source : sources_) {
            if (source->signalNumber != signalNumber || source->deliveryQueued.exchange(true)) {
                continue;
            }
            source->queue.async([source] {
                // Cleared before the handler runs, so a signal arriving while it runs
                // gets a run of its own afterwards.
                source->deliveryQueued.store(false);
                source->handler.run();
            });
        }
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<SourceCore>> sources_;
    bool installed_[NSIG] = {};
    int readFd_ = -1;
};

class SignalSourceHandle final : public SignalSource {
public:
    explicit SignalSourceHandle(std::shared_ptr<SourceCore> core) : core_(std::move(core)) {}
    SignalSourceHandle(const SignalSourceHandle&) = delete;
    SignalSourceHandle& operator=(const SignalSourceHandle&) = delete;

    void cancel() override {
        core_->handler.cancel();
        SignalWatcher::instance().remove(core_.get());
    }

private:
    std::shared_ptr<SourceCore> core_;
};

}  // namespace
}  // namespace detail

std::shared_ptr<SignalSource> SignalSource::create(int signalNumber, Queue queue, Work handler) {
    if (signalNumber <= 0 || signalNumber >= NSIG) {
        return nullptr;
    }
    auto core =
        std::make_shared<detail::SourceCore>(signalNumber, std::move(queue), std::move(handler));
    if (!detail::SignalWatcher::instance().add(core)) {
        return nullptr;
    }
    return std::make_shared<detail::SignalSourceHandle>(std::move(core));
}

}  // namespace platform::dispatch
