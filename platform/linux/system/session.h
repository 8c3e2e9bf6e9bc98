#pragma once
// What kind of desktop session the programs run in.

namespace platform::system {

// A Wayland session: WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE says "wayland". It
// holds even when DISPLAY is also set, since that display is then Xwayland, which shows
// only X11 windows and holds only its own input devices.
bool waylandSession();

}  // namespace platform::system
