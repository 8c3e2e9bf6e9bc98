#pragma once
// PulseAudio underneath the sound services: the process's one threaded main loop,
// owning wrappers for contexts and streams, the error texts, connection and the
// queries the services need, and a record stream that hands out what a source gives.
//
// Every libpulse call runs with the main loop locked (MainloopLock), the model
// libpulse's threaded main loop is built for. Callbacks of libpulse run on the main
// loop's thread with the lock held: they only copy data and hand it to dispatch
// queues, so program code never runs there.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/linux/sound/capture_clock.h"

namespace platform::pulse {

// Error domain of the sound errors of this backend, and its codes.
inline constexpr const char* kErrorDomain = "PulseAudio";
enum ErrorCode : int {
    kNoServer = 1,        // no sound server answers
    kAccessDenied = 2,    // the server refused this client
    kNoSuchDevice = 3,    // the source or sink is not (or no longer) there
    kConnectionLost = 4,  // the server went away while capturing
    kStreamFailed = 5,    // the server ended or refused a stream for another reason
};

// Spanish text for a libpulse error code (pa_context_errno and the like).
std::string errorText(int paError);
Error makeError(ErrorCode code, std::string description);
// The error a failed connection or stream reports, classified by its libpulse code.
Error errorFromPulse(int paError, const std::string& what);

// The main loop thread starts at the first use and lives as long as the process: no
// static destructor stops it under a thread that still uses it.
pa_threaded_mainloop* mainloop();

// Holds the main loop lock for its scope; not for use on the main loop thread.
class MainloopLock {
public:
    MainloopLock();
    ~MainloopLock();
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

    // Waits (releasing the lock meanwhile) until `done` holds or `timeout` passes;
    // whether `done` held. Callbacks that change what `done` looks at signal the loop.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
};

// Wakes waiters of waitUntil(); called from callbacks, on the main loop thread.
void signalWaiters();

struct ContextDeleter {
    void operator()(pa_context* context) const;
};
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;

struct StreamDeleter {
    void operator()(pa_stream* stream) const;
};
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;

// Connects a new context to the server (never starting one). With the lock held.
Result<ContextPtr> connect(MainloopLock& lock, const char* clientName);

struct SourceInfo {
    uint32_t index = 0;
    std::string name;
    std::string description;
    bool isMonitor = false;
    std::string formFactor;  // device.form_factor, "" when unset
    std::string bus;         // device.bus, "" when unset
};

struct ServerInfo {
    std::string defaultSourceName;
    std::string defaultSinkName;
};

// Queries on a connected context, with the lock held. None when the server did not
// answer in time.
std::optional<ServerInfo> serverInfo(MainloopLock& lock, pa_context* context);
std::optional<std::vector<SourceInfo>> sources(MainloopLock& lock, pa_context* context);
// The monitor source of a sink; none when the sink does not exist.
std::optional<std::string> monitorOfSink(MainloopLock& lock, pa_context* context, const std::string& sink);

// A stream recording 48 kHz float32 samples (native byte order) from one source, in
// fragments of the given length, never moved to another source: when the source goes,
// the stream ends. Created and destroyed with the lock held; its callbacks run on the main loop
// thread and must only hand things over.
class RecordStream {
public:
    struct Callbacks {
        // Interleaved float samples (a hole in the source's data arrives as zeros) and
        // the host time at which the first of them was captured (for a sink's monitor:
        // played), as the server's latency tells it.
        std::function<void(std::vector<uint8_t> bytes, uint64_t hostTimeNanos)> data;
        // The stream ended without being asked to, with the libpulse error code.
        std::function<void(int paError)> ended;
    };

    static constexpr uint32_t kSampleRate = 48000;
    using Fragment = std::chrono::milliseconds;

    // Starts recording `source`; the connection completes asynchronously, and a
    // failure to connect is reported through `ended`.
    // `steering`: whether the block times follow the server's measure (a sink's monitor,
    // whose clock may fall behind on a busy machine) or only count frames (a
    // microphone, whose clock keeps time and whose measure jitters with its bursts).
    static std::unique_ptr<RecordStream> open(pa_context* context, const std::string& source, uint8_t channels,
                                              Fragment fragment, CaptureClock::Steering steering,
                                              const char* streamName, Callbacks callbacks, int& paError);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    const std::string& source() const { return source_; }

private:
    RecordStream(StreamPtr stream, std::string source, uint8_t channels, CaptureClock::Steering steering,
                 Callbacks callbacks)
        : stream_(std::move(stream)),
          source_(std::move(source)),
          channels_(channels),
          callbacks_(std::move(callbacks)),
          clock_(kSampleRate, steering) {}
    // When the next frame to be read was captured, if the server can tell yet.
    std::optional<int64_t> nextFrameCaptured(int64_t now) const;
    static void onState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, size_t length, void* self);

    StreamPtr stream_;
    std::string source_;
    uint8_t channels_;
    Callbacks callbacks_;
    bool ended_ = false;
    CaptureClock clock_;
};

}  // namespace platform::pulse
