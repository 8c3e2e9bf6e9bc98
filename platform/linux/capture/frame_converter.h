#pragma once
// BGRX screen pixels to NV12 video range (colour_description.h) at any output size.

#include <cstdint>
#include <vector>

#include "platform/media.h"

namespace platform::x11 {

class FrameConverter {
public:
    // Converts a width x height BGRX image (`stride` bytes per row) into `out`, scaling
    // it to out's size with area filtering when needed. The output's dimensions come
    // from `out`.
    void convert(const uint8_t* bgrx, int width, int height, int stride, PixelBuffer& out);

private:
    std::vector<uint8_t> scaled_;  // BGRX at the output size, reused between frames
};

}  // namespace platform::x11
