#pragma once
// The pointer's image as XFixes gives it, and drawing it into BGRX frames.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/linux/capture/xcb_handles.h"

namespace platform::x11 {

struct CursorShape {
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    int x = 0, y = 0;                // pointer position on the root window when fetched
    uint32_t serial = 0;             // changes whenever the shape changes
    std::vector<uint32_t> argb;      // premultiplied, rows from the top, A in the high byte
};

// The current cursor image; none when the server refuses it (it does for a cursor set
// by a client that has left, unless its SECURITY extension is off) or has none.
std::optional<CursorShape> fetchCursorShape(xcb_connection_t* connection);

// Blends `shape` (premultiplied ARGB) over a BGRX image, its hot spot at (pointerX,
// pointerY) in image coordinates; the parts outside the image are clipped.
void compositeCursor(const CursorShape& shape, int pointerX, int pointerY, uint8_t* bgrx, int width, int height,
                     int stride);

}  // namespace platform::x11
