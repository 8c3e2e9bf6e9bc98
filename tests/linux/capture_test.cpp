// Frames captured from a real X server: colours converted to video-range BT.601 at
// native and scaled sizes, idle frames on a still screen, capture that follows damage,
// the frame interval, the pixel-buffer pool, and the stream's lifecycle.

#include <cmath>
#include <thread>

#include "tests/support/child.h"
#include "platform/media.h"
#include "tests/linux/x_fixture.h"

namespace linuxtest {
namespace {

struct Band {
    const char* name;
    Rgb colour;
};
// Six vertical bands across the screen: primaries, white, black and a mid grey catch a
// swapped chroma order, a wrong matrix or range, and a stride error (which would shear
// the bands).
constexpr Band kBands[] = {{"red", {255, 0, 0}},       {"green", {0, 255, 0}},   {"blue", {0, 0, 255}},
                           {"white", {255, 255, 255}}, {"black", {0, 0, 0}},     {"grey", {128, 128, 128}}};

struct OutputSize {
    int width, height;
};

class CaptureColoursTest : public XServerTest, public ::testing::WithParamInterface<OutputSize> {};

TEST_P(CaptureColoursTest, BandsComeOutAsVideoRange601) {
    const int bandWidth = 1920 / 6;
    for (int i = 0; i < 6; ++i) fill(i * bandWidth, 0, bandWidth, 1080, kBands[i].colour);

    const OutputSize size = GetParam();
    SampleCollector collector;
    auto stream = startStream(configuration(size.width, size.height, 30), collector);
    ASSERT_TRUE(collector.waitFor([](auto& s) { return !s.empty() && isComplete(*s.front()); }, 5s))
        << "the first frame must carry an image";
    auto frame = collector.samples().front()->image;
    stopStream(*stream);

    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->width, size.width);
    ASSERT_EQ(frame->height, size.height);
    ASSERT_EQ(frame->pixelFormat, platform::kPixelFormat420v);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(kBands[i].name);
        const Yuv expected = expectedVideoRange601(kBands[i].colour);
        // Sample the band's centre on several rows, top to bottom.
        const int x = static_cast<int>((i + 0.5) * size.width / 6);
        for (int y : {4, size.height / 2, size.height - 5}) {
            const int luma = frame->luma[static_cast<size_t>(y) * frame->lumaStride + x];
            const uint8_t* chroma = &frame->chroma[static_cast<size_t>(y / 2) * frame->chromaStride + (x / 2) * 2];
            EXPECT_NEAR(luma, expected.y, 2.5) << "row " << y;
            EXPECT_NEAR(chroma[0], expected.cb, 2.5) << "Cb, row " << y;
            EXPECT_NEAR(chroma[1], expected.cr, 2.5) << "Cr, row " << y;
        }
    }
}

void PrintTo(const OutputSize& size, std::ostream* out) { *out << size.width << "x" << size.height; }

