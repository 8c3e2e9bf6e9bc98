#pragma once
// libx264 behind an owning wrapper, shared by the streamer's compression session and
// the MP4 writer. Both get High profile, no B-frames, no lookahead, zero frame delay
// and length-prefixed NAL units with the parameter sets kept out of the frames. Live
// streaming adds a small VBV and key frames only on request; a file gets a plain
// average bit rate and a somewhat slower preset (see x264_encoder.cpp).

// x264.h needs the fixed-width integer types declared before it.
#include <cstdint>

#include <x264.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/x264/unchanged_macroblocks.h"
#include "platform/media.h"

namespace platform::x264 {

struct EncoderDeleter {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};
using EncoderPtr = std::unique_ptr<x264_t, EncoderDeleter>;

// Text for what a libx264 call returned (x264 reports failures as negative numbers and
// explains them only in its log).
std::string errorText(const char* operation, int result);

// Writes "x264: " + `text` as one line to standard error, waiting a bounded time for
// room: the library's log lines come from the encoder thread, which must never be held
// up by a host that stops draining standard error.
void reportError(const std::string& text);

// What the session may change while it runs.
struct RateSettings {
    double framesPerSecond = 30;
    int64_t bitsPerSecond = 2'000'000;
};

// One encoded frame: NAL units each behind a 4-byte big-endian length, without
// parameter sets, SEI or access unit delimiters.
struct EncodedFrame {
    std::vector<uint8_t> data;
    bool keyFrame = false;
};

// How the frames will be used.
enum class Use { liveStream, file };

class Encoder {
public:
    // Opens libx264 for width x height NV12 frames; the error text says why not.
    static std::unique_ptr<Encoder> open(int width, int height, const RateSettings& rate, std::string& error,
                                         Use use = Use::liveStream);
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Applies new rate settings from the next frame on (x264_encoder_reconfig).
    bool reconfigure(const RateSettings& rate, std::string& error);

    // The sequence and picture parameter sets, without length prefixes, in that order.
    // They can change after reconfigure().
    std::vector<std::vector<uint8_t>> parameterSets();

    // Encodes one frame whose timestamp is `microseconds` (strictly increasing). None
    // with `error` set when libx264 failed; an empty frame when it produced nothing.
    std::optional<EncodedFrame> encode(const PixelBuffer& image, int64_t microseconds, bool forceKeyFrame,
                                       std::string& error);

private:
    Encoder(EncoderPtr handle, double openFramesPerSecond, int width, int height)
        : handle_(std::move(handle)), openFramesPerSecond_(openFramesPerSecond), unchanged_(width, height) {}
    EncoderPtr handle_;
    const double openFramesPerSecond_;
    UnchangedMacroblocks unchanged_;
};

// Puts `rate` into `param` of an encoder opened at `openFramesPerSecond`: the bit rate
// and the VBV that bounds each frame's size for low latency.
void applyRate(x264_param_t& param, const RateSettings& rate, double openFramesPerSecond);

}  // namespace platform::x264
