#pragma once
// Follows the captured monitor through changes of the screen: resolution, rotation,
// layout, monitors plugged in or out.

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>

#include "platform/linux/capture/monitors.h"
#include "platform/linux/capture/xcb_handles.h"

namespace platform::x11 {

// The monitor is followed by its RandR name, not by its position in the server's list,
// so a monitor added before it changes nothing. RandR notifies changes of the screen,
// its CRTCs and its outputs; monitors set by a client (xrandr --setmonitor) come and go
// without any notification, so the list is also read again every so often.
//
// Used on the capture thread only, like the connection it was made with, which must
// outlive it.
class MonitorFollower {
public:
    // Selects RandR notifications on the root window and starts from `monitor` on a
    // screen of `screen`'s size.
    MonitorFollower(const Connection& connection, const Monitor& monitor, ScreenSize screen);
    MonitorFollower(const MonitorFollower&) = delete;
    MonitorFollower& operator=(const MonitorFollower&) = delete;

    // Feeds one event from the connection; true when it was a RandR notification, which
    // makes the next look due at once.
    bool handleEvent(const xcb_generic_event_t& event);

    // True when a RandR notification came since the last look.
    bool notified() const { return notified_; }

    // Host time (ns) when the next look is due.
    uint64_t nextLook() const { return notified_ ? 0 : nextLook_; }

    enum class When { due, now };
    enum class Outcome {
        unchanged,  // the monitor and the screen are as they were
        changed,    // monitor() or the screen's size changed: what depends on them must follow
        settling,   // the monitor is missing, maybe only while a mode is being set
        gone,       // the monitor has been missing for too long to be coming back
    };
    // Reads the monitors again when a look is due (or at once) and tells what changed.
    // A server that does not answer changes nothing: the caller learns of a broken
    // connection from the connection itself.
    Outcome look(uint64_t now, When when);

    const Monitor& monitor() const { return monitor_; }
    // While the monitor is missing its geometry is unknown: nothing may be read from it.
    bool settling() const { return missingSince_.has_value(); }

private:
    const Connection& connection_;
    uint8_t firstEvent_ = 0;
    Monitor monitor_;
    ScreenSize screen_;
    bool notified_ = false;
    uint64_t nextLook_ = 0;
    std::optional<uint64_t> missingSince_;  // host time the monitor was first seen missing
};

}  // namespace platform::x11
