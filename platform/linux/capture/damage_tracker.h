#pragma once
// What changed on the screen since the last look, from XDamage on the root window.

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <memory>
#include <optional>

#include "platform/linux/capture/dirty_region.h"
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
    // again) and tells whether any of it touches `area`; what does is added to `into`,
    // clipped to the area and in its coordinates (the whole area when the region could
    // not be read). Called only after a damage notification, so there is some damage
    // to take.
    bool takeChangeIn(const Monitor& area, DirtyRegion& into);

private:
    explicit DamageTracker(const Connection& connection) : connection_(connection) {}

    const Connection& connection_;
    uint8_t firstEvent_ = 0;
    xcb_damage_damage_t damage_ = 0;
    xcb_xfixes_region_t region_ = 0;
};

}  // namespace platform::x11
