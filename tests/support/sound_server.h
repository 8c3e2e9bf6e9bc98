#pragma once
// A private sound server for tests, like xvfb.h for X: PulseAudio, or PipeWire with
// its PulseAudio server, in private folders, with a null sink as the speakers (the
// default sink) and a FIFO microphone (the default source). Clients reach it through
// PULSE_SERVER.
//
// Which server runs is the test runner's choice: ZENT_TEST_SOUND_SERVER=pipewire
// selects PipeWire, anything else PulseAudio. Only this harness reads that variable.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"

namespace testsupport {

enum class SoundServerKind { pulseAudio, pipeWire };

// The kind the test runner asked for.
SoundServerKind soundServerKind();

struct SoundServerOptions {
    SoundServerKind kind = soundServerKind();
    // PulseAudio only: clients of other users must present the server's cookie (no
    // anonymous access), and the server's folder lets them reach its socket.
    bool requireCookie = false;
};

class SoundServer {
public:
    // Name and description of the FIFO microphone and of the speakers.
    static constexpr const char* kMicrophone = "zentori_mic";
    static constexpr const char* kMicrophoneDescription = "Micrófono interno de prueba";
    static constexpr const char* kSpeakers = "zentori_speakers";

    // Starts the server and waits until it answers. Null (the reason on standard
    // error) when it cannot be started.
    static std::unique_ptr<SoundServer> start(SoundServerOptions options = {});
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    SoundServerKind kind() const { return options_.kind; }
    // "unix:<folder>/pulse/native", for PULSE_SERVER.
    const std::string& address() const { return address_; }
    // Points this process's PULSE_SERVER at the server.
    void useInThisProcess() const;

    // Runs pactl against the server; its exit status, and its standard output in
    // `output` when given.
    int pactl(std::vector<std::string> args, std::string* output = nullptr) const;

    // A FIFO source with a description; the module index, to remove it again.
    std::optional<uint32_t> addPipeSource(const std::string& name, const std::string& description,
                                          const std::string& formFactor = "");
    std::optional<uint32_t> addNullSink(const std::string& name);
    bool unloadModule(uint32_t index) const;
    // Make `name` the default sink or source and wait until the server reports it so.
    bool setDefaultSink(const std::string& name) const;
    bool setDefaultSource(const std::string& name) const;
    // The FIFO behind a pipe source made by this harness.
    std::string fifoOf(const std::string& source) const { return folder_ + "/" + source + ".fifo"; }

    // Plays a stereo sine tone into `sink` until the returned child is destroyed.
    std::unique_ptr<Child> playTone(const std::string& sink, double frequency, double amplitude) const;
    // Waits until the monitor of `sink` carries sound (a sample above 0.01): an idle
    // sink may take a second or two to deliver what starts playing on it.
    bool waitUntilHeard(const std::string& sink, std::chrono::milliseconds timeout) const;
    // A low-latency (10 ms) player into `sink` that plays what comes on its standard
    // input: 48 kHz stereo 32-bit float.
    std::unique_ptr<Child> player(const std::string& sink) const;

private:
    SoundServer() = default;
    // Waits until `condition` holds; false when a daemon ended first (its standard
    // error is then printed) or the start limit passed.
    bool waitWhileDaemonsRun(const std::function<bool()>& condition, const char* what) const;
    bool waitUntilReady() const;
    // Sets the default "sink" or "source" and waits until the server reports it.
    bool setDefault(const std::string& kind, const std::string& name) const;
    // Waits until `pactl list short <kind>` ("sinks", "sources") names the device.
    bool waitUntilListed(const std::string& kind, const std::string& name) const;

    SoundServerOptions options_;
    std::string folder_;   // private HOME and XDG_RUNTIME_DIR
    std::string address_;
    std::vector<std::unique_ptr<Child>> daemons_;  // in start order; stopped in reverse
};

// Writes samples to a FIFO microphone in real time, 10 ms at a time, from a thread of
// its own, until destroyed. `next` gives the value of sample n; what reaches the FIFO
// is samples 0, 1, 2, ... without a gap, however late the thread runs.
class MicrophoneFeeder {
public:
    MicrophoneFeeder(const std::string& fifo, std::function<float(int64_t n)> next);
    ~MicrophoneFeeder();
    MicrophoneFeeder(const MicrophoneFeeder&) = delete;
    MicrophoneFeeder& operator=(const MicrophoneFeeder&) = delete;
    bool opened() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::function<float(int64_t)> next_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Plays into a sink in real time, 5 ms at a time from a thread of its own, through a
// low-latency player: a hum of 200 Hz at `hum` (0: silence), and a burst of tone
// whenever asked, so that a sound leaves the speakers about 10 ms after it was asked
// for.
class Speaker {
public:
    Speaker(const SoundServer& server, const std::string& sink, double hum = 0);
    ~Speaker();
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;
    bool opened() const { return player_ != nullptr; }

    // The next block starts `seconds` of a tone.
    void click(double frequency = 1000, double amplitude = 0.5, double seconds = 0.03);

private:
    std::unique_ptr<Child> player_;
    std::mutex mutex_;
    const double hum_;
    double frequency_ = 0, amplitude_ = 0;
    int64_t burstLeft_ = 0, burstDone_ = 0;  // frames of the burst to play, played
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testsupport
