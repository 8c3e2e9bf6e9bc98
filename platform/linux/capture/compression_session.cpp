// H.264 compression sessions on libx264, encoding on a thread of their own.
//
// Status codes (negative, numbered like the usual compression-service codes so that a
// log reads the same on every platform):
//   -12900  kStatusPropertyNotSupported  property or value this encoder does not offer
//                                        (e.g. the constrained-high profile: x264 does
//                                        not signal the constraint flags, so the caller
//                                        falls back to High; frame reordering on)
//   -12902  kStatusParameter             bad argument: size, pixel format, value type,
//                                        an image that does not match the session
//   -12903  kStatusInvalidSession        the session was invalidated
//   -12907  kStatusCouldNotCreate        libx264 refused to open or to reconfigure
//   -12908  kStatusEncoderNotFound       a hardware encoder was required: none is offered
//   -12911  kStatusQueueFull             too many frames waiting for the encoder thread
//   -12912  kStatusEncodeFailed          libx264 failed on a frame (output callback)
// A specification that only asks for low-latency rate control is accepted: the
// software encoder runs with zero frame delay anyway. MaxFrameDelayCount is accepted
// for any value, for the same reason.

#include "platform/compression.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/linux/capture/platform_thread.h"
#include "platform/linux/x264/x264_encoder.h"

namespace platform {

namespace {

constexpr Status kStatusPropertyNotSupported = -12900;
constexpr Status kStatusParameter = -12902;
constexpr Status kStatusInvalidSession = -12903;
constexpr Status kStatusCouldNotCreate = -12907;
constexpr Status kStatusEncoderNotFound = -12908;
constexpr Status kStatusQueueFull = -12911;
constexpr Status kStatusEncodeFailed = -12912;

// Frames that may wait for the encoder thread. The streamer keeps at most two in
// flight; a deeper queue would only add latency.
constexpr size_t kMaxQueuedFrames = 4;

class X264Format final : public H264Format {
public:
    explicit X264Format(std::vector<std::vector<uint8_t>> sets) : sets_(std::move(sets)) {}
    Layout layout() const override { return {0, sets_.size(), 4}; }
    ParameterSet parameterSet(size_t index) const override {
        if (index >= sets_.size()) return {kStatusParameter, nullptr, 0};
        return {0, sets_[index].data(), sets_[index].size()};
    }
    const std::vector<std::vector<uint8_t>>& sets() const { return sets_; }

private:
    std::vector<std::vector<uint8_t>> sets_;
};

class ByteBlock final : public DataBlock {
public:
    explicit ByteBlock(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    size_t length() const override { return bytes_.size(); }
    Status copyBytes(size_t offset, size_t size, uint8_t* destination) const override {
        if (offset > bytes_.size() || size > bytes_.size() - offset || (size && !destination)) return kStatusParameter;
        std::copy_n(bytes_.data() + offset, size, destination);
        return 0;
    }

private:
    std::vector<uint8_t> bytes_;
};

std::optional<double> number(const PropertyValue& value) {
    if (auto* integer = std::get_if<int64_t>(&value)) return static_cast<double>(*integer);
    if (auto* real = std::get_if<double>(&value)) return *real;
    return std::nullopt;
}

class X264Session final : public CompressionSession {
public:
    X264Session(int32_t width, int32_t height, std::unique_ptr<x264::Encoder> encoder, x264::RateSettings rate,
                CompressionOutput output)
        : width_(width), height_(height), encoder_(std::move(encoder)), output_(std::move(output)), rate_(rate) {
        format_ = std::make_shared<X264Format>(encoder_->parameterSets());
        thread_ = std::thread([this] { run(); });
    }

    ~X264Session() override { invalidate(); }

