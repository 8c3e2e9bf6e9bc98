// From PipeWire pictures to pixel buffers on Wayland: byte order, crop, rotation,
// damage, frame interval and a renegotiated size, compared with the X11 path's
// conversion of the same screen.
#include <gtest/gtest.h>
#include <spa/buffer/meta.h>

#include <cstring>

#include "platform/linux/capture/frame_converter.h"
#include "platform/linux/capture/wayland/frame_pipeline.h"

namespace platform::wayland {
namespace {

constexpr uint64_t kInterval = 33'000'000;
constexpr uint32_t kRed = 0xffff0000, kGreen = 0xff00ff00, kBlue = 0xff0000ff;  // as ARGB words

// A screen buffer in BGRx (or RGBx) memory order, filled by `colourAt`.
struct Buffer {
    int width, height;
    std::vector<uint8_t> bytes;
    Buffer(int w, int h, bool rgbOrder, const std::function<uint32_t(int, int)>& colourAt)
        : width(w), height(h), bytes(static_cast<size_t>(w) * h * 4) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t c = colourAt(x, y);
                uint8_t* p = &bytes[(static_cast<size_t>(y) * w + x) * 4];
                const uint8_t r = c >> 16, g = c >> 8, b = c;
                p[0] = rgbOrder ? r : b, p[1] = g, p[2] = rgbOrder ? b : r, p[3] = 0xff;
            }
    }
    ScreenFrame frame(bool rgbOrder = false) const {
        ScreenFrame f;
        f.pixels = bytes.data(), f.width = width, f.height = height, f.stride = width * 4, f.rgbOrder = rgbOrder;
        return f;
    }
};

// The X11 path's conversion of a BGRX screen, at the same size.
PixelBuffer converted(const Buffer& bgrx) {
    PixelBuffer out;
    out.width = bgrx.width, out.height = bgrx.height;
    out.lumaStride = bgrx.width, out.chromaStride = bgrx.width;
    out.luma.resize(static_cast<size_t>(bgrx.width) * bgrx.height);
    out.chroma.resize(static_cast<size_t>(bgrx.width) * bgrx.height / 2);
    x11::FrameConverter().convert(bgrx.bytes.data(), bgrx.width, bgrx.height, bgrx.width * 4, out);
    return out;
}

FramePipeline pipeline(int width, int height) {
    FramePipeline p;
    p.configure({width, height, 3, kInterval});
    return p;
}

TEST(WaylandFrames, EveryByteOrderCropAndTurnGivesTheUprightScreen) {
    const auto halves = [](int x, int, int w) { return x < w / 2 ? kRed : kBlue; };
    struct Case {
        const char* name;
        Buffer input;
        ScreenFrame frame;
        Buffer expected;
    };
    const Buffer bgrx(32, 16, false, [&](int x, int y) { return halves(x, y, 32); });
    const Buffer rgbx(32, 16, true, [&](int x, int y) { return halves(x, y, 32); });
    // The screen inside a green margin: the crop says where.
    const Buffer framed(48, 32, false, [&](int x, int y) {
        return x >= 8 && x < 40 && y >= 8 && y < 24 ? halves(x - 8, y, 32) : kGreen;
    });
    ScreenFrame cropped = framed.frame();
    cropped.crop = x11::Rect{8, 8, 32, 16};
    // Turned 90 degrees counter-clockwise to show upright: the right half comes on top.
    ScreenFrame turned = bgrx.frame();
    turned.transform = SPA_META_TRANSFORMATION_90;
    const Buffer upright(16, 32, false, [](int, int y) { return y < 16 ? kBlue : kRed; });

    for (const auto& [name, input, frame, expected] : std::vector<Case>{
             {"BGRx", bgrx, bgrx.frame(), bgrx},
             {"RGBx", rgbx, rgbx.frame(true), bgrx},
             {"cropped", framed, cropped, bgrx},
             {"turned", bgrx, turned, upright},
         }) {
        ScreenFrame f = frame;
        f.pixels = input.bytes.data();
        FramePipeline p = pipeline(expected.width, expected.height);
        p.take(f, 1'000'000'000);
        auto produced = p.produce(1'000'000'000);
        ASSERT_TRUE(produced.image) << name;
        const PixelBuffer want = converted(expected);
        EXPECT_EQ(produced.image->luma, want.luma) << name;
        EXPECT_EQ(produced.image->chroma, want.chroma) << name;
        EXPECT_EQ(produced.image->changedSince, 0u) << name << ": a first picture is complete";
    }
}

TEST(WaylandFrames, OnlyTheDamageIsTakenAndTheIntervalHolds) {
    FramePipeline p = pipeline(64, 48);
    const Buffer before(64, 48, false, [](int, int) { return kGreen; });
    p.take(before.frame(), 1'000'000'000);
    auto first = p.produce(1'000'000'000);
    ASSERT_TRUE(first.image);
    const uint64_t firstPicture = first.image->picture;
    EXPECT_FALSE(p.produce(1'000'000'000).image) << "nothing new: nothing delivered";

    // The whole buffer changed, but the producer says only a 8x8 square did: the
    // rest of the picture stays as it was, and the hint names the square.
    const Buffer after(64, 48, false, [](int, int) { return kRed; });
    ScreenFrame damaged = after.frame();
    damaged.damage = std::vector<x11::Rect>{{8, 8, 8, 8}};
    damaged.pts = 1'010'000'000;
    p.take(damaged, 1'010'000'000);
    auto early = p.produce(1'010'000'000);
    EXPECT_FALSE(early.image) << "within the frame interval";
    EXPECT_EQ(early.retryAt, 1'000'000'000 + kInterval);
    auto second = p.produce(early.retryAt);
    ASSERT_TRUE(second.image);
    EXPECT_EQ(second.time, 1'010'000'000u) << "the picture's own time";
    EXPECT_EQ(second.image->changedSince, firstPicture);
    ASSERT_EQ(second.image->changed.size(), 1u);
    EXPECT_EQ(second.image->changed[0].x, 8);
    EXPECT_EQ(second.image->changed[0].width, 8);
    const Buffer expected(64, 48, false, [](int x, int y) { return x >= 8 && x < 16 && y >= 8 && y < 16 ? kRed : kGreen; });
    EXPECT_EQ(second.image->luma, converted(expected).luma);
}

TEST(WaylandFrames, ARenegotiatedSizeKeepsTheOutputSize) {
    FramePipeline p = pipeline(64, 48);
    p.take(Buffer(64, 48, false, [](int, int) { return kGreen; }).frame(), 1'000'000'000);
    ASSERT_TRUE(p.produce(1'000'000'000).image);
    const Buffer smaller(32, 24, false, [](int, int) { return kBlue; });
    ScreenFrame frame = smaller.frame();
    frame.damage = std::vector<x11::Rect>{{0, 0, 2, 2}};  // not trusted across a new size
    p.take(frame, 2'000'000'000);
    auto produced = p.produce(2'000'000'000);
    ASSERT_TRUE(produced.image);
    EXPECT_EQ(produced.image->width, 64);
    EXPECT_EQ(produced.image->height, 48);
    EXPECT_EQ(produced.image->changedSince, 0u) << "complete after a new size";
    const Buffer blue(64, 48, false, [](int, int) { return kBlue; });
    EXPECT_EQ(produced.image->luma, converted(blue).luma);
}

}  // namespace
}  // namespace platform::wayland
