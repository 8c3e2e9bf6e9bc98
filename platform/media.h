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
    double seconds() const { return valid() ? static_cast<double>(value) / timescale : 0.0; }
};

// Exact comparison of two valid times, whatever their timescales (no rounding): less
// than zero, zero or greater than zero. An invalid time sorts before every valid one.
int compare(MediaTime a, MediaTime b);
inline bool operator==(MediaTime a, MediaTime b) { return compare(a, b) == 0; }
inline bool operator<(MediaTime a, MediaTime b) { return compare(a, b) < 0; }
inline bool operator>(MediaTime a, MediaTime b) { return compare(a, b) > 0; }
// Sum and difference in the least common multiple of the timescales (exact) when it
// fits 32 bits, otherwise in the finer timescale, rounded half away from zero. Invalid
// when either operand is, or when the result does not fit.
MediaTime operator+(MediaTime a, MediaTime b);
MediaTime operator-(MediaTime a, MediaTime b);

// The host clock now, as a media time in nanoseconds (timescale 1e9).
MediaTime hostTime();

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

    // What a capture stream knows of how this picture came about, for consumers that
    // compare pictures (the encoder skips what did not change). `picture` numbers the
    // pictures the process's capture streams deliver (never twice; 0: not numbered).
    // When `changedSince` is not 0, the picture differs from picture number
    // `changedSince` at most inside `changed` (rectangles of pixels of this buffer,
    // covering whole 2x2 chroma blocks). A hint only: a consumer that did not see that
    // picture last compares everything.
    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
    };
    uint64_t picture = 0;
    uint64_t changedSince = 0;
    std::vector<Rect> changed;
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

// ---- Sound.

// Four-character codes, as the platform spells formats and transports.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}
inline constexpr uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr uint32_t kAudioFormatMPEG4AAC = fourCharCode("aac ");
inline constexpr uint32_t kAudioFormatOpus = fourCharCode("opus");

// Format flags of linear PCM.
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1;
inline constexpr uint32_t kAudioFormatFlagIsBigEndian = 2;
inline constexpr uint32_t kAudioFormatFlagIsPacked = 8;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 32;

// How the bytes of a sound stream are laid out. For non-interleaved PCM, "per frame"
// and "per packet" count one channel (each channel has a buffer of its own).
struct AudioStreamDescription {
    double sampleRate = 0;
    uint32_t formatID = 0;
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;
};

// One buffer of an audio buffer list: the bytes of one channel (non-interleaved) or of
// all channels (interleaved). The platform may give a buffer without data; readers
// treat its samples as missing.
struct AudioBuffer {
    uint32_t numberChannels = 1;
    std::optional<std::vector<uint8_t>> data;  // its size is the buffer's byte size
};

// A block of sound as a capture service delivers it, or as the program hands it to a
// file writer. Nothing in it is checked: the description, the frame count and the
// buffers may disagree, and readers must bound every access by what is really there.
struct AudioSampleBuffer {
    std::optional<AudioStreamDescription> description;  // absent: the platform gave none
    int64_t frameCount = 0;
    std::optional<std::vector<AudioBuffer>> bufferList;  // absent: the list cannot be had
    MediaTime presentationTime;
};

}  // namespace platform
