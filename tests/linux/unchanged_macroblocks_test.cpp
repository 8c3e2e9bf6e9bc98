// The macroblocks the encoder may skip without looking: only those whose every luma
// and chroma byte is as in the frame before. A false "unchanged" would leave a stale
// block in the stream; a needless "changed" only costs time.

#include <gtest/gtest.h>
#include <x264.h>

#include <algorithm>
#include <random>

#include "platform/linux/capture/pixel_buffer_pool.h"
#include "platform/linux/x264/unchanged_macroblocks.h"

namespace platform::x264 {
namespace {

// 50x37: four columns and three rows of macroblocks, the last ones partial.
constexpr int kWidth = 50, kHeight = 37, kColumns = 4, kRows = 3;

int changedCount(const std::vector<uint8_t>& flags) {
    int count = 0;
    for (uint8_t flag : flags) count += (flag & X264_MBINFO_CONSTANT) ? 0 : 1;
    return count;
}

TEST(UnchangedMacroblocksTest, MarksExactlyTheMacroblocksWhosePixelsDiffer) {
    x11::PixelBufferPool pool(kWidth, kHeight, 1);
    auto frame = pool.acquire();
    UnchangedMacroblocks unchanged(kWidth, kHeight);
    EXPECT_EQ(changedCount(unchanged.compare(*frame)), kColumns * kRows) << "nothing is known before the first frame";
    EXPECT_EQ(changedCount(unchanged.compare(*frame)), 0) << "the same frame again";

    struct Change {
        const char* what;
        int plane;  // 0 luma, 1 chroma
        int x, y;   // in the plane's bytes
        int column, row;
    } changes[] = {
        {"luma, first macroblock", 0, 0, 0, 0, 0},
        {"luma, partial last column and row", 0, kWidth - 1, kHeight - 1, 3, 2},
        {"luma, last row of a macroblock", 0, 20, 15, 1, 0},
        {"chroma only (Cr of the last pair)", 1, 2 * ((kWidth + 1) / 2) - 1, 10, 3, 1},
        {"chroma, first row of the second macroblock row", 1, 17, 8, 1, 1},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        auto& plane = change.plane == 0 ? frame->luma : frame->chroma;
        const int stride = change.plane == 0 ? frame->lumaStride : frame->chromaStride;
        plane[static_cast<size_t>(change.y) * stride + change.x] ^= 0x5a;
        const auto& flags = unchanged.compare(*frame);
        EXPECT_EQ(changedCount(flags), 1);
        EXPECT_FALSE(flags[static_cast<size_t>(change.row) * kColumns + change.column] & X264_MBINFO_CONSTANT);
        // The change is now the previous frame: nothing more differs.
        EXPECT_EQ(changedCount(unchanged.compare(*frame)), 0);
    }

    x11::PixelBufferPool other(kWidth + 2, kHeight, 1);
    EXPECT_EQ(changedCount(unchanged.compare(*other.acquire())), kColumns * kRows)
        << "a frame of another size is all new";
}

// With a change hint, only the macroblocks it reaches are compared, and the flags must
// be those of a comparison of everything. A hint that refers to another picture than
// the one compared last is no help: everything is compared again.
TEST(UnchangedMacroblocksTest, AChangeHintGivesTheFlagsOfAFullComparison) {
    constexpr int kBigWidth = 150, kBigHeight = 93;  // 10 x 6 macroblocks, the last partial
    x11::PixelBufferPool pool(kBigWidth, kBigHeight, 1);
    auto frame = pool.acquire();
    UnchangedMacroblocks hinted(kBigWidth, kBigHeight), full(kBigWidth, kBigHeight);
    std::mt19937 random(9);
    auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    uint64_t number = 1;
    frame->picture = number;
    hinted.compare(*frame);
    full.compare(*frame);
    int skippedComparisons = 0;
    for (int step = 0; step < 200; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        // A few rectangles of changed pixels (even-aligned, as the capture gives them),
        // each in the hint, sometimes with more around it or a rectangle that changed
        // nothing.
        frame->changed.clear();
        for (int n = uniform(0, 3); n > 0; --n) {
            PixelBuffer::Rect r{uniform(0, kBigWidth / 2 - 1) * 2, uniform(0, kBigHeight / 2 - 1) * 2,
                                uniform(1, 12) * 2, uniform(1, 12) * 2};
            r.width = std::min(r.width, kBigWidth - r.x), r.height = std::min(r.height, kBigHeight - r.y);
            for (int y = r.y; y < r.y + r.height; ++y)
                for (int x = r.x; x < r.x + r.width; ++x)
                    if (uniform(0, 3) == 0) frame->luma[static_cast<size_t>(y) * frame->lumaStride + x] ^= 0x21;
            if (uniform(0, 5) == 0)
                frame->chroma[static_cast<size_t>(r.y / 2) * frame->chromaStride + r.x + 1] ^= 0x10;
            if (uniform(0, 2) == 0) r.x = std::max(0, r.x - 18), r.width += 18;
            frame->changed.push_back(r);
        }
        if (uniform(0, 4) == 0) frame->changed.push_back({uniform(0, 100), uniform(0, 60), 4, 4});
        frame->changedSince = number;
        frame->picture = ++number;
        // Now and then a picture the encoder did not see: the next hint does not hold.
        const bool gap = uniform(0, 9) == 0;
        if (gap) ++frame->changedSince;
        PixelBuffer unhinted = *frame;
        unhinted.changedSince = 0;
        const auto want = full.compare(unhinted);
        EXPECT_EQ(hinted.compare(*frame), want);
        if (!gap) ++skippedComparisons;
    }
    EXPECT_GT(skippedComparisons, 100);

    // A change outside a hint that refers to an earlier picture is still found.
    frame->luma[5] ^= 0x40;
    frame->changed = {{140, 80, 10, 13}};
    frame->changedSince = number - 1;
    frame->picture = ++number;
    EXPECT_FALSE(hinted.compare(*frame)[0] & X264_MBINFO_CONSTANT);
}

}  // namespace
}  // namespace platform::x264