INSTANTIATE_TEST_SUITE_P(Sizes, CaptureColoursTest,
                         ::testing::Values(OutputSize{1920, 1080}, OutputSize{1280, 720}, OutputSize{2560, 1440}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

using FrameStatusTest = XServerTest;

TEST_F(FrameStatusTest, StillScreenGivesIdleFramesAndAChangeIsCapturedAtOnce) {
    SampleCollector collector;
    // One frame a second: a change captured at the next fixed tick would arrive up to
    // a second late; following damage, it comes as soon as it happens.
    auto stream = startStream(configuration(960, 540, 1), collector);
    ASSERT_TRUE(collector.waitFor([](auto& s) { return !s.empty(); }, 5s));
    EXPECT_TRUE(isComplete(*collector.samples().front()));
    ASSERT_TRUE(collector.waitFor([](auto& s) { return s.size() >= 3; }, 10s));
    for (size_t i = 1; i < 3; ++i) EXPECT_TRUE(isIdle(*collector.samples()[i])) << "frame " << i;

    const size_t before = collector.count();
    const uint64_t paintedAt = platform::hostTimeNanos();
    fill(100, 100, 300, 200, {200, 30, 30});
    ASSERT_TRUE(collector.waitFor(
        [&](auto& s) {
            for (size_t i = before; i < s.size(); ++i)
                if (isComplete(*s[i])) return true;
            return false;
        },
        10s));
    std::shared_ptr<const platform::VideoSample> changed;
    for (auto& sample : collector.samples())
        if (isComplete(*sample)) changed = sample;
    stopStream(*stream);
    const double delayMs = (changed->presentationTime.convertScale(1'000'000'000).value -
                            static_cast<int64_t>(paintedAt)) / 1e6;
    EXPECT_LT(delayMs, 600 * testsupport::timeScale()) << "the change waited for a fixed tick";
    // The painted colour is in the frame (half size: the rectangle's centre at 125,100).
    const Yuv expected = expectedVideoRange601({200, 30, 30});
    EXPECT_NEAR(changed->image->luma[100 * changed->image->lumaStride + 125], expected.y, 3);
}

TEST_F(FrameStatusTest, FramesComeNoFasterThanTheIntervalWhichChangesLive) {
    SampleCollector collector(SampleCollector::Images::release);
    auto stream = startStream(configuration(640, 360, 20), collector);
    std::atomic<bool> painting{true};
    std::thread painter([&] {
        // A connection of its own: xcb connections are thread-safe, but the fixture's
        // helpers are not meant to be shared.
        xcb_connection_t* c = xcb_connect(server_->display().c_str(), nullptr);
        xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, root(), 0, nullptr);
        for (uint32_t n = 0; painting; ++n) {
            const uint32_t pixel = n * 0x010305;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &pixel);
            const xcb_rectangle_t r{0, 0, 200, 200};
            xcb_poly_fill_rectangle(c, root(), gc, 1, &r);
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            std::this_thread::sleep_for(5ms);  // pacing of the painter, not a wait on the stream
        }
        xcb_disconnect(c);
    });
    auto completeTimes = [&](size_t from) {
        std::vector<int64_t> times;
        auto samples = collector.samples();
        for (size_t i = from; i < samples.size(); ++i)
            if (isComplete(*samples[i])) times.push_back(samples[i]->presentationTime.convertScale(1'000'000).value);
        return times;
    };
    auto countComplete = [](auto& s) {
        size_t n = 0;
        for (auto& sample : s) n += isComplete(*sample);
        return n;
    };
    EXPECT_TRUE(collector.waitFor([&](auto& s) { return countComplete(s) >= 10; }, 10s))
        << collector.count() << " samples, " << completeTimes(0).size() << " complete";
    auto fast = completeTimes(0);

    Completion<std::optional<platform::Error>> updated;
    stream->updateConfiguration(configuration(640, 360, 4),
                                [&](std::optional<platform::Error> e) { updated.set(std::move(e)); });
    auto result = updated.wait();
    ASSERT_TRUE(result && !*result);
    // The first frame after the change may still follow the old interval.
    const size_t mark = collector.count() + 1;
    EXPECT_TRUE(collector.waitFor([&](auto& s) { return s.size() >= mark + 5; }, 10s));
    auto slow = completeTimes(mark);
    painting = false;
    painter.join();
    stopStream(*stream);

    for (size_t i = 1; i < fast.size(); ++i) EXPECT_GE(fast[i] - fast[i - 1], 49'000) << "at 20 fps, frame " << i;
    ASSERT_GE(slow.size(), 3u);
    for (size_t i = 1; i < slow.size(); ++i) EXPECT_GE(slow[i] - slow[i - 1], 249'000) << "at 4 fps, frame " << i;
}

using PoolTest = XServerTest;

TEST_F(PoolTest, FramesAreSkippedWhileEveryBufferIsHeldDownstream) {
    SampleCollector collector;
    // One frame a second: a skipped change retried at the next frame time would come
    // up to a second after the buffer; it must come as soon as the buffer is back.
    auto stream = startStream(configuration(640, 360, 1, false, 2), collector);
    // Hold the images of two complete frames, as a program keeping its last frame and
    // an encoder with one in flight would.
    std::vector<std::shared_ptr<platform::PixelBuffer>> held;
    for (int n = 0; n < 2; ++n) {
        fill(0, 0, 100, 100, {static_cast<uint8_t>(50 + n * 100), 0, 0});
        ASSERT_TRUE(collector.waitFor(
            [&](auto& s) {
                for (auto& sample : s)
                    if (isComplete(*sample)) return true;
                return false;
            },
            5s));
        for (auto& sample : collector.samples())
            if (isComplete(*sample)) held.push_back(sample->image);
        collector.clear();
    }
    ASSERT_EQ(held.size(), 2u);
    EXPECT_NE(held[0].get(), held[1].get());

    fill(0, 0, 100, 100, {0, 200, 0});
    // More than a frame time with a change pending: no frame can be captured, and
    // none is allocated beyond the pool.
    EXPECT_FALSE(collector.waitFor([](auto& s) { return !s.empty(); }, 1200ms))
        << "a frame was delivered with every buffer held";

    const uint64_t releasedAt = platform::hostTimeNanos();
    held.pop_back();  // one buffer comes back to the pool
    ASSERT_TRUE(collector.waitFor([](auto& s) { return !s.empty() && isComplete(*s.back()); }, 5s))
        << "the pending change must be captured once a buffer is free";
    const auto sample = collector.samples().back();
    const double delayMs =
        (sample->presentationTime.convertScale(1'000'000'000).value - static_cast<int64_t>(releasedAt)) / 1e6;
    EXPECT_LT(delayMs, 300 * testsupport::timeScale()) << "the change waited for a frame time instead of the returned buffer";
    const auto frame = sample->image;
    const Yuv green = expectedVideoRange601({0, 200, 0});
    EXPECT_NEAR(frame->luma[30 * frame->lumaStride + 10], green.y * 1.0, 3);
    stopStream(*stream);
}

using LifecycleTest = XServerTest;

TEST_F(LifecycleTest, StartFailsForADisplayThatDoesNotExist) {
    platform::ContentFilter filter;
    filter.display.displayID = 5;
    auto stream = platform::createCaptureStream(filter, configuration(640, 360, 30), [](const platform::Error&) {});
    Completion<std::optional<platform::Error>> started;
    stream->startCapture([&](std::optional<platform::Error> error) { started.set(std::move(error)); });
    auto result = started.wait();
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->has_value()) << "capturing a missing display must fail";
    EXPECT_EQ((*result)->description, "La pantalla 5 no existe");
}

TEST_F(LifecycleTest, StopCompletesAfterTheLastFrameAndDeliversNothingMore) {
    SampleCollector collector;
    auto stream = startStream(configuration(640, 360, 30), collector);
    ASSERT_TRUE(collector.waitFor([](auto& s) { return s.size() >= 2; }, 5s));
    stopStream(*stream);
    // Samples still queued for delivery when the stop completed are dropped too.
    const size_t after = collector.count();
    fill(0, 0, 500, 500, {9, 9, 9});
    EXPECT_FALSE(collector.waitFor([&](auto& s) { return s.size() > after; }, 300ms));
}

TEST_F(LifecycleTest, ALostServerStopsTheStreamWithAnError) {
    SampleCollector collector;
    Completion<platform::Error> stopped;
    auto stream = startStream(configuration(640, 360, 30), collector,
                              [&](const platform::Error& error) { stopped.set(error); });
    ASSERT_TRUE(collector.waitFor([](auto& s) { return !s.empty(); }, 5s));
    TearDown();  // the X server goes away
    auto error = stopped.wait();
    ASSERT_TRUE(error) << "the stream did not report the lost connection";
    EXPECT_EQ(error->description.rfind("Se perdió la conexión con X11", 0), 0u) << error->description;
    stopStream(*stream);
}

}  // namespace
}  // namespace linuxtest
