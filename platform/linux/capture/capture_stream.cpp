#include "platform/linux/capture/capture_stream.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/linux/capture/capture_stream_shared.h"
#include "platform/linux/capture/damage_tracker.h"
#include "platform/linux/capture/dirty_region.h"
#include "platform/linux/capture/frame_converter.h"
#include "platform/linux/capture/monitor_follower.h"
#include "platform/linux/capture/monitors.h"
#include "platform/linux/capture/pixel_buffer_pool.h"
#include "platform/linux/capture/platform_thread.h"
#include "platform/linux/capture/shm_grabber.h"
#include "platform/linux/capture/xfixes_cursor.h"
#include "platform/linux/sound/system_sound.h"

namespace platform::x11 {

namespace {

// The frame interval when the configuration gives none, and the shortest one honoured
// (a zero interval would make the capture thread spin).
constexpr uint64_t kDefaultIntervalNanos = 1'000'000'000 / 60;
constexpr uint64_t kShortestIntervalNanos = 1'000'000;
// The most buffers a stream may keep outstanding.
constexpr int kMaxQueueDepth = 8;
// A deadline that never comes: the wait ends on an event or a wake-up.
constexpr uint64_t kNever = UINT64_MAX;

struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

uint64_t intervalNanos(const MediaTime& interval) {
    if (!interval.valid() || interval.value <= 0) return kDefaultIntervalNanos;
    const MediaTime nanos = interval.convertScale(1'000'000'000);
    return std::max<uint64_t>(static_cast<uint64_t>(nanos.value), kShortestIntervalNanos);
}

}  // namespace

struct StreamShared : capture::CaptureStreamShared {
    StreamShared(const ContentFilter& filter, const StreamConfiguration& configuration, StreamStopHandler didStop)
        : CaptureStreamShared(filter, configuration, std::move(didStop), makeError(kRequestFailed, {})) {
        wake.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }

    // Reports a stop the program did not ask for, once; a stop it asked for ends
    // silently.
    void reportStop(const Error& error) {
        if (stopRequested.load() || stopReported.exchange(true)) return;
        if (didStop) didStop(error);
    }

    void wakeUp() const {
        const uint64_t one = 1;
        if (wake.fd >= 0) (void)!write(wake.fd, &one, sizeof one);
    }

    FdCloser wake;  // written to wake the capture thread from its poll
};

namespace {

struct PointerPosition {
    int x = 0, y = 0;
    bool operator==(const PointerPosition&) const = default;
};

// The body of the capture thread. Everything X11 lives here, on this one thread.
class CaptureLoop {
public:
    explicit CaptureLoop(std::shared_ptr<StreamShared> shared) : shared_(std::move(shared)) {}

    void run(const StreamCompletion& started) {
        pthread_setname_np(pthread_self(), "zentori.x11cap");
        if (auto error = setUp()) {
            started(std::move(error));
            return;
        }
        started(std::nullopt);
        while (!shared_->stopRequested.load()) {
            applyConfiguration();
            drainEvents();
            if (int broken = xcb_connection_has_error(connection_.get())) {
                end(makeError(kConnectionLost, "Se perdió la conexión con X11: " + connectionErrorText(broken)));
                return;
            }
            // Before the frame's time is taken: a look at the monitors is a round trip,
            // which must not make the frame seem older than it is.
            if (auto error = followScreenChange(hostTimeNanos(), MonitorFollower::When::due)) {
                end(std::move(*error));
                return;
            }
            // No frame while the monitor's geometry is unknown.
            if (follower_->settling()) {
                waitUntil(follower_->nextLook());
                continue;
            }
            const uint64_t now = hostTimeNanos();
            const bool changeKnown =
                forceComplete_ || damaged_ || waitingForBuffer_ || (showsCursor_ && cursorChanged_);
            if (lastDelivered_ != 0 && now < nextTick(changeKnown)) {
                waitUntil(std::min(nextTick(changeKnown), follower_->nextLook()));
                continue;
            }
            if (auto error = tick(now, changeKnown)) {
                end(std::move(*error));
                return;
            }
        }
    }

private:
    // When the next frame is due. The minimum interval holds between complete frames
    // only: a known change is captured as soon as one interval has passed since the
    // last complete frame, whatever idle frames came in between (counting those would
    // make a change that follows an idle frame wait up to a whole interval more).
    // Without a change, the next idle frame is due one interval after the last frame
    // of any kind. While every pixel buffer is held downstream, a change waits for one
    // to come back (which wakes the loop) rather than for the next interval.
    uint64_t nextTick(bool changeKnown) const {
        if (!changeKnown) return lastDelivered_ + interval_;
        if (waitingForBuffer_ && !pool_->hasFree()) return kNever;
        return lastComplete_ + interval_;
    }