    Status setProperty(CompressionProperty key, const PropertyValue& value) override {
        std::scoped_lock lock(mutex_);
        if (invalidated_) return kStatusInvalidSession;
        const std::optional<double> n = number(value);
        switch (key) {
            case CompressionProperty::realTime:
                return std::holds_alternative<bool>(value) ? 0 : kStatusParameter;
            case CompressionProperty::allowFrameReordering:
                if (!std::holds_alternative<bool>(value)) return kStatusParameter;
                return std::get<bool>(value) ? kStatusPropertyNotSupported : 0;
            case CompressionProperty::profileLevel:
                if (!std::holds_alternative<ProfileLevel>(value)) return kStatusParameter;
                return std::get<ProfileLevel>(value) == ProfileLevel::h264HighAutoLevel ? 0
                                                                                      : kStatusPropertyNotSupported;
            case CompressionProperty::maxFrameDelayCount:
                return n && *n >= -1 ? 0 : kStatusParameter;
            case CompressionProperty::expectedFrameRate:
                if (!n || !(*n > 0 && *n <= 1000)) return kStatusParameter;
                rate_.framesPerSecond = *n;
                rateChanged_ = true;
                return 0;
            case CompressionProperty::averageBitRate:
                if (!n || !(*n >= 1000 && *n <= 2e9)) return kStatusParameter;
                rate_.bitsPerSecond = static_cast<int64_t>(*n);
                rateChanged_ = true;
                return 0;
            case CompressionProperty::maxKeyFrameInterval:
                if (!n || *n < 0) return kStatusParameter;
                maxKeyInterval_ = static_cast<int64_t>(*n);
                return 0;
            case CompressionProperty::maxKeyFrameIntervalDuration:
                if (!n || *n < 0) return kStatusParameter;
                maxKeyDurationMicros_ = static_cast<int64_t>(*n * 1e6);
                return 0;
        }
        return kStatusPropertyNotSupported;
    }

    Status prepareToEncodeFrames() override {
        std::scoped_lock lock(mutex_);
        return invalidated_ ? kStatusInvalidSession : 0;
    }

    Status encodeFrame(std::shared_ptr<PixelBuffer> image, MediaTime presentationTime, MediaTime /*duration*/,
                       FrameOptions options) override {
        if (!image || image->width != width_ || image->height != height_ || image->pixelFormat != kPixelFormat420v ||
            image->lumaStride < width_ || image->chromaStride < width_ ||
            image->luma.size() < static_cast<size_t>(image->lumaStride) * height_ ||
            image->chroma.size() < static_cast<size_t>(image->chromaStride) * (height_ / 2) ||
            !presentationTime.valid())
            return kStatusParameter;
        {
            std::scoped_lock lock(mutex_);
            if (invalidated_) return kStatusInvalidSession;
            if (queue_.size() >= kMaxQueuedFrames) return kStatusQueueFull;
            queue_.push_back({std::move(image), presentationTime, options});
        }
        wake_.notify_one();
        return 0;
    }

    void invalidate() override {
        {
            std::scoped_lock lock(mutex_);
            invalidated_ = true;
            queue_.clear();  // abandoned: their callbacks are not made
        }
        wake_.notify_one();
        std::scoped_lock join(joinMutex_);
        // Invalidated from the output callback: that callback is the last one.
        x11::joinUnlessCurrent(thread_);
    }

private:
    struct Job {
        std::shared_ptr<PixelBuffer> image;
        MediaTime presentationTime;
        FrameOptions options;
    };

    void run() {
        pthread_setname_np(pthread_self(), "zentori.x264");
        for (;;) {
            Job job;
            std::optional<x264::RateSettings> newRate;
            bool forceKey = false;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return invalidated_ || !queue_.empty(); });
                if (invalidated_) return;
                job = std::move(queue_.front());
                queue_.pop_front();
                if (rateChanged_) newRate = rate_, rateChanged_ = false;
                forceKey = job.options.forceKeyFrame || keyFrameDue(job);
            }
            auto [status, sample] = encode(job, newRate, forceKey);
            {
                // The check and the call are not atomic; invalidate() covers that by
                // joining this thread, so it returns only after this call is over.
                std::scoped_lock lock(mutex_);
                if (invalidated_) return;
            }
            // A frame that produced no data counts as dropped, not as a failure.
            const uint32_t flags = (status == 0 && !sample) ? kEncodeInfoFrameDropped : 0;
            output_(status, flags, std::move(sample));
        }
    }

