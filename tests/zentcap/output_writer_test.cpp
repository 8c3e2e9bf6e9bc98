// Whole-packet writes on a non-blocking pipe: a slow reader loses nothing, a reader
// that goes away is an error carrying its errno, a close abandons the write.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "zentcap/capture_error.h"
#include "zentcap/output_writer.h"

namespace zentcap {
namespace {

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        read = fds[0];
        write = fds[1];
        ::fcntl(write, F_SETFL, ::fcntl(write, F_GETFL) | O_NONBLOCK);
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

TEST(OutputWriter, FullPipeAndSlowReaderLoseNothing) {
    Pipe pipe;
    auto bytes = pattern(3 * 1024 * 1024);  // far more than a pipe holds
    std::vector<uint8_t> received;
    std::thread reader([&] {
        uint8_t chunk[7000];
        for (;;) {
            ssize_t n = ::read(pipe.read, chunk, sizeof chunk);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
            std::this_thread::yield();  // reads in small bites so the writer meets a full pipe
        }
    });
    writeWhole(pipe.write, bytes.data(), bytes.size(), [] { return false; });
    ::close(pipe.write);
    pipe.write = -1;
    reader.join();
    EXPECT_TRUE(received == bytes) << "received " << received.size() << " of " << bytes.size();
}

TEST(OutputWriter, ReaderGoneIsAnErrorWithItsErrno) {
    ::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    ::close(pipe.read);
    pipe.read = -1;
    auto bytes = pattern(100);
    try {
        writeWhole(pipe.write, bytes.data(), bytes.size(), [] { return false; });
        FAIL() << "the write succeeded";
    } catch (const CaptureError& error) {
        EXPECT_EQ(EPIPE, 32);
        EXPECT_EQ(error.describe(), "invalid(\"Se cerró la salida de vídeo (errno 32)\")");
    }
}

TEST(OutputWriter, CloseAbandonsAWriteWaitingOnAFullPipe) {
    Pipe pipe;
    auto bytes = pattern(1024 * 1024);
    std::atomic<bool> closed = false;
    std::atomic<int> checks = 0;
    std::thread closer([&] {
        // Closes once the writer has met the full pipe and polled a few times.
        while (checks.load() < 5) std::this_thread::yield();
        closed = true;
    });
    try {
        writeWhole(pipe.write, bytes.data(), bytes.size(), [&] {
            ++checks;
            return closed.load();
        });
        FAIL() << "the write finished although nobody read";
    } catch (const CaptureError& error) {
        EXPECT_EQ(error.kind(), CaptureError::Kind::stopped);
    }
    closer.join();
}

TEST(OutputWriter, ClosedBeforeTheFirstByteWritesNothing) {
    Pipe pipe;
    auto bytes = pattern(10);
    EXPECT_THROW(writeWhole(pipe.write, bytes.data(), bytes.size(), [] { return true; }), CaptureError);
    ::fcntl(pipe.read, F_SETFL, O_NONBLOCK);
    uint8_t byte;
    EXPECT_EQ(::read(pipe.read, &byte, 1), -1);
    // An empty packet needs no write at all.
    EXPECT_NO_THROW(writeWhole(pipe.write, bytes.data(), 0, [] { return true; }));
}

}  // namespace
}  // namespace zentcap