    std::optional<Error> setUp() {
        auto connected = connect();
        if (!connected) return connected.error();
        connection_ = std::move(connected.value());
        xcb_connection_t* c = connection_.get();
        if (auto error = initializeCaptureExtensions(c)) return error;
        if (connection_.screen->root_depth != 24 && connection_.screen->root_depth != 32)
            return makeError(kRequestFailed, "Profundidad de color no admitida: " +
                                                 std::to_string(connection_.screen->root_depth) + " bits");
        auto monitor = findMonitor(connection_, shared_->filter.display.displayID);
        if (!monitor)
            return makeError(kDisplayNotFound,
                             "La pantalla " + std::to_string(shared_->filter.display.displayID) + " no existe");
        monitor_ = *monitor;
        startSize_ = {monitor_.width, monitor_.height};
        follower_ = std::make_unique<MonitorFollower>(
            connection_, monitor_,
            ScreenSize{connection_.screen->width_in_pixels, connection_.screen->height_in_pixels});
        if (auto error = setUpForMonitor()) return error;
        auto damage = DamageTracker::create(connection_);
        if (!damage) return damage.error();
        damage_ = std::move(damage.value());
        xfixesFirstEvent_ = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
        xcb_xfixes_select_cursor_input(c, connection_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
        xcb_flush(c);
        applyConfiguration();
        return std::nullopt;
    }

    // (Re)creates what depends on the captured monitor's geometry (`monitor_`) and the
    // screen's size, and makes the next frame a complete one.
    std::optional<Error> setUpForMonitor() {
        auto grabber = ShmGrabber::create(connection_, monitor_.width, monitor_.height);
        if (!grabber) return grabber.error();
        grabber_ = std::move(grabber.value());
        // A new segment holds no picture and no pointer; every buffer is then wholly
        // out of date (the backlog is sized again at the next frame).
        drawnPointer_.reset();
        backlog_ = BufferBacklog();
        forceComplete_ = true;
        return std::nullopt;
    }

    // Looks at the monitors when a look is due (or at once) and follows a change of the
    // captured monitor or of the screen. An error ends the capture: the monitor is gone.
    std::optional<Error> followScreenChange(uint64_t now, MonitorFollower::When when) {
        switch (follower_->look(now, when)) {
            case MonitorFollower::Outcome::unchanged:
            case MonitorFollower::Outcome::settling:
                return std::nullopt;
            case MonitorFollower::Outcome::changed:
                monitor_ = follower_->monitor();
                return setUpForMonitor();
            case MonitorFollower::Outcome::gone:
                break;
        }
        return makeError(kDisplayGone,
                         "La pantalla " + std::to_string(shared_->filter.display.displayID) + " se ha desconectado");
    }

    // A grab refused by the server (Match or Value error) when the screen shrank or the
    // monitor moved after the geometry was last read: the notification is on its way.
    // The monitors are read again; when they changed, this frame time is skipped and the
    // next frame is a complete one at the new geometry. A refusal with nothing changed
    // is real and ends the capture.
    std::optional<Error> grabFailed(Error error, uint64_t now) {
        if (error.code != kRequestFailed) return error;
        const Monitor before = monitor_;
        if (auto stop = followScreenChange(now, MonitorFollower::When::now)) return stop;
        if (!follower_->settling() && monitor_.sameArea(before)) return error;
        // The damage taken for this frame is lost with it: the next one is complete.
        forceComplete_ = true;
        return std::nullopt;
    }

    // True when a RandR notification came in while the image was read: the server sends
    // it before the image's reply, so the image may be of a geometry that no longer
    // holds. The frame is dropped, and the next one is complete whatever the look at
    // the monitors finds (the damage taken for this one is lost with it).
    bool screenChangedDuringGrab() {
        drainEvents();
        if (!follower_->notified()) return false;
        forceComplete_ = true;
        return true;
    }

    void end(Error error) { shared_->reportStop(error); }

    void applyConfiguration() {
        StreamConfiguration configuration;
        {
            std::scoped_lock lock(shared_->mutex);
            if (shared_->configurationVersion == appliedVersion_) return;
            appliedVersion_ = shared_->configurationVersion;
            configuration = shared_->configuration;
        }
        interval_ = intervalNanos(configuration.minimumFrameInterval);
        showsCursor_ = configuration.showsCursor;
        // Without a size, frames keep the monitor's size at the start: what receives them
        // (an encoder, a file) was set up for that size, and a resized monitor is scaled.
        const int width = configuration.width > 0 ? static_cast<int>(configuration.width) : startSize_.width;
        const int height = configuration.height > 0 ? static_cast<int>(configuration.height) : startSize_.height;
        const int depth = std::clamp(configuration.queueDepth, 1, kMaxQueueDepth);
        if (!pool_ || pool_->width() != width || pool_->height() != height || depth != poolDepth_) {
            // A returned buffer wakes the loop, which may be waiting for one. Weak: a
            // buffer the program keeps must not keep the stream's state alive.
            pool_ = std::make_unique<PixelBufferPool>(width, height, depth,
                                                      [weak = std::weak_ptr<StreamShared>(shared_)] {
                                                          if (auto shared = weak.lock()) shared->wakeUp();
                                                      });
            waitingForBuffer_ = false;
            poolDepth_ = depth;
            forceComplete_ = true;  // the first frame at a new size carries an image
        }
    }

    void drainEvents() {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_.get())}) {
            if (damage_->handleEvent(*event)) {
                damaged_ = true;
            } else if (follower_->handleEvent(*event)) {
                // Followed in the loop, between frames.
            } else if ((event->response_type & 0x7f) == xfixesFirstEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
                cursorChanged_ = true;
            }
            // Errors of requests sent without a reply (response_type 0) need nothing:
            // the request that matters (the image) reports its own.
        }
    }

