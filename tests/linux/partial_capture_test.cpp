// Capture that reads and converts only what changed must give exactly the frames a
// complete grab would: after random sequences of small and large changes (in child
// windows too, at the screen's odd edges, with the pointer drawn in), every buffer the
// stream delivers, whichever pool buffer it is and however far behind that buffer was,
// equals a conversion of the whole screen, and differs from the picture delivered
// before it only where its change hint says.

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstring>
#include <random>
#include <set>

#include "platform/linux/capture/frame_converter.h"
#include "platform/linux/capture/pixel_buffer_pool.h"
#include "platform/linux/capture/shm_grabber.h"
#include "platform/linux/capture/xfixes_cursor.h"
#include "platform/media.h"
#include "tests/linux/x_fixture.h"

namespace linuxtest {
namespace {

struct PartialCase {
    const char* name;
    const char* screen;  // Xvfb geometry
    int screenWidth, screenHeight;
    int outputWidth, outputHeight;
    bool showsCursor;
};

class PartialCaptureTest : public XServerTest, public ::testing::WithParamInterface<PartialCase> {
protected:
    void SetUp() override {
        XServerTest::SetUp();
        if (IsSkipped()) return;
        startServer(GetParam().screen);
    }

    // What a complete grab of the still screen, with the pointer drawn in when shown,
    // converts to at the output size.
    std::shared_ptr<platform::PixelBuffer> reference() {
        const PartialCase& c = GetParam();
        using Image = std::unique_ptr<xcb_get_image_reply_t, decltype(&free)>;
        Image image(xcb_get_image_reply(client(),
                                        xcb_get_image(client(), XCB_IMAGE_FORMAT_Z_PIXMAP, root(), 0, 0,
                                                      static_cast<uint16_t>(c.screenWidth),
                                                      static_cast<uint16_t>(c.screenHeight), ~0u),
                                        nullptr),
                    &free);
        EXPECT_TRUE(image);
        if (!image) return nullptr;
        uint8_t* pixels = xcb_get_image_data(image.get());
        if (c.showsCursor) {
            // XFIXES answers a client only after it told its version.
            free(xcb_xfixes_query_version_reply(client(), xcb_xfixes_query_version(client(), 6, 0), nullptr));
            auto shape = platform::x11::fetchCursorShape(client());
            EXPECT_TRUE(shape) << "the pointer's image must be readable for the test to mean anything";
            std::unique_ptr<xcb_query_pointer_reply_t, decltype(&free)> pointer(
                xcb_query_pointer_reply(client(), xcb_query_pointer(client(), root()), nullptr), &free);
            if (shape && pointer)
                platform::x11::compositeCursor(*shape, pointer->root_x, pointer->root_y, pixels, c.screenWidth,
                                               c.screenHeight, c.screenWidth * 4);
        }
        auto buffer = referencePool_.acquire();
        platform::x11::FrameConverter().convert(pixels, c.screenWidth, c.screenHeight, c.screenWidth * 4, *buffer);
        return buffer;
    }

