#pragma once
// Resampling of premultiplied ARGB cursor images to any size.

#include <cstdint>
#include <vector>

namespace platform::x11 {

// Scales a sourceWidth x sourceHeight image of premultiplied ARGB words (A in the high
// byte) to w x h premultiplied RGBA bytes: area averaging along an axis that shrinks,
// bilinear interpolation along one that grows. Premultiplied colour interpolates
// without dark fringes at transparent edges.
void scaleCursorToRGBA(const uint32_t* argb, int sourceWidth, int sourceHeight, int w, int h, uint8_t* rgba);

}  // namespace platform::x11
