#pragma once
// The cursor packet: the system cursor's shape scaled to the output's pixels.
//
//   payload:  0      2      4      6      8
//             +------+------+------+------+---------------------------+
//             |  w   |  h   | hotX | hotY | w*h pixels R,G,B,A         |
//             +------+------+------+------+---------------------------+
//   big-endian u16 each; w and h in 1..128, the hot spot inside the image; rows from
//   the top; colour not premultiplied, sRGB. Sent with kind 2 and timestamp 0.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zentcap {

inline constexpr int kMaxCursorSide = 128;

struct CursorGeometry {
    double factor = 0;  // points of the cursor image to output pixels
    int width = 0;      // pixels, 1 to 128
    int height = 0;
    int hotSpotX = 0;   // pixels, 0 to width - 1
    int hotSpotY = 0;
};

// Rounds to the nearest integer, halves away from zero.
double roundHalfAway(double value);

// The drawing size of a cursor image of `width` x `height` points with the hot spot at
// (hotX, hotY) points: drawn at `scale` (output pixels per display point) but never
// larger than 128 pixels on either side. Both sides must be greater than zero.
CursorGeometry cursorGeometry(double scale, double width, double height, double hotX, double hotY);

// Turns premultiplied RGBA pixels into straight colour in place. Pixels with alpha 0
// or 255 are left as they are.
void unpremultiply(uint8_t* rgba, size_t pixelCount);

// The whole kind-2 packet, header included; `pixels` holds width*height*4 bytes.
std::vector<uint8_t> cursorPacket(const CursorGeometry& geometry, const std::vector<uint8_t>& pixels);

}  // namespace zentcap
