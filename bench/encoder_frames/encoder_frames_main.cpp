// CPU per frame of the streamer's libx264 session (platform::x264::Encoder) on
// synthetic 1920x1080 NV12 sequences:
//   typing  - a still desktop where a few glyph-sized cells change every frame;
//   moving  - a bar a sixteenth of the width wide crossing a quarter of the height,
//             8 pixels a frame;
//   video   - a 640x360 window of detailed picture that pans every frame, where the
//             bit rate, not the content, sets the quality.
// Prints the median, mean and 90th percentile of the encoding thread's CPU time per
// frame (CLOCK_THREAD_CPUTIME_ID) and the mean frame size. The pictures carry the change
// hints a capture stream gives, unless "nohints" says otherwise.
//   encoder_frames [frames, default 300] [scene: typing|moving|video|all, default all] [nohints]
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/x264/x264_encoder.h"
#include "platform/media.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void fill(platform::PixelBuffer& image, int x, int y, int w, int h, uint8_t luma, uint8_t cb, uint8_t cr) {
    x = std::clamp(x, 0, kWidth), y = std::clamp(y, 0, kHeight);
    w = std::min(w, kWidth - x), h = std::min(h, kHeight - y);
    if (w <= 0 || h <= 0) return;
    // The change hint a capture stream would give, on whole 2x2 chroma blocks.
    const int left = x / 2 * 2, top = y / 2 * 2;
    image.changed.push_back({left, top, std::min((x + w + 1) / 2 * 2, kWidth) - left,
                             std::min((y + h + 1) / 2 * 2, kHeight) - top});
    for (int r = y; r < y + h; ++r) std::memset(&image.luma[size_t(r) * image.lumaStride + x], luma, size_t(w));
    for (int r = y / 2; r < (y + h + 1) / 2; ++r)
        for (int c = x / 2; c < (x + w + 1) / 2; ++c) {
            image.chroma[size_t(r) * image.chromaStride + 2 * c] = cb;
            image.chroma[size_t(r) * image.chromaStride + 2 * c + 1] = cr;
        }
}

// A desktop: a dark background, a lighter panel with lines of "text".
platform::PixelBuffer desktop() {
    platform::PixelBuffer image;
    image.width = kWidth, image.height = kHeight;
    image.lumaStride = kWidth, image.chromaStride = kWidth;
    image.luma.assign(size_t(kWidth) * kHeight, 40);
    image.chroma.assign(size_t(kWidth) * kHeight / 2, 128);
    fill(image, 100, 80, 1700, 400, 200, 120, 130);
    std::mt19937 random(11);
    for (int line = 0; line < 15; ++line)
        for (int cell = 0; cell < 150; ++cell)
            if (random() % 5) fill(image, 120 + cell * 10 + int(random() % 6), 90 + line * 24, 2, 13, 30, 128, 128);
    return image;
}

struct Figures {
    double median = 0, mean = 0, p90 = 0, bytes = 0;
};

Figures run(const std::string& scene, int frames, bool hints) {
    std::string error;
    auto encoder = platform::x264::Encoder::open(kWidth, kHeight, {30, 2'000'000}, error);
    if (!encoder) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    platform::PixelBuffer image = desktop();
    std::mt19937 random(3);
    std::vector<double> times;
    double bytes = 0;
    int x = 60, y = kHeight / 2;
    for (int frame = 0; frame < frames + 10; ++frame) {
        image.changed.clear();
        if (scene == "typing") {
            const int glyphs = 3 + int(random() % 6);
            if (x + (glyphs + 1) * 10 > kWidth - 60) x = 60, y += 24;
            if (y + 18 > kHeight - 40) y = kHeight / 2, fill(image, 60, y, kWidth - 120, kHeight / 2 - 40, 40, 128, 128);
            for (int g = 0; g < glyphs; ++g) {
                const int cell = x + g * 10;
                fill(image, cell + 1 + int(random() % 6), y + 3, 2, 13, 240, 128, 128);
                fill(image, cell + 1, y + 4 + int(random() % 10), 7, 2, 240, 128, 128);
            }
            x += (glyphs + 1) * 10;
        } else if (scene == "video") {
            image.changed.push_back({640, 600, 640, 360});
            // A texture of smooth waves and noise, panning 3 pixels right and 1 down a frame.
            for (int r = 0; r < 360; ++r) {
                uint8_t* line = &image.luma[size_t(600 + r) * image.lumaStride + 640];
                for (int c = 0; c < 640; ++c) {
                    const int u = c + 3 * frame, v = r + frame;
                    line[c] = uint8_t(128 + 60 * ((u * 7 / 16 + v * 5 / 16) % 32 < 16 ? 1 : -1) * ((u ^ v) % 5) / 5 +
                                      int((uint32_t(u * 2654435761u) ^ uint32_t(v * 40503u)) >> 28));
                }
                if (r % 2 == 0)
                    for (int c = 0; c < 640; ++c)
                        image.chroma[size_t(300 + r / 2) * image.chromaStride + 640 + c] =
                            uint8_t(128 + ((c + 3 * frame) / 8 % 2 ? 20 : -20));
            }
        } else {
            const int bar = kWidth / 16, bx = (frame * 8) % (kWidth + bar) - bar;
            fill(image, 0, kHeight / 2, kWidth, kHeight / 4, 40, 128, 128);
            fill(image, bx, kHeight / 2, bar, kHeight / 4, 190, 60, 150);
        }
        image.changedSince = hints ? image.picture : 0;
        image.picture = uint64_t(frame) + 1;
        const double start = threadSeconds();
        auto packet = encoder->encode(image, int64_t(frame) * 33'333, frame == 0, error);
        const double spent = threadSeconds() - start;
        if (!packet) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        if (frame >= 10) times.push_back(spent * 1000), bytes += double(packet->data.size());
    }
    Figures figures;
    for (double t : times) figures.mean += t / double(times.size());
    std::sort(times.begin(), times.end());
    figures.median = times[times.size() / 2];
    figures.p90 = times[times.size() * 9 / 10];
    figures.bytes = bytes / double(times.size());
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    const std::string which = argc > 2 ? argv[2] : "all";
    const bool hints = !(argc > 3 && std::string(argv[3]) == "nohints");
    std::printf("%-8s %10s %10s %10s %12s\n", "scene", "median ms", "mean ms", "p90 ms", "bytes/frame");
    for (const char* scene : {"typing", "moving", "video"}) {
        if (which != "all" && which != scene) continue;
        const Figures f = run(scene, frames, hints);
        std::printf("%-8s %10.3f %10.3f %10.3f %12.0f\n", scene, f.median, f.mean, f.p90, f.bytes);
    }
    return 0;
}
