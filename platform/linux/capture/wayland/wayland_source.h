#pragma once
// The Wayland screen source behind the platform's screen-capture and cursor entry
// points, which choose it once per call from the session the process finds
// (platform::system::waylandSession()).

#include <cstdint>
#include <memory>

#include "platform/cursor.h"
#include "platform/screen_capture.h"

namespace platform::wayland {

// Whether the ScreenCast portal answers on the session bus; never opens a session.
bool preflightAccess();
// The compositor's outputs, on a platform thread.
void getShareableContent(ShareableContentHandler completion);
// The first output: Wayland has no "primary" output.
uint32_t mainDisplayID();
Rect displayBounds(uint32_t displayID);
// The pointer from the running capture's Cursor metadata; none without one.
std::unique_ptr<CursorImage> currentCursorImage();
std::unique_ptr<CaptureStream> createCaptureStream(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   StreamStopHandler didStop);

}  // namespace platform::wayland
