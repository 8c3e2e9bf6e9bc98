#pragma once
// A private headless GNOME desktop for tests: mutter (Wayland only, no GPU, one
// virtual monitor) with its own session bus, PipeWire and the ScreenCast portal served
// by the stock GNOME backend, which asks the user in its "Screen Share" dialog before
// a first capture (ConsentAnswerer answers it). Everything lives in a private 0700
// folder (HOME, XDG_RUNTIME_DIR, XDG_STATE_HOME) and every process is ended by its
// PID with the desktop.
//
// Without a GPU mutter draws in software: about a core at 17 to 27 frames a second.
// The portal backend does not survive two dialogs at once, so a test lets one capture
// through its dialog before it starts the next.

#include <memory>
#include <string>

#include "tests/support/session_processes.h"

namespace testsupport {

struct GnomeDesktopOptions {
    int width = 1920;
    int height = 1080;
    // pipewire-pulse too, with PULSE_SERVER set for the session's programs.
    SessionProcesses::Pulse sound = SessionProcesses::Pulse::without;
};

class GnomeDesktop {
public:
    // Starts the desktop and waits until the ScreenCast portal answers. Null, with the
    // reason on standard error, when it cannot be started.
    static std::unique_ptr<GnomeDesktop> start(GnomeDesktopOptions options = {});
    ~GnomeDesktop() = default;
    GnomeDesktop(const GnomeDesktop&) = delete;
    GnomeDesktop& operator=(const GnomeDesktop&) = delete;

    // The environment a program of the session runs with: WAYLAND_DISPLAY,
    // XDG_RUNTIME_DIR, HOME, XDG_STATE_HOME, DBUS_SESSION_BUS_ADDRESS, and DISPLAY unset.
    const Environment& environment() const { return session_->environment(); }
    int width() const { return options_.width; }
    int height() const { return options_.height; }
    // The file where the programs keep the portal's restore tokens in this session.
    std::string restoreTokenFile() const { return environment().at("XDG_STATE_HOME") + "/zentori/portal-tokens"; }
    // The test's own connection to the session bus.
    BusConnection& bus() { return session_->bus(); }

private:
    GnomeDesktop() = default;

    GnomeDesktopOptions options_;
    std::unique_ptr<SessionProcesses> session_;
};

}  // namespace testsupport
