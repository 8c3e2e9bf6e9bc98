#pragma once
// A fixed set of NV12 pixel buffers that capture fills and hands downstream. A buffer
// comes back to the pool when the last shared_ptr to it goes, so the number of frames
// held at once (last frame kept by the program, frames inside the encoder) is bounded
// by the pool's size instead of growing with allocations.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/media.h"

namespace platform::x11 {

class PixelBufferPool {
public:
    // `count` buffers of width x height (at least one).
    PixelBufferPool(int width, int height, int count);
    ~PixelBufferPool();
    PixelBufferPool(const PixelBufferPool&) = delete;
    PixelBufferPool& operator=(const PixelBufferPool&) = delete;

    // A free buffer, or null when every buffer is held downstream. Thread-safe; the
    // buffer may outlive the pool (it is then freed instead of returned).
    std::shared_ptr<PixelBuffer> acquire();

    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct Shelf {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> free;
        bool open = true;  // false once the pool is gone: returned buffers are freed
    };
    int width_;
    int height_;
    std::shared_ptr<Shelf> shelf_;
};

}  // namespace platform::x11
