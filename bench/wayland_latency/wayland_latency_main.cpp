// wayland_latency: how long a change on a Wayland screen takes to reach the host as a
// packet, and what a frame costs in CPU: zentcap next to GStreamer doing the same job
// (pipewiresrc on a ScreenCast portal stream of the same screen, x264enc ultrafast
// zerolatency), in the same run, on a private headless sway desktop the program
// starts itself (tests/support's, with the ScreenCast portal of portal-wlr).
//
//   wayland_latency [--configs 1920x1080@30,...] [--seconds S] [--bitrate B]
//                   [--scene moving|still] [--tools zentcap,gstreamer] [--zentcap PATH]
//
// Latency runs from the presentation of a change (the compositor's own timestamp of
// the commit that carries it, see wayland_flipper.h) to the arrival of the first
// packet whose picture shows it; arrival is stamped when the reader thread has read
// the packet's last byte. Each change shows a new 4-bit number, and a picture counts
// for the change whose number it shows, so no picture is paired with the wrong change.
// Decoding happens after the run. "skipped" is, in the moving scene, the share of
// frame times with a change on the screen that brought no packet; in the still scene,
// the share of changes no picture showed.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/wayland_latency/wayland_flipper.h"
#include "bench/zentcap_latency/access_units.h"
#include "bench/zentcap_latency/measured_process.h"
#include "bench/zentcap_latency/screen_flipper.h"
#include "platform/linux/capture/wayland/screencast_portal.h"
#include "tests/support/wayland_desktop.h"
#include "tools/zentcap_receiver/h264_decoder.h"

