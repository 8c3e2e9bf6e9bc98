// zentcap_latency: how long a change on the screen takes to reach the host as a
// packet, what a frame costs in CPU, which frame rate is achieved, and how much
// memory a long stream holds; zentcap next to ffmpeg's x11grab + libx264.
//
//   zentcap_latency --display :N [--configs 1280x720@30,...] [--seconds S]
//                   [--bitrate B] [--rss-seconds S] [--tools zentcap,ffmpeg]
//                   [--scene moving|still|typing] [--busy] [--zentcap PATH] [--no-header]
//
// The screen must have the configuration's size (bench/run_latency.sh starts a
// server per size): ffmpeg grabs a region of that size without scaling.
//
// Latency is from a flip of a patch on the screen (stamped once the X server has
// drawn it) to the arrival of the first packet whose picture shows it; arrival is
// stamped when the reader thread has read the packet's last byte. Decoding happens
// after the run, so the reader's own decode time never counts. "skipped" is the
// share of frame times with a change on the screen that brought no packet: in the
// moving scene the screen changes 60 times a second, so a tool should deliver
// as many frames as the frame rate allows or as changes were drawn, if fewer; in
// the still and typing scenes it is the share of flips no picture showed.
// --busy keeps one core busy with a competing process during each run (the
// scene's name then ends in "+busy"); --zentcap runs another zentcap binary (to
// compare builds on the same machine in one sitting).
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/zentcap_latency/access_units.h"
#include "bench/zentcap_latency/measured_process.h"
#include "bench/zentcap_latency/screen_flipper.h"
#include "tools/zentcap_receiver/h264_decoder.h"

