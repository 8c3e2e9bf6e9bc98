#pragma once
// A private headless Wayland desktop for tests, like xvfb.h for X: sway (software
// rendering, one 1920x1080 output "HEADLESS-1") with its own session bus, PipeWire
// (with WirePlumber and the PulseAudio server, a null sink as the speakers) and the
// ScreenCast portal (xdg-desktop-portal with portal-wlr, which shares HEADLESS-1
// without asking). The session's pieces start as GnomeDesktop's do (SessionProcesses):
// everything lives in a private 0700 folder (HOME, XDG_RUNTIME_DIR, XDG_STATE_HOME)
// and every process is ended by its PID with the desktop.
//
// portal-wlr is the patched build of scripts/wayland/build_portal_wlr.sh (built once
// per machine, cached): the stock one cannot share a screen without a GPU.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/session_processes.h"

namespace testsupport {

class WaylandDesktop {
public:
    static constexpr const char* kOutput = "HEADLESS-1";
    static constexpr const char* kSpeakers = "zentori_speakers";

    // Starts the desktop and waits until the ScreenCast portal answers. Null, with the
    // reason on standard error, when it cannot be started.
    static std::unique_ptr<WaylandDesktop> start();
    ~WaylandDesktop() = default;
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // The environment a program of the session runs with: WAYLAND_DISPLAY, SWAYSOCK,
    // XDG_RUNTIME_DIR, HOME, XDG_STATE_HOME, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER,
    // and DISPLAY unset.
    const Environment& environment() const { return session_->environment(); }
    const std::string& folder() const { return session_->folder(); }
    // The file where the programs keep the portal's restore tokens in this session.
    std::string restoreTokenFile() const { return environment().at("XDG_STATE_HOME") + "/zentori/portal-tokens"; }

    // Runs swaymsg with `args`; its exit status.
    int swaymsg(std::vector<std::string> args) const;
    // Paints the whole output in one colour ("#rrggbb"), through swaybg.
    bool paint(const std::string& color) const;
    // Runs pactl against the session's sound server; its exit status.
    int pactl(std::vector<std::string> args) const;
    // Plays a stereo sine tone into the speakers until the returned child is destroyed.
    std::unique_ptr<Child> playTone(double frequency, double amplitude) const;
    // Ends the screen-sharing side of the portal (portal-wlr), as when the desktop
    // stops a screen cast by itself.
    void stopScreenCastBackend();

private:
    WaylandDesktop() = default;

    std::unique_ptr<SessionProcesses> session_;
    Child* screenCastBackend_ = nullptr;
};

}  // namespace testsupport
