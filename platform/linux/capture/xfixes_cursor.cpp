#include "platform/linux/capture/xfixes_cursor.h"

#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>

namespace platform::x11 {

std::optional<CursorShape> fetchCursorShape(xcb_connection_t* c) {
    Reply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!reply || reply->width == 0 || reply->height == 0) return std::nullopt;
    const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
    if (length < reply->width * reply->height) return std::nullopt;
    CursorShape shape;
    shape.width = reply->width;
    shape.height = reply->height;
    shape.hotX = std::min<int>(reply->xhot, reply->width - 1);
    shape.hotY = std::min<int>(reply->yhot, reply->height - 1);
    shape.x = reply->x;
    shape.y = reply->y;
    shape.serial = reply->cursor_serial;
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    shape.argb.assign(pixels, pixels + static_cast<size_t>(shape.width) * shape.height);
    return shape;
}

void compositeCursor(const CursorShape& shape, int pointerX, int pointerY, uint8_t* bgrx, int width, int height,
                     int stride) {
    const int left = pointerX - shape.hotX;
    const int top = pointerY - shape.hotY;
    const int x0 = std::max(0, -left), x1 = std::min(shape.width, width - left);
    const int y0 = std::max(0, -top), y1 = std::min(shape.height, height - top);
    for (int y = y0; y < y1; ++y) {
        const uint32_t* source = shape.argb.data() + static_cast<size_t>(y) * shape.width;
        uint8_t* row = bgrx + static_cast<size_t>(top + y) * stride;
        for (int x = x0; x < x1; ++x) {
            const uint32_t pixel = source[x];
            const uint32_t alpha = pixel >> 24;
            if (alpha == 0 && (pixel & 0xffffff) == 0) continue;
            uint8_t* target = row + static_cast<size_t>(left + x) * 4;
            const uint32_t keep = 255 - alpha;
            // Premultiplied "over": result = source + destination * (1 - alpha).
            for (int channel = 0; channel < 3; ++channel) {
                const uint32_t sourceValue = (pixel >> (8 * channel)) & 0xff;  // B, G, R
                const uint32_t blended = sourceValue + (target[channel] * keep + 127) / 255;
                target[channel] = static_cast<uint8_t>(std::min<uint32_t>(blended, 255));
            }
        }
    }
}

}  // namespace platform::x11
