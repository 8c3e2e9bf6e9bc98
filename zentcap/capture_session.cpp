// The capture session: finding the display, creating the encoder and starting the
// stream whose frames arrive on the pipeline queue.

#include <chrono>

#include "zentcap/capture.h"

namespace zentcap {

namespace {

using namespace std::chrono_literals;

// How long a requested key frame waits for a new frame before the last one is
// offered again; a still screen delivers no complete frames.
constexpr auto kRefreshDelay = 120ms;

}  // namespace

// On a platform thread: hands the content to the queue or reports why there is none.
void Capture::contentArrived(std::optional<platform::ShareableContent> content, std::optional<platform::Error> error) {
    if (error) {
        fail("ScreenCaptureKit: " + error->description);
        return;
    }
    if (!content) {
        fail("ScreenCaptureKit no devolvió pantallas");
        return;
    }
    auto self = shared_from_this();
    queue_.async([self, content = std::move(*content)] { self->setUp(content); });
}

// On queue_.
void Capture::setUp(const platform::ShareableContent& content) {
    if (stopping_) return;
    try {
        const platform::Display* display = nullptr;
        for (const auto& candidate : content.displays) {
            if (candidate.displayID == displayID_) {
                display = &candidate;
                break;
            }
        }
        if (!display) throw CaptureError::invalid("No existe la pantalla " + std::to_string(displayID_));

        try {
            makeEncoder(true);
            notice("encoder H.264 en modo de baja latencia");
        } catch (const CaptureError& error) {
            notice("Sin el modo de baja latencia (" + error.describe() + "); se usa el normal");
            if (encoder_) {
                encoder_->invalidate();
                encoder_.reset();
            }
            makeEncoder(false);
        }

        std::weak_ptr<Capture> weak = weak_from_this();
        stream_ = platform::createCaptureStream(platform::ContentFilter{*display}, configuration(),
                                                [weak](const platform::Error& error) {
                                                    if (auto self = weak.lock()) self->streamStoppedByItself(error);
                                                });
        auto added = stream_->addStreamOutput(platform::StreamOutputType::screen, queue_,
                                              [weak](auto sample, platform::StreamOutputType type) {
                                                  if (auto self = weak.lock()) self->sampleArrived(sample, type);
                                              });
        if (added) throw *added;
    } catch (const CaptureError& error) {
        fail("Inicio de captura: " + error.describe());
        return;
    } catch (const platform::Error& error) {
        // A platform error is shown in its own description.
        fail("Inicio de captura: " + error.description);
        return;
    }
    startStream();
}

// On queue_: timestamps count from the start of capture.
void Capture::startStream() {
    origin_ = platform::hostTimeNanos();
    auto self = shared_from_this();
    stream_->startCapture([self](std::optional<platform::Error> error) { self->streamStarted(std::move(error)); });
}

// On a platform thread.
void Capture::streamStarted(std::optional<platform::Error> error) {
    if (error) {
        fail("No se pudo capturar: " + error->description);
        return;
    }
    notice("captura " + std::to_string(width_) + "x" + std::to_string(height_) +
           " H.264 High, cursor=" + (drawMouse_ ? "1" : "0"));
    if (!drawMouse_) {
        auto self = shared_from_this();
        platform::dispatch::Queue::main().async([self] { self->watchCursor(); });
    }
}

// Any thread. After a stop the stream's report is expected and says nothing new.
void Capture::streamStoppedByItself(const platform::Error& error) {
    if (isClosed()) return;
    fail("Captura interrumpida: " + error.description);
}

// On queue_.
void Capture::sampleArrived(const std::shared_ptr<const platform::VideoSample>& sample,
                            platform::StreamOutputType type) {
    if (type != platform::StreamOutputType::screen || !sample) return;
    encodeSample(*sample);
}

platform::StreamConfiguration Capture::configuration() const {
    platform::StreamConfiguration configuration;
    configuration.width = width_;
    configuration.height = height_;
    configuration.minimumFrameInterval = {1, static_cast<int32_t>(quality_.fps)};
    configuration.pixelFormat = platform::kPixelFormat420v;
    configuration.queueDepth = 4;
    configuration.showsCursor = drawMouse_;
    configuration.scalesToFit = false;
    configuration.colorSpaceName = "sRGB";
    return configuration;
}

// On queue_. Offers the last frame again until it is taken as the requested key
// frame, at most `attempts` times, kRefreshDelay apart.
void Capture::refreshIfStill(int attempts) {
    auto self = shared_from_this();
    queue_.asyncAfter(kRefreshDelay, [self, attempts] {
        if (!self->keyPending_ || self->stopping_ || !self->lastPixel_) return;
        if (!self->encode(self->lastPixel_) && attempts >= 2) self->refreshIfStill(attempts - 1);
    });
}

}  // namespace zentcap
