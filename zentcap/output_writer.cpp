#include "zentcap/output_writer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "zentcap/capture_error.h"

namespace zentcap {

namespace {
constexpr int kFullPipeWaitMs = 20;
}

void writeWhole(int fd, const uint8_t* bytes, size_t size, const std::function<bool()>& isClosed) {
    size_t written = 0;
    while (written < size) {
        if (isClosed()) throw CaptureError::stopped();
        ssize_t n = ::write(fd, bytes + written, size - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        int error = n < 0 ? errno : 0;
        if (n < 0 && error == EINTR) continue;
        if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            // The outcome does not matter: the next attempt tells what the pipe allows.
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, kFullPipeWaitMs);
            continue;
        }
        throw CaptureError::invalid("Se cerró la salida de vídeo (errno " + std::to_string(error) + ")");
    }
}

}  // namespace zentcap
