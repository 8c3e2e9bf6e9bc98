#include "platform/linux/capture/damage_tracker.h"

#include <algorithm>

namespace platform::x11 {

Result<std::unique_ptr<DamageTracker>> DamageTracker::create(const Connection& connection) {
    xcb_connection_t* c = connection.get();
    std::unique_ptr<DamageTracker> tracker(new DamageTracker(connection));
    tracker->firstEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;

    tracker->region_ = xcb_generate_id(c);
    Reply<xcb_generic_error_t> regionError(
        xcb_request_check(c, xcb_xfixes_create_region_checked(c, tracker->region_, 0, nullptr)));
    if (regionError) {
        tracker->region_ = 0;
        return makeError(kRequestFailed, "No se pudo crear la región XFIXES: " +
                                             protocolErrorText(regionError->error_code));
    }
    // NON_EMPTY: one notification each time the damage goes from empty to not empty,
    // instead of one per drawing operation; the region says what changed.
    tracker->damage_ = xcb_generate_id(c);
    Reply<xcb_generic_error_t> damageError(xcb_request_check(
        c, xcb_damage_create_checked(c, tracker->damage_, connection.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY)));
    if (damageError) {
        tracker->damage_ = 0;
        return makeError(kRequestFailed, "No se pudo seguir los cambios de la pantalla (DAMAGE): " +
                                             protocolErrorText(damageError->error_code));
    }
    return tracker;
}

DamageTracker::~DamageTracker() {
    xcb_connection_t* c = connection_.get();
    if (damage_) xcb_damage_destroy(c, damage_);
    if (region_) xcb_xfixes_destroy_region(c, region_);
    xcb_flush(c);
}

bool DamageTracker::handleEvent(const xcb_generic_event_t& event) {
    return (event.response_type & 0x7f) == firstEvent_ + XCB_DAMAGE_NOTIFY;
}

bool DamageTracker::takeChangeIn(const Monitor& area, DirtyRegion& into) {
    xcb_connection_t* c = connection_.get();
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    Reply<xcb_xfixes_fetch_region_reply_t> reply(
        xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
    // Without an answer, assume everything changed: a needless complete frame is
    // cheaper than a lost change.
    if (!reply) {
        into.markWhole();
        return true;
    }
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(reply.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
    const Rect monitor{area.x, area.y, area.width, area.height};
    bool touched = false;
    for (int i = 0; i < count; ++i) {
        const xcb_rectangle_t& r = rectangles[i];
        const Rect inside = intersection({r.x, r.y, r.width, r.height}, monitor);
        if (inside.empty()) continue;
        touched = true;
        into.add({inside.x - area.x, inside.y - area.y, inside.width, inside.height});
        if (into.whole()) break;
    }
    return touched;
}

}  // namespace platform::x11
