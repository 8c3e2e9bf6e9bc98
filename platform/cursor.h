#pragma once
// The system cursor's current image and hot spot, and display bounds.

#include <cstdint>
#include <memory>

namespace platform {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

// Bounds of a display in points (global coordinates); a zero rectangle when the
// display is unknown.
Rect displayBounds(uint32_t displayID);

// A snapshot of the cursor's shape.
class CursorImage {
public:
    virtual ~CursorImage() = default;
    // Image size and hot spot in points; the hot spot counts from the top-left corner.
    virtual double width() const = 0;
    virtual double height() const = 0;
    virtual double hotSpotX() const = 0;
    virtual double hotSpotY() const = 0;
    // Draws the image scaled to fill w x h pixels with high-quality interpolation into
    // `rgba`: w*h pixels, rows of 4*w bytes from the top, bytes red, green, blue, alpha,
    // sRGB, colour premultiplied by alpha. False when no bitmap could be made.
    virtual bool draw(int w, int h, uint8_t* rgba) const = 0;
};

// The current system cursor; none when the platform has none to give. Called on the
// main queue.
std::unique_ptr<CursorImage> currentSystemCursor();

}  // namespace platform