namespace bench {
namespace {

struct Options {
    std::vector<Config> configs;
    double seconds = 10;
    long bitrate = 8000000;
    bool zentcap = true;
    bool gstreamer = true;
    WaylandScene scene = WaylandScene::moving;
    std::string zentcapPath;  // empty: the one beside this benchmark
};

enum class Tool { Zentcap, Gstreamer };

struct Result {
    int frames = 0;
    double fps = 0;
    std::vector<double> latencies;  // milliseconds
    size_t changes = 0;
    double cpuMsPerFrame = NAN;
    double cpuPercent = 0;
    int decodeErrors = 0;
    double skippedShare = NAN;
    double firstPacketMs = NAN;  // from the start of the program (or of the portal flow) to its first packet
};

std::string logPath(const std::string& what) {
    return (std::filesystem::temp_directory_path() / ("wayland_latency_" + what + ".log")).string();
}

// The number the patches of `frame` show, or -1 while one of them is between black
// and white (a picture caught mid-change, or blurred by the encoder).
int numberShown(const AVFrame& frame, int screenWidth, int screenHeight) {
    const double scaleX = double(frame.width) / screenWidth, scaleY = double(frame.height) / screenHeight;
    const int patch = WaylandFlipper::kPatch, inset = patch / 6;
    int number = 0;
    for (int bit = 0; bit < WaylandFlipper::kBits; ++bit) {
        const double luma =
            zentrecv::meanLuma(frame, int((bit * patch + inset) * scaleX), int(inset * scaleY),
                               int((patch - 2 * inset) * scaleX), int((patch - 2 * inset) * scaleY));
        if (luma > 170) {
            number = number * 2 + 1;
        } else if (luma < 60) {
            number = number * 2;
        } else {
            return -1;
        }
    }
    return number;
}

// The portal session GStreamer reads: opened by this program as any portal client
// would, its PipeWire connection handed to gst-launch as descriptor 3.
struct PeerPortal {
    std::unique_ptr<platform::wayland::ScreenCastPortal> portal;
    int fd = -1;
    uint32_t node = 0;
    ~PeerPortal() {
        if (fd >= 0) close(fd);
    }
};

std::unique_ptr<PeerPortal> openPeerPortal() {
    auto opened = platform::wayland::ScreenCastPortal::open(1, platform::wayland::CursorMode::embedded,
                                                             [](const platform::Error&) {});
    if (!opened) {
        std::fprintf(stderr, "the portal refused the peer's session: %s\n", opened.error().description.c_str());
        return nullptr;
    }
    auto peer = std::make_unique<PeerPortal>();
    peer->portal = std::move(opened.value());
    auto stream = peer->portal->takeStream();
    // Kept clear of 0-3, so that moving it to 3 in the child is a real copy (which
    // drops close-on-exec).
    peer->fd = fcntl(stream.pipewireFd, F_DUPFD_CLOEXEC, 10);
    close(stream.pipewireFd);
    peer->node = stream.nodeID;
    return peer;
}

std::vector<std::string> command(Tool tool, const Config& config, const Options& options, uint32_t node) {
    const auto number = [](long value) { return std::to_string(value); };
    if (tool == Tool::Zentcap) {
        return {options.zentcapPath.empty() ? programDir() + "/zentcap" : options.zentcapPath, "1",
                number(config.width), number(config.height), number(config.fps), number(options.bitrate), "0"};
    }
    // The frame rate is capped like zentcap's (PipeWire's maximum frame rate, which the
    // compositor honours), a key frame every second like zentcap's, and each access
    // unit leaves at once.
    return {"gst-launch-1.0", "-q", "pipewiresrc", "fd=3", "path=" + number(node), "!",
            "video/x-raw,max-framerate=" + number(config.fps) + "/1", "!", "videoconvert", "!", "videoscale", "!",
            "video/x-raw,format=I420,width=" + number(config.width) + ",height=" + number(config.height), "!",
            "x264enc", "speed-preset=ultrafast", "tune=zerolatency", "bitrate=" + number(options.bitrate / 1000),
            "key-int-max=" + number(config.fps), "!", "video/x-h264,stream-format=byte-stream", "!", "fdsink", "fd=1",
            "sync=false"};
}

Result measure(Tool tool, const Config& config, const Options& options, const testsupport::WaylandDesktop& desktop) {
    Result result;
    const auto env = desktop.environment();
    WaylandFlipper flipper(env.at("XDG_RUNTIME_DIR") + "/" + env.at("WAYLAND_DISPLAY"));
    if (!flipper.start(options.scene)) return result;

    const double started = monotonicSeconds();
    std::unique_ptr<PeerPortal> peer;
    if (tool == Tool::Gstreamer && !(peer = openPeerPortal())) return result;
    MeasuredProcess::Launch launch{{env.begin(), env.end()}, peer ? peer->fd : -1};
    auto process = MeasuredProcess::start(command(tool, config, options, peer ? peer->node : 0), launch,
                                          logPath(tool == Tool::Zentcap ? "zentcap" : "gstreamer"));
    if (!process) return result;
    std::vector<Arrival> units;
    std::thread reader([&] {
        units = readAccessUnits(tool == Tool::Zentcap ? StreamFormat::zentcapPackets : StreamFormat::annexB,
                                process->stdoutFd());
    });

    // CPU and frames are counted after a warm-up that also covers the portal's start.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const double windowStart = monotonicSeconds();
    const double cpuStart = process->cpuSeconds();
    const long animationStart = flipper.animationFrames();
    std::this_thread::sleep_for(std::chrono::milliseconds(long(options.seconds * 1000)));
    const double windowEnd = monotonicSeconds();
    const double cpuEnd = process->cpuSeconds();
    const long animationEnd = flipper.animationFrames();
    if (tool == Tool::Zentcap) {
        process->closeStdin();
    } else {
        process->signal(SIGINT);
    }
    if (process->waitExit(5000) < 0) {
        process->signal(SIGKILL);
        process->waitExit(2000);
    }
    reader.join();
    peer.reset();
    flipper.stop();

    std::string error;
    auto decoder = zentrecv::H264Decoder::create(error);
    struct Seen {
        double at;
        int number;
    };
    std::vector<Seen> seen;
    for (const auto& unit : units) {
        auto output = decoder->decode(unit.bytes, 0);
        result.decodeErrors += output.errors;
        for (auto& frame : output.frames)
            seen.push_back({unit.at, numberShown(*frame, flipper.screenWidth(), flipper.screenHeight())});
        if (unit.at >= windowStart && unit.at < windowEnd) ++result.frames;
    }
    if (!units.empty()) result.firstPacketMs = (units.front().at - started) * 1000.0;
    const double window = windowEnd - windowStart;
    result.fps = result.frames / window;
    result.cpuPercent = (cpuEnd - cpuStart) / window * 100.0;
    if (result.frames) result.cpuMsPerFrame = (cpuEnd - cpuStart) * 1000.0 / result.frames;
    if (options.scene == WaylandScene::moving) {
        const double expected = std::min(double(config.fps) * window, double(animationEnd - animationStart));
        result.skippedShare = std::max(0.0, 1.0 - result.frames / expected);
    }

    // A number comes back after 16 changes, at least 1.6 s later: a picture that shows
    // it within 1.5 s of the change can only show that change.
    for (const auto& change : flipper.changes()) {
        if (change.at < windowStart || change.at >= windowEnd) continue;
        ++result.changes;
        for (const auto& picture : seen) {
            if (picture.at <= change.at || picture.at >= change.at + 1.5) continue;
            if (picture.number == change.number) {
                result.latencies.push_back((picture.at - change.at) * 1000.0);
                break;
            }
        }
    }
    if (options.scene == WaylandScene::still && result.changes > 0)
        result.skippedShare = 1.0 - double(result.latencies.size()) / double(result.changes);
    return result;
}

void printHeader() {
    std::printf("%-9s %-13s %-7s %7s %7s %8s %10s %7s %7s %13s %8s %6s %9s\n", "tool", "config", "scene", "frames",
                "fps", "skipped", "median ms", "p90 ms", "p95 ms", "seen/changes", "cpu ms/f", "cpu %",
                "first ms");
}

void printRow(Tool tool, const Config& config, const Options& options, const Result& result) {
    char skipped[16] = "-";
    if (!std::isnan(result.skippedShare)) std::snprintf(skipped, sizeof skipped, "%.1f%%", result.skippedShare * 100);
    std::printf("%-9s %-13s %-7s %7d %7.1f %8s %10.1f %7.1f %7.1f %6zu/%-6zu %8.2f %6.1f %9.0f%s\n",
                tool == Tool::Zentcap ? "zentcap" : "gstreamer", config.name().c_str(),
                options.scene == WaylandScene::moving ? "moving" : "still", result.frames, result.fps, skipped,
                percentile(result.latencies, 0.5), percentile(result.latencies, 0.9),
                percentile(result.latencies, 0.95), result.latencies.size(), result.changes, result.cpuMsPerFrame,
                result.cpuPercent, result.firstPacketMs, result.decodeErrors ? "  (decode errors!)" : "");
    std::fflush(stdout);
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--configs") {
            auto configs = parseConfigs(value());
            if (!configs) return std::nullopt;
            options.configs = *configs;
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value().c_str());
        } else if (arg == "--bitrate") {
            options.bitrate = std::atol(value().c_str());
        } else if (arg == "--tools") {
            const std::string tools = value();
            options.zentcap = tools.find("zentcap") != std::string::npos;
            options.gstreamer = tools.find("gstreamer") != std::string::npos;
        } else if (arg == "--scene") {
            const std::string scene = value();
            if (scene == "moving") {
                options.scene = WaylandScene::moving;
            } else if (scene == "still") {
                options.scene = WaylandScene::still;
            } else {
                return std::nullopt;
            }
        } else if (arg == "--zentcap") {
            options.zentcapPath = value();
        } else {
            return std::nullopt;
        }
    }
    if (options.seconds <= 0) return std::nullopt;
    if (options.configs.empty()) options.configs = {{1920, 1080, 30}, {1920, 1080, 60}};
    return options;
}

