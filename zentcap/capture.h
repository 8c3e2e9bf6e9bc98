#pragma once
// The streamer's one state object: it owns the capture stream, the H.264 session, the
// packet output and the control channel, and the only way out of the process.
//
// Threads: the main queue (start, signal handlers, cursor timer); `queue_`
// ("zentori.capture": frames, setup, stop sequence, commands, refresh retries); the
// control reader's queue; the compression service's callback thread; platform
// completion threads. `closed_` and `pending_` live under `stateLock_`; `outputLock_`
// is held around each whole packet write and is always taken before `stateLock_`.
// Every other mutable field is touched on `queue_` only, except `signals_` (filled
// once in start()) and the cursor fields (main queue only).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/compression.h"
#include "platform/dispatch.h"
#include "platform/media.h"
#include "platform/screen_capture.h"
#include "zentcap/capture_error.h"
#include "zentcap/command_line.h"
#include "zentcap/quality.h"

namespace zentcap {

// The descriptors the streamer talks through; the program passes 0, 1 and 2.
struct StandardStreams {
    int input = 0;   // JSON commands
    int output = 1;  // packets; made non-blocking by start()
    int error = 2;   // diagnostics
};

class Capture : public std::enable_shared_from_this<Capture> {
public:
    static std::shared_ptr<Capture> create(const StreamParameters& parameters, StandardStreams streams = {});
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Ignores SIGPIPE, makes the output non-blocking, arms SIGTERM and SIGINT, asks for
    // the displays and starts the control channel. Once, on the main thread.
    void start();
    // Ends the process with `status`; only the first call's status counts. Any thread;
    // returns at once, the exit happens on other threads, 2 s after the first call at
    // the latest.
    void stop(int32_t status);
    // Writes `message` and a line feed to the error stream, then stop(1). Any thread.
    void fail(std::string_view message);

private:
    Capture(const StreamParameters& parameters, StandardStreams streams);

    // Lifecycle (capture.cpp).
    void runStopSequence(int32_t status);
    void notice(std::string_view line) const;
    bool isClosed();

    // Capture session (capture_session.cpp).
    void contentArrived(std::optional<platform::ShareableContent> content, std::optional<platform::Error> error);
    void setUp(const platform::ShareableContent& content);
    void startStream();
    void streamStarted(std::optional<platform::Error> error);
    void streamStoppedByItself(const platform::Error& error);
    void sampleArrived(const std::shared_ptr<const platform::VideoSample>& sample, platform::StreamOutputType type);
    platform::StreamConfiguration configuration() const;
    void refreshIfStill(int attempts);

    // Encoder session (encoder_session.cpp).
    void makeEncoder(bool lowLatency);
    void property(platform::CompressionProperty key, const platform::PropertyValue& value);
    void updateEncoder();
    void encodeSample(const platform::VideoSample& sample);
    bool encode(const std::shared_ptr<platform::PixelBuffer>& image);

    // Output (output.cpp).
    void encodedFrameArrived(platform::Status status, uint32_t infoFlags,
                             const std::shared_ptr<const platform::EncodedSample>& sample);
    void writePacket(const std::vector<uint8_t>& packet);

    // Control channel (control_channel.cpp).
    void startControlChannel();
    void readCommands();
    void requestKeyFrame();
    void changeQuality(Quality quality);

    // Cursor overlay (cursor_overlay.cpp).
    void watchCursor();
    void cursorTick(double scale);

    // The pipeline's work queue.
    const platform::dispatch::Queue queue_;
    std::mutex stateLock_;
    std::mutex outputLock_;
    const StandardStreams streams_;
    const uint32_t displayID_;
    const int64_t width_;
    const int64_t height_;
    const bool drawMouse_;
    Quality quality_;
    std::unique_ptr<platform::CaptureStream> stream_;
    std::unique_ptr<platform::CompressionSession> encoder_;
    int64_t pending_ = 0;     // under stateLock_: frames in the encoder, at most 2
    bool closed_ = false;     // under stateLock_: set by every stop, never cleared
    int32_t firstStatus_ = 0;  // under stateLock_: the status of the first stop
    bool stopping_ = false;   // the stop sequence has begun
    uint64_t origin_;         // host time of timestamp zero
    int64_t lastTimestamp_ = -1;
    int64_t lastKey_ = -1'000'000;  // makes the first frame a key frame
    std::shared_ptr<platform::PixelBuffer> lastPixel_;
    bool keyPending_ = false;
    std::vector<std::shared_ptr<platform::dispatch::SignalSource>> signals_;
    std::shared_ptr<platform::dispatch::Timer> cursorTimer_;
    std::optional<std::vector<uint8_t>> lastCursor_;

    // Cursor packets are written here, one at a time, so the main queue never waits on
    // the output.
    const platform::dispatch::Queue cursorWriter_;
    std::atomic<bool> cursorWriteBusy_ = false;

    // The control reader's own queue, blocked on the input for the life of the process.
    std::optional<platform::dispatch::Queue> controlQueue_;
};

// Ends the process at once with `status`, without running static destructors under
// the threads that are still working.
[[noreturn]] void exitProcess(int status);

}  // namespace zentcap
