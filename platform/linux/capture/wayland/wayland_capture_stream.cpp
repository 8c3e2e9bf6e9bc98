#include "platform/linux/capture/wayland/wayland_capture_stream.h"

#include <atomic>
#include <thread>

#include "platform/linux/capture/capture_stream_shared.h"
#include "platform/linux/capture/platform_thread.h"
#include "platform/linux/capture/wayland/cursor_store.h"
#include "platform/linux/capture/wayland/frame_pipeline.h"
#include "platform/linux/capture/wayland/pipewire_stream.h"
#include "platform/linux/capture/wayland/screencast_portal.h"
#include "platform/linux/sound/system_sound.h"

namespace platform::wayland {

namespace {

constexpr uint64_t kDefaultIntervalNanos = 1'000'000'000 / 60;
constexpr uint64_t kShortestIntervalNanos = 1'000'000;

uint64_t intervalNanos(const MediaTime& interval) {
    if (!interval.valid() || interval.value <= 0) return kDefaultIntervalNanos;
    const MediaTime nanos = interval.convertScale(1'000'000'000);
    return std::max<uint64_t>(static_cast<uint64_t>(nanos.value), kShortestIntervalNanos);
}

FramePipeline::Settings settingsOf(const StreamConfiguration& configuration) {
    FramePipeline::Settings settings;
    settings.width = static_cast<int>(configuration.width);
    settings.height = static_cast<int>(configuration.height);
    settings.queueDepth = configuration.queueDepth;
    settings.intervalNanos = intervalNanos(configuration.minimumFrameInterval);
    return settings;
}

}  // namespace

struct WaylandShared : capture::CaptureStreamShared {
    WaylandShared(const ContentFilter& filter, const StreamConfiguration& configuration, StreamStopHandler didStop)
        : CaptureStreamShared(filter, configuration, std::move(didStop), makeError(kStreamFailed, {})) {}

    // Reports a stop the program did not ask for, once, on a thread of its own (never
    // on the PipeWire or portal thread, which the handler's consequences may end).
    void reportStop(const Error& error, const std::shared_ptr<WaylandShared>& self) {
        if (stopRequested.load() || stopReported.exchange(true)) return;
        x11::completeOnPlatformThread([self, error] {
            if (!self->stopRequested.load() && self->didStop) self->didStop(error);
        });
    }

    // What a running capture holds (under the mutex); released in this order:
    // PipeWire, then the portal session, then the sound.
    std::unique_ptr<PipeWireStream> pipewire;
    std::unique_ptr<ScreenCastPortal> portal;
    std::unique_ptr<pulse::SystemSound> sound;
};

namespace {

// What runs on the PipeWire thread: the pictures through the pipeline to the queue.
class FrameDelivery {
public:
    explicit FrameDelivery(std::shared_ptr<WaylandShared> shared) : shared_(std::move(shared)) {}

    void attach(PipeWireStream* stream) { stream_ = stream; }

    // Only the copy while PipeWire's buffer is held; the conversion follows in wake().
    void frame(const ScreenFrame& frame) {
        applyConfiguration();
        pipeline_.take(frame, hostTimeNanos());
    }

    void wake() {
        applyConfiguration();
        deliverDue();
    }

private:
    void applyConfiguration() {
        std::scoped_lock lock(shared_->mutex);
        if (shared_->configurationVersion == appliedVersion_) return;
        appliedVersion_ = shared_->configurationVersion;
        pipeline_.configure(settingsOf(shared_->configuration));
    }

