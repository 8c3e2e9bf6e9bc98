// The pointer: drawn into frames when asked, and read as an image for the overlay.

#include <xcb/xcb.h>

#include "platform/cursor.h"
#include "tests/linux/x_fixture.h"

namespace linuxtest {
namespace {

using CursorTest = XServerTest;

bool isRed(const uint8_t* p) { return p[0] == 255 && p[1] == 0 && p[2] == 0 && p[3] == 255; }
bool isBlue(const uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 255 && p[3] == 255; }

TEST_F(CursorTest, CurrentCursorDrawsInRgbaAndScalesPremultiplied) {
    setColouredCursor();
    auto image = platform::currentSystemCursor();
    ASSERT_TRUE(image);
    const int w = static_cast<int>(image->width()), h = static_cast<int>(image->height());
    ASSERT_GT(w, 0);
    ASSERT_GT(h, 0);
    EXPECT_GE(image->hotSpotX(), 0);
    EXPECT_LT(image->hotSpotX(), w);
    EXPECT_LT(image->hotSpotY(), h);

    std::vector<uint8_t> native(static_cast<size_t>(w) * h * 4);
    ASSERT_TRUE(image->draw(w, h, native.data()));
    int red = 0, blue = 0, other = 0;
    for (size_t i = 0; i < native.size(); i += 4) {
        if (isRed(&native[i])) ++red;
        else if (isBlue(&native[i])) ++blue;
        else if (native[i + 3] != 0) ++other;
    }
    EXPECT_GT(red, 0) << "the foreground must come out red (R first)";
    EXPECT_GT(blue, 0) << "the outline must come out blue";
    EXPECT_EQ(other, 0) << "drawing at the native size must not blend";

    // Twice the size: smooth edges, colour never above alpha (premultiplied).
    std::vector<uint8_t> doubled(static_cast<size_t>(4 * w) * h * 4);
    ASSERT_TRUE(image->draw(2 * w, 2 * h, doubled.data()));
    int partial = 0;
    for (size_t i = 0; i < doubled.size(); i += 4) {
        for (int c = 0; c < 3; ++c) ASSERT_LE(doubled[i + c], doubled[i + 3]);
        partial += doubled[i + 3] > 0 && doubled[i + 3] < 255;
    }
    EXPECT_GT(partial, 0) << "scaling up must interpolate";
}

TEST_F(CursorTest, TheLastGoodImageOutlivesTheClientThatSetTheCursor) {
    setColouredCursor();
    auto first = platform::currentSystemCursor();
    ASSERT_TRUE(first);
    TearDown();  // also closes the X server: nothing more can be read
    auto later = platform::currentSystemCursor();
    ASSERT_TRUE(later) << "the last image must stand in when the server gives none";
    EXPECT_EQ(later->width(), first->width());
    EXPECT_EQ(later->hotSpotX(), first->hotSpotX());
}

TEST_F(CursorTest, PointerIsDrawnIntoFramesOnlyWhenAskedAndItsMoveIsAChange) {
    setColouredCursor();
    fill(0, 0, 1920, 1080, {255, 255, 255});
    warpPointer(400, 300);

    for (bool showsCursor : {false, true}) {
        SCOPED_TRACE(showsCursor ? "with pointer" : "without pointer");
        SampleCollector collector;
        auto stream = startStream(configuration(1920, 1080, 10, showsCursor), collector);
        ASSERT_TRUE(collector.waitFor([](auto& s) { return !s.empty() && isComplete(*s.front()); }, 5s));
        auto frame = collector.samples().front()->image;
        // Around the hot spot the crosshair is red or blue, far from white luma.
        int coloured = 0;
        for (int y = 292; y < 308; ++y)
            for (int x = 392; x < 408; ++x) coloured += frame->luma[y * frame->lumaStride + x] < 200;
        if (showsCursor)
            EXPECT_GT(coloured, 5);
        else
            EXPECT_EQ(coloured, 0);

        if (showsCursor) {
            // Wait for the screen to settle (idle frames), then move the pointer only.
            ASSERT_TRUE(collector.waitFor([](auto& s) { return s.size() > 1 && isIdle(*s[1]); }, 5s));
            const size_t before = collector.count();
            warpPointer(1000, 700);
            std::shared_ptr<platform::PixelBuffer> moved;
            ASSERT_TRUE(collector.waitFor(
                [&](auto& s) {
                    for (size_t i = before; i < s.size(); ++i)
                        if (isComplete(*s[i])) return (moved = s[i]->image) != nullptr;
                    return false;
                },
                5s))
                << "a pointer move must give a complete frame";
            int atNewPlace = 0;
            for (int y = 692; y < 708; ++y)
                for (int x = 992; x < 1008; ++x) atNewPlace += moved->luma[y * moved->lumaStride + x] < 200;
            EXPECT_GT(atNewPlace, 5);
        }
        stopStream(*stream);
    }
}

}  // namespace
}  // namespace linuxtest
