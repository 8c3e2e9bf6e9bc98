#include "platform/linux/capture/dirty_region.h"

#include <algorithm>
#include <limits>

namespace platform::x11 {

Rect intersection(const Rect& a, const Rect& b) {
    const int left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    const int right = std::min(a.right(), b.right()), bottom = std::min(a.bottom(), b.bottom());
    if (left >= right || top >= bottom) return {};
    return {left, top, right - left, bottom - top};
}

Rect boundingBox(const Rect& a, const Rect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const int left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    return {left, top, std::max(a.right(), b.right()) - left, std::max(a.bottom(), b.bottom()) - top};
}

Rect roundOutToEven(const Rect& r, int width, int height) {
    if (r.empty()) return {};
    const int left = r.x & ~1, top = r.y & ~1;
    const int right = (r.right() + 1) & ~1, bottom = (r.bottom() + 1) & ~1;
    return intersection({left, top, right - left, bottom - top}, {0, 0, width, height});
}

namespace {

// Destination coordinate of source coordinate `s` along one axis, rounded down / up.
int64_t scaledFloor(int64_t s, int source, int destination) {
    const int64_t product = s * destination;
    return product >= 0 ? product / source : -((-product + source - 1) / source);
}
int64_t scaledCeil(int64_t s, int source, int destination) { return -scaledFloor(-s, source, destination); }

}  // namespace

Rect scaledCover(const Rect& source, int sourceWidth, int sourceHeight, int destinationWidth,
                 int destinationHeight) {
    if (source.empty()) return {};
    if (sourceWidth == destinationWidth && sourceHeight == destinationHeight)
        return intersection(source, {0, 0, destinationWidth, destinationHeight});
    // A destination pixel reads the source pixels under it plus up to one neighbour on
    // each side (the bilinear taps when growing, libyuv's fixed-point box edges when
    // shrinking): widen the source by one pixel, map it, and widen the result by two
    // destination pixels for the rounding of the scaler's fixed-point steps.
    constexpr int kSourceTaps = 1, kDestinationMargin = 2;
    const int64_t left = scaledFloor(source.x - kSourceTaps, sourceWidth, destinationWidth) - kDestinationMargin;
    const int64_t right = scaledCeil(source.right() + kSourceTaps, sourceWidth, destinationWidth) + kDestinationMargin;
    const int64_t top = scaledFloor(source.y - kSourceTaps, sourceHeight, destinationHeight) - kDestinationMargin;
    const int64_t bottom =
        scaledCeil(source.bottom() + kSourceTaps, sourceHeight, destinationHeight) + kDestinationMargin;
    const Rect bounds{0, 0, destinationWidth, destinationHeight};
    const int64_t l = std::clamp<int64_t>(left, 0, destinationWidth), r = std::clamp<int64_t>(right, 0, destinationWidth);
    const int64_t t = std::clamp<int64_t>(top, 0, destinationHeight),
                  b = std::clamp<int64_t>(bottom, 0, destinationHeight);
    return intersection({static_cast<int>(l), static_cast<int>(t), static_cast<int>(r - l), static_cast<int>(b - t)},
                        bounds);
}

void DirtyRegion::add(const Rect& r) {
    if (whole_) return;
    const Rect clipped = intersection(r, {0, 0, width_, height_});
    if (clipped.empty()) return;
    for (const Rect& existing : rectangles_)
        if (intersection(existing, clipped) == clipped) return;  // already covered
    rectangles_.push_back(clipped);
    if (static_cast<int>(rectangles_.size()) > kMaxRectangles) mergeClosestPair();
    if (coveredUpperBound() * kWholeDenominator > static_cast<int64_t>(width_) * height_ * kWholeNumerator)
        markWhole();
}

void DirtyRegion::add(const DirtyRegion& other) {
    if (other.whole_) {
        markWhole();
        return;
    }
    for (const Rect& r : other.rectangles_) add(r);
}

std::vector<Rect> DirtyRegion::rectangles() const {
    if (whole_) return {Rect{0, 0, width_, height_}};
    return rectangles_;
}

// Replaces the two rectangles whose bounding box adds the least area by that box.
void DirtyRegion::mergeClosestPair() {
    size_t bestA = 0, bestB = 1;
    int64_t bestGrowth = std::numeric_limits<int64_t>::max();
    for (size_t a = 0; a < rectangles_.size(); ++a)
        for (size_t b = a + 1; b < rectangles_.size(); ++b) {
            const int64_t growth = boundingBox(rectangles_[a], rectangles_[b]).area() - rectangles_[a].area() -
                                   rectangles_[b].area();
            if (growth < bestGrowth) bestGrowth = growth, bestA = a, bestB = b;
        }
    const Rect merged = boundingBox(rectangles_[bestA], rectangles_[bestB]);
    rectangles_.erase(rectangles_.begin() + static_cast<std::ptrdiff_t>(bestB));
    rectangles_[bestA] = merged;
    // The merged box may now cover others.
    std::erase_if(rectangles_, [&](const Rect& r) { return !(r == merged) && intersection(r, merged) == r; });
}

int64_t DirtyRegion::coveredUpperBound() const {
    int64_t sum = 0;
    for (const Rect& r : rectangles_) sum += r.area();
    return sum;
}

BufferBacklog::BufferBacklog(int slots, int width, int height) : backlogs_(slots, DirtyRegion(width, height)) {
    invalidateAll();
}

void BufferBacklog::invalidateAll() {
    for (DirtyRegion& backlog : backlogs_) backlog.markWhole();
}

DirtyRegion BufferBacklog::take(int slot, const DirtyRegion& change) {
    DirtyRegion needed = change;
    if (slot >= 0 && slot < slots()) {
        needed.add(backlogs_[slot]);
        backlogs_[slot].clear();
    } else {
        needed.markWhole();
    }
    for (int other = 0; other < slots(); ++other)
        if (other != slot) backlogs_[other].add(change);
    return needed;
}

}  // namespace platform::x11
