#pragma once
// Media times, the host clock, pixel buffers and captured sample buffers.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// The host clock: monotonic time in nanoseconds. The Linux backend reads
// CLOCK_MONOTONIC; the scripted backend lets a test set it.
uint64_t hostTimeNanos();

// A rational time: value / timescale seconds.
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0;  // 0 marks an invalid time

    bool valid() const { return timescale > 0; }
    // The same instant in another timescale, rounded half away from zero.
    MediaTime convertScale(int32_t newTimescale) const;
};

// Bi-planar 4:2:0 Y'CbCr, video range ('420v').
inline constexpr uint32_t kPixelFormat420v = 875704438;

// One image in NV12 layout: a full-size luma plane and a half-size interleaved
// Cb/Cr plane. Shared between the capture service, the program (which keeps the
// last frame) and the compression service (which holds frames in flight): the
// backend that made it learns it is free again when the last shared_ptr goes.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    uint32_t pixelFormat = kPixelFormat420v;
    std::vector<uint8_t> luma;    // height rows of lumaStride bytes
    int lumaStride = 0;
    std::vector<uint8_t> chroma;  // height/2 rows of chromaStride bytes: Cb, Cr, Cb, Cr...
    int chromaStride = 0;
};

// A value attached to a sample buffer. The logic looks at attachments by type (a
// frame status must be an integer, a not-sync mark a boolean), so the variant keeps
// the type the platform gave.
using AttachmentValue = std::variant<bool, int64_t, double, std::string>;

// Frame statuses a capture stream attaches to its screen samples.
enum class FrameStatus : int64_t {
    complete = 0,
    idle = 1,      // the screen did not change: no new image
    blank = 2,
    suspended = 3,
    started = 4,
    stopped = 5,
};

// A screen sample delivered by a capture stream.
struct VideoSample {
    bool valid = true;                          // false: the sample must be ignored
    std::shared_ptr<PixelBuffer> image;         // none for idle frames
    std::optional<AttachmentValue> frameStatus; // absent when the platform attached none
    MediaTime presentationTime;
};

}  // namespace platform
