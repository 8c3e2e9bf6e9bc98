#pragma once
// Which macroblocks of a frame are identical to the frame given to the encoder just
// before it, for libx264's mb_info: a macroblock marked constant is coded as skipped
// without analysis. On a screen where a few glyphs changed, analysing every macroblock
// of the picture would otherwise be most of a frame's cost.

#include <cstdint>
#include <vector>

#include "platform/media.h"

namespace platform::x264 {

class UnchangedMacroblocks {
public:
    UnchangedMacroblocks(int width, int height);

    // Compares `image` with the previous one, keeps a copy of what changed, and returns
    // one flag byte per macroblock (row by row): X264_MBINFO_CONSTANT where all of the
    // macroblock's pixels (luma and chroma) are as before. The first frame, or one of
    // another size, has none constant.
    const std::vector<uint8_t>& compare(const PixelBuffer& image);

private:
    int width_, height_;
    int columns_, rows_;
    bool primed_ = false;
    std::vector<uint8_t> luma_, chroma_;  // the previous frame, tightly packed
    std::vector<uint8_t> flags_;
};

}  // namespace platform::x264
