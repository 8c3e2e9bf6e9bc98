#pragma once
// Standard output of the blocker: each line goes out in one write(2), so a reader never
// sees half a line. A line that cannot be written (the host has gone away, or stopped
// reading and let the pipe fill) is dropped on purpose: the main queue must keep
// serving the local user's escape gesture and the heartbeat check, and end of input
// will still end the blocker.

#include <chrono>
#include <string_view>

namespace zentlock {

// How long a line may wait for room in a full pipe before it is dropped.
inline constexpr std::chrono::milliseconds esperaDeLinea{250};

// Once a line has been dropped the output counts as stalled: later lines do not wait at
// all, they go out only if there is room at once, and the first that does ends the
// stall. So a host that stops reading costs one wait, not one per line. Main queue.
class Salida {
public:
    explicit Salida(int fd) : fd_(fd) {}
    void escribir(std::string_view linea);
    bool atascada() const { return atascada_; }

private:
    const int fd_;
    bool atascada_ = false;
};

}  // namespace zentlock
