#pragma once
// Which parts of a picture are out of date: the bookkeeping behind capturing only what
// changed. Pure arithmetic, no X11, so that it can be tested on its own.

#include <cstdint>
#include <vector>

namespace platform::x11 {

// A rectangle in pixels; empty when width or height is not positive.
struct Rect {
    int x = 0, y = 0;
    int width = 0, height = 0;

    int right() const { return x + width; }
    int bottom() const { return y + height; }
    bool empty() const { return width <= 0 || height <= 0; }
    int64_t area() const { return empty() ? 0 : static_cast<int64_t>(width) * height; }
    bool operator==(const Rect&) const = default;
};

Rect intersection(const Rect& a, const Rect& b);
// The smallest rectangle holding both (an empty one counts as nothing).
Rect boundingBox(const Rect& a, const Rect& b);

// `r` widened to even coordinates, as 4:2:0 chroma needs (each chroma sample covers a
// 2x2 block of pixels), then clipped to a width x height picture: at an odd picture
// edge the last, partial block is taken whole.
Rect roundOutToEven(const Rect& r, int width, int height);

// The pixels of a destination picture (destinationWidth x destinationHeight) that a
// scale of the whole source picture computes from any pixel of `source`, with a margin
// for the scaler's filter taps (box when shrinking, bilinear when growing). Converting
// this rectangle again after `source` changed leaves no seam at its edges.
Rect scaledCover(const Rect& source, int sourceWidth, int sourceHeight, int destinationWidth,
                 int destinationHeight);

// A set of rectangles inside a width x height picture, or the whole picture. The list
// is kept short (neighbours are merged past kMaxRectangles) and turns into the whole
// picture once it covers more than kWholeFraction of it: past that, one grab and one
// conversion of everything cost less than the same work split into pieces, and the
// bookkeeping stays bounded.
class DirtyRegion {
public:
    static constexpr int kMaxRectangles = 16;
    // Whole from this share of the picture's area (numerator / denominator).
    static constexpr int64_t kWholeNumerator = 1, kWholeDenominator = 2;

    DirtyRegion() = default;
    DirtyRegion(int width, int height) : width_(width), height_(height) {}

    // Adds `r`, clipped to the picture.
    void add(const Rect& r);
    void add(const DirtyRegion& other);
    void markWhole() {
        whole_ = true;
        rectangles_.clear();
    }
    void clear() {
        whole_ = false;
        rectangles_.clear();
    }

    bool whole() const { return whole_; }
    bool empty() const { return !whole_ && rectangles_.empty(); }
    // The rectangles (possibly overlapping); one covering the picture when whole.
    std::vector<Rect> rectangles() const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    void mergeClosestPair();
    int64_t coveredUpperBound() const;

    int width_ = 0, height_ = 0;
    bool whole_ = false;
    std::vector<Rect> rectangles_;
};

// What each buffer of a pool lacks. Every frame is written into one buffer that held an
// older frame (or none): that buffer must receive the frame's change plus everything
// that changed since it last got a frame, and every other buffer falls one change
// further behind. Buffers are known by their slot in the pool (0 .. slots-1).
class BufferBacklog {
public:
    BufferBacklog() = default;
    // Every slot starts wholly out of date: it has never held a picture.
    BufferBacklog(int slots, int width, int height);

    int slots() const { return static_cast<int>(backlogs_.size()); }
    // Every slot wholly out of date (after a fallback to a complete frame or a change of
    // the picture's geometry).
    void invalidateAll();
    // Records that a frame with `change` is written into `slot`, and returns what of
    // that buffer must be written: `change` plus the slot's backlog.
    DirtyRegion take(int slot, const DirtyRegion& change);

private:
    std::vector<DirtyRegion> backlogs_;
};

}  // namespace platform::x11
