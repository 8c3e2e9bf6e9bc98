#pragma once
// A fixed set of NV12 pixel buffers that capture fills and hands downstream. A buffer
// comes back to the pool when the last shared_ptr to it goes, so the number of frames
// held at once (last frame kept by the program, frames inside the encoder) is bounded
// by the pool's size instead of growing with allocations.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/media.h"

namespace platform::x11 {

// Numbers for the pictures every capture stream of the process delivers (X11 or
// Wayland): a number is never given twice, so that a consumer never mistakes a
// picture of another stream (or of this one before a restart) for the one a change
// hint refers to. Thread-safe.
uint64_t nextPictureNumber();

class PixelBufferPool {
public:
    // `count` buffers of width x height (at least one). `returned`, when given, runs
    // each time a buffer comes back while the pool lives, on the thread that let go of
    // it, outside the pool's lock; it must not call into the pool.
    PixelBufferPool(int width, int height, int count, std::function<void()> returned = {});
    ~PixelBufferPool();
    PixelBufferPool(const PixelBufferPool&) = delete;
    PixelBufferPool& operator=(const PixelBufferPool&) = delete;

    // A free buffer, or null when every buffer is held downstream. Thread-safe; the
    // buffer may outlive the pool (it is then freed instead of returned).
    std::shared_ptr<PixelBuffer> acquire();
    // Whether acquire() would give a buffer now. Thread-safe.
    bool hasFree() const;

    // The buffer's place in the pool (0 .. count-1), which stays the same every time it
    // comes back; -1 for a buffer of another pool. Lets the capture remember what each
    // buffer lacks. Thread-safe.
    int slotOf(const PixelBuffer& buffer) const;
    int count() const { return static_cast<int>(slots_.size()); }

    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct Shelf {
        mutable std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> free;
        bool open = true;  // false once the pool is gone: returned buffers are freed
        std::function<void()> returned;
    };
    int width_;
    int height_;
    std::shared_ptr<Shelf> shelf_;
    std::vector<const PixelBuffer*> slots_;  // every buffer, by slot; fixed at construction
};

}  // namespace platform::x11
