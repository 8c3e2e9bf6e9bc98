#include "platform/linux/capture/wayland/frame_pipeline.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/rotate_argb.h>
#include <spa/buffer/meta.h>

#include <algorithm>
#include <cstring>

namespace platform::wayland {

namespace {

// How long to wait before trying again when every pool buffer is held downstream.
constexpr uint64_t kBufferRetryNanos = 4'000'000;
constexpr int kMaxQueueDepth = 8;

}  // namespace

void FramePipeline::configure(const Settings& settings) {
    settings_ = settings;
    settings_.queueDepth = std::clamp(settings.queueDepth, 1, kMaxQueueDepth);
    pool_.reset();  // made again at the next picture, at the size in force then
    forceComplete_ = true;
}

void FramePipeline::resizeScreen(int width, int height) {
    if (width == screenWidth_ && height == screenHeight_) return;
    screenWidth_ = width;
    screenHeight_ = height;
    screen_.assign(static_cast<size_t>(width) * height * 4, 0);
    // A renegotiated size keeps the output size (the converter scales to it); the next
    // picture is complete.
    forceComplete_ = true;
}

// Copies `area` (in picture coordinates) from the buffer's `source` rectangle into the
// screen copy, putting the bytes in BGRX order.
void FramePipeline::copyIn(const ScreenFrame& frame, const x11::Rect& source, const x11::Rect& area) {
    const uint8_t* from = frame.pixels + static_cast<size_t>(source.y + area.y) * frame.stride +
                          static_cast<size_t>(source.x + area.x) * 4;
    uint8_t* to = screen_.data() + static_cast<size_t>(area.y) * screenWidth_ * 4 + static_cast<size_t>(area.x) * 4;
    // libyuv's "ABGR" is R, G, B, A in memory, its "ARGB" B, G, R, A.
    if (frame.rgbOrder)
        libyuv::ABGRToARGB(from, frame.stride, to, screenWidth_ * 4, area.width, area.height);
    else
        libyuv::ARGBCopy(from, frame.stride, to, screenWidth_ * 4, area.width, area.height);
}

// A turned or mirrored picture: made upright whole (the damage is in the buffer's
// orientation, and such desktops are rare enough not to warrant mapping it).
void FramePipeline::takeTurned(const ScreenFrame& frame, const x11::Rect& source) {
    const int w = source.width, h = source.height;
    scratch_.resize(static_cast<size_t>(w) * h * 4);
    const uint8_t* from = frame.pixels + static_cast<size_t>(source.y) * frame.stride + static_cast<size_t>(source.x) * 4;
    if (frame.rgbOrder)
        libyuv::ABGRToARGB(from, frame.stride, scratch_.data(), w * 4, w, h);
    else
        libyuv::ARGBCopy(from, frame.stride, scratch_.data(), w * 4, w, h);
    const uint32_t t = frame.transform;
    const bool flipped = t >= SPA_META_TRANSFORMATION_Flipped;
    if (flipped) libyuv::ARGBMirror(scratch_.data(), w * 4, scratch_.data(), w * 4, w, h);
    // The metadata counts rotations counter-clockwise; libyuv clockwise.
    libyuv::RotationMode mode = libyuv::kRotate0;
    switch (flipped ? t - SPA_META_TRANSFORMATION_Flipped : t) {
        case SPA_META_TRANSFORMATION_90: mode = libyuv::kRotate270; break;
        case SPA_META_TRANSFORMATION_180: mode = libyuv::kRotate180; break;
        case SPA_META_TRANSFORMATION_270: mode = libyuv::kRotate90; break;
        default: break;
    }
    const bool turned = mode == libyuv::kRotate90 || mode == libyuv::kRotate270;
    resizeScreen(turned ? h : w, turned ? w : h);
    libyuv::ARGBRotate(scratch_.data(), w * 4, screen_.data(), screenWidth_ * 4, w, h, mode);
    pending_ = x11::DirtyRegion(screenWidth_, screenHeight_);
    pending_.markWhole();
}

void FramePipeline::take(const ScreenFrame& frame, uint64_t now) {
    const x11::Rect whole{0, 0, frame.width, frame.height};
    const x11::Rect source = frame.crop ? x11::intersection(*frame.crop, whole) : whole;
    if (source.empty()) return;
    // Picture times come from the producer's clock (CLOCK_MONOTONIC, the host clock);
    // one that is missing or from the future is replaced by the time it arrived.
    pictureTime_ = frame.pts > 0 && frame.pts <= now ? frame.pts : now;
    waiting_ = true;
    if (frame.transform != SPA_META_TRANSFORMATION_None) {
        takeTurned(frame, source);
        return;
    }
    const bool sizeChanged = source.width != screenWidth_ || source.height != screenHeight_;
    resizeScreen(source.width, source.height);
    if (sizeChanged || pending_.width() != screenWidth_ || pending_.height() != screenHeight_)
        pending_ = x11::DirtyRegion(screenWidth_, screenHeight_);
    const x11::Rect picture{0, 0, screenWidth_, screenHeight_};
    if (forceComplete_ || !frame.damage) {
        copyIn(frame, source, picture);
        pending_.markWhole();
        return;
    }
    for (const x11::Rect& damaged : *frame.damage) {
        // Damage is in buffer coordinates; the picture starts at the crop's corner.
        const x11::Rect area =
            x11::intersection({damaged.x - source.x, damaged.y - source.y, damaged.width, damaged.height}, picture);
        if (area.empty()) continue;
        copyIn(frame, source, area);
        pending_.add(area);
    }
}

FramePipeline::Produced FramePipeline::produce(uint64_t now) {
    Produced produced;
    if (!waiting_ || screenWidth_ == 0) return produced;
    if (lastComplete_ != 0 && now < lastComplete_ + settings_.intervalNanos) {
        produced.retryAt = lastComplete_ + settings_.intervalNanos;
        return produced;
    }
    const int width = settings_.width > 0 ? settings_.width : screenWidth_;
    const int height = settings_.height > 0 ? settings_.height : screenHeight_;
    if (!pool_ || pool_->width() != width || pool_->height() != height) {
        pool_ = std::make_unique<x11::PixelBufferPool>(width, height, settings_.queueDepth);
        forceComplete_ = true;
    }
    std::shared_ptr<PixelBuffer> buffer = pool_->acquire();
    if (!buffer) {
        produced.retryAt = now + kBufferRetryNanos;
        return produced;
    }
    x11::DirtyRegion change = pending_;
    if (forceComplete_ || change.width() != screenWidth_ || change.height() != screenHeight_) {
        change = x11::DirtyRegion(screenWidth_, screenHeight_);
        change.markWhole();
    }
    if (forceComplete_ || backlog_.slots() != pool_->count())
        backlog_ = x11::BufferBacklog(pool_->count(), screenWidth_, screenHeight_);
    const x11::DirtyRegion stale = backlog_.take(pool_->slotOf(*buffer), change);
    converter_.convert(screen_.data(), screenWidth_, screenHeight_, screenWidth_ * 4, change, stale, *buffer);

    // Where this picture differs from the one delivered before it (see
    // PixelBuffer::changedSince), in the buffer's coordinates.
    buffer->picture = x11::nextPictureNumber();
    buffer->changed.clear();
    buffer->changedSince = change.whole() ? 0 : lastPicture_;
    if (buffer->changedSince != 0) {
        const bool scaled = screenWidth_ != width || screenHeight_ != height;
        for (const x11::Rect& r : change.rectangles()) {
            const x11::Rect d = scaled ? x11::scaledCover(r, screenWidth_, screenHeight_, width, height) : r;
            const x11::Rect even = x11::roundOutToEven(d, width, height);
            if (!even.empty()) buffer->changed.push_back({even.x, even.y, even.width, even.height});
        }
    }
    lastPicture_ = buffer->picture;
    pending_ = x11::DirtyRegion(screenWidth_, screenHeight_);
    forceComplete_ = false;
    waiting_ = false;
    lastComplete_ = now;
    // Times rise strictly, whatever the producer's clock did.
    produced.time = std::max(pictureTime_, lastTime_ + 1);
    lastTime_ = produced.time;
    produced.image = std::move(buffer);
    return produced;
}

}  // namespace platform::wayland
