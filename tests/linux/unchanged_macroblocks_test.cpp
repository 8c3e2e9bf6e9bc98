// The macroblocks the encoder may skip without looking: only those whose every luma
// and chroma byte is as in the frame before. A false "unchanged" would leave a stale
// block in the stream; a needless "changed" only costs time.

#include <gtest/gtest.h>
#include <x264.h>

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

}  // namespace
}  // namespace platform::x264