    void waitUntil(uint64_t deadline) {
        xcb_flush(connection_.get());
        const uint64_t now = hostTimeNanos();
        const uint64_t wait = deadline > now ? deadline - now : 0;
        const timespec timeout{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
        pollfd fds[2] = {{xcb_get_file_descriptor(connection_.get()), POLLIN, 0}, {shared_->wake.fd, POLLIN, 0}};
        if (ppoll(fds, 2, deadline == kNever ? nullptr : &timeout, nullptr) > 0 && (fds[1].revents & POLLIN)) {
            uint64_t count;
            (void)!read(shared_->wake.fd, &count, sizeof count);
        }
    }

    std::optional<PointerPosition> queryPointer() {
        xcb_connection_t* c = connection_.get();
        Reply<xcb_query_pointer_reply_t> reply(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_.root()), nullptr));
        if (!reply || !reply->same_screen) return std::nullopt;
        return PointerPosition{reply->root_x, reply->root_y};
    }

    // One frame time: an idle frame, a complete frame, or nothing when every pixel
    // buffer is still held downstream. An error ends the capture.
    std::optional<Error> tick(uint64_t now, bool changeKnown) {
        std::optional<PointerPosition> pointer;
        if (showsCursor_) {
            pointer = queryPointer();
            if (pointer != lastPointer_) changeKnown = true;
        }
        if (!changeKnown) {
            deliver(nullptr, FrameStatus::idle, now);
            return std::nullopt;
        }
        std::shared_ptr<PixelBuffer> buffer = pool_->acquire();
        // All buffers in use: skip this frame time. The damage stays pending and is
        // captured as soon as a buffer comes back.
        if (!buffer) {
            waitingForBuffer_ = true;
            return std::nullopt;
        }
        waitingForBuffer_ = false;

        // What differs from the picture of the previous complete frame, in the
        // monitor's coordinates.
        DirtyRegion change(monitor_.width, monitor_.height);
        if (forceComplete_) change.markWhole();
        bool changed = forceComplete_ || (showsCursor_ && (cursorChanged_ || pointer != lastPointer_));
        if (damaged_) {
            damaged_ = false;
            changed = damage_->takeChangeIn(monitor_, change) || changed;
        }
        if (!changed) {
            deliver(nullptr, FrameStatus::idle, now);
            return std::nullopt;
        }
        // The pointer drawn into the last picture is erased by reading its place
        // again, and drawn at its new place.
        if (drawnPointer_) change.add(*drawnPointer_);
        const std::optional<Rect> pointerArea = showsCursor_ ? placePointer(pointer) : std::nullopt;
        if (pointerArea) change.add(*pointerArea);
        if (auto error = grabber_->grab(monitor_.x, monitor_.y, change)) return grabFailed(std::move(*error), now);
        if (screenChangedDuringGrab()) return std::nullopt;
        drawnPointer_ = pointerArea;
        if (pointerArea) drawPointer(pointer);
        // The buffer may hold a picture several frames old: it gets this frame's change
        // and everything that changed since it last held a frame.
        if (forceComplete_ || backlog_.slots() != pool_->count())
            backlog_ = BufferBacklog(pool_->count(), monitor_.width, monitor_.height);
        const DirtyRegion stale = backlog_.take(pool_->slotOf(*buffer), change);
        converter_.convert(grabber_->pixels(), grabber_->width(), grabber_->height(), grabber_->stride(), change,
                           stale, *buffer);
        describeChange(change, *buffer);
        forceComplete_ = false;
        lastComplete_ = now;
        deliver(std::move(buffer), FrameStatus::complete, now);
        return std::nullopt;
    }

