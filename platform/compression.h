#pragma once
// H.264 compression session: frames in, length-prefixed access units out through a
// callback on the service's own thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/media.h"

namespace platform {

// Status codes are the service's own 32-bit numbers; 0 is success.
using Status = int32_t;

// Information flags passed to the output callback.
inline constexpr uint32_t kEncodeInfoFrameDropped = 2;

// The parameter sets and NAL length size of an H.264 stream. Queries answer with a
// status so that a refusal can be told from an empty answer.
class H264Format {
public:
    virtual ~H264Format() = default;

    struct Layout {
        Status status = 0;
        size_t parameterSetCount = 0;
        int nalLengthSize = 0;  // bytes of the big-endian length before every NAL unit
    };
    virtual Layout layout() const = 0;

    struct ParameterSet {
        Status status = 0;
        const uint8_t* bytes = nullptr;  // valid while the format lives; null when missing
        size_t size = 0;
    };
    // Sequence and picture parameter sets in index order.
    virtual ParameterSet parameterSet(size_t index) const = 0;
};

// The compressed bytes of one frame: NAL units, each behind a big-endian length
// field of H264Format::Layout::nalLengthSize bytes.
class DataBlock {
public:
    virtual ~DataBlock() = default;
    virtual size_t length() const = 0;
    // Copies `size` bytes from `offset` into `destination`; non-zero on failure.
    virtual Status copyBytes(size_t offset, size_t size, uint8_t* destination) const = 0;
};

// One compressed frame as the service hands it to the output callback.
struct EncodedSample {
    std::shared_ptr<const H264Format> format;  // none when the service gave none
    std::shared_ptr<const DataBlock> data;     // none when the service gave none
    // The not-sync attachment of the frame: true marks a frame that is not a key
    // frame. Absent when the sample carries no attachment of that name.
    std::optional<AttachmentValue> notSync;
    MediaTime presentationTime;
};

// Called once for every frame submitted, on the service's own thread, in submission
// order; `sample` may be null. Never called after invalidate() has returned.
using CompressionOutput =
    std::function<void(Status status, uint32_t infoFlags, std::shared_ptr<const EncodedSample> sample)>;

// What the caller demands of the encoder that the session is built on.
struct EncoderSpecification {
    bool requireHardwareAcceleratedEncoder = false;
    bool enableLowLatencyRateControl = false;
};

enum class ProfileLevel { h264ConstrainedHighAutoLevel, h264HighAutoLevel };

enum class CompressionProperty {
    realTime,
    allowFrameReordering,
    profileLevel,
    maxFrameDelayCount,
    expectedFrameRate,
    averageBitRate,
    maxKeyFrameInterval,
    maxKeyFrameIntervalDuration,
};

// The property's name as the service spells it ("RealTime", "AverageBitRate", ...).
std::string_view propertyName(CompressionProperty key);

using PropertyValue = std::variant<bool, int64_t, double, ProfileLevel>;

struct FrameOptions {
    bool forceKeyFrame = false;
};

class CompressionSession {
public:
    virtual ~CompressionSession() = default;
    CompressionSession(const CompressionSession&) = delete;
    CompressionSession& operator=(const CompressionSession&) = delete;

    virtual Status setProperty(CompressionProperty key, const PropertyValue& value) = 0;
    virtual Status prepareToEncodeFrames() = 0;
    // Submits one frame; the output callback reports it later. The session holds
    // `image` until that callback has run.
    virtual Status encodeFrame(std::shared_ptr<PixelBuffer> image, MediaTime presentationTime,
                               MediaTime duration, FrameOptions options) = 0;
    // Abandons frames in flight (their callbacks are not made) and stops the session.
    // Returns once no callback is running; none comes afterwards.
    virtual void invalidate() = 0;

protected:
    CompressionSession() = default;
};

struct CompressionSessionCreation {
    Status status = 0;  // non-zero: creation refused, no session
    std::unique_ptr<CompressionSession> session;
};

// Creates an H.264 session for frames of width x height in `sourcePixelFormat`.
// `specification` absent means "any encoder". `output` must stay callable until the
// session is invalidated or destroyed.
CompressionSessionCreation createCompressionSession(int32_t width, int32_t height,
                                                    const std::optional<EncoderSpecification>& specification,
                                                    uint32_t sourcePixelFormat, CompressionOutput output);

}  // namespace platform
