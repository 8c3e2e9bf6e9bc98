#pragma once
// The PipeWire side of a Wayland screen capture: a pw_stream on the connection and
// node the portal gave, on a PipeWire thread loop of its own. It asks only for buffers
// the CPU can read (MemFd or MemPtr, no DMA-BUF modifiers) in 32-bit BGRx/BGRA/RGBx/
// RGBA, maps them, and hands each picture with its metadata (time, crop, transform,
// damage, cursor) to its receiver while the buffer is held, gives it back, then
// lets the receiver do the rest of its work.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/linux/capture/dirty_region.h"

namespace platform::wayland {

// One picture as PipeWire delivered it; the pixels are valid only during the call.
struct ScreenFrame {
    const uint8_t* pixels = nullptr;
    int width = 0, height = 0;  // of the whole buffer
    int stride = 0;
    bool rgbOrder = false;      // RGBx/RGBA in memory; else BGRx/BGRA
    // What changed since the previous picture, in buffer coordinates; none: all of it.
    std::optional<std::vector<x11::Rect>> damage;
    std::optional<x11::Rect> crop;  // the part of the buffer that is the picture
    uint32_t transform = 0;         // spa_meta_videotransform value: 0 none
    uint64_t pts = 0;               // CLOCK_MONOTONIC nanoseconds; 0 when not given
};

// The pointer as the Cursor metadata tells it.
struct CursorUpdate {
    bool visible = false;
    int x = 0, y = 0;          // position in the stream's picture
    bool hasBitmap = false;    // a new image follows (else the last one stands)
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    std::vector<uint32_t> argb;  // premultiplied, A in the high byte, rows from the top
};

// What the stream tells its receiver. Every call comes on the PipeWire thread, which
// they must not block for long and must not destroy the stream from.
struct PipeWireReceiver {
    std::function<void(const ScreenFrame&)> frame;
    std::function<void(const CursorUpdate&)> cursor;
    // The stream failed or ended; called once.
    std::function<void(const Error&)> ended;
    // After each picture (once its buffer is given back), and when the wake-up asked
    // for with wakeAt() is due.
    std::function<void()> wake;
};

class PipeWireStream {
public:
    // Connects to the PipeWire remote `fd` (taken) and the screen's `node`, asking for
    // frames no faster than `maxFps` and for the Cursor metadata when `cursorMetadata`.
    static Result<std::unique_ptr<PipeWireStream>> connect(int fd, uint32_t node, int maxFps, bool cursorMetadata,
                                                         PipeWireReceiver receiver);
    // Disconnects and ends the PipeWire thread; no receiver call runs after it returns.
    // Must not be called on the PipeWire thread.
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Calls the receiver's `wake` on the PipeWire thread at host time `nanos`
    // (CLOCK_MONOTONIC), replacing any earlier request. Only from the PipeWire thread.
    void wakeAt(uint64_t nanos);

    struct State;

private:
    explicit PipeWireStream(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform::wayland
