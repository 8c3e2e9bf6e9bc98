#pragma once
// From PipeWire pictures to the pixel buffers a capture stream delivers: keeps a copy
// of the screen (BGRX, cropped and turned upright) that each picture updates where it
// changed, and converts it into pooled NV12 buffers at the configured size no faster
// than the frame interval, with the same conversion, change rectangles and buffer
// backlog as the X11 capture. Used on one thread (the PipeWire thread).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/capture/dirty_region.h"
#include "platform/linux/capture/frame_converter.h"
#include "platform/linux/capture/pixel_buffer_pool.h"
#include "platform/linux/capture/wayland/pipewire_stream.h"
#include "platform/media.h"

namespace platform::wayland {

class FramePipeline {
public:
    struct Settings {
        int width = 0, height = 0;  // output size; 0: the screen's size at the first picture
        int queueDepth = 3;
        uint64_t intervalNanos = 1'000'000'000 / 30;
    };

    // Takes the new settings; a new size or depth makes a new pool and a complete
    // next picture.
    void configure(const Settings& settings);

    // Brings the screen copy up to date with `frame`.
    void take(const ScreenFrame& frame, uint64_t now);

    struct Produced {
        std::shared_ptr<PixelBuffer> image;  // none: nothing to deliver now
        uint64_t time = 0;                   // the picture's time (host clock, ns)
        uint64_t retryAt = 0;                // when there is a change still to deliver: when to try again
    };
    // The next picture when a change is waiting, the interval since the last one has
    // passed and a pool buffer is free.
    Produced produce(uint64_t now);

    // The size of the screen copy (0 before the first picture).
    int screenWidth() const { return screenWidth_; }
    int screenHeight() const { return screenHeight_; }

private:
    void resizeScreen(int width, int height);
    void copyIn(const ScreenFrame& frame, const x11::Rect& source, const x11::Rect& area);
    void takeTurned(const ScreenFrame& frame, const x11::Rect& source);

    Settings settings_;
    std::unique_ptr<x11::PixelBufferPool> pool_;
    x11::FrameConverter converter_;
    x11::BufferBacklog backlog_;
    std::vector<uint8_t> screen_;  // BGRX, screenWidth_ * 4 bytes a row
    std::vector<uint8_t> scratch_;
    int screenWidth_ = 0, screenHeight_ = 0;
    x11::DirtyRegion pending_;    // changed since the last delivered picture
    bool forceComplete_ = true;
    bool waiting_ = false;        // a picture came that is not delivered yet
    uint64_t pictureTime_ = 0;    // time of the newest picture taken
    uint64_t lastComplete_ = 0;   // host time of the last delivered picture (0: none)
    uint64_t lastTime_ = 0;       // presentation time of the last delivered picture
    uint64_t lastPicture_ = 0;    // number of the last picture delivered
};

}  // namespace platform::wayland
