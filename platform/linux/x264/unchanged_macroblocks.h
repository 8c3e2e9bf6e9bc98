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
    // another size, has none constant. When `image` says where it differs from the
    // picture compared just before it (PixelBuffer::changedSince), only the macroblocks
    // inside those rectangles are compared; the hint must hold every change.
    const std::vector<uint8_t>& compare(const PixelBuffer& image);

private:
    // Compares one macroblock with the copy and brings the copy up to date; true when
    // it was the same.
    bool sameMacroblock(const PixelBuffer& image, int row, int column);

    int width_, height_;
    int columns_, rows_;
    bool primed_ = false;
    uint64_t lastPicture_ = 0;  // the number of the picture compared last (0: none)
    std::vector<uint8_t> luma_, chroma_;  // the previous frame, tightly packed
    std::vector<uint8_t> flags_;
    std::vector<uint8_t> reached_;  // per macroblock: inside the hinted change
};

}  // namespace platform::x264
