// The current cursor and display bounds. On X11 they are read on the caller's (main)
// queue through a connection of their own, apart from the capture thread's; in a
// Wayland session they come from the compositor's outputs and the capture's Cursor
// metadata.

#include "platform/cursor.h"

#include <xcb/xfixes.h>

#include <mutex>
#include <optional>

#include "platform/linux/capture/cursor_scaler.h"
#include "platform/linux/capture/monitors.h"
#include "platform/linux/capture/wayland/wayland_source.h"
#include "platform/linux/capture/xfixes_cursor.h"
#include "platform/linux/system/session.h"

namespace platform {

namespace {

class XFixesCursorImage final : public CursorImage {
public:
    explicit XFixesCursorImage(x11::CursorShape shape) : shape_(std::move(shape)) {}
    double width() const override { return shape_.width; }
    double height() const override { return shape_.height; }
    double hotSpotX() const override { return shape_.hotX; }
    double hotSpotY() const override { return shape_.hotY; }
    bool draw(int w, int h, uint8_t* rgba) const override {
        if (w <= 0 || h <= 0 || !rgba || shape_.argb.empty()) return false;
        x11::scaleCursorToRGBA(shape_.argb.data(), shape_.width, shape_.height, w, h, rgba);
        return true;
    }

private:
    x11::CursorShape shape_;
};

// The connection these calls share, opened on first use and opened again after it
// broke; plus the last cursor image the server gave.
class CursorConnection {
public:
    static CursorConnection& instance() {
        static CursorConnection* connection = new CursorConnection();  // never destroyed: used until exit
        return *connection;
    }

    // Runs `fn` with the connection (null when none can be opened). A connection that
    // turns out broken (the server went away and maybe came back) is opened again and
    // `fn` runs once more.
    template <class Fn>
    auto withConnection(Fn fn) -> decltype(fn(std::declval<const x11::Connection*>())) {
        std::scoped_lock lock(mutex_);
        reopenIfBroken();
        auto result = fn(connection_ ? &*connection_ : nullptr);
        if (connection_ && xcb_connection_has_error(connection_->get())) {
            reopenIfBroken();
            result = fn(connection_ ? &*connection_ : nullptr);
        }
        return result;
    }

    std::optional<x11::CursorShape> lastGood;  // guarded by the connection's mutex

private:
    CursorConnection() = default;

    void reopenIfBroken() {
        if (connection_ && xcb_connection_has_error(connection_->get())) connection_.reset();
        if (!connection_) {
            auto opened = x11::connect();
            if (opened) {
                xcb_connection_t* c = opened.value().get();
                x11::Reply<xcb_xfixes_query_version_reply_t> version(
                    xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
                if (version) connection_ = std::move(opened.value());
            }
        }
    }

    std::mutex mutex_;
    std::optional<x11::Connection> connection_;
};

}  // namespace

Rect displayBounds(uint32_t displayID) {
    if (system::waylandSession()) return wayland::displayBounds(displayID);
    return CursorConnection::instance().withConnection([&](const x11::Connection* connection) -> Rect {
        if (!connection) return {};
        auto monitor = x11::findMonitor(*connection, displayID);
        if (!monitor) return {};
        return {static_cast<double>(monitor->x), static_cast<double>(monitor->y),
                static_cast<double>(monitor->width), static_cast<double>(monitor->height)};
    });
}

std::unique_ptr<CursorImage> currentSystemCursor() {
    if (system::waylandSession()) return wayland::currentCursorImage();
    auto& shared = CursorConnection::instance();
    return shared.withConnection([&](const x11::Connection* connection) -> std::unique_ptr<CursorImage> {
        if (connection) {
            // The server refuses the image of a cursor set by a client that has left
            // (with its SECURITY extension on); the last good image stands in for it.
            if (auto shape = x11::fetchCursorShape(connection->get())) shared.lastGood = std::move(shape);
        }
        if (!shared.lastGood) return nullptr;
        return std::make_unique<XFixesCursorImage>(*shared.lastGood);
    });
}

}  // namespace platform
