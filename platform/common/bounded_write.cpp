#include "platform/bounded_write.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// One writer at a time, waited for with a deadline. (Built on a condition variable
// rather than std::timed_mutex, whose timed lock ThreadSanitizer cannot follow.)
class Turn {
public:
    bool take(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        if (!free_.wait_until(lock, deadline, [this] { return !taken_; })) return false;
        taken_ = true;
        return true;
    }
    void give() {
        {
            std::scoped_lock lock(mutex_);
            taken_ = false;
        }
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool taken_ = false;  // under mutex_
};

// Never destroyed: a detached thread may still be writing while the process exits.
Turn& turn() {
    static auto* shared = new Turn();
    return *shared;
}

// Holds the turn for one write.
class Holding {
public:
    explicit Holding(Clock::time_point deadline) : held_(turn().take(deadline)) {}
    ~Holding() {
        if (held_) turn().give();
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

}  // namespace

size_t writeWithin(int fd, std::string_view bytes, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Holding holding(deadline);
    if (!holding.held()) return 0;
    size_t written = 0;
    while (written < bytes.size()) {
        pollfd writable{fd, POLLOUT, 0};
        int ready = ::poll(&writable, 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (writable.revents & POLLNVAL)) break;
        // POLLERR and POLLHUP are left to write(2), which reports them as an error.
        size_t piece = std::min<size_t>(bytes.size() - written, PIPE_BUF);
        ssize_t n = ::write(fd, bytes.data() + written, piece);
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        } else {
            break;
        }
    }
    return written;
}

}  // namespace platform
