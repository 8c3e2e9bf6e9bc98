#include "platform/linux/x264/unchanged_macroblocks.h"

#include <x264.h>

#include <algorithm>
#include <cstring>

namespace platform::x264 {

UnchangedMacroblocks::UnchangedMacroblocks(int width, int height)
    : width_(width), height_(height), columns_((width + 15) / 16), rows_((height + 15) / 16) {
    luma_.resize(static_cast<size_t>(width) * height);
    chroma_.resize(static_cast<size_t>((width + 1) / 2 * 2) * ((height + 1) / 2));
    flags_.assign(static_cast<size_t>(columns_) * rows_, 0);
    reached_.assign(flags_.size(), 0);
}

namespace {

// Whether two runs of at most 16 bytes are equal. Called for every 16-byte row of
// every macroblock, so it avoids a library call per row.
bool equalRun(const uint8_t* a, const uint8_t* b, int bytes) {
    if (bytes == 16) {
        uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 8), std::memcpy(&a1, a + 8, 8);
        std::memcpy(&b0, b, 8), std::memcpy(&b1, b + 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    return std::memcmp(a, b, static_cast<size_t>(bytes)) == 0;
}

// Compares `rows` rows of `bytes` bytes at `x` and copies them when they differ; true
// when they were equal.
bool sameOrCopy(const uint8_t* image, int imageStride, uint8_t* kept, int keptStride, int x, int y, int bytes,
                int rows) {
    bool same = true;
    for (int r = 0; r < rows && same; ++r)
        same = equalRun(image + static_cast<size_t>(y + r) * imageStride + x,
                        kept + static_cast<size_t>(y + r) * keptStride + x, bytes);
    if (same) return true;
    for (int r = 0; r < rows; ++r)
        std::memcpy(kept + static_cast<size_t>(y + r) * keptStride + x,
                    image + static_cast<size_t>(y + r) * imageStride + x, static_cast<size_t>(bytes));
    return false;
}

}  // namespace

bool UnchangedMacroblocks::sameMacroblock(const PixelBuffer& image, int row, int column) {
    const int chromaWidth = (width_ + 1) / 2 * 2, chromaHeight = (height_ + 1) / 2;
    const int y = row * 16, lumaRows = std::min(16, height_ - y);
    const int chromaY = row * 8, chromaRows = std::min(8, chromaHeight - chromaY);
    const int x = column * 16, bytes = std::min(16, width_ - x), chromaBytes = std::min(16, chromaWidth - x);
    // Both planes are compared (and brought up to date) even when the first already
    // differs, so that the copy stays whole.
    const bool lumaSame = sameOrCopy(image.luma.data(), image.lumaStride, luma_.data(), width_, x, y, bytes, lumaRows);
    const bool chromaSame = sameOrCopy(image.chroma.data(), image.chromaStride, chroma_.data(), chromaWidth, x,
                                       chromaY, chromaBytes, chromaRows);
    return lumaSame && chromaSame;
}

const std::vector<uint8_t>& UnchangedMacroblocks::compare(const PixelBuffer& image) {
    const int chromaWidth = (width_ + 1) / 2 * 2, chromaHeight = (height_ + 1) / 2;
    if (image.width != width_ || image.height != height_) {
        primed_ = false;
        lastPicture_ = 0;
        std::fill(flags_.begin(), flags_.end(), 0);
        return flags_;
    }
    const bool hinted = primed_ && image.changedSince != 0 && image.changedSince == lastPicture_;
    lastPicture_ = image.picture;
    if (hinted) {
        // The capture says where this picture may differ from the last one compared:
        // only the macroblocks those rectangles reach are looked at (and they may
        // still turn out the same); everything else is as it was, the copy included.
        std::fill(flags_.begin(), flags_.end(), X264_MBINFO_CONSTANT);
        std::fill(reached_.begin(), reached_.end(), 0);
        for (const PixelBuffer::Rect& r : image.changed) {
            const int left = std::max(r.x, 0), top = std::max(r.y, 0);
            const int right = std::min(r.x + r.width, width_), bottom = std::min(r.y + r.height, height_);
            if (right <= left || bottom <= top) continue;
            for (int row = top / 16; row <= (bottom - 1) / 16; ++row)
                std::fill(reached_.begin() + static_cast<ptrdiff_t>(row) * columns_ + left / 16,
                          reached_.begin() + static_cast<ptrdiff_t>(row) * columns_ + (right - 1) / 16 + 1, 1);
        }
        for (int row = 0; row < rows_; ++row)
            for (int column = 0; column < columns_; ++column) {
                const size_t i = static_cast<size_t>(row) * columns_ + column;
                if (reached_[i] && !sameMacroblock(image, row, column)) flags_[i] = 0;
            }
        return flags_;
    }
    for (int row = 0; row < rows_; ++row) {
        const int y = row * 16, lumaRows = std::min(16, height_ - y);
        const int chromaY = row * 8, chromaRows = std::min(8, chromaHeight - chromaY);
        uint8_t* flags = flags_.data() + static_cast<size_t>(row) * columns_;
        // Most rows of a screen are as they were: one comparison of whole rows settles
        // a row of macroblocks at once.
        bool rowSame = true;
        for (int r = 0; r < lumaRows && rowSame; ++r)
            rowSame = std::memcmp(image.luma.data() + static_cast<size_t>(y + r) * image.lumaStride,
                                  luma_.data() + static_cast<size_t>(y + r) * width_, static_cast<size_t>(width_)) == 0;
        for (int r = 0; r < chromaRows && rowSame; ++r)
            rowSame = std::memcmp(image.chroma.data() + static_cast<size_t>(chromaY + r) * image.chromaStride,
                                  chroma_.data() + static_cast<size_t>(chromaY + r) * chromaWidth,
                                  static_cast<size_t>(chromaWidth)) == 0;
        if (rowSame) {
            std::fill(flags, flags + columns_, primed_ ? X264_MBINFO_CONSTANT : 0);
            continue;
        }
        for (int column = 0; column < columns_; ++column)
            flags[column] = sameMacroblock(image, row, column) && primed_ ? X264_MBINFO_CONSTANT : 0;
    }
    primed_ = true;
    return flags_;
}

}  // namespace platform::x264
