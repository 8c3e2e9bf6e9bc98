#include "platform/linux/capture/monitors.h"

#include <xcb/randr.h>

namespace platform::x11 {

namespace {

// The monitors of a GetMonitors reply, or the whole screen as display 1 when there are
// none (or no reply: a server without RandR 1.5).
std::vector<Monitor> monitorsOf(const xcb_randr_get_monitors_reply_t* reply, ScreenSize screen) {
    std::vector<Monitor> monitors;
    if (reply) {
        uint32_t id = 1;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem; xcb_randr_monitor_info_next(&it)) {
            const xcb_randr_monitor_info_t* info = it.data;
            monitors.push_back({id++, info->name, info->x, info->y, info->width, info->height, info->primary != 0});
        }
    }
    if (monitors.empty()) monitors.push_back({1, XCB_ATOM_NONE, 0, 0, screen.width, screen.height});
    return monitors;
}

xcb_randr_get_monitors_cookie_t requestMonitors(const Connection& connection) {
    return xcb_randr_get_monitors(connection.get(), connection.root(), /*get_active=*/1);
}

}  // namespace

std::vector<Monitor> listMonitors(const Connection& connection) {
    xcb_connection_t* c = connection.get();
    Reply<xcb_randr_get_monitors_reply_t> reply;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr && randr->present) {
        // The server answers RandR 1.5 requests only to clients that said they speak it.
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
        reply.reset(xcb_randr_get_monitors_reply(c, requestMonitors(connection), nullptr));
    }
    return monitorsOf(reply.get(), {connection.screen->width_in_pixels, connection.screen->height_in_pixels});
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

std::optional<ScreenLayout> queryScreenLayout(const Connection& connection) {
    xcb_connection_t* c = connection.get();
    // Both requests go out before either answer is awaited: one round trip.
    const xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(c, connection.root());
    const xcb_randr_get_monitors_cookie_t monitorsCookie = requestMonitors(connection);
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    Reply<xcb_randr_get_monitors_reply_t> monitors(xcb_randr_get_monitors_reply(c, monitorsCookie, nullptr));
    if (!geometry || !monitors) return std::nullopt;
    const ScreenSize screen{geometry->width, geometry->height};
    return ScreenLayout{screen, monitorsOf(monitors.get(), screen)};
}

}  // namespace platform::x11
