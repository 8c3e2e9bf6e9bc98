// The bookkeeping of what each pooled buffer lacks: rectangles kept whole where they
// must be, chroma blocks rounded out, and scaled rectangles that reach every output
// pixel a change can touch.

#include <gtest/gtest.h>
#include <libyuv/scale_argb.h>

#include <cstring>
#include <random>

#include "platform/linux/capture/dirty_region.h"

namespace platform::x11 {
namespace {

// Whether every pixel of `inner` lies in one of `region`'s rectangles.
bool covers(const DirtyRegion& region, const Rect& inner) {
    for (int y = inner.y; y < inner.bottom(); ++y)
        for (int x = inner.x; x < inner.right(); ++x) {
            bool inside = false;
            for (const Rect& r : region.rectangles()) inside = inside || intersection(r, {x, y, 1, 1}) == Rect{x, y, 1, 1};
            if (!inside) return false;
        }
    return true;
}

TEST(RoundOutToEvenTest, CoversWholeChromaBlocksAndStaysInsideThePicture) {
    struct Case {
        Rect in;
        int width, height;
        Rect out;
    } cases[] = {
        {{3, 5, 1, 1}, 100, 100, {2, 4, 2, 2}},        // one odd pixel: its whole 2x2 block
        {{4, 6, 2, 2}, 100, 100, {4, 6, 2, 2}},        // already aligned
        {{97, 97, 5, 5}, 99, 99, {96, 96, 3, 3}},      // past an odd edge: the partial block
        {{-3, -3, 5, 5}, 99, 99, {0, 0, 2, 2}},        // before the origin
        {{10, 10, 0, 4}, 99, 99, {}},                  // empty stays empty
    };
    for (const Case& c : cases) EXPECT_EQ(roundOutToEven(c.in, c.width, c.height), c.out) << c.in.x << "," << c.in.y;
}

TEST(DirtyRegionTest, KeepsEveryAddedPixelWhileBoundingTheListAndTurnsWholeWhenLarge) {
    std::mt19937 random(7);
    DirtyRegion region(1920, 1080);
    std::vector<Rect> added;
    for (int i = 0; i < 60 && !region.whole(); ++i) {
        const Rect r{static_cast<int>(random() % 1900), static_cast<int>(random() % 1060), 1 + static_cast<int>(random() % 20),
                     1 + static_cast<int>(random() % 20)};
        region.add(r);
        added.push_back(r);
        EXPECT_LE(region.rectangles().size(), static_cast<size_t>(DirtyRegion::kMaxRectangles));
    }
    for (const Rect& r : added) EXPECT_TRUE(covers(region, intersection(r, {0, 0, 1920, 1080})));

    DirtyRegion large(100, 100);
    large.add({0, 0, 100, 40});
    EXPECT_FALSE(large.whole());
    large.add({0, 50, 100, 20});  // 60% of the picture: cheaper as one complete grab
    EXPECT_TRUE(large.whole());

    DirtyRegion clipped(100, 100);
    clipped.add({90, 90, 50, 50});
    clipped.add({-10, 200, 5, 5});
    ASSERT_EQ(clipped.rectangles().size(), 1u);
    EXPECT_EQ(clipped.rectangles()[0], (Rect{90, 90, 10, 10}));
}

TEST(BufferBacklogTest, EachBufferGetsEverythingThatChangedSinceItLastHeldAFrame) {
    BufferBacklog backlog(3, 100, 100);
    DirtyRegion a(100, 100), b(100, 100), c(100, 100);
    a.add({0, 0, 10, 10});
    b.add({50, 50, 4, 4});
    c.add({20, 70, 6, 2});

    // Never used: whole, whatever the change.
    EXPECT_TRUE(backlog.take(0, a).whole());
    EXPECT_TRUE(backlog.take(1, b).whole());
    // Slot 0 missed b only; then slot 0 again: only c.
    DirtyRegion forZero = backlog.take(0, c);
    EXPECT_FALSE(forZero.whole());
    EXPECT_TRUE(covers(forZero, {50, 50, 4, 4}) && covers(forZero, {20, 70, 6, 2}));
    EXPECT_FALSE(covers(forZero, {0, 0, 10, 10}));
    DirtyRegion again = backlog.take(0, a);
    EXPECT_TRUE(covers(again, {0, 0, 10, 10}));
    EXPECT_FALSE(covers(again, {50, 50, 4, 4}));
    // Slot 1 missed c and a.
    DirtyRegion forOne = backlog.take(1, DirtyRegion(100, 100));
    EXPECT_TRUE(covers(forOne, {20, 70, 6, 2}) && covers(forOne, {0, 0, 10, 10}));
    EXPECT_FALSE(covers(forOne, {50, 50, 4, 4}));

    // A complete frame leaves the others wholly behind; so does invalidateAll().
    DirtyRegion whole(100, 100);
    whole.markWhole();
    backlog.take(2, whole);
    EXPECT_TRUE(backlog.take(0, a).whole());
    backlog.invalidateAll();
    EXPECT_TRUE(backlog.take(2, a).whole());
}

// A change anywhere in the source alters the whole scale only inside scaledCover():
// a rectangle smaller than that would leave stale pixels (seams) at its edges.
TEST(ScaledCoverTest, HoldsEveryOutputPixelAChangedSourceRectangleReaches) {
    struct Size {
        int width, height;
    } outputs[] = {{1280, 720}, {1366, 768}, {977, 551}, {2560, 1440}, {1921, 1079}};
    constexpr int kWidth = 1920, kHeight = 1080;
    std::mt19937 random(11);
    std::vector<uint8_t> source(kWidth * kHeight * 4);
    for (auto& byte : source) byte = static_cast<uint8_t>(random());
    for (const Size& out : outputs) {
        SCOPED_TRACE(std::to_string(out.width) + "x" + std::to_string(out.height));
        std::vector<uint8_t> before(static_cast<size_t>(out.width) * out.height * 4), after(before.size());
        libyuv::ARGBScale(source.data(), kWidth * 4, kWidth, kHeight, before.data(), out.width * 4, out.width,
                          out.height, libyuv::kFilterBox);
        for (int trial = 0; trial < 6; ++trial) {
            const Rect changed{static_cast<int>(random() % kWidth), static_cast<int>(random() % kHeight),
                               1 + static_cast<int>(random() % 7), 1 + static_cast<int>(random() % 7)};
            std::vector<uint8_t> modified = source;
            const Rect inside = intersection(changed, {0, 0, kWidth, kHeight});
            for (int y = inside.y; y < inside.bottom(); ++y)
                for (int x = inside.x; x < inside.right(); ++x)
                    std::memset(&modified[(static_cast<size_t>(y) * kWidth + x) * 4], (x + y) & 1 ? 0xff : 0x00, 3);
            libyuv::ARGBScale(modified.data(), kWidth * 4, kWidth, kHeight, after.data(), out.width * 4, out.width,
                              out.height, libyuv::kFilterBox);
            const Rect cover = scaledCover(changed, kWidth, kHeight, out.width, out.height);
            int outside = 0;
            for (int y = 0; y < out.height; ++y)
                for (int x = 0; x < out.width; ++x) {
                    const size_t at = (static_cast<size_t>(y) * out.width + x) * 4;
                    if (std::memcmp(&before[at], &after[at], 4) != 0 && intersection(cover, {x, y, 1, 1}).empty())
                        ++outside;
                }
            EXPECT_EQ(outside, 0) << "change at " << changed.x << "," << changed.y;
        }
    }
}

}  // namespace
}  // namespace platform::x11
