#pragma once
// A private headless Wayland desktop for tests, like xvfb.h for X: sway (software
// rendering, one 1920x1080 output "HEADLESS-1") with its own session bus, PipeWire
// (with WirePlumber and the PulseAudio server, a null sink as the speakers) and the
// ScreenCast portal (xdg-desktop-portal with portal-wlr, which shares HEADLESS-1
// without asking). Everything lives in a private 0700 folder that is also HOME and
// XDG_RUNTIME_DIR, and every process is a child of the test, ended by its PID.
//
// portal-wlr is the patched build of scripts/wayland/build_portal_wlr.sh (built once
// per machine, cached): the stock one cannot share a screen without a GPU.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child.h"

namespace testsupport {

class WaylandDesktop {
public:
    static constexpr const char* kOutput = "HEADLESS-1";
    static constexpr const char* kSpeakers = "zentori_speakers";

    // Starts the desktop and waits until the ScreenCast portal answers. Null, with the
    // reason on standard error, when it cannot be started.
    static std::unique_ptr<WaylandDesktop> start();
    ~WaylandDesktop();
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // The environment a program of the session runs with: WAYLAND_DISPLAY,
    // XDG_RUNTIME_DIR, HOME, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER, and DISPLAY unset.
    std::map<std::string, std::string> environment() const;
    const std::string& folder() const { return folder_; }
    // The file where the programs keep the portal's restore tokens in this session.
    std::string restoreTokenFile() const { return folder_ + "/home/.local/state/zentori/portal-tokens"; }

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
    bool waitUntil(const std::function<bool()>& ready, std::chrono::seconds limit, const char* what) const;
    // Starts one process of the desktop, kept to be ended with it.
    Child* launch(std::vector<std::string> argv, const std::map<std::string, std::string>& env);

    std::string folder_;
    std::string waylandDisplay_;
    std::string swaySocket_;
    std::map<std::string, std::string> baseEnv_;
    std::vector<std::unique_ptr<Child>> processes_;  // in start order; ended in reverse
    Child* screenCastBackend_ = nullptr;
};

}  // namespace testsupport
