#include "platform/linux/capture/monitor_follower.h"

#include <xcb/randr.h>

#include <algorithm>

namespace platform::x11 {

namespace {

// How often the monitors are read when nothing was notified: the one cost is a round
// trip, a few times a second.
constexpr uint64_t kLookIntervalNanos = 150'000'000;
// While the monitor is missing, it is looked for more often.
constexpr uint64_t kSettlingLookNanos = 30'000'000;
// How long a monitor may be missing before it counts as gone. A mode change takes its
// CRTC off and puts it back (xrandr turns off every CRTC that does not fit the new
// screen size, resizes the screen, then sets the new modes): the monitor vanishes from
// the list for those few requests.
constexpr uint64_t kGoneAfterNanos = 250'000'000;

}  // namespace

MonitorFollower::MonitorFollower(const Connection& connection, const Monitor& monitor, ScreenSize screen)
    : connection_(connection), monitor_(monitor), screen_(screen) {
    xcb_connection_t* c = connection.get();
    firstEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(
        c, connection.root(),
        XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
}

bool MonitorFollower::handleEvent(const xcb_generic_event_t& event) {
    const uint8_t type = event.response_type & 0x7f;
    if (type != firstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY && type != firstEvent_ + XCB_RANDR_NOTIFY) return false;
    notified_ = true;
    return true;
}

MonitorFollower::Outcome MonitorFollower::look(uint64_t now, When when) {
    if (when == When::due && now < nextLook()) return settling() ? Outcome::settling : Outcome::unchanged;
    notified_ = false;
    auto layout = queryScreenLayout(connection_);
    if (!layout) {
        nextLook_ = now + kLookIntervalNanos;
        return settling() ? Outcome::settling : Outcome::unchanged;
    }
    std::optional<Monitor> found;
    if (monitor_.name == XCB_ATOM_NONE) {
        // Captured as the whole screen: it follows the screen's size.
        found = Monitor{monitor_.displayID, XCB_ATOM_NONE, 0, 0, layout->screen.width, layout->screen.height};
    } else {
        auto it = std::find_if(layout->monitors.begin(), layout->monitors.end(),
                               [&](const Monitor& m) { return m.name == monitor_.name; });
        if (it != layout->monitors.end()) found = *it;
    }
    if (!found) {
        if (!missingSince_) missingSince_ = now;
        nextLook_ = now + kSettlingLookNanos;
        return now - *missingSince_ >= kGoneAfterNanos ? Outcome::gone : Outcome::settling;
    }
    nextLook_ = now + kLookIntervalNanos;
    const bool wasMissing = missingSince_.has_value();
    missingSince_.reset();
    if (!wasMissing && found->sameArea(monitor_) && layout->screen == screen_) return Outcome::unchanged;
    monitor_ = *found;
    screen_ = layout->screen;
    return Outcome::changed;
}

}  // namespace platform::x11