// The portal flow of the peer runs in this process: it must reach the desktop's bus
// and keep its restore tokens in the desktop's folders, as the programs it starts do.
void useEnvironment(const std::map<std::string, std::string>& env) {
    for (const auto& [name, value] : env) {
        if (value.empty()) {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    auto options = bench::parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: wayland_latency [--configs WxH@F,...] [--seconds S] [--bitrate B]\n"
                     "                       [--scene moving|still] [--tools zentcap,gstreamer] [--zentcap PATH]\n");
        return 2;
    }
    const double before = bench::monotonicSeconds();
    auto desktop = testsupport::WaylandDesktop::start();
    if (!desktop) return 1;
    std::printf("sway desktop (headless, pixman, portal-wlr) ready in %.1f s\n", bench::monotonicSeconds() - before);
    bench::useEnvironment(desktop->environment());
    bench::printHeader();
    for (const auto& config : options->configs) {
        if (options->zentcap)
            bench::printRow(bench::Tool::Zentcap, config, *options,
                            bench::measure(bench::Tool::Zentcap, config, *options, *desktop));
        if (options->gstreamer)
            bench::printRow(bench::Tool::Gstreamer, config, *options,
                            bench::measure(bench::Tool::Gstreamer, config, *options, *desktop));
    }
    return 0;
}
