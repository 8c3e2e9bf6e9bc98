#pragma once
// The displays of the X screen: RandR monitors in the server's order.

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/linux/capture/xcb_handles.h"

namespace platform::x11 {

// One display: its 1-based ID, its RandR name (none for the whole screen of a server
// that lists no monitors) and its rectangle on the root window, in pixels. The ID is a
// position in the server's list and changes when monitors come and go; the name stays.
struct Monitor {
    uint32_t displayID = 0;
    xcb_atom_t name = XCB_ATOM_NONE;
    int x = 0, y = 0;
    int width = 0, height = 0;
    bool primary = false;

    bool sameArea(const Monitor& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

// The size of the screen (the root window) in pixels.
struct ScreenSize {
    int width = 0, height = 0;
    bool operator==(const ScreenSize&) const = default;
};

// The screen's RandR monitors, IDs counting from 1 in the order the server lists them;
// the whole screen as display 1 when the server lists none (or has no RandR 1.5).
std::vector<Monitor> listMonitors(const Connection& connection);

// The ID of the primary monitor, or 1 when no monitor is primary.
uint32_t primaryMonitorID(const Connection& connection);

std::optional<Monitor> findMonitor(const Connection& connection, uint32_t displayID);

// The screen's current size and its monitors as listMonitors() gives them, read
// together; nullopt when the server does not answer. Unlike `connection.screen`, which
// keeps the size the screen had when the connection opened, this follows resizes. The
// connection must have announced RandR 1.5 (initializeCaptureExtensions does).
struct ScreenLayout {
    ScreenSize screen;
    std::vector<Monitor> monitors;
};
std::optional<ScreenLayout> queryScreenLayout(const Connection& connection);

}  // namespace platform::x11
