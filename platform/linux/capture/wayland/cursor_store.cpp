#include "platform/linux/capture/wayland/cursor_store.h"

#include <mutex>

namespace platform::wayland {

namespace {

struct Store {
    std::mutex mutex;
    bool visible = false;
    std::optional<CursorSnapshot> cursor;  // the last image, with the last position
};

Store& store() {
    static Store* shared = new Store();  // never destroyed: read until exit
    return *shared;
}

}  // namespace

void publishCursor(const CursorUpdate& update) {
    Store& s = store();
    std::scoped_lock lock(s.mutex);
    s.visible = update.visible;
    if (!update.visible) return;
    if (update.hasBitmap) {
        CursorSnapshot image;
        image.width = update.width;
        image.height = update.height;
        image.argb = update.argb;
        s.cursor = std::move(image);
    }
    if (s.cursor) {
        s.cursor->hotX = update.hotX;
        s.cursor->hotY = update.hotY;
        s.cursor->x = update.x;
        s.cursor->y = update.y;
    }
}

void clearCursor() {
    Store& s = store();
    std::scoped_lock lock(s.mutex);
    s.visible = false;
    s.cursor.reset();
}

std::optional<CursorSnapshot> currentCursor() {
    Store& s = store();
    std::scoped_lock lock(s.mutex);
    if (!s.visible) return std::nullopt;
    return s.cursor;
}

}  // namespace platform::wayland
