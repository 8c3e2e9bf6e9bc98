#include "platform/linux/capture/cursor_scaler.h"

#include <algorithm>
#include <cmath>

namespace platform::x11 {

namespace {

struct Tap {
    int index;
    float weight;
};

// For each of `to` output samples, the source samples it draws from and their weights
// (summing to 1).
std::vector<std::vector<Tap>> resamplingTaps(int from, int to) {
    std::vector<std::vector<Tap>> taps(to);
    const double scale = static_cast<double>(from) / to;
    for (int i = 0; i < to; ++i) {
        if (scale > 1.0) {
            // Shrinking: average the source span the output sample covers.
            const double begin = i * scale, end = (i + 1) * scale;
            for (int s = static_cast<int>(begin); s < std::min<double>(std::ceil(end), from); ++s) {
                const double overlap = std::min<double>(s + 1, end) - std::max<double>(s, begin);
                if (overlap > 0) taps[i].push_back({s, static_cast<float>(overlap / scale)});
            }
        } else {
            // Growing (or same size): interpolate between the two nearest source centres.
            const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, from - 1.0);
            const int left = static_cast<int>(centre);
            const int right = std::min(left + 1, from - 1);
            const float fraction = static_cast<float>(centre - left);
            taps[i].push_back({left, 1.0f - fraction});
            if (right != left && fraction > 0) taps[i].push_back({right, fraction});
        }
    }
    return taps;
}

}  // namespace

void scaleCursorToRGBA(const uint32_t* argb, int sourceWidth, int sourceHeight, int w, int h, uint8_t* rgba) {
    const auto columns = resamplingTaps(sourceWidth, w);
    const auto rows = resamplingTaps(sourceHeight, h);
    // Horizontal pass into floats (R, G, B, A), then the vertical pass into bytes.
    std::vector<float> horizontal(static_cast<size_t>(sourceHeight) * w * 4, 0.0f);
    for (int y = 0; y < sourceHeight; ++y) {
        for (int x = 0; x < w; ++x) {
            float* out = &horizontal[(static_cast<size_t>(y) * w + x) * 4];
            for (const Tap& tap : columns[x]) {
                const uint32_t pixel = argb[static_cast<size_t>(y) * sourceWidth + tap.index];
                out[0] += tap.weight * ((pixel >> 16) & 0xff);
                out[1] += tap.weight * ((pixel >> 8) & 0xff);
                out[2] += tap.weight * (pixel & 0xff);
                out[3] += tap.weight * (pixel >> 24);
            }
        }
    }
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            float sum[4] = {0, 0, 0, 0};
            for (const Tap& tap : rows[y])
                for (int c = 0; c < 4; ++c) sum[c] += tap.weight * horizontal[(static_cast<size_t>(tap.index) * w + x) * 4 + c];
            uint8_t* out = rgba + (static_cast<size_t>(y) * w + x) * 4;
            const float alpha = std::clamp(std::round(sum[3]), 0.0f, 255.0f);
            out[3] = static_cast<uint8_t>(alpha);
            // Premultiplied colour never exceeds its alpha; rounding must not make it.
            for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(std::clamp(std::round(sum[c]), 0.0f, alpha));
        }
    }
}

}  // namespace platform::x11
