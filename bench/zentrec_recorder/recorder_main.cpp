// The recorder measured from outside, on a private 1920x1080 Xvfb and a private
// PulseAudio (from the test harness), next to ffmpeg recording the same screen and
// sound (x11grab + pulse -> libx264 superfast High + AAC 160k in MP4):
//   - CPU per second of recording at 1080p30, 8 Mbit/s, with system sound;
//   - A/V offset in the file, at the start and at the end of the recording: a patch
//     on the screen flips every 0.8 to 1.2 s (ScreenFlipper, moving scene) and each
//     flip asks the speakers for a click. In the file, each click onset is paired with
//     the flip within 0.4 s of it (flips 0.8 s apart: no click can be taken for another
//     flip's); the offset is onset minus flip, less the time the click really took to
//     sound after its flip (the player asks the server when each click was played);
//   - time from "parar" (ffmpeg: SIGINT) to the final event (ffmpeg: its exit);
//   - resident memory over the recording;
//   - the Opus mode (--altavoz): CPU, and the delay from a click asked of the
//     speakers to the arrival of the packet that holds its onset.
// The Opus delay includes the player's own delay, which is printed beside it.
//
//   zentrec_recorder_bench [--seconds S (60)] [--opus-seconds S (10)] [--folder DIR]
#include <opus/opus.h>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/zentcap_latency/measured_process.h"
#include "bench/zentcap_latency/screen_flipper.h"
#include "tests/support/child.h"
#include "tests/support/mp4_probe.h"
#include "tests/support/sound_server.h"
#include "tests/support/timed_speaker.h"
#include "tests/support/xvfb.h"

