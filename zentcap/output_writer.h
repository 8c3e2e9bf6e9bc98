#pragma once
// Writing whole packets to a non-blocking descriptor.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace zentcap {

// Writes all `size` bytes to `fd`. A full pipe (EAGAIN) is waited out in polls of at
// most 20 ms and an interrupted write is retried at once. Before every attempt
// `isClosed` is asked; once it answers true the write is abandoned with
// CaptureError::stopped. Any other outcome (a write of 0 bytes, any other errno)
// throws CaptureError invalid "Se cerró la salida de vídeo (errno N)".
void writeWhole(int fd, const uint8_t* bytes, size_t size, const std::function<bool()>& isClosed);

}  // namespace zentcap
