// The cursor overlay: when the frames carry no pointer, the cursor's shape goes out
// as kind-2 packets, scaled to the output, whenever it changes.

#include <chrono>

#include "platform/cursor.h"
#include "zentcap/capture.h"
#include "zentcap/cursor_image.h"

namespace zentcap {

namespace {

using namespace std::chrono_literals;

constexpr auto kCursorInterval = 40ms;
constexpr auto kCursorLeeway = 10ms;

}  // namespace

// On the main queue; starts the overlay once.
void Capture::watchCursor() {
    auto bounds = platform::displayBounds(displayID_);
    if (cursorTimer_ || !(bounds.width > 0)) return;
    // Output pixels per display point, fixed for the life of the timer.
    double scale = static_cast<double>(width_) / bounds.width;
    std::weak_ptr<Capture> weak = weak_from_this();
    cursorTimer_ = platform::dispatch::Timer::create(platform::dispatch::Queue::main(), 0ns, kCursorInterval,
                                                     kCursorLeeway, [weak, scale] {
                                                         if (auto self = weak.lock()) self->cursorTick(scale);
                                                     });
}

// On the main queue. Every platform refusal skips this tick only; write failures are
// left to the video path, which meets the same broken output and reports it.
void Capture::cursorTick(double scale) {
    if (isClosed()) {
        cursorTimer_->cancel();
        return;
    }
    auto cursor = platform::currentSystemCursor();
    if (!cursor) return;
    double width = cursor->width(), height = cursor->height();
    if (!(width > 0) || !(height > 0)) return;

    auto geometry = cursorGeometry(scale, width, height, cursor->hotSpotX(), cursor->hotSpotY());
    std::vector<uint8_t> pixels(static_cast<size_t>(geometry.width) * geometry.height * 4, 0);
    if (!cursor->draw(geometry.width, geometry.height, pixels.data())) return;
    unpremultiply(pixels.data(), pixels.size() / 4);

    auto packet = std::make_shared<const std::vector<uint8_t>>(cursorPacket(geometry, pixels));
    if (lastCursor_ == *packet) return;
    // One cursor write at a time, off the main queue: a reader that stalls the pipe
    // must not keep the signal handlers, which share the main queue, from running.
    // A tick that finds a write still under way tries again on the next one.
    if (cursorWriteBusy_.exchange(true)) return;
    // Kept before the write: a packet whose write failed is not sent again until the
    // cursor changes.
    lastCursor_ = *packet;
    auto self = shared_from_this();
    cursorWriter_.async([self, packet] {
        try {
            std::scoped_lock lock(self->outputLock_);
            self->writePacket(*packet);
        } catch (const CaptureError&) {
        }
        self->cursorWriteBusy_ = false;
    });
}

}  // namespace zentcap
