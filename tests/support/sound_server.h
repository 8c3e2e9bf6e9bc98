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
    bool setDefaultSink(const std::string& name) const;
    // The FIFO behind a pipe source made by this harness.
    std::string fifoOf(const std::string& source) const { return folder_ + "/" + source + ".fifo"; }

    // Plays a stereo sine tone into `sink` until the returned child is destroyed.
    std::unique_ptr<Child> playTone(const std::string& sink, double frequency, double amplitude) const;

private:
    SoundServer() = default;
    bool waitUntilReady();

    SoundServerOptions options_;
    std::string folder_;   // private HOME and XDG_RUNTIME_DIR
    std::string address_;
    std::vector<std::unique_ptr<Child>> daemons_;  // in start order; stopped in reverse
};

// Writes samples to a FIFO microphone in real time, 10 ms at a time, from a thread of
// its own, until destroyed. `next` gives the value of sample n.
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

}  // namespace testsupport
