// The pointer as the host gets it. With drawMouse 0 the frames carry no pointer
// and a cursor packet comes when the cursor's shape changes, never for a move;
// with drawMouse 1 there are no cursor packets and the pointer is in the frames.
//
// The suite's server runs without the SECURITY extension: otherwise XFixes
// refuses the image of a cursor set by a client that has gone (xsetroot).
#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/zentcap/e2e/screen_suite.h"
#include "tools/zentcap_receiver/packet_parser.h"

namespace e2e {
namespace {

const Rgb kGrey{128, 128, 128};
constexpr int kPointerX = 400, kPointerY = 300;

class CursorOverlay : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24", {"-extension", "SECURITY"}); }

    void SetUp() override {
        ScreenSuite::SetUp();
        if (HasFatalFailure()) return;
        screen->paintRoot(kGrey, {});
        ASSERT_EQ(runX({"xsetroot", "-cursor_name", "left_ptr"}), 0);
        screen->warpPointer(kPointerX, kPointerY);
    }

    // Pixels clearly not grey around the pointer's hot spot (the arrow reaches
    // right and down from it).
    static int pointerPixels(const zentrecv::RgbImage& image) {
        int count = 0;
        for (int y = kPointerY - 4; y < kPointerY + 24; ++y) {
            for (int x = kPointerX - 4; x < kPointerX + 16; ++x) {
                if (colourDistance(meanColour(image, x, y, 0), kGrey) > 60) ++count;
            }
        }
        return count;
    }

    static zentrecv::RgbImage lastPicture(LiveStream& stream) {
        auto decoded = decodeVideo(stream.packets());
        EXPECT_EQ(decoded.errors, 0);
        return decoded.last ? zentrecv::toRgb(*decoded.last) : zentrecv::RgbImage{};
    }
};

TEST_F(CursorOverlay, ShapeChangesAreSentAndMovesAreNot) {
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
    ASSERT_TRUE(stream);
    auto initial = stream->waitForCursor(milliseconds(10000));
    ASSERT_TRUE(initial) << "no cursor packet at start; stderr: " << stream->process().stderrText();
    auto arrow = zentrecv::parseCursorPayload(initial->packet.payload).image;
    ASSERT_TRUE(arrow);

    // Another shape (a still one: animated cursors such as the themed "watch"
    // change image every few milliseconds): one new packet with a different image.
    size_t mark = stream->count();
    ASSERT_EQ(runX({"xsetroot", "-cursor_name", "xterm"}), 0);
    auto changed = stream->waitForCursor(milliseconds(3000), mark);
    ASSERT_TRUE(changed) << "no cursor packet after the shape changed";
    auto text = zentrecv::parseCursorPayload(changed->packet.payload).image;
    ASSERT_TRUE(text);
    EXPECT_NE(*text, *arrow);
    // Fully transparent pixels carry no colour.
    for (size_t i = 0; i < text->rgba.size(); i += 4) {
        if (text->rgba[i + 3] == 0) {
            EXPECT_EQ(text->rgba[i] | text->rgba[i + 1] | text->rgba[i + 2], 0) << "pixel " << i / 4;
        }
    }

    // Only moves (and the same shape set again): no more cursor packets.
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(300), milliseconds(5000)));
    mark = stream->count();
    for (int step = 0; step < 10; ++step) screen->warpPointer(100 + step * 60, 100 + step * 40);
    ASSERT_EQ(runX({"xsetroot", "-cursor_name", "xterm"}), 0);
    // The overlay polls every 40 ms; a second is many polls.
    auto spurious = stream->waitForCursor(milliseconds(1000), mark);
    EXPECT_FALSE(spurious) << "cursor packet after a move only";

    // Back to the arrow: the same image as at start comes again.
    mark = stream->count();
    ASSERT_EQ(runX({"xsetroot", "-cursor_name", "left_ptr"}), 0);
    auto back = stream->waitForCursor(milliseconds(3000), mark);
    ASSERT_TRUE(back);
    auto backImage = zentrecv::parseCursorPayload(back->packet.payload).image;
    ASSERT_TRUE(backImage);
    EXPECT_TRUE(*backImage == *arrow) << "the arrow came back different";
    EXPECT_FALSE(stream->streamError());
}

TEST_F(CursorOverlay, CursorImageFollowsTheOutputScale) {
    auto cursorAt = [&](int width, int height) -> std::optional<zentrecv::CursorImage> {
        auto stream = LiveStream::start(settings(width, height, 30, 2000000, false));
        if (!stream) return std::nullopt;
        auto packet = stream->waitForCursor(milliseconds(10000));
        if (!packet) return std::nullopt;
        return zentrecv::parseCursorPayload(packet->packet.payload).image;
    };
    auto full = cursorAt(1280, 720);
    auto half = cursorAt(640, 360);
    ASSERT_TRUE(full && half) << "no cursor packet";
    // Half the pixels of the screen: the image and its hot spot at half size,
    // rounded half away from zero.
    auto halved = [](int value) { return (value + 1) / 2; };
    EXPECT_EQ(half->width, halved(full->width));
    EXPECT_EQ(half->height, halved(full->height));
    EXPECT_EQ(half->hotX, std::min(halved(full->hotX), half->width - 1));
    EXPECT_EQ(half->hotY, std::min(halved(full->hotY), half->height - 1));
}

TEST_F(CursorOverlay, PointerIsLeftOutOfTheFramesWhenSentApart) {
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->waitForKey(milliseconds(10000))) << stream->process().stderrText();
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(500), milliseconds(8000)));
    auto image = lastPicture(*stream);
    ASSERT_EQ(image.width, 1280);
    EXPECT_EQ(pointerPixels(image), 0) << "the pointer is drawn into the frames with drawMouse 0";
}

TEST_F(CursorOverlay, DrawnPointerIsInTheFramesAndNotSentApart) {
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, true));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->process().waitStderr("cursor=1\n", milliseconds(10000))) << stream->process().stderrText();
    ASSERT_TRUE(stream->waitForKey(milliseconds(10000)));
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(500), milliseconds(8000)));
    auto image = lastPicture(*stream);
    ASSERT_EQ(image.width, 1280);
    // An arrow of about 10 x 16 pixels, black with a white border.
    EXPECT_GE(pointerPixels(image), 40) << "no pointer drawn at " << kPointerX << "," << kPointerY;

    // Moving the pointer shows it at the new place, and still no cursor packet.
    size_t mark = stream->count();
    screen->warpPointer(kPointerX + 300, kPointerY);
    ASSERT_TRUE(stream->waitForVideo(milliseconds(3000), mark)) << "no frame after the pointer moved";
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(500), milliseconds(8000)));
    image = lastPicture(*stream);
    EXPECT_EQ(pointerPixels(image), 0) << "the pointer stayed at its old place";
    for (const auto& arrival : stream->packets()) {
        EXPECT_NE(arrival.packet.kind, zentrecv::PacketKind::Cursor) << "cursor packet with drawMouse 1";
    }
    EXPECT_FALSE(stream->streamError());
}

}  // namespace
}  // namespace e2e
