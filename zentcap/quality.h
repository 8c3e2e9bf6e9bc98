#pragma once
// The frame rate and bit rate the stream runs at.

#include <cstdint>

namespace zentcap {

struct Quality {
    int64_t fps = 0;       // 1 to 120
    int64_t bitrate = 0;   // bits per second, 100000 to 150000000
};

inline constexpr int64_t kMinFps = 1, kMaxFps = 120;
inline constexpr int64_t kMinBitrate = 100000, kMaxBitrate = 150000000;

// Both the command line and the quality command accept exactly these ranges.
inline bool qualityInRange(int64_t fps, int64_t bitrate) {
    return fps >= kMinFps && fps <= kMaxFps && bitrate >= kMinBitrate && bitrate <= kMaxBitrate;
}

}  // namespace zentcap