    // Numbers the picture in `buffer` and tells where it differs from the picture this
    // stream delivered before it: the parts of the buffer that `change` (in the
    // monitor's coordinates) reaches, as the converter computes them. A complete
    // picture has no earlier one to refer to.
    void describeChange(const DirtyRegion& change, PixelBuffer& buffer) {
        buffer.picture = nextPictureNumber();
        buffer.changed.clear();
        buffer.changedSince = forceComplete_ || change.whole() ? 0 : lastPicture_;
        if (buffer.changedSince != 0) {
            const int width = grabber_->width(), height = grabber_->height();
            const bool scaled = width != buffer.width || height != buffer.height;
            for (const Rect& r : change.rectangles()) {
                const Rect d = scaled ? scaledCover(r, width, height, buffer.width, buffer.height) : r;
                const Rect even = roundOutToEven(d, buffer.width, buffer.height);
                if (!even.empty()) buffer.changed.push_back({even.x, even.y, even.width, even.height});
            }
        }
        lastPicture_ = buffer.picture;
    }

    // Brings the pointer's shape up to date and tells where it will be drawn, in the
    // monitor's coordinates (nothing when there is no shape or position).
    std::optional<Rect> placePointer(const std::optional<PointerPosition>& pointer) {
        if (cursorChanged_ || !cursor_) {
            // The server may refuse the image (see xfixes_cursor.h): keep the last one.
            if (auto shape = fetchCursorShape(connection_.get())) cursor_ = std::move(shape);
            cursorChanged_ = false;
        }
        lastPointer_ = pointer;
        if (!cursor_ || !pointer) return std::nullopt;
        return Rect{pointer->x - monitor_.x - cursor_->hotX, pointer->y - monitor_.y - cursor_->hotY, cursor_->width,
                    cursor_->height};
    }

    // Composites the pointer placed by placePointer() into the grabbed pixels.
    void drawPointer(const std::optional<PointerPosition>& pointer) {
        compositeCursor(*cursor_, pointer->x - monitor_.x, pointer->y - monitor_.y, grabber_->pixels(),
                        grabber_->width(), grabber_->height(), grabber_->stride());
    }

