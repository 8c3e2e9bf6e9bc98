#include "tests/support/wayland_desktop.h"

#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Runs a tool to its end; its exit status (-1 when it could not run or hung).
int run(std::vector<std::string> argv, const std::map<std::string, std::string>& env, std::string* output = nullptr) {
    auto child = Child::spawn(std::move(argv), env);
    if (!child) return -1;
    child->closeStdin();
    std::string text = child->readStdoutToEnd(std::chrono::seconds(30));
    if (output) *output = text;
    auto status = child->waitExit(std::chrono::seconds(30));
    if (!status) {
        child->signal(SIGKILL);
        child->waitExit(std::chrono::seconds(5));
        return -1;
    }
    return *status;
}

// The first entry of `folder` whose name starts with `prefix` and is a socket.
std::string findSocket(const std::string& folder, const std::string& prefix) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && entry.is_socket(ignored)) return name;
    }
    return {};
}

}  // namespace

std::unique_ptr<WaylandDesktop> WaylandDesktop::start() {
    std::unique_ptr<WaylandDesktop> desktop(new WaylandDesktop());
    char folder[] = "/tmp/zentori-wayland-XXXXXX";
    if (!mkdtemp(folder)) {
        std::perror("mkdtemp");
        return nullptr;
    }
    chmod(folder, 0700);
    desktop->folder_ = folder;
    const std::string home = desktop->folder_ + "/home";
    fs::create_directories(home + "/.config");
    desktop->baseEnv_ = {{"HOME", home},
                         {"XDG_RUNTIME_DIR", desktop->folder_},
                         {"XDG_CONFIG_HOME", home + "/.config"},
                         {"XDG_STATE_HOME", ""},
                         {"XDG_CURRENT_DESKTOP", "sway"},
                         {"XDG_SESSION_TYPE", "wayland"},
                         {"DISPLAY", ""},
                         {"WAYLAND_DISPLAY", ""},
                         {"DBUS_SESSION_BUS_ADDRESS", ""},
                         {"PULSE_SERVER", ""}};
    auto env = desktop->baseEnv_;

    // The patched portal-wlr, built once per machine (quick when cached).
    std::string portalWlr;
    if (run({std::string(ZENT_SOURCE_DIR) + "/scripts/wayland/build_portal_wlr.sh"}, {}, &portalWlr) != 0) {
        std::fprintf(stderr, "the patched portal-wlr could not be built\n");
        return nullptr;
    }
    while (!portalWlr.empty() && portalWlr.back() == '\n') portalWlr.pop_back();

    // sway refuses to run as root; in a user namespace without a uid map it sees
    // itself as nobody while file access stays that of the test.
    const std::string swayConfig = desktop->folder_ + "/sway.config";
    std::ofstream(swayConfig) << "output " << kOutput << " mode 1920x1080@60Hz\n"
                              << "output " << kOutput << " bg #000000 solid_color\n";
    auto swayEnv = env;
    swayEnv.insert_or_assign("WLR_BACKENDS", "headless");
    swayEnv.insert_or_assign("WLR_RENDERER", "pixman");
    swayEnv.insert_or_assign("WLR_LIBINPUT_NO_DEVICES", "1");
    swayEnv.insert_or_assign("WLR_HEADLESS_OUTPUTS", "1");
    if (!desktop->launch({"unshare", "--user", "sway", "-c", swayConfig}, swayEnv)) return nullptr;
    if (!desktop->waitUntil(
            [&] {
                desktop->waylandDisplay_ = findSocket(desktop->folder_, "wayland-");
                desktop->swaySocket_ = findSocket(desktop->folder_, "sway-ipc.");
                return !desktop->waylandDisplay_.empty() && !desktop->swaySocket_.empty();
            },
            std::chrono::seconds(30), "sway"))
        return nullptr;
    env["WAYLAND_DISPLAY"] = desktop->waylandDisplay_;
    env["SWAYSOCK"] = desktop->folder_ + "/" + desktop->swaySocket_;

    // The bus starts with the session's variables, so that what it activates (portal
    // backends) finds the compositor.
    const std::string bus = "unix:path=" + desktop->folder_ + "/bus";
    if (!desktop->launch({"dbus-daemon", "--session", "--address=" + bus, "--nofork", "--nopidfile"}, env))
        return nullptr;
    if (!desktop->waitUntil([&] { return fs::exists(desktop->folder_ + "/bus"); }, std::chrono::seconds(30), "dbus"))
        return nullptr;
    env["DBUS_SESSION_BUS_ADDRESS"] = bus;
    desktop->baseEnv_ = env;

    for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse"})
        if (!desktop->launch({program}, env)) return nullptr;
    if (!desktop->waitUntil([&] { return desktop->pactl({"info"}) == 0; }, std::chrono::seconds(30), "pipewire-pulse"))
        return nullptr;
    // The PulseAudio server answers before the graph takes modules: the speakers are
    // asked for until they are there, then made the default.
    const auto speakersAre = [&](const char* listing, const char* expected) {
        std::string text;
        return run({"pactl", listing}, desktop->environment(), &text) == 0 &&
               text.find(expected) != std::string::npos;
    };
    if (!desktop->waitUntil(
            [&] {
                if (speakersAre("list", (std::string("Name: ") + kSpeakers).c_str())) return true;
                desktop->pactl({"load-module", "module-null-sink", std::string("sink_name=") + kSpeakers});
                return false;
            },
            std::chrono::seconds(30), "the speakers") ||
        !desktop->waitUntil(
            [&] {
                desktop->pactl({"set-default-sink", kSpeakers});
                return speakersAre("info", (std::string("Default Sink: ") + kSpeakers).c_str());
            },
            std::chrono::seconds(30), "the default speakers"))
        return nullptr;

    // portal-wlr shares the one output without a chooser. Started before the portal
    // front end and waited for on the bus, so that the stock one is never activated.
    const std::string wlrConfig = desktop->folder_ + "/portal-wlr.config";
    std::ofstream(wlrConfig) << "[screencast]\noutput_name=" << kOutput << "\nchooser_type=none\n";
    desktop->screenCastBackend_ = desktop->launch({portalWlr, "-c", wlrConfig, "-l", "ERROR"}, env);
    if (!desktop->screenCastBackend_) return nullptr;
    if (run({"gdbus", "wait", "--session", "--timeout", "30", "org.freedesktop.impl.portal.desktop.wlr"}, env) != 0) {
        std::fprintf(stderr, "portal-wlr did not come up: %s\n", desktop->screenCastBackend_->stderrText().c_str());
        return nullptr;
    }
    if (!desktop->launch({"/usr/libexec/xdg-desktop-portal", "-r"}, env)) return nullptr;
    if (!desktop->waitUntil(
            [&] {
                return run({"gdbus", "call", "--session", "--timeout", "5", "--dest", "org.freedesktop.portal.Desktop",
                            "--object-path", "/org/freedesktop/portal/desktop", "--method",
                            "org.freedesktop.DBus.Properties.Get", "org.freedesktop.portal.ScreenCast",
                            "AvailableSourceTypes"},
                           env) == 0;
            },
            std::chrono::seconds(30), "xdg-desktop-portal"))
        return nullptr;
    return desktop;
}

