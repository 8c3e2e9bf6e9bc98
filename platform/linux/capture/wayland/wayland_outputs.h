#pragma once
// The compositor's outputs, the displays of a Wayland session: in the order the
// compositor announces them, display ID = 1-based position, as on X11.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform::wayland {

struct Output {
    uint32_t displayID = 0;
    std::string name;  // e.g. "HEADLESS-1"; empty where the compositor gives no names
    int x = 0, y = 0;  // position in the compositor's layout
    int width = 0, height = 0;  // logical size (the mode, rotated and divided by the scale)
};

// Reads the outputs through a short-lived connection to WAYLAND_DISPLAY. An error
// when the compositor cannot be reached.
Result<std::vector<Output>> listOutputs();

}  // namespace platform::wayland
