// What the system-sound Opus stream (zentrec --altavoz) costs: CPU per second of sound
// (goal: under 1% of a core) beside parec recording the same monitor at the same
// 40 ms fragments, both for the same seconds of a tone played on a private sound
// server, with no display at all. Prints the figures.
//   zentrec_altavoz_bench [seconds (60)] [pulseaudio|pipewire]
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/zentcap_latency/measured_process.h"
#include "bench/zentcap_latency/screen_flipper.h"
#include "tests/support/child.h"
#include "tests/support/sound_server.h"

namespace {

using bench::monotonicSeconds;

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// Reads a process's output until it ends, counting bytes.
class Drain {
public:
    explicit Drain(int fd)
        : thread_([this, fd] {
              char block[65536];
              ssize_t n;
              while ((n = ::read(fd, block, sizeof block)) > 0) bytes += static_cast<size_t>(n);
          }) {}
    ~Drain() { thread_.join(); }
    std::atomic<size_t> bytes{0};

private:
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 60;
    const bool pipewire = argc > 2 && std::string(argv[2]) == "pipewire";
    auto sound = testsupport::SoundServer::start(
        {.kind = pipewire ? testsupport::SoundServerKind::pipeWire : testsupport::SoundServerKind::pulseAudio});
    if (!sound) {
        std::fprintf(stderr, "the sound server did not start\n");
        return 1;
    }
    sound->useInThisProcess();
    const std::string speakers = testsupport::SoundServer::kSpeakers;
    auto tone = sound->playTone(speakers, 440, 0.3);
    if (!tone || !sound->waitUntilHeard(speakers, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the speakers play nothing\n");
        return 1;
    }
    char folder[] = "/tmp/zentrec-altavoz-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;

    auto altavoz = bench::MeasuredProcess::start({testsupport::binary("zentrec"), "--altavoz"}, "",
                                                 std::string(folder) + "/altavoz.log");
    auto parec = bench::MeasuredProcess::start({"parec", "--device=" + speakers + ".monitor", "--raw",
                                                "--format=float32le", "--rate=48000", "--channels=2",
                                                "--latency-msec=40"},
                                               "", std::string(folder) + "/parec.log");
    if (!altavoz || !parec) return 1;
    int status = 0;
    {
        Drain packets(altavoz->stdoutFd()), pcm(parec->stdoutFd());
        // Both flowing, then a second more for start-up costs to pass.
        const double begin = monotonicSeconds();
        while ((packets.bytes == 0 || pcm.bytes == 0) && monotonicSeconds() - begin < 10) sleepSeconds(0.05);
        sleepSeconds(1.0);
        const double t0 = monotonicSeconds();
        const double altavoz0 = altavoz->cpuSeconds(), parec0 = parec->cpuSeconds();
        const size_t bytes0 = packets.bytes;
        sleepSeconds(seconds);
        const double elapsed = monotonicSeconds() - t0;
        const double altavozCpu = 100 * (altavoz->cpuSeconds() - altavoz0) / elapsed;
        const double parecCpu = 100 * (parec->cpuSeconds() - parec0) / elapsed;
        const double kbits = 8.0 * static_cast<double>(packets.bytes - bytes0) / elapsed / 1000;
        altavoz->closeStdin();
        status = altavoz->waitExit(10000);
        parec->signal(SIGTERM);
        parec->waitExit(10000);
        std::printf("%s, %.0f s of a tone, no display\n", pipewire ? "PipeWire" : "PulseAudio", elapsed);
        std::printf("zentrec --altavoz: CPU %.2f%% of a core (goal < 1%%), %.1f kbit/s of packets%s\n", altavozCpu,
                    kbits, status == 0 ? "" : "  (did not end with status 0)");
        std::printf("parec, same monitor, 40 ms: CPU %.2f%% of a core\n", parecCpu);
    }
    std::filesystem::remove_all(folder);
    return status == 0 ? 0 : 1;
}
