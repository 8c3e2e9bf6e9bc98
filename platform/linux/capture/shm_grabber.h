#pragma once
// Copies a rectangle of the root window into a shared-memory segment (MIT-SHM), so the
// pixels never travel through the socket; either all of it, or only the parts that
// changed, the rest of the segment keeping the previous picture.

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/linux/capture/dirty_region.h"
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
    // Reads only the parts of that rectangle in `region` (in the rectangle's
    // coordinates), leaving the rest of the pixels as they are: the segment is a
    // server-side pixmap too, and each part is one CopyArea into it, all confirmed by
    // one round trip. Without shared pixmaps (or when the region is whole) it reads
    // everything, which gives the same picture.
    std::optional<Error> grab(int x, int y, const DirtyRegion& region);
    // Whether grab(x, y, region) reads parts (the server offers shared pixmaps and
    // copies into them).
    bool readsParts() const { return pixmap_ != 0; }

    uint8_t* pixels() const { return pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }

private:
    ShmGrabber(const Connection& connection, int width, int height);
    void createPixmap();

    const Connection& connection_;
    int width_;
    int height_;
    int shmID_ = -1;
    uint8_t* pixels_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
    bool attached_ = false;
    xcb_pixmap_t pixmap_ = 0;  // the segment as a pixmap, when the server shares pixmaps
    xcb_gcontext_t gc_ = 0;    // copies the root's contents including its child windows
};

}  // namespace platform::x11