Child* WaylandDesktop::launch(std::vector<std::string> argv, const std::map<std::string, std::string>& env) {
    const std::string name = argv.front();
    auto child = Child::spawn(std::move(argv), env);
    if (!child) {
        std::fprintf(stderr, "%s could not be started\n", name.c_str());
        return nullptr;
    }
    processes_.push_back(std::move(child));
    return processes_.back().get();
}

bool WaylandDesktop::waitUntil(const std::function<bool()>& ready, std::chrono::seconds limit,
                               const char* what) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (ready()) return true;
        for (const auto& process : processes_) {
            if (process->waitExit(std::chrono::milliseconds(0))) {
                std::fprintf(stderr, "waiting for %s, a desktop process ended: %s\n", what,
                             process->stderrText().c_str());
                return false;
            }
        }
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "%s did not come up within %lld s\n", what, static_cast<long long>(limit.count()));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

WaylandDesktop::~WaylandDesktop() {
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        (*it)->signal(SIGTERM);
        if (!(*it)->waitExit(std::chrono::seconds(5))) (*it)->signal(SIGKILL);
        (*it)->waitExit(std::chrono::seconds(5));
    }
    processes_.clear();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::map<std::string, std::string> WaylandDesktop::environment() const {
    auto env = baseEnv_;
    env["PULSE_SERVER"] = "unix:" + folder_ + "/pulse/native";
    return env;
}

int WaylandDesktop::swaymsg(std::vector<std::string> args) const {
    args.insert(args.begin(), "swaymsg");
    return run(std::move(args), baseEnv_);
}

bool WaylandDesktop::paint(const std::string& color) const {
    return swaymsg({"output", kOutput, "bg", color, "solid_color"}) == 0;
}

int WaylandDesktop::pactl(std::vector<std::string> args) const {
    args.insert(args.begin(), "pactl");
    return run(std::move(args), environment());
}

std::unique_ptr<Child> WaylandDesktop::playTone(double frequency, double amplitude) const {
    // Twenty seconds outlast every test that plays a tone.
    constexpr int kRate = 48000;
    const std::string file = folder_ + "/tone.raw";
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
