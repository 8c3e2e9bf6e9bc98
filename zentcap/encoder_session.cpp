// The H.264 session: creation with its fallbacks, its properties, and the submission
// of frames with strictly increasing timestamps, forced key frames and at most two
// frames in flight.

#include <algorithm>
#include <variant>

#include "zentcap/capture.h"

namespace zentcap {

namespace {

using platform::CompressionProperty;

constexpr int64_t kMaxFramesInFlight = 2;
constexpr int64_t kKeyFrameIntervalMicros = 1'000'000;
constexpr int32_t kMicrosTimescale = 1'000'000;

}  // namespace

// On queue_. A throw after creation leaves the session in `encoder_`; the caller
// clears it.
void Capture::makeEncoder(bool lowLatency) {
    platform::EncoderSpecification specification;
    specification.requireHardwareAcceleratedEncoder = true;
    specification.enableLowLatencyRateControl = lowLatency;

    // The session does not keep the Capture alive; a callback that finds it gone does nothing.
    std::weak_ptr<Capture> weak = weak_from_this();
    auto output = [weak](platform::Status status, uint32_t flags, std::shared_ptr<const platform::EncodedSample> sample) {
        if (auto self = weak.lock()) self->encodedFrameArrived(status, flags, sample);
    };
    auto create = [&](const std::optional<platform::EncoderSpecification>& wanted) {
        return platform::createCompressionSession(static_cast<int32_t>(width_), static_cast<int32_t>(height_), wanted,
                                                  platform::kPixelFormat420v, output);
    };

    auto creation = create(specification);
    if (creation.status != 0 || !creation.session) {
        if (lowLatency) throw CaptureError::status("VT create (baja latencia)", creation.status);
        notice("Sin encoder H.264 por hardware (" + std::to_string(creation.status) + "); se usa el de software");
        creation = create(std::nullopt);
        if (creation.status != 0 || !creation.session) throw CaptureError::status("VT create", creation.status);
    }
    encoder_ = std::move(creation.session);

    property(CompressionProperty::realTime, true);
    property(CompressionProperty::allowFrameReordering, false);
    bool constrained = lowLatency && encoder_->setProperty(CompressionProperty::profileLevel,
                                                           platform::ProfileLevel::h264ConstrainedHighAutoLevel) == 0;
    if (!constrained) property(CompressionProperty::profileLevel, platform::ProfileLevel::h264HighAutoLevel);
    if (auto status = encoder_->setProperty(CompressionProperty::maxFrameDelayCount, int64_t{1}); status != 0) {
        notice("Encoder no admite MaxFrameDelayCount=1 (" + std::to_string(status) + "); se usa RealTime");
    }
    updateEncoder();
    if (auto status = encoder_->prepareToEncodeFrames(); status != 0) throw CaptureError::status("VT prepare", status);
}

void Capture::property(CompressionProperty key, const platform::PropertyValue& value) {
    if (!encoder_) throw CaptureError::invalid("encoder no disponible");
    if (auto status = encoder_->setProperty(key, value); status != 0) {
        throw CaptureError::status("VT property " + std::string(platform::propertyName(key)), status);
    }
}

// Applies `quality_`; stops at the first refusal.
void Capture::updateEncoder() {
    property(CompressionProperty::expectedFrameRate, quality_.fps);
    property(CompressionProperty::averageBitRate, quality_.bitrate);
    property(CompressionProperty::maxKeyFrameInterval, quality_.fps);
    property(CompressionProperty::maxKeyFrameIntervalDuration, 1.0);
}

// On queue_. Frames that are not complete (a still screen) are neither encoded nor kept.
void Capture::encodeSample(const platform::VideoSample& sample) {
    if (stopping_ || !sample.valid || !sample.image) return;
    if (sample.frameStatus) {
        const int64_t* status = std::get_if<int64_t>(&*sample.frameStatus);
        if (status && *status != static_cast<int64_t>(platform::FrameStatus::complete)) return;
    }
    lastPixel_ = sample.image;
    encode(sample.image);
}

// On queue_. True when the frame went to the session.
bool Capture::encode(const std::shared_ptr<platform::PixelBuffer>& image) {
    if (stopping_ || !encoder_) return false;
    {
        std::scoped_lock lock(stateLock_);
        if (closed_ || pending_ >= kMaxFramesInFlight) return false;
        ++pending_;
    }

    // Unsigned difference read as signed: a clock behind the origin gives a negative
    // elapsed time, which the +1 rule below still turns into a rising timestamp.
    auto elapsed = static_cast<int64_t>(platform::hostTimeNanos() - origin_);
    int64_t timestamp = std::max(elapsed / 1000, lastTimestamp_ + 1);
    lastTimestamp_ = timestamp;

    platform::FrameOptions options;
    if (keyPending_ || timestamp - lastKey_ >= kKeyFrameIntervalMicros) {
        lastKey_ = timestamp;
        keyPending_ = false;
        options.forceKeyFrame = true;
    }

    auto status = encoder_->encodeFrame(image, {timestamp, kMicrosTimescale}, {1, static_cast<int32_t>(quality_.fps)},
                                        options);
    if (status == 0) return true;
    {
        std::scoped_lock lock(stateLock_);
        --pending_;
    }
    fail("No se pudo codificar: " + std::to_string(status));
    return false;
}

}  // namespace zentcap