    void deliverDue() {
        FramePipeline::Produced produced = pipeline_.produce(hostTimeNanos());
        if (!produced.image) {
            if (produced.retryAt != 0 && stream_) stream_->wakeAt(produced.retryAt);
            return;
        }
        auto sample = std::make_shared<VideoSample>();
        sample->image = std::move(produced.image);
        sample->frameStatus = static_cast<int64_t>(FrameStatus::complete);
        sample->presentationTime = {static_cast<int64_t>(produced.time), 1'000'000'000};
        std::optional<dispatch::Queue> queue;
        ScreenSampleHandler handler;
        {
            std::scoped_lock lock(shared_->mutex);
            queue = shared_->queue;
            handler = shared_->handler;
        }
        if (!queue || !handler) return;
        queue->async([shared = shared_, handler = std::move(handler),
                      sample = std::shared_ptr<const VideoSample>(std::move(sample))] {
            // Samples still queued when the program stops the stream are dropped.
            if (!shared->stopRequested.load()) handler(sample, StreamOutputType::screen);
        });
    }

    std::shared_ptr<WaylandShared> shared_;
    PipeWireStream* stream_ = nullptr;
    FramePipeline pipeline_;
    uint64_t appliedVersion_ = 0;
};

// The start, on a thread of its own: the portal's flow (which may wait for the user),
// then PipeWire. An error when any step fails.
std::optional<Error> startOn(const std::shared_ptr<WaylandShared>& shared) {
    bool showsCursor = true;
    int fps = 60;
    {
        std::scoped_lock lock(shared->mutex);
        showsCursor = shared->configuration.showsCursor;
        fps = static_cast<int>((1'000'000'000 + intervalNanos(shared->configuration.minimumFrameInterval) - 1) /
                               intervalNanos(shared->configuration.minimumFrameInterval));
    }
    std::weak_ptr<WaylandShared> weak = shared;
    auto portal = ScreenCastPortal::open(shared->filter.display.displayID,
                                         showsCursor ? CursorMode::embedded : CursorMode::metadata,
                                         [weak](const Error& error) {
                                             if (auto s = weak.lock()) s->reportStop(error, s);
                                         });
    if (!portal) return portal.error();
    const PortalStream stream = portal.value()->takeStream();
    const bool metadata = stream.cursorMode == CursorMode::metadata;
    auto delivery = std::make_shared<FrameDelivery>(shared);
    PipeWireReceiver receiver;
    receiver.frame = [delivery](const ScreenFrame& frame) { delivery->frame(frame); };
    receiver.wake = [delivery] { delivery->wake(); };
    if (metadata) receiver.cursor = [](const CursorUpdate& update) { publishCursor(update); };
    receiver.ended = [weak](const Error& error) {
        if (auto s = weak.lock()) s->reportStop(error, s);
    };
    auto pipewire = PipeWireStream::connect(stream.pipewireFd, stream.nodeID, fps, metadata, std::move(receiver));
    if (!pipewire) return pipewire.error();
    delivery->attach(pipewire.value().get());
    std::unique_ptr<PipeWireStream> unused;
    std::unique_ptr<ScreenCastPortal> unusedPortal;
    {
        std::scoped_lock lock(shared->mutex);
        if (shared->stopRequested.load()) {
            // Stopped while the portal was asking: released here, outside the lock.
            unused = std::move(pipewire.value());
            unusedPortal = std::move(portal.value());
        } else {
            shared->pipewire = std::move(pipewire.value());
            shared->portal = std::move(portal.value());
        }
    }
    return std::nullopt;
}

// Releases what a capture holds, in order; never on the PipeWire thread.
void release(WaylandShared& shared) {
    std::unique_ptr<PipeWireStream> pipewire;
    std::unique_ptr<ScreenCastPortal> portal;
    std::unique_ptr<pulse::SystemSound> sound;
    {
        std::scoped_lock lock(shared.mutex);
        pipewire = std::move(shared.pipewire);
        portal = std::move(shared.portal);
        sound = std::move(shared.sound);
    }
    pipewire.reset();
    portal.reset();
    sound.reset();
    clearCursor();
}

}  // namespace

WaylandCaptureStream::WaylandCaptureStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                           StreamStopHandler didStop)
    : shared_(std::make_shared<WaylandShared>(filter, configuration, std::move(didStop))) {}

WaylandCaptureStream::~WaylandCaptureStream() {
    shared_->stopRequested = true;
    release(*shared_);
}

std::optional<Error> WaylandCaptureStream::addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                                           ScreenSampleHandler handler) {
    return shared_->addStreamOutput(type, std::move(queue), std::move(handler));
}

std::optional<Error> WaylandCaptureStream::addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) {
    return shared_->addAudioOutput(std::move(queue), std::move(handler));
}

void WaylandCaptureStream::startCapture(StreamCompletion completion) {
    {
        std::scoped_lock lock(mutex_);
        if (started_ || shared_->stopRequested.load()) {
            x11::completeOnPlatformThread([completion = std::move(completion)] {
                completion(makeError(kStreamFailed, "La captura ya se inició"));
            });
            return;
        }
        started_ = true;
    }
    // The system sound first, as on X11: without it the stream has lost half of what
    // it was asked for.
    auto lost = [weak = std::weak_ptr<WaylandShared>(shared_)](const Error& error) {
        if (auto s = weak.lock()) s->reportStop(error, s);
    };
    auto sound = shared_->startSystemSound(std::move(lost));
    if (!sound) {
        shared_->stopRequested = true;
        x11::completeOnPlatformThread([completion = std::move(completion), error = sound.error()] {
            completion(error);
        });
        return;
    }
    {
        std::scoped_lock lock(shared_->mutex);
        shared_->sound = std::move(sound.value());
    }
    // Detached: a start that waits for the user does not hold up a stop; it releases
    // what it got itself when it finds the stream stopped.
    std::thread([shared = shared_, completion = std::move(completion)] {
        auto error = startOn(shared);
        if (error) release(*shared);
        if (!shared->stopRequested.load()) completion(std::move(error));
    }).detach();
}

void WaylandCaptureStream::stopCapture(StreamCompletion completion) {
    shared_->stopRequested = true;
    x11::completeOnPlatformThread([shared = shared_, completion = std::move(completion)] {
        release(*shared);
        if (completion) completion(std::nullopt);
    });
}

void WaylandCaptureStream::updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) {
    auto error = shared_->updateConfiguration(configuration);
    x11::completeOnPlatformThread([completion = std::move(completion), error = std::move(error)] {
        if (completion) completion(error);
    });
}

}  // namespace platform::wayland
