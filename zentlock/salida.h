#pragma once
// Standard output of the blocker: each line goes out in one write(2), so a reader never
// sees half a line. A line that cannot be written (the host has gone away, or stopped
// reading and let the pipe fill) is dropped on purpose: the main queue must keep
// serving the local user's escape gesture and the heartbeat check, and end of input
// will still end the blocker.

#include <chrono>
#include <string_view>

namespace zentlock {

// How long one line may wait for room in a full pipe before it is dropped.
inline constexpr std::chrono::milliseconds esperaDeLinea{250};

void escribirLinea(int fd, std::string_view linea);

}  // namespace zentlock
