// The screen-capture entry points of the X11 backend.

#include "platform/screen_capture.h"

#include "platform/linux/capture/capture_stream.h"
#include "platform/linux/capture/monitors.h"
#include "platform/linux/capture/platform_thread.h"
#include "platform/linux/capture/xcb_handles.h"

namespace platform {

bool preflightScreenCaptureAccess() {
    auto connection = x11::connect();
    return connection && !x11::initializeCaptureExtensions(connection.value().get());
}

void getShareableContent(bool /*excludingDesktopWindows*/, bool /*onScreenWindowsOnly*/,
                         ShareableContentHandler completion) {
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
    // The primary monitor when the server names one, else the first.
    auto connection = x11::connect();
    if (!connection) return 1;
    return x11::primaryMonitorID(connection.value());
}

std::unique_ptr<CaptureStream> createCaptureStream(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   StreamStopHandler didStop) {
    return std::make_unique<x11::XcbCaptureStream>(filter, configuration, std::move(didStop));
}

}  // namespace platform
