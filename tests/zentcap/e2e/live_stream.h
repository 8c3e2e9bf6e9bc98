#pragma once
// A running zentcap, read the way a host reads it: a thread takes every packet
// off its standard output as soon as it arrives, stamps the arrival time, and
// checks the stream with the receiver's parser and rules.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tools/zentcap_receiver/h264_decoder.h"
#include "tools/zentcap_receiver/packet.h"

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Arrival {
    zentrecv::Packet packet;
    Clock::time_point at;
};

struct StreamSettings {
    std::string display;  // DISPLAY for the streamer
    int width = 1280;
    int height = 720;
    int fps = 30;
    long bitrate = 4000000;
    bool drawMouse = false;
    testsupport::Stalled stalled = {};  // a host that stops reading standard output or error
    uint32_t displayID = 1;
    // More of the streamer's environment (a Wayland session's variables); these
    // override DISPLAY when they name it.
    std::map<std::string, std::string> environment = {};

    // A streamer of a desktop session with these variables, at 30 fps.
    static StreamSettings inSession(std::map<std::string, std::string> environment, int width, int height,
                                    bool drawMouse) {
        StreamSettings settings;
        settings.width = width;
        settings.height = height;
        settings.drawMouse = drawMouse;
        settings.environment = std::move(environment);
        return settings;
    }
};

class LiveStream {
public:
    // Starts `zentcap ID W H FPS BITRATE DRAWMOUSE` with DISPLAY set. Null if it
    // cannot be started.
    static std::unique_ptr<LiveStream> start(const StreamSettings& settings);
    ~LiveStream();
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    testsupport::Child& process() { return *child_; }
    bool send(const std::string& line) { return child_->writeStdin(line + "\n"); }

    // The first packet at position >= from that satisfies `match`, waiting up to
    // `timeout` for it; nullopt when it does not come (or the stream ended).
    std::optional<Arrival> waitFor(const std::function<bool(const Arrival&)>& match, milliseconds timeout,
                                   size_t from = 0);
    std::optional<Arrival> waitForVideo(milliseconds timeout, size_t from = 0);
    std::optional<Arrival> waitForKey(milliseconds timeout, size_t from = 0);
    std::optional<Arrival> waitForCursor(milliseconds timeout, size_t from = 0);

    // Waits until no video packet arrived for `quiet`; false if that does not
    // happen within `timeout`.
    bool waitForQuiet(milliseconds quiet, milliseconds timeout);

    size_t count() const;
    std::vector<Arrival> packets(size_t from = 0) const;
    // Why the stream broke the format, if it did.
    std::optional<std::string> streamError() const;
    // Every byte received so far, for the receiver program and ffprobe.
    std::string rawBytes() const;
    bool ended() const;

private:
    LiveStream() = default;
    void readLoop();

    std::unique_ptr<testsupport::Child> child_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::vector<Arrival> packets_;
    std::string raw_;
    std::optional<std::string> error_;
    bool ended_ = false;
    bool stop_ = false;
};

// Decodes the video packets in order; every picture goes to `seen` (if given).
struct DecodeSummary {
    int pictures = 0;
    int errors = 0;
    std::string profile;
    int width = 0;
    int height = 0;
    zentrecv::FramePtr last;
};
DecodeSummary decodeVideo(const std::vector<Arrival>& packets,
                          const std::function<void(const zentrecv::Packet&, const AVFrame&)>& seen = {});

// Video packets counted from position `from`: the `count` that follow the first `skip`.
// What each carries on average and the median gap between their timestamps, which do
// not depend on how many frames a second a busy machine lets through.
struct VideoSpan {
    size_t frames = 0;  // fewer than asked when the stream has not sent them (yet)
    double bitsPerFrame = 0;
    double medianGapMicros = 0;
};
VideoSpan videoSpan(const std::vector<Arrival>& packets, size_t from, size_t skip, size_t count);

}  // namespace e2e
