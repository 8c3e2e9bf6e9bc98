#pragma once
// What changed on the screen since the last look, from XDamage on the root window.

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <memory>
#include <optional>

#include "platform/linux/capture/monitors.h"
#include "platform/linux/capture/xcb_handles.h"

namespace platform::x11 {

class DamageTracker {
public:
    // Starts tracking the root window. Creating the damage object reports the whole
    // screen once, so the first look always sees a change.
    static Result<std::unique_ptr<DamageTracker>> create(const Connection& connection);
    ~DamageTracker();
    DamageTracker(const DamageTracker&) = delete;
    DamageTracker& operator=(const DamageTracker&) = delete;

    // Feeds one event from the connection; true when it was a damage notification,
    // which means takeChangeIn() has something to look at.
    bool handleEvent(const xcb_generic_event_t& event);

    // Takes the accumulated damage (the server forgets it, so the next change notifies
    // again) and tells whether any of it touches `area`. Called only after a damage
    // notification, so there is some damage to take.
    bool takeChangeIn(const Monitor& area);

    // The screen's size now, after a resize: damage outside an area that covers the
    // whole screen cannot exist, which spares the look at the region.
    void setScreenSize(ScreenSize screen) { screen_ = screen; }

private:
    explicit DamageTracker(const Connection& connection)
        : connection_(connection),
          screen_{connection.screen->width_in_pixels, connection.screen->height_in_pixels} {}

    const Connection& connection_;
    ScreenSize screen_;
    uint8_t firstEvent_ = 0;
    xcb_damage_damage_t damage_ = 0;
    xcb_xfixes_region_t region_ = 0;
};

}  // namespace platform::x11