namespace bench {
namespace {

struct Options {
    std::string display;
    std::vector<Config> configs;
    double seconds = 10;
    long bitrate = 8000000;
    double rssSeconds = 0;
    bool zentcap = true;
    bool ffmpeg = true;
    bool header = true;
    Scene scene = Scene::moving;
    bool busy = false;
    std::string zentcapPath;  // the program measured; empty: the one beside this benchmark
};

enum class Tool { Zentcap, Ffmpeg };

// Where a measured program's standard error goes (kept for a look afterwards).
std::string logPath(const std::string& what) {
    return (std::filesystem::temp_directory_path() / ("zentcap_latency_" + what + ".log")).string();
}

std::vector<std::string> command(Tool tool, const Config& config, const Options& options) {
    if (tool == Tool::Zentcap) {
        return {options.zentcapPath.empty() ? programDir() + "/zentcap" : options.zentcapPath, "1", std::to_string(config.width), std::to_string(config.height),
                std::to_string(config.fps), std::to_string(options.bitrate), "0"};
    }
    // -flush_packets 1: each access unit leaves ffmpeg as soon as it is encoded,
    // as zentcap's do; without it the pipe output is buffered.
    return {"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", std::to_string(config.fps),
            "-video_size", std::to_string(config.width) + "x" + std::to_string(config.height), "-i",
            options.display, "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-tune",
            "zerolatency", "-flush_packets", "1", "-f", "h264", "-"};
}

struct Result {
    int frames = 0;
    double fps = 0;
    std::vector<double> latencies;  // milliseconds
    size_t flips = 0;
    double cpuMsPerFrame = 0;
    double cpuPercent = 0;
    int decodeErrors = 0;
    int exitStatus = 0;
    double skippedShare = NAN;  // moving scene only
};

// A process that spins on one core until killed: the competition a capturer meets on
// a loaded desktop.
pid_t startBusyLoop() {
    const pid_t child = fork();
    if (child == 0) {
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
    }
    return child;
}

void stopBusyLoop(pid_t child) {
    if (child <= 0) return;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

Result measure(Tool tool, const Config& config, const Options& options) {
    Result result;
    const pid_t busy = options.busy ? startBusyLoop() : -1;
    struct BusyStop {
        pid_t pid;
        ~BusyStop() { stopBusyLoop(pid); }
    } busyStop{busy};
    ScreenFlipper flipper(options.display);
    if (!flipper.start(options.scene)) {
        std::fprintf(stderr, "cannot open %s\n", options.display.c_str());
        return result;
    }
    std::string log = logPath(tool == Tool::Zentcap ? "zentcap" : "ffmpeg");
    auto process = MeasuredProcess::start(command(tool, config, options), options.display, log);
    if (!process) return result;
    std::vector<Arrival> units;
    std::thread reader([&] {
        units = readAccessUnits(tool == Tool::Zentcap ? StreamFormat::zentcapPackets : StreamFormat::annexB,
                                process->stdoutFd());
    });

    // CPU and frames are counted after a one-second warm-up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    double windowStart = monotonicSeconds();
    double cpuStart = process->cpuSeconds();
    long animationStart = flipper.animationFrames();
    std::this_thread::sleep_for(std::chrono::milliseconds(long(options.seconds * 1000)));
    double windowEnd = monotonicSeconds();
    double cpuEnd = process->cpuSeconds();
    long animationEnd = flipper.animationFrames();
    if (tool == Tool::Zentcap) {
        process->closeStdin();
    } else {
        process->signal(SIGINT);
    }
    result.exitStatus = process->waitExit(5000);
    if (result.exitStatus < 0) {
        process->signal(SIGKILL);
        process->waitExit(2000);
    }
    reader.join();
    flipper.stop();

    // Decode everything and look at the patch in each picture.
    std::string error;
    auto decoder = zentrecv::H264Decoder::create(error);
    struct Seen {
        double at;
        int state;  // 1 white, 0 black, -1 in between
    };
    std::vector<Seen> seen;
    for (const auto& unit : units) {
        auto output = decoder->decode(unit.bytes, 0);
        result.decodeErrors += output.errors;
        for (auto& frame : output.frames) {
            double scaleX = double(frame->width) / flipper.screenWidth();
            double scaleY = double(frame->height) / flipper.screenHeight();
            const int patch = flipper.patch();
            int inset = patch / 6;
            double luma = zentrecv::meanLuma(*frame, int(inset * scaleX), int(inset * scaleY),
                                             int((patch - 2 * inset) * scaleX), int((patch - 2 * inset) * scaleY));
            seen.push_back({unit.at, luma > 170 ? 1 : luma < 60 ? 0 : -1});
        }
        if (unit.at >= windowStart && unit.at < windowEnd) ++result.frames;
    }
    double window = windowEnd - windowStart;
    result.fps = result.frames / window;
    if (options.scene == Scene::moving) {
        // The changes actually drawn in the window (the animation may fall behind its
        // 60 a second on a busy machine), or the frame rate if that is lower.
        const double expected = std::min(double(config.fps) * window, double(animationEnd - animationStart));
        result.skippedShare = std::max(0.0, 1.0 - result.frames / expected);
    }
    result.cpuMsPerFrame = result.frames ? (cpuEnd - cpuStart) * 1000.0 / result.frames : NAN;
    result.cpuPercent = (cpuEnd - cpuStart) / window * 100.0;

    auto flips = flipper.flips();
    for (size_t i = 0; i < flips.size(); ++i) {
        if (flips[i].at < windowStart || flips[i].at >= windowEnd) continue;
        ++result.flips;
        double until = i + 1 < flips.size() ? flips[i + 1].at : windowEnd + 1.0;
        for (const auto& picture : seen) {
            if (picture.at <= flips[i].at || picture.at >= until + 0.5) continue;
            if (picture.state == int(flips[i].white)) {
                result.latencies.push_back((picture.at - flips[i].at) * 1000.0);
                break;
            }
        }
    }
    if (options.scene != Scene::moving && result.flips > 0)
        result.skippedShare = 1.0 - double(result.latencies.size()) / double(result.flips);
    return result;
}

void printHeader() {
    std::printf("%-8s %-13s %-12s %7s %8s %9s %11s %8s %11s %8s %7s\n", "tool", "config", "scene", "frames", "fps",
                "skipped", "median ms", "p95 ms", "seen/flips", "cpu ms/f", "cpu %");
}

void printRow(Tool tool, const Config& config, const Options& options, const Result& result) {
    char skipped[16] = "-";
    if (!std::isnan(result.skippedShare)) std::snprintf(skipped, sizeof skipped, "%.1f%%", result.skippedShare * 100);
    const std::string scene = std::string(sceneName(options.scene)) + (options.busy ? "+busy" : "");
    std::printf("%-8s %-13s %-12s %7d %8.1f %9s %11.1f %8.1f %5zu/%-5zu %8.2f %7.1f%s\n",
                tool == Tool::Zentcap ? "zentcap" : "ffmpeg", config.name().c_str(),
                scene.c_str(), result.frames, result.fps, skipped,
                percentile(result.latencies, 0.5), percentile(result.latencies, 0.95), result.latencies.size(),
                result.flips, result.cpuMsPerFrame, result.cpuPercent,
                result.decodeErrors ? "  (decode errors!)" : "");
    std::fflush(stdout);
}

void memoryCheck(const Config& config, const Options& options) {
    ScreenFlipper flipper(options.display);
    if (!flipper.start(Scene::moving)) return;
    auto process = MeasuredProcess::start(command(Tool::Zentcap, config, options), options.display,
                                          logPath("rss"));
    if (!process) return;
    std::thread drain([fd = process->stdoutFd()] {
        std::vector<char> sink(1 << 20);
        while (::read(fd, sink.data(), sink.size()) > 0) {
        }
    });
    std::vector<long> samples;
    double end = monotonicSeconds() + options.rssSeconds;
    while (monotonicSeconds() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        samples.push_back(process->residentKiB());
    }
    process->closeStdin();
    process->waitExit(5000);
    drain.join();
    flipper.stop();
    if (samples.size() < 4) return;
    auto mean = [&](size_t from, size_t to) {
        double sum = 0;
        for (size_t i = from; i < to; ++i) sum += double(samples[i]);
        return sum / double(to - from);
    };
    size_t quarter = samples.size() / 4;
    double early = mean(quarter, 2 * quarter), late = mean(3 * quarter, samples.size());
    std::printf("\nmemory of zentcap %s over %.0f s (%zu samples): first %ld KiB, max %ld KiB, last %ld KiB, "
                "growth second quarter -> last quarter %+.0f KiB\n",
                config.name().c_str(), options.rssSeconds, samples.size(), samples.front(),
                *std::max_element(samples.begin(), samples.end()), samples.back(), late - early);
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--display") {
            options.display = value();
        } else if (arg == "--configs") {
            auto configs = parseConfigs(value());
            if (!configs) return std::nullopt;
            options.configs = *configs;
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value().c_str());
        } else if (arg == "--bitrate") {
            options.bitrate = std::atol(value().c_str());
        } else if (arg == "--rss-seconds") {
            options.rssSeconds = std::atof(value().c_str());
        } else if (arg == "--tools") {
            std::string tools = value();
            options.zentcap = tools.find("zentcap") != std::string::npos;
            options.ffmpeg = tools.find("ffmpeg") != std::string::npos;
        } else if (arg == "--scene") {
            std::string scene = value();
            if (scene == "moving") {
                options.scene = Scene::moving;
            } else if (scene == "still") {
                options.scene = Scene::still;
            } else if (scene == "typing") {
                options.scene = Scene::typing;
            } else {
                return std::nullopt;
            }
        } else if (arg == "--busy") {
            options.busy = true;
        } else if (arg == "--zentcap") {
            options.zentcapPath = value();
        } else if (arg == "--no-header") {
            options.header = false;
        } else {
            return std::nullopt;
        }
    }
    if (options.display.empty() || options.seconds <= 0) return std::nullopt;
    if (options.configs.empty()) options.configs = {{1280, 720, 30}, {1920, 1080, 30}, {1920, 1080, 60}};
    return options;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    auto options = bench::parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: zentcap_latency --display :N [--configs WxH@F,...] [--seconds S] [--bitrate B]\n"
                     "                       [--rss-seconds S] [--tools zentcap,ffmpeg] [--scene moving|still|typing]\n"
                     "                       [--busy] [--zentcap PATH] [--no-header]\n");
        return 2;
    }
    if (options->header) bench::printHeader();
    for (const auto& config : options->configs) {
        if (options->zentcap) {
            auto zentcap = bench::measure(bench::Tool::Zentcap, config, *options);
            bench::printRow(bench::Tool::Zentcap, config, *options, zentcap);
        }
        if (options->ffmpeg) {
            auto ffmpeg = bench::measure(bench::Tool::Ffmpeg, config, *options);
            bench::printRow(bench::Tool::Ffmpeg, config, *options, ffmpeg);
        }
    }
    if (options->rssSeconds > 0 && options->zentcap) bench::memoryCheck(options->configs.back(), *options);
    return 0;
}
