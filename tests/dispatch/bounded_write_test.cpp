// Writes that wait a bounded time: a reader that stops reading costs the writer at
// most its limit, in blocking and non-blocking mode alike, and lines are never split.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "platform/bounded_write.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) read = fds[0], write = fds[1];
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
    // Fills the pipe without blocking, then puts the write end in `blocking` mode.
    // Returns how many bytes it took.
    size_t fill(bool blocking) {
        int flags = ::fcntl(write, F_GETFL);
        ::fcntl(write, F_SETFL, flags | O_NONBLOCK);
        char block[4096] = {};
        size_t total = 0;
        ssize_t n;
        while ((n = ::write(write, block, sizeof block)) > 0) total += size_t(n);
        while (::write(write, block, 1) > 0) ++total;
        if (blocking) ::fcntl(write, F_SETFL, flags & ~O_NONBLOCK);
        return total;
    }
    // Reads exactly `count` bytes.
    void discard(size_t count) {
        char buffer[4096];
        while (count > 0) {
            ssize_t n = ::read(read, buffer, std::min(sizeof buffer, count));
            if (n <= 0) return;
            count -= size_t(n);
        }
    }
    std::string drain() {
        std::string all;
        char buffer[65536];
        int flags = ::fcntl(read, F_GETFL);
        ::fcntl(read, F_SETFL, flags | O_NONBLOCK);
        ssize_t n;
        while ((n = ::read(read, buffer, sizeof buffer)) > 0) all.append(buffer, size_t(n));
        ::fcntl(read, F_SETFL, flags);
        return all;
    }
};

TEST(BoundedWrite, AFullPipeCostsAtMostTheLimitInEitherMode) {
    for (bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        Pipe pipe;
        ASSERT_GE(pipe.write, 0);
        pipe.fill(blocking);
        auto started = Clock::now();
        EXPECT_EQ(platform::writeWithin(pipe.write, "a line\n", 200ms), 0u);
        auto took = Clock::now() - started;
        EXPECT_GE(took, 200ms);
        EXPECT_LT(took, 5s);
    }
}

TEST(BoundedWrite, RoomMadeDuringTheWaitIsUsedAndLinesStayWhole) {
    Pipe pipe;
    size_t filler = pipe.fill(true);
    // Someone reads what was there, maybe before the write starts waiting, maybe
    // after; the line goes out whole either way.
    std::thread reader([&] { pipe.discard(filler); });
    EXPECT_EQ(platform::writeWithin(pipe.write, "estado\t0\tpedido\n", 10s), 16u);
    reader.join();
    EXPECT_EQ(pipe.drain(), "estado\t0\tpedido\n");
}

TEST(BoundedWrite, LongTextGoesOutInFullWhileSomeoneReads) {
    Pipe pipe;
    std::string text(300000, 'x');
    std::string got;
    std::thread reader([&] {
        char buffer[8192];
        ssize_t n;
        while (got.size() < text.size() && (n = ::read(pipe.read, buffer, sizeof buffer)) > 0) got.append(buffer, size_t(n));
    });
    EXPECT_EQ(platform::writeWithin(pipe.write, text, 10s), text.size());
    reader.join();
    EXPECT_EQ(got, text);
}

TEST(BoundedWrite, AReaderThatWentAwayEndsTheAttempt) {
    ::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    ::close(pipe.read);
    pipe.read = -1;
    auto started = Clock::now();
    EXPECT_EQ(platform::writeWithin(pipe.write, "a line\n", 10s), 0u);
    EXPECT_LT(Clock::now() - started, 5s);
}

}  // namespace
