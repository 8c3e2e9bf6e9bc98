#include "tests/support/wayland_desktop.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace testsupport {

namespace {

// The first entry of `folder` whose name starts with `prefix` and is a socket.
std::string findSocket(const std::string& folder, const std::string& prefix) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && entry.is_socket(ignored)) return name;
    }
    return {};
}

}  // namespace

std::unique_ptr<WaylandDesktop> WaylandDesktop::start() {
    // The patched portal-wlr, built once per machine (quick when cached).
    std::string portalWlr;
    if (runForStatus({std::string(ZENT_SOURCE_DIR) + "/scripts/wayland/build_portal_wlr.sh"}, {}, &portalWlr) != 0) {
        std::fprintf(stderr, "the patched portal-wlr could not be built\n");
        return nullptr;
    }
    while (!portalWlr.empty() && portalWlr.back() == '\n') portalWlr.pop_back();

    std::unique_ptr<WaylandDesktop> desktop(new WaylandDesktop());
    desktop->session_ = SessionProcesses::create("zentori-wayland");
    if (!desktop->session_) {
        std::fprintf(stderr, "the desktop's folder could not be made\n");
        return nullptr;
    }
    SessionProcesses& session = *desktop->session_;
    // The portal front end picks portal-wlr's portals by this name.
    session.setVariable("XDG_CURRENT_DESKTOP", "sway");

    // sway refuses to run as root; in a user namespace without a uid map it sees
    // itself as nobody while file access stays that of the test.
    const std::string swayConfig = session.folder() + "/sway.config";
    std::ofstream(swayConfig) << "output " << kOutput << " mode 1920x1080@60Hz\n"
                              << "output " << kOutput << " bg #000000 solid_color\n";
    if (!session.launch({"unshare", "--user", "sway", "-c", swayConfig}, {{"WLR_BACKENDS", "headless"},
                                                                          {"WLR_RENDERER", "pixman"},
                                                                          {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                                                          {"WLR_HEADLESS_OUTPUTS", "1"}}))
        return nullptr;
    std::string display;
    std::string swaySocket;
    if (!session.waitUntil(
            [&] {
                display = findSocket(session.folder(), "wayland-");
                swaySocket = findSocket(session.folder(), "sway-ipc.");
                return !display.empty() && !swaySocket.empty();
            },
            std::chrono::seconds(30), "sway"))
        return nullptr;
    session.setVariable("WAYLAND_DISPLAY", display);
    session.setVariable("SWAYSOCK", session.folder() + "/" + swaySocket);

    // The bus comes after the compositor, so that what it activates (portal backends)
    // is given WAYLAND_DISPLAY from the start.
    if (!session.startBus() || !session.startPipeWire(SessionProcesses::Pulse::with)) return nullptr;
    // The PulseAudio server answers before the graph takes modules: the speakers are
    // asked for until they are there, then made the default.
    const auto speakersAre = [&](const char* listing, const std::string& expected) {
        std::string text;
        return runForStatus({"pactl", listing}, session.environment(), &text) == 0 &&
               text.find(expected) != std::string::npos;
    };
    if (!session.waitUntil(
            [&] {
                if (speakersAre("list", std::string("Name: ") + kSpeakers)) return true;
                desktop->pactl({"load-module", "module-null-sink", std::string("sink_name=") + kSpeakers});
                return false;
            },
            std::chrono::seconds(30), "the speakers") ||
        !session.waitUntil(
            [&] {
                desktop->pactl({"set-default-sink", kSpeakers});
                return speakersAre("info", std::string("Default Sink: ") + kSpeakers);
            },
            std::chrono::seconds(30), "the default speakers"))
        return nullptr;

    // portal-wlr shares the one output without a chooser. Started before the portal
    // front end and waited for on the bus, so that the stock one is never activated.
    const std::string wlrConfig = session.folder() + "/portal-wlr.config";
    std::ofstream(wlrConfig) << "[screencast]\noutput_name=" << kOutput << "\nchooser_type=none\n";
    desktop->screenCastBackend_ = session.launch({portalWlr, "-c", wlrConfig, "-l", "ERROR"});
    if (!desktop->screenCastBackend_) return nullptr;
    if (!session.waitUntil([&] { return session.bus().hasOwner("org.freedesktop.impl.portal.desktop.wlr"); },
                           std::chrono::seconds(30), "portal-wlr"))
        return nullptr;
    // Waits until the front end this started owns its name, not merely until a front
    // end answers: one the bus activated on demand could answer and then be replaced.
    if (!session.startPortal()) return nullptr;
    return desktop;
}

int WaylandDesktop::swaymsg(std::vector<std::string> args) const {
    args.insert(args.begin(), "swaymsg");
    return runForStatus(std::move(args), environment());
}

bool WaylandDesktop::paint(const std::string& color) const {
    return swaymsg({"output", kOutput, "bg", color, "solid_color"}) == 0;
}

int WaylandDesktop::pactl(std::vector<std::string> args) const {
    args.insert(args.begin(), "pactl");
    return runForStatus(std::move(args), environment());
}

std::unique_ptr<Child> WaylandDesktop::playTone(double frequency, double amplitude) const {
    // Twenty seconds outlast every test that plays a tone.
    constexpr int kRate = 48000;
    const std::string file = folder() + "/tone.raw";
    std::vector<float> samples(static_cast<size_t>(kRate) * 20 * 2);
    for (size_t n = 0; n < samples.size() / 2; ++n)
        samples[2 * n] = samples[2 * n + 1] =
            static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(n) / kRate));
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
    auto player = Child::spawn({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                "--latency-msec=10", std::string("--device=") + kSpeakers, file},
                               environment());
    if (player) player->closeStdin();
    return player;
}

void WaylandDesktop::stopScreenCastBackend() {
    if (!screenCastBackend_) return;
    screenCastBackend_->signal(SIGTERM);
    screenCastBackend_->waitExit(std::chrono::seconds(5));
}

}  // namespace testsupport