    // Whether the limits on the distance between key frames call for one now. Runs
    // under the lock, on the encoder thread.
    bool keyFrameDue(const Job& job) const {
        if (!sentKeyFrame_) return true;
        if (maxKeyInterval_ > 0 && framesSinceKey_ + 1 >= maxKeyInterval_) return true;
        const int64_t micros = job.presentationTime.convertScale(1'000'000).value;
        return maxKeyDurationMicros_ > 0 && micros - lastKeyMicros_ >= maxKeyDurationMicros_;
    }

    std::pair<Status, std::shared_ptr<const EncodedSample>> encode(const Job& job,
                                                                  const std::optional<x264::RateSettings>& newRate,
                                                                  bool forceKey) {
        std::string error;
        if (newRate) {
            if (!encoder_->reconfigure(*newRate, error)) {
                x264::reportError(error);
                return {kStatusCouldNotCreate, nullptr};
            }
            auto sets = encoder_->parameterSets();
            if (sets != format_->sets()) format_ = std::make_shared<X264Format>(std::move(sets));
        }
        // libx264 wants strictly increasing timestamps; the caller's own time goes
        // back out unchanged.
        const int64_t micros = job.presentationTime.convertScale(1'000'000).value;
        lastEncoderPts_ = std::max(micros, lastEncoderPts_ + 1);
        auto frame = encoder_->encode(*job.image, lastEncoderPts_, forceKey, error);
        if (!frame) {
            x264::reportError(error);
            return {kStatusEncodeFailed, nullptr};
        }
        if (frame->data.empty()) return {0, nullptr};
        {
            std::scoped_lock lock(mutex_);
            if (frame->keyFrame) {
                sentKeyFrame_ = true;
                framesSinceKey_ = 0;
                lastKeyMicros_ = micros;
            } else {
                ++framesSinceKey_;
            }
        }
        auto sample = std::make_shared<EncodedSample>();
        sample->format = format_;
        sample->data = std::make_shared<ByteBlock>(std::move(frame->data));
        sample->notSync = AttachmentValue(!frame->keyFrame);
        sample->presentationTime = job.presentationTime;
        return {0, std::move(sample)};
    }

    const int32_t width_;
    const int32_t height_;
    std::unique_ptr<x264::Encoder> encoder_;  // used on the encoder thread only
    std::shared_ptr<const X264Format> format_;  // encoder thread only
    int64_t lastEncoderPts_ = -1;               // encoder thread only
    const CompressionOutput output_;

    std::mutex mutex_;  // guards the members below
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool invalidated_ = false;
    x264::RateSettings rate_;
    bool rateChanged_ = false;
    int64_t maxKeyInterval_ = 0;         // frames; 0: no limit
    int64_t maxKeyDurationMicros_ = 0;   // 0: no limit
    bool sentKeyFrame_ = false;
    int64_t framesSinceKey_ = 0;
    int64_t lastKeyMicros_ = 0;

    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace

CompressionSessionCreation createCompressionSession(int32_t width, int32_t height,
                                                    const std::optional<EncoderSpecification>& specification,
                                                    uint32_t sourcePixelFormat, CompressionOutput output) {
    // No hardware H.264 encoder is offered on this platform.
    if (specification && specification->requireHardwareAcceleratedEncoder) return {kStatusEncoderNotFound, nullptr};
    if (width <= 0 || height <= 0 || width % 2 || height % 2 || width > 16384 || height > 16384 ||
        sourcePixelFormat != kPixelFormat420v || !output)
        return {kStatusParameter, nullptr};
    x264::RateSettings rate;
    std::string error;
    auto encoder = x264::Encoder::open(width, height, rate, error);
    if (!encoder) {
        x264::reportError(error);
        return {kStatusCouldNotCreate, nullptr};
    }
    return {0, std::make_unique<X264Session>(width, height, std::move(encoder), rate, std::move(output))};
}

}  // namespace platform
