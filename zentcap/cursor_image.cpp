#include "zentcap/cursor_image.h"

#include <algorithm>
#include <cmath>

#include "zentcap/packet.h"

namespace zentcap {

namespace {

// The rounded value clamped to [low, high]; NaN gives `low`. Clamping happens in
// floating point, before the conversion, so no value can overflow an int.
int roundedWithin(double value, int low, int high) {
    double rounded = roundHalfAway(value);
    if (!(rounded >= low)) return low;
    if (rounded > high) return high;
    return static_cast<int>(rounded);
}

void putU16(std::vector<uint8_t>& out, int value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

}  // namespace

double roundHalfAway(double value) { return std::round(value); }

CursorGeometry cursorGeometry(double scale, double width, double height, double hotX, double hotY) {
    CursorGeometry g;
    g.factor = std::min({scale, kMaxCursorSide / width, kMaxCursorSide / height});
    g.width = roundedWithin(width * g.factor, 1, kMaxCursorSide);
    g.height = roundedWithin(height * g.factor, 1, kMaxCursorSide);
    g.hotSpotX = roundedWithin(hotX * g.factor, 0, g.width - 1);
    g.hotSpotY = roundedWithin(hotY * g.factor, 0, g.height - 1);
    return g;
}

void unpremultiply(uint8_t* rgba, size_t pixelCount) {
    for (size_t i = 0; i < pixelCount; ++i) {
        uint8_t* pixel = rgba + 4 * i;
        unsigned alpha = pixel[3];
        if (alpha == 0 || alpha == 255) continue;
        for (int c = 0; c < 3; ++c) pixel[c] = static_cast<uint8_t>(std::min(255u, pixel[c] * 255u / alpha));
    }
}

std::vector<uint8_t> cursorPacket(const CursorGeometry& geometry, const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> packet(kPacketHeaderSize, 0);
    packet.reserve(kPacketHeaderSize + 8 + pixels.size());
    putU16(packet, geometry.width);
    putU16(packet, geometry.height);
    putU16(packet, geometry.hotSpotX);
    putU16(packet, geometry.hotSpotY);
    packet.insert(packet.end(), pixels.begin(), pixels.end());
    writePacketHeader(packet, PacketKind::cursor, 0);
    return packet;
}

}  // namespace zentcap
