// The control channel as a host uses it: a still screen costs nothing, a key
// frame asked for on a still screen comes at once, and a quality change gives a
// key frame and then the new frame rate and bit rate.
#include "tests/support/child.h"
#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/zentcap/e2e/screen_suite.h"

namespace e2e {
namespace {

class ControlChannel : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(ControlChannel, StillScreenSendsNoVideo) {
    screen->paintRoot({90, 100, 110}, {{100, 100, 300, 200, {200, 40, 40}}});
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->waitForKey(milliseconds(10000))) << stream->process().stderrText();
    // The first pictures may repeat while capture settles; then it goes quiet
    // and stays quiet: no periodic key frames, no frames per tick.
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(1000), milliseconds(8000))) << "video never stopped";
    size_t mark = stream->count();
    auto extra = stream->waitForVideo(milliseconds(2500), mark);
    EXPECT_FALSE(extra) << "video packet " << extra->packet.index << " (kind " << int(extra->packet.kind)
                        << ") on a still screen";
    EXPECT_FALSE(stream->streamError());
}

TEST_F(ControlChannel, KeyRequestOnStillScreenIsAnsweredAtOnce) {
    screen->paintRoot({90, 100, 110}, {{500, 300, 200, 100, {40, 180, 60}}});
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->waitForKey(milliseconds(10000))) << stream->process().stderrText();
    ASSERT_TRUE(stream->waitForQuiet(milliseconds(600), milliseconds(8000)));

    // The streamer re-offers the last picture 120 ms after the request; allow
    // for a loaded machine, but far less than the one-second key interval.
    const auto limit = testsupport::scaled(milliseconds(400));
    for (int attempt = 0; attempt < 3; ++attempt) {
        size_t mark = stream->count();
        auto sent = Clock::now();
        ASSERT_TRUE(stream->send(R"({"clave":true})"));
        auto answer = stream->waitForVideo(milliseconds(3000), mark);
        ASSERT_TRUE(answer) << "no frame after key request " << attempt;
        EXPECT_EQ(answer->packet.kind, zentrecv::PacketKind::Key) << "attempt " << attempt;
        auto delay = std::chrono::duration_cast<milliseconds>(answer->at - sent);
        EXPECT_LE(delay, limit) << "attempt " << attempt << " took " << delay.count() << " ms";
        std::printf("key request %d answered in %lld ms\n", attempt, static_cast<long long>(delay.count()));
        ASSERT_TRUE(stream->waitForQuiet(milliseconds(300), milliseconds(5000)));
    }
    // The re-sent picture is the same screen.
    auto decoded = decodeVideo(stream->packets());
    EXPECT_EQ(decoded.errors, 0);
    ASSERT_TRUE(decoded.last);
    Rgb seen = meanColour(zentrecv::toRgb(*decoded.last), 600, 350, 8);
    EXPECT_LE(colourDistance(seen, {40, 180, 60}), 12) << describe(seen);
    EXPECT_FALSE(stream->streamError());
}

TEST_F(ControlChannel, QualityChangeGivesKeyFrameAndTheNewRates) {
    // Hundreds of random rectangles a frame: more detail than any of these bit
    // rates can carry, so the encoder spends what it is given.
    auto animator = animate(400, 30);
    ASSERT_TRUE(animator);
    auto stream = LiveStream::start(settings(1280, 720, 30, 3000000, false));
    ASSERT_TRUE(stream);
    auto first = stream->waitForKey(milliseconds(10000));
    ASSERT_TRUE(first) << stream->process().stderrText();
    // The encoder budgets each frame as bit rate / frame rate. How many frames a second
    // come through depends on the machine (a busy one skips ticks), so the rates are
    // measured per frame, over frames counted from a key frame (the first ones after it
    // make up for its size): the bits each carries, the gap between their timestamps.
    constexpr size_t kSettle = 15, kSpan = 30;
    auto measured = [&](size_t key) {
        size_t frames = 0;
        auto last = stream->waitFor([&](const Arrival& a) { return a.packet.isVideo() && ++frames == kSettle + kSpan; },
                                    testsupport::scaled(milliseconds(30000)), key);
        EXPECT_TRUE(last) << "stream stalled";
        return videoSpan(stream->packets(), key, kSettle, kSpan);
    };
    const VideoSpan before = measured(first->packet.index);
    std::printf("before: %.0f bit/frame, %.1f ms apart\n", before.bitsPerFrame, before.medianGapMicros / 1000);
    EXPECT_GT(before.bitsPerFrame * 30, 3000000 * 0.6);
    EXPECT_LT(before.bitsPerFrame * 30, 3000000 * 1.4);
    EXPECT_GT(before.medianGapMicros, 1e6 / 30 * 0.8);

    size_t mark = stream->count();
    ASSERT_TRUE(stream->send(R"({"fps":15,"bitrate":800000})"));
    // Up to two frames were already inside the encoder; the next is a key frame.
    auto key = stream->waitFor(
        [&](const Arrival& a) { return a.packet.isVideo() && (a.packet.kind == zentrecv::PacketKind::Key || a.packet.index >= mark + 4); },
        milliseconds(3000), mark);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->packet.kind, zentrecv::PacketKind::Key) << "no key frame among the first frames after the change";

    const VideoSpan after = measured(key->packet.index);
    std::printf("after: %.0f bit/frame, %.1f ms apart\n", after.bitsPerFrame, after.medianGapMicros / 1000);
    EXPECT_GT(after.bitsPerFrame * 15, 800000 * 0.6);
    EXPECT_LT(after.bitsPerFrame * 15, 800000 * 1.4);
    // Frames no closer than the new rate allows: at 30 a second most gaps would be 33 ms.
    EXPECT_GT(after.medianGapMicros, 1e6 / 15 * 0.8);
    EXPECT_FALSE(stream->streamError());
}

}  // namespace
}  // namespace e2e
