#pragma once
// BGRX screen pixels to NV12 video range (colour_description.h) at any output size,
// all of it or only the parts that changed.

#include <cstdint>
#include <vector>

#include "platform/linux/capture/dirty_region.h"
#include "platform/media.h"

namespace platform::x11 {

class FrameConverter {
public:
    // Converts a width x height BGRX image (`stride` bytes per row) into `out`, scaling
    // it to out's size with area filtering when needed. The output's dimensions come
    // from `out`.
    void convert(const uint8_t* bgrx, int width, int height, int stride, PixelBuffer& out);

    // The same result, computing only what is needed: `changed` (in the image's
    // coordinates) is where the image differs from the one of the previous call, and
    // `stale` (which holds `changed`) is where `out` differs from a conversion of this
    // image. Pixels of `out` outside `stale` are left as they are. Each call must see
    // every change since the previous one: a scaled copy of the image is kept between
    // calls and only its changed parts are scaled again.
    void convert(const uint8_t* bgrx, int width, int height, int stride, const DirtyRegion& changed,
                 const DirtyRegion& stale, PixelBuffer& out);

private:
    std::vector<uint8_t> scaled_;  // BGRX at the output size, reused between frames
    // The sizes scaled_ holds a scale of (zero: nothing yet).
    int scaledFromWidth_ = 0, scaledFromHeight_ = 0, scaledWidth_ = 0, scaledHeight_ = 0;
};

}  // namespace platform::x11
