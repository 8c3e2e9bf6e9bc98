// The control channel: JSON commands read line by line from the input, their work
// handed to the pipeline queue so it never races with frame handling.

#include "zentcap/capture.h"
#include "zentcap/command.h"
#include "zentcap/line_reader.h"

namespace zentcap {

namespace {
constexpr int kRefreshAttempts = 10;
}

void Capture::startControlChannel() {
    controlQueue_ = platform::dispatch::Queue::serial("zentori.capture.control");
    auto self = shared_from_this();
    controlQueue_->async([self] { self->readCommands(); });
}

// On the control queue, for the life of the process: the end of input stops with
// status 0, the first bad line with status 1.
void Capture::readCommands() {
    LineReader reader(streams_.input);
    Line line;
    for (;;) {
        if (!reader.next(line)) {
            stop(0);
            return;
        }
        auto action = interpretLine(line);
        auto self = shared_from_this();
        switch (action.kind) {
            case ControlAction::Kind::ignore:
                break;
            case ControlAction::Kind::keyRequest:
                queue_.async([self] { self->requestKeyFrame(); });
                break;
            case ControlAction::Kind::qualityChange:
                queue_.async([self, quality = action.quality] { self->changeQuality(quality); });
                break;
            case ControlAction::Kind::failure:
                fail("Orden de calidad: " + action.error);
                return;
        }
    }
}

// On queue_.
void Capture::requestKeyFrame() {
    if (stopping_) return;
    keyPending_ = true;
    refreshIfStill(kRefreshAttempts);
}

// On queue_. Before the encoder and the stream exist only the stored quality changes;
// they take it when they are made.
void Capture::changeQuality(Quality quality) {
    if (stopping_) return;
    quality_ = quality;
    if (encoder_) {
        try {
            updateEncoder();
        } catch (const CaptureError& error) {
            fail("Configuración del encoder: " + error.describe());
            return;
        }
        // The first frame at the new settings is a key frame, even on a still screen.
        if (!stopping_) {
            keyPending_ = true;
            refreshIfStill(kRefreshAttempts);
        }
    }
    if (stream_) {
        auto self = shared_from_this();
        stream_->updateConfiguration(configuration(), [self](std::optional<platform::Error> error) {
            if (error) self->fail("Configuración de captura: " + error->description);
        });
    }
}

}  // namespace zentcap
