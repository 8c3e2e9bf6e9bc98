#pragma once
// The displays of the X screen: RandR monitors in the server's order.

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/linux/capture/xcb_handles.h"

namespace platform::x11 {

// One display: its 1-based ID and its rectangle on the root window, in pixels.
struct Monitor {
    uint32_t displayID = 0;
    int x = 0, y = 0;
    int width = 0, height = 0;
    bool primary = false;
};

// The screen's RandR monitors, IDs counting from 1 in the order the server lists them;
// the whole screen as display 1 when the server lists none (or has no RandR 1.5).
std::vector<Monitor> listMonitors(const Connection& connection);

// The ID of the primary monitor, or 1 when no monitor is primary.
uint32_t primaryMonitorID(const Connection& connection);

std::optional<Monitor> findMonitor(const Connection& connection, uint32_t displayID);

}  // namespace platform::x11
