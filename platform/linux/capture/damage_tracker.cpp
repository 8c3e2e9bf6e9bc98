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

bool DamageTracker::takeChangeIn(const Monitor& area) {
    xcb_connection_t* c = connection_.get();
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    // Any damage touches an area that covers the whole screen: the region need not
    // travel (one round trip less before the grab).
    if (area.x <= 0 && area.y <= 0 && area.x + area.width >= screen_.width && area.y + area.height >= screen_.height)
        return true;
    Reply<xcb_xfixes_fetch_region_reply_t> reply(
        xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
    // Without an answer, assume a change: a needless frame is cheaper than a lost one.
    if (!reply) return true;
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(reply.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
    for (int i = 0; i < count; ++i) {
        const xcb_rectangle_t& r = rectangles[i];
        const int left = std::max<int>(r.x, area.x), right = std::min<int>(r.x + r.width, area.x + area.width);
        const int top = std::max<int>(r.y, area.y), bottom = std::min<int>(r.y + r.height, area.y + area.height);
        if (left < right && top < bottom) return true;
    }
    return false;
}

}  // namespace platform::x11