    // Waits until the stream has captured everything drawn so far: two idle frames
    // after the drawing was done (the first may have looked for damage before it).
    // Returns the last complete frame in between, if any.
    std::shared_ptr<platform::PixelBuffer> frameAfterChanges(SampleCollector& collector) {
        const int64_t drawn = static_cast<int64_t>(platform::hostTimeNanos());
        const bool settled = collector.waitFor(
            [&](auto& samples) {
                int idle = 0;
                for (auto& s : samples)
                    if (isIdle(*s) && s->presentationTime.convertScale(1'000'000'000).value > drawn) ++idle;
                return idle >= 2;
            },
            10s);
        EXPECT_TRUE(settled) << "the stream did not settle after a change";
        std::shared_ptr<platform::PixelBuffer> last;
        for (auto& s : collector.samples())
            if (isComplete(*s)) {
                last = s->image;
                checkChangeHint(*last);
            }
        collector.clear();
        return last;
    }

    // Each picture's change hint must hold every difference from the picture delivered
    // before it: an encoder skips what lies outside without looking.
    void checkChangeHint(const platform::PixelBuffer& picture) {
        EXPECT_GT(picture.picture, previous_.picture) << "pictures are numbered in order";
        if (picture.changedSince != 0) {
            EXPECT_EQ(picture.changedSince, previous_.picture) << "a hint refers to the picture delivered before";
            if (picture.changedSince == previous_.picture) {
                ++hinted_;
                EXPECT_TRUE(differsOnlyInside(picture, previous_, picture.changed));
            }
        }
        previous_ = picture;
    }

    static bool inside(const std::vector<platform::PixelBuffer::Rect>& rectangles, int x, int y) {
        for (const auto& r : rectangles)
            if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) return true;
        return false;
    }

    static ::testing::AssertionResult differsOnlyInside(const platform::PixelBuffer& got,
                                                        const platform::PixelBuffer& before,
                                                        const std::vector<platform::PixelBuffer::Rect>& rectangles) {
        if (got.width != before.width || got.height != before.height)
            return ::testing::AssertionFailure() << "a hint across a change of size";
        for (int y = 0; y < got.height; ++y)
            for (int x = 0; x < got.width; ++x)
                if (got.luma[static_cast<size_t>(y) * got.lumaStride + x] !=
                        before.luma[static_cast<size_t>(y) * before.lumaStride + x] &&
                    !inside(rectangles, x, y))
                    return ::testing::AssertionFailure() << "luma (" << x << ", " << y << ") changed outside the hint";
        for (int y = 0; y < (got.height + 1) / 2; ++y)
            for (int x = 0; x < (got.width + 1) / 2 * 2; ++x)
                if (got.chroma[static_cast<size_t>(y) * got.chromaStride + x] !=
                        before.chroma[static_cast<size_t>(y) * before.chromaStride + x] &&
                    !inside(rectangles, x / 2 * 2, y * 2))
                    return ::testing::AssertionFailure() << "chroma (" << x << ", " << y << ") changed outside the hint";
        return ::testing::AssertionSuccess();
    }

    platform::PixelBuffer previous_;  // a copy of the last picture delivered
    int hinted_ = 0;                  // pictures whose hint was checked

    platform::x11::PixelBufferPool referencePool_{GetParam().outputWidth, GetParam().outputHeight, 1};
};

// Byte-for-byte equality of two NV12 pictures, reporting the first differing row.
::testing::AssertionResult samePicture(const platform::PixelBuffer& got, const platform::PixelBuffer& want) {
    if (got.width != want.width || got.height != want.height) return ::testing::AssertionFailure() << "size differs";
    for (int y = 0; y < want.height; ++y)
        if (std::memcmp(&got.luma[static_cast<size_t>(y) * got.lumaStride],
                        &want.luma[static_cast<size_t>(y) * want.lumaStride], want.width) != 0)
            return ::testing::AssertionFailure() << "luma row " << y << " differs";
    for (int y = 0; y < (want.height + 1) / 2; ++y)
        if (std::memcmp(&got.chroma[static_cast<size_t>(y) * got.chromaStride],
                        &want.chroma[static_cast<size_t>(y) * want.chromaStride], (want.width + 1) / 2 * 2) != 0)
            return ::testing::AssertionFailure() << "chroma row " << y << " differs";
    return ::testing::AssertionSuccess();
}

TEST_P(PartialCaptureTest, EveryPooledBufferEqualsACompleteConversion) {
    const PartialCase& c = GetParam();
    constexpr int kDepth = 4, kSteps = 40;
    std::mt19937 random(1234);
    auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    fill(0, 0, c.screenWidth, c.screenHeight, {40, 90, 160});
    // Applications draw into windows, not the root: a partial read must include them.
    const xcb_window_t window = xcb_generate_id(client());
    const uint32_t background = 0x00c08040;
    xcb_create_window(client(), XCB_COPY_FROM_PARENT, window, root(), 101, 77, 333, 211, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &background);
    xcb_map_window(client(), window);
    if (c.showsCursor) {
        setColouredCursor();
        warpPointer(c.screenWidth / 2 + 1, c.screenHeight / 2 + 1);
    }
    sync();

    SampleCollector collector;
    auto stream = startStream(configuration(c.outputWidth, c.outputHeight, 30, c.showsCursor, kDepth), collector);
    // Buffers held as a program and an encoder would, released in random order, so that
    // each pool buffer comes back further behind by a different number of frames. Each
    // step changes the screen with one request (the server carries it out at once), so
    // it is captured in one frame and holding all buffers but one cannot stall it.
    std::vector<std::shared_ptr<platform::PixelBuffer>> held;
    std::set<const platform::PixelBuffer*> checked;
    auto draw = [&](xcb_drawable_t target, const std::vector<xcb_rectangle_t>& rectangles) {
        const uint32_t pixel = static_cast<uint32_t>(uniform(0, 0xffffff));
        xcb_change_gc(client(), gc_, XCB_GC_FOREGROUND, &pixel);
        xcb_poly_fill_rectangle(client(), target, gc_, static_cast<uint32_t>(rectangles.size()), rectangles.data());
    };
    auto rect = [](int x, int y, int width, int height) {
        return xcb_rectangle_t{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(width),
                               static_cast<uint16_t>(height)};
    };
    for (int step = 0; step < kSteps; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int kind = uniform(0, c.showsCursor ? 10 : 8);
        if (kind <= 3) {  // a few glyph-sized changes, odd places included
            std::vector<xcb_rectangle_t> glyphs;
            for (int n = uniform(1, 6); n > 0; --n)
                glyphs.push_back(rect(uniform(-3, c.screenWidth - 2), uniform(-3, c.screenHeight - 2), uniform(1, 13),
                                      uniform(1, 17)));
            draw(root(), glyphs);
        } else if (kind == 4) {  // along an edge of the screen
            const bool right = uniform(0, 1);
            draw(root(), {rect(right ? c.screenWidth - uniform(1, 3) : uniform(0, c.screenWidth - 9),
                               right ? uniform(0, c.screenHeight - 9) : c.screenHeight - uniform(1, 3), 9, 9)});
        } else if (kind == 5) {  // most of the screen
            draw(root(), {rect(uniform(0, 9), uniform(0, 9), c.screenWidth * 3 / 4, c.screenHeight * 3 / 4)});
        } else if (kind == 6) {  // the window moves
            const uint32_t place[] = {static_cast<uint32_t>(uniform(-50, c.screenWidth - 100)),
                                      static_cast<uint32_t>(uniform(-50, c.screenHeight - 100))};
            xcb_configure_window(client(), window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, place);
        } else if (kind <= 8) {  // drawing inside the window
            draw(window, {rect(uniform(0, 300), uniform(0, 200), uniform(1, 30), uniform(1, 9))});
        } else {  // the pointer moves, to the screen's edges too
            warpPointer(uniform(-5, c.screenWidth + 4), uniform(-5, c.screenHeight + 4));
        }
        sync();

        auto frame = frameAfterChanges(collector);
        if (!frame) continue;  // the change left the picture as it was
        auto want = reference();
        ASSERT_TRUE(want);
        ASSERT_TRUE(samePicture(*frame, *want));
        checked.insert(frame.get());
        if (uniform(0, 2) != 0) held.push_back(std::move(frame));
        while (static_cast<int>(held.size()) > uniform(0, kDepth - 1))
            held.erase(held.begin() + uniform(0, static_cast<int>(held.size()) - 1));
    }
    stopStream(*stream);
    EXPECT_EQ(static_cast<int>(checked.size()), kDepth) << "every buffer of the pool must have been checked";
    EXPECT_GE(hinted_, kSteps / 4) << "most pictures must carry a change hint, checked against the one before";
}

using ShmGrabberTest = XServerTest;

// Reading only the changed parts leaves the segment as a whole read would: the parts
// land at the segment's stride, windows over the root included, and nothing else moves.
TEST_F(ShmGrabberTest, PartsReadIntoTheSegmentEqualAWholeRead) {
    auto connection = platform::x11::connect();
    ASSERT_TRUE(connection);
    auto partial = platform::x11::ShmGrabber::create(connection.value(), 1920, 1080);
    auto whole = platform::x11::ShmGrabber::create(connection.value(), 1920, 1080);
    ASSERT_TRUE(partial && whole);
    ASSERT_TRUE(partial.value()->readsParts()) << "Xvfb shares pixmaps: without them no part would be read";
    ASSERT_FALSE(partial.value()->grab(0, 0));

    const xcb_window_t window = xcb_generate_id(client());
    const uint32_t background = 0x00208040;
    xcb_create_window(client(), XCB_COPY_FROM_PARENT, window, root(), 501, 333, 77, 55, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &background);
    xcb_map_window(client(), window);
    fill(3, 5, 7, 9, {200, 10, 10});
    fill(1913, 1071, 7, 9, {10, 200, 10});  // the bottom-right corner
    platform::x11::DirtyRegion changed(1920, 1080);
    for (const platform::x11::Rect& r : {platform::x11::Rect{501, 333, 77, 55}, platform::x11::Rect{3, 5, 7, 9},
                                         platform::x11::Rect{1913, 1071, 7, 9}})
        changed.add(r);
    ASSERT_FALSE(partial.value()->grab(0, 0, changed));
    ASSERT_FALSE(whole.value()->grab(0, 0));
    for (int y = 0; y < 1080; ++y)
        ASSERT_EQ(std::memcmp(partial.value()->pixels() + static_cast<size_t>(y) * 1920 * 4,
                              whole.value()->pixels() + static_cast<size_t>(y) * 1920 * 4, 1920 * 4),
                  0)
            << "row " << y;
}

void PrintTo(const PartialCase& c, std::ostream* out) { *out << c.name; }

const PartialCase kCases[] = {
    {"OddScreenNative", "1279x719x24", 1279, 719, 1279, 719, false},
    {"NativeWithPointer", "1280x720x24", 1280, 720, 1280, 720, true},
    {"ScaledWithPointer", "1279x719x24", 1279, 719, 854, 480, true},
    {"Enlarged", "800x600x24", 800, 600, 1023, 767, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, PartialCaptureTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace linuxtest
