// What the host sees is what is on the screen: a known colour pattern painted
// on the X server comes out of the decoded stream in the right colours and at
// the right places, at the screen's own size and scaled down.
#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/zentcap/e2e/screen_suite.h"

namespace e2e {
namespace {

void expectGrid(const zentrecv::RgbImage& image, int tolerance) {
    for (int i = 0; i < 8; ++i) {
        int column = i % 4, row = i / 4;
        int x = (2 * column + 1) * image.width / 8, y = (2 * row + 1) * image.height / 4;
        Rgb seen = meanColour(image, x, y, 6);
        EXPECT_LE(colourDistance(seen, kPalette[i]), tolerance)
            << "block " << i << " at " << x << "," << y << ": painted " << describe(kPalette[i]) << ", decoded "
            << describe(seen);
    }
}

class NativeSizeContent : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(NativeSizeContent, ColoursAndPositionsMatchTheScreen) {
    auto blocks = colourGrid(screen->width(), screen->height());
    // Small white squares inside the dark block place the picture to the pixel:
    // a shifted, flipped or stretched picture misses their edges.
    const Block marks[] = {{120, 420, 24, 24, {255, 255, 255}}, {240, 600, 16, 40, {255, 255, 255}}};
    for (const auto& mark : marks) blocks.push_back(mark);
    screen->paintRoot({0, 0, 0}, blocks);

    auto stream = LiveStream::start(settings(1280, 720, 30, 8000000, false));
    ASSERT_TRUE(stream);
    auto image = stillPicture(*stream);
    ASSERT_EQ(image.width, 1280);
    ASSERT_EQ(image.height, 720);
    expectGrid(image, 12);
    for (const auto& mark : marks) {
        Rgb inside = meanColour(image, mark.x + mark.width / 2, mark.y + mark.height / 2, 2);
        EXPECT_GE(std::min({inside.r, inside.g, inside.b}), 235) << "mark at " << mark.x << "," << mark.y;
        // Two pixels in from each edge is white, three pixels out is the block.
        struct Probe {
            int x, y;
            bool white;
        };
        const Probe probes[] = {{mark.x + 2, mark.y + mark.height / 2, true},
                                {mark.x - 3, mark.y + mark.height / 2, false},
                                {mark.x + mark.width - 3, mark.y + mark.height / 2, true},
                                {mark.x + mark.width + 2, mark.y + mark.height / 2, false},
                                {mark.x + mark.width / 2, mark.y + 2, true},
                                {mark.x + mark.width / 2, mark.y - 3, false},
                                {mark.x + mark.width / 2, mark.y + mark.height - 3, true},
                                {mark.x + mark.width / 2, mark.y + mark.height + 2, false}};
        for (const auto& probe : probes) {
            Rgb seen = meanColour(image, probe.x, probe.y, 0);
            if (probe.white) {
                EXPECT_GE(seen.g, 200) << "expected white at " << probe.x << "," << probe.y << ", saw " << describe(seen);
            } else {
                EXPECT_LE(seen.g, 60) << "expected dark at " << probe.x << "," << probe.y << ", saw " << describe(seen);
            }
        }
    }
}

class ScaledContent : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1920x1080x24"); }
};

TEST_F(ScaledContent, ColoursAndLayoutSurviveScaling) {
    screen->paintRoot({0, 0, 0}, colourGrid(screen->width(), screen->height()));
    struct Size {
        int width, height;
    };
    for (Size size : {Size{1280, 720}, Size{640, 360}}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        auto stream = LiveStream::start(settings(size.width, size.height, 30, 6000000, false));
        ASSERT_TRUE(stream);
        auto image = stillPicture(*stream);
        ASSERT_EQ(image.width, size.width);
        ASSERT_EQ(image.height, size.height);
        expectGrid(image, 12);
        // Block borders land where the scale puts them (within the filter's reach).
        int border = size.width / 4;
        EXPECT_LE(colourDistance(meanColour(image, border - 4, size.height / 4, 1), kPalette[0]), 20);
        EXPECT_LE(colourDistance(meanColour(image, border + 3, size.height / 4, 1), kPalette[1]), 20);
    }
}

}  // namespace
}  // namespace e2e
