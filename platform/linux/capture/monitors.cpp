#include "platform/linux/capture/monitors.h"

#include <xcb/randr.h>

namespace platform::x11 {

std::vector<Monitor> listMonitors(const Connection& connection) {
    xcb_connection_t* c = connection.get();
    std::vector<Monitor> monitors;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr && randr->present) {
        // The server answers RandR 1.5 requests only to clients that said they speak it.
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
        Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
            c, xcb_randr_get_monitors(c, connection.root(), /*get_active=*/1), nullptr));
        if (reply) {
            uint32_t id = 1;
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* info = it.data;
                monitors.push_back({id++, info->x, info->y, info->width, info->height, info->primary != 0});
            }
        }
    }
    if (monitors.empty()) {
        monitors.push_back({1, 0, 0, connection.screen->width_in_pixels, connection.screen->height_in_pixels});
    }
    return monitors;
}

uint32_t primaryMonitorID(const Connection& connection) {
    for (const Monitor& monitor : listMonitors(connection))
        if (monitor.primary) return monitor.displayID;
    return 1;
}

std::optional<Monitor> findMonitor(const Connection& connection, uint32_t displayID) {
    for (const Monitor& monitor : listMonitors(connection))
        if (monitor.displayID == displayID) return monitor;
    return std::nullopt;
}

}  // namespace platform::x11