namespace {

using bench::monotonicSeconds;
constexpr int kWidth = 1920, kHeight = 1080, kFps = 30, kBitRate = 8'000'000;

struct Options {
    double seconds = 60;
    double opusSeconds = 10;
    std::string folder;
};

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

struct Stats {
    double median = NAN, worst = NAN;  // worst: largest magnitude
    size_t count = 0;
};

Stats stats(std::vector<double> values) {
    Stats s;
    s.count = values.size();
    if (values.empty()) return s;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    s.median = sorted[sorted.size() / 2];
    s.worst = *std::max_element(values.begin(), values.end(),
                                [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    return s;
}

// Onsets of clicks: a sample above 0.1 after at least 300 ms without one.
std::vector<double> onsets(const std::vector<float>& sound, double start) {
    std::vector<double> found;
    double last = -1;
    for (size_t i = 0; i < sound.size(); ++i) {
        if (std::fabs(sound[i]) < 0.1f) continue;
        const double t = start + static_cast<double>(i) / 48000;
        if (last < 0 || t - last > 0.3) found.push_back(t);
        last = t;
    }
    return found;
}

struct Offset {
    double at;      // the flip's time in the file
    double offset;  // seconds; positive: sound late
};

// Click onset minus the first picture that shows the flip, less how long the click
// really took to sound after its flip (`clickDelay`), for each flip seen in the file
// (patch in the top-left corner).
std::vector<Offset> avOffsets(const std::string& path, double clickDelay) {
    const int patch = bench::ScreenFlipper::kPatch;
    auto p = testsupport::probe(path, testsupport::Region{patch / 4, patch / 4, patch / 2, patch / 2});
    if (!p.opened) return {};
    std::vector<double> flips;
    for (size_t i = 1; i < p.pictures.size(); ++i)
        if ((p.pictures[i - 1].regionLuma > 128) != (p.pictures[i].regionLuma > 128)) flips.push_back(p.pictures[i].time);
    std::vector<Offset> offsets;
    for (double onset : onsets(p.sound, p.soundStart)) {
        auto nearest = std::min_element(flips.begin(), flips.end(),
                                        [&](double a, double b) { return std::fabs(a - onset) < std::fabs(b - onset); });
        if (nearest != flips.end() && std::fabs(*nearest - onset) < 0.4)
            offsets.push_back({*nearest, onset - *nearest - clickDelay});
    }
    return offsets;
}

// The offsets of the first and of the last `count` pairs of the file.
std::pair<Stats, Stats> startAndEnd(const std::vector<Offset>& offsets, size_t count) {
    std::vector<double> first, last;
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (i < count) first.push_back(offsets[i].offset);
        if (i + count >= offsets.size()) last.push_back(offsets[i].offset);
    }
    return {stats(first), stats(last)};
}

struct Recording {
    std::string tool;
    double cpuPerSecond = NAN;  // CPU seconds per second of recording
    double stopSeconds = NAN;   // "parar" (SIGINT) to "fin" (exit)
    long rssAfter2s = 0, rssMax = 0, rssEnd = 0;  // KiB
    Stats offsets, startOffsets, endOffsets;
    std::vector<double> minuteMedians;  // one per minute of the file: a drift shows as a trend
    double fileSeconds = NAN;
    bool ok = false;
};

// Reads lines from a descriptor in a thread of its own, stamping each.
class LineReader {
public:
    explicit LineReader(int fd) : thread_([this, fd] { run(fd); }) {}
    ~LineReader() { thread_.join(); }
    // The arrival time of the first line containing `needle`, waiting up to `timeout`.
    std::optional<double> wait(const std::string& needle, double timeout) {
        const double until = monotonicSeconds() + timeout;
        for (;;) {
            {
                std::scoped_lock lock(mutex_);
                for (auto& [at, line] : lines_)
                    if (line.find(needle) != std::string::npos) return at;
                if (ended_) return std::nullopt;
            }
            if (monotonicSeconds() > until) return std::nullopt;
            sleepSeconds(0.001);
        }
    }
    std::string all() {
        std::scoped_lock lock(mutex_);
        std::string text;
        for (auto& l : lines_) text += l.second + "\n";
        return text;
    }

private:
    void run(int fd) {
        std::string pending;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            const double at = monotonicSeconds();
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::scoped_lock lock(mutex_);
                lines_.emplace_back(at, pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        std::scoped_lock lock(mutex_);
        ended_ = true;
    }
    std::mutex mutex_;
    std::vector<std::pair<double, std::string>> lines_;
    bool ended_ = false;
    std::thread thread_;
};

// Samples CPU and memory of a process while it records for `seconds` from `start`.
void watch(bench::MeasuredProcess& process, double start, double seconds, Recording& r) {
    const double warm = start + 1.0;
    sleepSeconds(std::max(0.0, warm - monotonicSeconds()));
    const double cpu0 = process.cpuSeconds(), t0 = monotonicSeconds();
    double nextSample = t0;
    while (monotonicSeconds() < start + seconds) {
        const double now = monotonicSeconds();
        if (now >= nextSample) {
            const long rss = process.residentKiB();
            if (r.rssAfter2s == 0 && now >= start + 2.0) r.rssAfter2s = rss;
            r.rssMax = std::max(r.rssMax, rss);
            r.rssEnd = rss;
            nextSample += 1.0;
        }
        sleepSeconds(std::min(0.05, start + seconds - now));
    }
    r.cpuPerSecond = (process.cpuSeconds() - cpu0) / (monotonicSeconds() - t0);
}

void measureOffsets(Recording& r, const std::string& path, double clickDelay) {
    auto offsets = avOffsets(path, clickDelay);
    std::vector<double> all;
    for (const auto& o : offsets) all.push_back(o.offset);
    r.offsets = stats(all);
    std::tie(r.startOffsets, r.endOffsets) = startAndEnd(offsets, 10);
    std::vector<std::vector<double>> minutes;
    for (const auto& o : offsets) {
        const auto minute = static_cast<size_t>(std::max(0.0, o.at) / 60);
        if (minutes.size() <= minute) minutes.resize(minute + 1);
        minutes[minute].push_back(o.offset);
    }
    for (auto& m : minutes) r.minuteMedians.push_back(stats(m).median);
}

Recording recordWithZentrec(const Options& o, const std::string& display) {
    Recording r;
    r.tool = "zentrec";
    const std::string path = o.folder + "/zentrec.mp4";
    auto process = bench::MeasuredProcess::start(
        {testsupport::binary("zentrec"), "--grabar", path, "1", std::to_string(kWidth), std::to_string(kHeight),
         std::to_string(kFps), std::to_string(kBitRate), "1", "0", "-", "0"},
        display, o.folder + "/zentrec.log");
    if (!process) return r;
    LineReader lines(process->stdoutFd());
    auto listo = lines.wait("\"listo\"", 20);
    if (!listo) {
        std::fprintf(stderr, "zentrec did not start: %s\n", lines.all().c_str());
        return r;
    }
    watch(*process, *listo, o.seconds, r);
    const double stop = monotonicSeconds();
    process->writeStdin("parar\n");
    auto fin = lines.wait("\"fin\"", 120);
    if (fin) r.stopSeconds = *fin - stop;
    process->waitExit(30000);
    r.ok = fin.has_value() && lines.all().find("\"vacio\"") == std::string::npos;
    if (auto d = testsupport::ffprobeDurations(path)) r.fileSeconds = d->format;
    return r;
}

Recording recordWithFfmpeg(const Options& o, const std::string& display, const std::string& monitor) {
    Recording r;
    r.tool = "ffmpeg";
    const std::string path = o.folder + "/ffmpeg.mp4";
    auto process = bench::MeasuredProcess::start(
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-thread_queue_size", "512", "-f", "x11grab",
         "-framerate", std::to_string(kFps), "-video_size", std::to_string(kWidth) + "x" + std::to_string(kHeight),
         "-i", display, "-thread_queue_size", "512", "-f", "pulse", "-i", monitor, "-c:v", "libx264", "-preset",
         "superfast", "-profile:v", "high", "-pix_fmt", "yuv420p", "-b:v", std::to_string(kBitRate), "-maxrate",
         std::to_string(kBitRate), "-bufsize", std::to_string(kBitRate / 2), "-c:a", "aac", "-b:a", "160k", "-ar",
         "48000", "-ac", "2", path},
        display, o.folder + "/ffmpeg.log");
    if (!process) return r;
    const double start = monotonicSeconds();
    watch(*process, start, o.seconds, r);
    const double stop = monotonicSeconds();
    process->signal(SIGINT);
    const int status = process->waitExit(120000);
    r.stopSeconds = monotonicSeconds() - stop;
    r.ok = status == 0 || status == 255;
    if (auto d = testsupport::ffprobeDurations(path)) r.fileSeconds = d->format;
    return r;
}

struct OpusRun {
    double cpuPercent = NAN;
    Stats delays;
    double packetsPerSecond = NAN;
    bool ok = false;
};

// --altavoz while the speakers click twice a second.
OpusRun measureOpus(const Options& o, const std::string& display, testsupport::TimedSpeaker& speaker) {
    OpusRun run;
    auto process = bench::MeasuredProcess::start({testsupport::binary("zentrec"), "--altavoz"}, display,
                                                 o.folder + "/altavoz.log");
    if (!process) return run;
    struct Packet {
        double at;
        float loudest;
    };
    std::vector<Packet> packets;
    std::mutex mutex;
    std::thread reader([&] {
        int error = 0;
        OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
        auto readAll = [&](void* into, size_t n) {
            size_t done = 0;
            while (done < n) {
                ssize_t got = ::read(process->stdoutFd(), static_cast<char*>(into) + done, n - done);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return false;
                done += static_cast<size_t>(got);
            }
            return true;
        };
        for (;;) {
            uint32_t length;
            if (!readAll(&length, 4)) break;
            length = ntohl(length);
            std::vector<unsigned char> data(length);
            if (length > 4000 || !readAll(data.data(), length)) break;
            const double at = monotonicSeconds();
            float samples[5760];
            const int n = opus_decode_float(decoder, data.data(), static_cast<opus_int32>(length), samples, 5760, 0);
            float loudest = 0;
            for (int i = 0; i < n; ++i) loudest = std::max(loudest, std::fabs(samples[i]));
            std::scoped_lock lock(mutex);
            packets.push_back({at, loudest});
        }
        opus_decoder_destroy(decoder);
    });
    // Wait for the stream to flow, then measure.
    const double begin = monotonicSeconds();
    for (;;) {
        {
            std::scoped_lock lock(mutex);
            if (!packets.empty()) break;
        }
        if (monotonicSeconds() - begin > 10) break;
        sleepSeconds(0.01);
    }
    sleepSeconds(1.0);
    std::vector<double> clicks;
    const double cpu0 = process->cpuSeconds(), t0 = monotonicSeconds();
    size_t packets0;
    {
        std::scoped_lock lock(mutex);
        packets0 = packets.size();
    }
    for (double next = t0 + 0.25; monotonicSeconds() < t0 + o.opusSeconds; next += 0.5) {
        sleepSeconds(std::max(0.0, next - monotonicSeconds()));
        speaker.click();
        clicks.push_back(monotonicSeconds());
    }
    sleepSeconds(0.5);
    const double t1 = monotonicSeconds();
    run.cpuPercent = 100 * (process->cpuSeconds() - cpu0) / (t1 - t0);
    process->closeStdin();
    run.ok = process->waitExit(10000) == 0;
    process->signal(SIGKILL);
    reader.join();
    run.packetsPerSecond = static_cast<double>(packets.size() - packets0) / (t1 - t0);
    std::vector<double> delays;
    for (double click : clicks) {
        auto first = std::find_if(packets.begin(), packets.end(),
                                  [&](const Packet& p) { return p.at >= click && p.loudest > 0.1f; });
        if (first != packets.end() && first->at - click < 0.4) delays.push_back(first->at - click);
    }
    run.delays = stats(delays);
    return run;
}

std::string ms(double seconds) {
    if (std::isnan(seconds)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%+.0f ms", seconds * 1000);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--seconds") o.seconds = std::stod(value);
        else if (name == "--opus-seconds") o.opusSeconds = std::stod(value);
        else if (name == "--folder") o.folder = value;
        else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--opus-seconds S] [--folder DIR]\n", argv[0]);
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::string temporary;
    if (o.folder.empty()) {
        char name[] = "/tmp/zentrec-bench-XXXXXX";
        if (!mkdtemp(name)) return 1;
        o.folder = temporary = name;
    }
    auto x = testsupport::Xvfb::start(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24");
    auto sound = testsupport::SoundServer::start(
        {.kind = testsupport::SoundServerKind::pulseAudio});
    if (!x || !sound) {
        std::fprintf(stderr, "Xvfb or PulseAudio did not start\n");
        return 1;
    }
    sound->useInThisProcess();
    const std::string speakers = testsupport::SoundServer::kSpeakers;
    // A quiet hum keeps the speakers busy at a low latency; clicks stand far above it.
    testsupport::TimedSpeaker speaker(sound->address(), speakers, 0.02);
    if (!speaker.opened() || !sound->waitUntilHeard(speakers, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the speakers play nothing\n");
        return 1;
    }
    bench::ScreenFlipper flipper(x->display());
    flipper.setOnFlip([&](const bench::Flip&) { speaker.click(); });
    flipper.setGap(0.8, 1.2);
    if (!flipper.start(bench::Scene::moving)) return 1;
    sleepSeconds(1.0);
    // How long a click took to sound after its flip: the player's own delay, measured
    // click by click; its median corrects every offset (its spread is printed).
    auto clickDelays = [&] {
        auto delays = speaker.delays();
        std::vector<double> known;
        for (double d : delays)
            if (!std::isnan(d)) known.push_back(d);
        return stats(known);
    };

    std::printf("recording %dx%d@%d, %d bit/s, system sound, %.0f s each; Opus mode %.0f s\n", kWidth, kHeight, kFps,
                kBitRate, o.seconds, o.opusSeconds);
    std::fflush(stdout);
    Recording mine = recordWithZentrec(o, x->display());
    Recording theirs = recordWithFfmpeg(o, x->display(), speakers + ".monitor");
    flipper.stop();
    const Stats delay = clickDelays();
    const double clickDelay = delay.median;
    measureOffsets(mine, o.folder + "/zentrec.mp4", clickDelay);
    measureOffsets(theirs, o.folder + "/ffmpeg.mp4", clickDelay);
    OpusRun opus = measureOpus(o, x->display(), speaker);

    std::printf("\n%-8s %9s %12s %12s %9s %22s %6s\n", "tool", "CPU/s", "A/V median", "A/V worst", "stop",
                "RSS KiB 2s/max/end", "file");
    for (const Recording* r : {&mine, &theirs}) {
        std::printf("%-8s %8.1f%% %12s %12s %9s %8ld/%ld/%ld %5.1fs%s\n", r->tool.c_str(), 100 * r->cpuPerSecond,
                    ms(r->offsets.median).c_str(), ms(r->offsets.worst).c_str(), ms(r->stopSeconds).c_str(),
                    r->rssAfter2s, r->rssMax, r->rssEnd, r->fileSeconds, r->ok ? "" : "  (failed)");
    }
    std::printf("A/V offsets measured on %zu (zentrec) and %zu (ffmpeg) clicks; positive: sound late\n",
                mine.offsets.count, theirs.offsets.count);
    for (const Recording* r : {&mine, &theirs})
        std::printf("%-8s A/V at the start (first 10): median %s, worst %s; at the end (last 10): median %s, worst %s\n",
                    r->tool.c_str(), ms(r->startOffsets.median).c_str(), ms(r->startOffsets.worst).c_str(),
                    ms(r->endOffsets.median).c_str(), ms(r->endOffsets.worst).c_str());
    for (const Recording* r : {&mine, &theirs}) {
        if (r->minuteMedians.size() < 3) continue;
        std::printf("%-8s A/V median minute by minute:", r->tool.c_str());
        for (double m : r->minuteMedians) std::printf(" %s", ms(m).c_str());
        std::printf("\n");
    }
    std::printf("click played after its flip (its median subtracted): median %s, worst %s over %zu clicks\n",
                ms(delay.median).c_str(), ms(delay.worst).c_str(), delay.count);
    std::printf("zentrec CPU / ffmpeg CPU: %.2f (goal <= 0.6)\n", mine.cpuPerSecond / theirs.cpuPerSecond);
    std::printf("\nOpus mode: CPU %.2f%% of a core (goal < 1%%), %.1f packets/s, click to packet: median %s, worst %s "
                "(%zu clicks)%s\n",
                opus.cpuPercent, opus.packetsPerSecond, ms(opus.delays.median).c_str(),
                ms(opus.delays.worst).c_str(), opus.delays.count, opus.ok ? "" : "  (did not end with status 0)");
    if (!temporary.empty()) std::filesystem::remove_all(temporary);
    return 0;
}