    void deliver(std::shared_ptr<PixelBuffer> image, FrameStatus status, uint64_t now) {
        lastDelivered_ = now;
        auto sample = std::make_shared<VideoSample>();
        sample->image = std::move(image);
        sample->frameStatus = static_cast<int64_t>(status);
        sample->presentationTime = {static_cast<int64_t>(now), 1'000'000'000};
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

    std::shared_ptr<StreamShared> shared_;
    Connection connection_;
    Monitor monitor_;
    ScreenSize startSize_;  // the monitor's size when the capture started
    std::unique_ptr<MonitorFollower> follower_;
    std::unique_ptr<ShmGrabber> grabber_;
    std::unique_ptr<DamageTracker> damage_;
    std::unique_ptr<PixelBufferPool> pool_;
    int poolDepth_ = 0;
    FrameConverter converter_;
    uint8_t xfixesFirstEvent_ = 0;
    uint64_t appliedVersion_ = 0;

    uint64_t interval_ = kDefaultIntervalNanos;
    bool showsCursor_ = false;
    bool forceComplete_ = true;   // the first frame always carries an image
    bool damaged_ = false;        // a damage notification came since the last look
    bool cursorChanged_ = false;  // the pointer's shape changed since it was fetched
    uint64_t lastComplete_ = 0;   // host time of the last complete frame's capture
    uint64_t lastDelivered_ = 0;  // host time of the last frame delivered (0: none yet)
    uint64_t lastPicture_ = 0;    // number of the last picture delivered (0: none yet)
    bool waitingForBuffer_ = false;  // a change was skipped for want of a pixel buffer
    std::optional<PointerPosition> lastPointer_;
    std::optional<CursorShape> cursor_;
    std::optional<Rect> drawnPointer_;  // where the grabbed pixels hold a drawn pointer
    BufferBacklog backlog_;             // what each pool buffer lacks of the grabbed picture
};

}  // namespace

XcbCaptureStream::XcbCaptureStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                   StreamStopHandler didStop)
    : shared_(std::make_shared<StreamShared>(filter, configuration, std::move(didStop))) {}

XcbCaptureStream::~XcbCaptureStream() {
    shared_->stopRequested = true;
    shared_->wakeUp();
    std::scoped_lock lock(threadMutex_);
    sound_.reset();
    // When destroyed from one of its own handlers the loop only touches the shared
    // state, which the thread keeps alive, so it can finish on its own.
    joinUnlessCurrent(thread_);
}

std::optional<Error> XcbCaptureStream::addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                                       ScreenSampleHandler handler) {
    return shared_->addStreamOutput(type, std::move(queue), std::move(handler));
}

std::optional<Error> XcbCaptureStream::addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) {
    return shared_->addAudioOutput(std::move(queue), std::move(handler));
}

void XcbCaptureStream::startCapture(StreamCompletion completion) {
    std::scoped_lock lock(threadMutex_);
    if (started_ || shared_->stopRequested.load()) {
        completeOnPlatformThread([completion = std::move(completion)] {
            completion(makeError(kRequestFailed, "La captura ya se inició"));
        });
        return;
    }
    started_ = true;
    if (auto error = startSound()) {
        shared_->stopRequested = true;
        completeOnPlatformThread([completion = std::move(completion), error = std::move(*error)] {
            completion(error);
        });
        return;
    }
    thread_ = std::thread([shared = shared_, completion = std::move(completion)] {
        CaptureLoop(shared).run(completion);
    });
}

std::optional<Error> XcbCaptureStream::startSound() {
    // Without the sound server the stream has lost half of what it was asked for:
    // it stops, like a stream whose display went away.
    auto lost = [weak = std::weak_ptr<StreamShared>(shared_)](const Error& error) {
        if (auto shared = weak.lock()) {
            shared->reportStop(error);
            shared->stopRequested = true;
            shared->wakeUp();
        }
    };
    auto started = shared_->startSystemSound(std::move(lost));
    if (!started) return started.error();
    sound_ = std::move(started.value());
    return std::nullopt;
}

void XcbCaptureStream::stopCapture(StreamCompletion completion) {
    std::thread capture;
    {
        std::scoped_lock lock(threadMutex_);
        capture = std::move(thread_);
        sound_.reset();
    }
    shared_->stopRequested = true;
    shared_->wakeUp();
    // Joined on a thread of its own, so that a stop asked for from a handler running
    // on the capture thread does not wait for itself.
    completeOnPlatformThread([capture = std::move(capture), completion = std::move(completion)]() mutable {
        if (capture.joinable()) capture.join();
        if (completion) completion(std::nullopt);
    });
}

void XcbCaptureStream::updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) {
    auto error = shared_->updateConfiguration(configuration);
    shared_->wakeUp();
    completeOnPlatformThread([completion = std::move(completion), error = std::move(error)] {
        if (completion) completion(error);
    });
}

}  // namespace platform::x11
