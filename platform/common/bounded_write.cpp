#include "platform/bounded_write.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Never destroyed: a detached thread may still be writing while the process exits.
std::timed_mutex& turn() {
    static auto* mutex = new std::timed_mutex();
    return *mutex;
}

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

}  // namespace

size_t writeWithin(int fd, std::string_view bytes, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(turn(), deadline);
    if (!lock.owns_lock()) return 0;
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
