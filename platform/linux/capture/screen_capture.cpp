// The screen-capture entry points: the Wayland source in a Wayland session (even with
// Xwayland's DISPLAY set), X11 everywhere else.

#include "platform/screen_capture.h"

#include "platform/linux/capture/capture_stream.h"
#include "platform/linux/capture/monitors.h"
#include "platform/linux/capture/platform_thread.h"
#include "platform/linux/capture/wayland/wayland_source.h"
#include "platform/linux/capture/xcb_handles.h"
#include "platform/linux/system/session.h"

namespace platform {

bool preflightScreenCaptureAccess() {
    if (system::waylandSession()) return wayland::preflightAccess();
    auto connection = x11::connect();
    return connection && !x11::initializeCaptureExtensions(connection.value().get());
}

void getShareableContent(bool /*excludingDesktopWindows*/, bool /*onScreenWindowsOnly*/,
                         ShareableContentHandler completion) {
    if (system::waylandSession()) return wayland::getShareableContent(std::move(completion));
    // Windows are not part of the content here: only whole displays can be captured.
    x11::completeOnPlatformThread([completion = std::move(completion)] {
        auto connection = x11::connect();
        if (!connection) {
            completion(std::nullopt, connection.error());
            return;
        }
        ShareableContent content;
        for (const x11::Monitor& monitor : x11::listMonitors(connection.value()))
            content.displays.push_back({monitor.displayID, monitor.width, monitor.height});
        completion(std::move(content), std::nullopt);
    });
}

uint32_t mainDisplayID() {
    if (system::waylandSession()) return wayland::mainDisplayID();
    // The primary monitor when the server names one, else the first.
    auto connection = x11::connect();
    if (!connection) return 1;
    return x11::primaryMonitorID(connection.value());
}

std::unique_ptr<CaptureStream> createCaptureStream(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   StreamStopHandler didStop) {
    if (system::waylandSession()) return wayland::createCaptureStream(filter, configuration, std::move(didStop));
    return std::make_unique<x11::XcbCaptureStream>(filter, configuration, std::move(didStop));
}

}  // namespace platform
