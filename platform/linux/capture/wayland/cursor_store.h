#pragma once
// The pointer as the running Wayland capture last saw it in the Cursor metadata: the
// capture writes it, the cursor service (platform/cursor.h) reads it. One per process.

#include <optional>

#include "platform/linux/capture/wayland/pipewire_stream.h"

namespace platform::wayland {

struct CursorSnapshot {
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    int x = 0, y = 0;
    std::vector<uint32_t> argb;  // premultiplied, A in the high byte
};

// Records an update: a new bitmap replaces the image, a position moves it, an
// invisible pointer hides it until it shows again.
void publishCursor(const CursorUpdate& update);
// Forgets the pointer (its capture ended).
void clearCursor();
// The visible pointer with its image; none when hidden or never seen.
std::optional<CursorSnapshot> currentCursor();

}  // namespace platform::wayland
