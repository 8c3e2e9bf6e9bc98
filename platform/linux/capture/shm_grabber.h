#pragma once
// Copies a rectangle of the root window into a shared-memory segment (MIT-SHM), so the
// pixels never travel through the socket.

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/linux/capture/xcb_handles.h"

namespace platform::x11 {

class ShmGrabber {
public:
    // A segment for width x height pixels of 32-bit BGRX, attached to the server.
    static Result<std::unique_ptr<ShmGrabber>> create(const Connection& connection, int width, int height);
    ~ShmGrabber();
    ShmGrabber(const ShmGrabber&) = delete;
    ShmGrabber& operator=(const ShmGrabber&) = delete;

    // Reads the rectangle at (x, y) of the root window; the pixels stay valid, and may
    // be changed in place, until the next grab.
    std::optional<Error> grab(int x, int y);

    uint8_t* pixels() const { return pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }

private:
    ShmGrabber(const Connection& connection, int width, int height);

    const Connection& connection_;
    int width_;
    int height_;
    int shmID_ = -1;
    uint8_t* pixels_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
    bool attached_ = false;
};

}  // namespace platform::x11
