// Cursor shapes as the host receives them: size at output scale with the 128-pixel
// cap, the hot spot, straight alpha and the packet bytes.

#include <gtest/gtest.h>

#include "zentcap/cursor_image.h"

namespace zentcap {
namespace {

struct Case {
    const char* what;
    double scale, width, height, hotX, hotY;
    int w, h, hx, hy;
};

class CursorScaling : public testing::TestWithParam<Case> {};

TEST_P(CursorScaling, GivesThePixelSizeAndHotSpot) {
    const auto& c = GetParam();
    auto g = cursorGeometry(c.scale, c.width, c.height, c.hotX, c.hotY);
    EXPECT_EQ(g.width, c.w) << c.what;
    EXPECT_EQ(g.height, c.h) << c.what;
    EXPECT_EQ(g.hotSpotX, c.hx) << c.what;
    EXPECT_EQ(g.hotSpotY, c.hy) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CursorScaling,
    testing::Values(Case{"retina 2x", 2880.0 / 1440, 32, 32, 5, 9, 64, 64, 10, 18},
                    Case{"cap wins over scale 4", 5120.0 / 1280, 40, 40, 20, 20, 128, 128, 64, 64},
                    Case{"non-square", 4, 16, 40, 0, 0, 51, 128, 0, 0},
                    Case{"hot spot rounding to w is clamped", 1, 10, 10, 9.6, 9.5, 10, 10, 9, 9},
                    Case{"half rounds away from zero", 0.5, 5, 3, 3, 1, 3, 2, 2, 1},
                    Case{"tiny image is one pixel", 0.01, 10, 10, 5, 5, 1, 1, 0, 0},
                    Case{"negative hot spot clamps to 0", 1, 8, 8, -3, -0.2, 8, 8, 0, 0},
                    Case{"huge image", 1, 1e9, 1e9, 1e12, 1e12, 128, 128, 127, 127},
                    Case{"unscaled", 1, 17, 23, 0.5, 22.4, 17, 23, 1, 22}));

TEST(CursorImage, UndoesPremultipliedAlpha) {
    std::vector<uint8_t> pixels{
        64, 32, 0, 128,     // half transparent: colour doubled (64*255/128 = 127)
        255, 255, 255, 255, // opaque: unchanged
        7, 8, 9, 0,         // transparent: left as drawn
        200, 10, 3, 100,    // over-bright premultiplied colour is capped at 255
        1, 1, 1, 1,
    };
    unpremultiply(pixels.data(), pixels.size() / 4);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{127, 63, 0, 128, 255, 255, 255, 255, 7, 8, 9, 0, 255, 25, 7, 100, 255, 255,
                                            255, 1}));
}

TEST(CursorImage, PacketIsHeaderSizeHotSpotAndPixels) {
    CursorGeometry g;
    g.width = 2;
    g.height = 1;
    g.hotSpotX = 1;
    g.hotSpotY = 0;
    std::vector<uint8_t> pixels{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(cursorPacket(g, pixels), (std::vector<uint8_t>{0, 0, 0, 16, 2, 0, 0, 0, 0, 0, 0, 0, 0,  // header
                                                             0, 2, 0, 1, 0, 1, 0, 0,                  // w h hx hy
                                                             1, 2, 3, 4, 5, 6, 7, 8}));
    CursorGeometry big;
    big.width = 128;
    big.height = 128;
    big.hotSpotX = 127;
    big.hotSpotY = 127;
    auto packet = cursorPacket(big, std::vector<uint8_t>(128 * 128 * 4, 0));
    EXPECT_EQ(packet.size(), 13u + 8 + 65536);
    EXPECT_EQ((std::vector<uint8_t>(packet.begin(), packet.begin() + 5)), (std::vector<uint8_t>{0, 1, 0, 8, 2}));
    EXPECT_EQ((std::vector<uint8_t>(packet.begin() + 13, packet.begin() + 21)),
              (std::vector<uint8_t>{0, 128, 0, 128, 0, 127, 0, 127}));
}

}  // namespace
}  // namespace zentcap
