// The stream a host receives from a live zentcap: well-formed packets that decode
// without error into High-profile pictures of the requested size, with rising
// timestamps and a key frame at least every second; and the same bytes pass the
// receiver program and ffprobe.
#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "tests/zentcap/e2e/screen_suite.h"

namespace e2e {
namespace {

using testsupport::runToEnd;
using testsupport::TempDir;
using testsupport::writeFile;

class LiveStreamFormat : public ScreenSuite {
protected:
    static void SetUpTestSuite() { startServer("1280x720x24"); }
};

TEST_F(LiveStreamFormat, MovingScreenGivesADecodableHighProfileStream) {
    auto animator = animate();
    ASSERT_TRUE(animator);
    auto stream = LiveStream::start(settings(1280, 720, 30, 4000000, false));
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->process().waitStderr("captura 1280x720 H.264 High, cursor=0\n", milliseconds(10000)))
        << stream->process().stderrText();

    // Three seconds of stream time after the first key frame.
    auto first = stream->waitForVideo(milliseconds(10000));
    ASSERT_TRUE(first) << stream->process().stderrText();
    EXPECT_EQ(first->packet.kind, zentrecv::PacketKind::Key);
    auto late = stream->waitFor(
        [&](const Arrival& a) { return a.packet.isVideo() && a.packet.timestamp >= first->packet.timestamp + 3000000; },
        milliseconds(15000));
    ASSERT_TRUE(late) << "the stream stalled; stderr: " << stream->process().stderrText();
    stream->process().closeStdin();
    EXPECT_EQ(stream->process().waitExit(milliseconds(5000)), 0) << stream->process().stderrText();
    ASSERT_FALSE(stream->streamError()) << *stream->streamError();

    auto packets = stream->packets();
    size_t keys = 0;
    uint64_t videoPackets = 0, lastKey = 0;
    for (const auto& arrival : packets) {
        const auto& packet = arrival.packet;
        if (!packet.isVideo()) continue;
        ++videoPackets;
        // A key frame is forced on the first frame 1 s or more after the last one. On
        // a busy machine that frame may come well after the second; what must never
        // come is a frame that is not a key frame past it.
        if (packet.kind == zentrecv::PacketKind::Key) {
            ++keys;
            lastKey = packet.timestamp;
        } else {
            EXPECT_LT(packet.timestamp - lastKey, 1000000u) << "packet " << packet.index << " is no key frame";
        }
    }
    // Continuous motion at 30 fps for 3 s: most frames make it (the streamer
    // may drop some when the machine is busy, never most of them).
    EXPECT_GE(videoPackets, 45u);
    EXPECT_GE(keys, 3u);

    auto decoded = decodeVideo(packets);
    EXPECT_EQ(decoded.errors, 0);
    EXPECT_EQ(uint64_t(decoded.pictures), videoPackets);
    EXPECT_EQ(decoded.profile, "High");
    EXPECT_EQ(decoded.width, 1280);
    EXPECT_EQ(decoded.height, 720);

    // The same bytes through the receiver program, then its MP4 through ffprobe.
    TempDir dir;
    auto raw = stream->rawBytes();
    ASSERT_TRUE(writeFile(dir.file("live.zcap"), raw));
    auto received = runToEnd({testsupport::binary("zentcap_receiver"), "--input", dir.file("live.zcap"), "--mp4",
                              dir.file("live.mp4"), "--h264", dir.file("live.h264")});
    ASSERT_EQ(received.status, 0) << received.err;
    auto stats = nlohmann::json::parse(received.out);
    EXPECT_EQ(stats["frames"], videoPackets);
    EXPECT_EQ(stats["decode_errors"], 0);
    EXPECT_EQ(stats["profile"], "High");

    auto probe = runToEnd({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=codec_name,profile,width,height,nb_read_frames", "-of", "json", dir.file("live.mp4")});
    ASSERT_EQ(probe.status, 0) << probe.err;
    auto info = nlohmann::json::parse(probe.out)["streams"][0];
    EXPECT_EQ(info["profile"], "High");
    EXPECT_EQ(info["width"], 1280);
    EXPECT_EQ(info["height"], 720);
    EXPECT_EQ(info["nb_read_frames"], std::to_string(videoPackets));
    auto rawDecode = runToEnd({"ffmpeg", "-v", "error", "-i", dir.file("live.h264"), "-f", "null", "-"});
    EXPECT_EQ(rawDecode.status, 0);
    EXPECT_EQ(rawDecode.err, "") << "ffmpeg found errors in the raw Annex B stream";
}

TEST_F(LiveStreamFormat, TimestampsCountFromTheStartOfCapture) {
    auto animator = animate();
    ASSERT_TRUE(animator);
    auto before = Clock::now();
    auto stream = LiveStream::start(settings(640, 360, 30, 1000000, false));
    ASSERT_TRUE(stream);
    auto first = stream->waitForVideo(milliseconds(10000));
    ASSERT_TRUE(first) << stream->process().stderrText();
    auto last = stream->waitFor([&](const Arrival& a) { return a.packet.isVideo() && a.packet.index >= first->packet.index + 20; },
                                milliseconds(10000));
    ASSERT_TRUE(last);
    // Timestamps are microseconds of a clock that started with the capture:
    // below the time since the process was launched, and advancing like the
    // wall clock between two arrivals (within scheduling noise).
    auto sinceLaunch = std::chrono::duration_cast<std::chrono::microseconds>(first->at - before).count();
    EXPECT_LE(first->packet.timestamp, uint64_t(sinceLaunch));
    double streamSeconds = double(last->packet.timestamp - first->packet.timestamp) / 1e6;
    double wallSeconds = std::chrono::duration<double>(last->at - first->at).count();
    EXPECT_NEAR(streamSeconds, wallSeconds, 0.25);
}

}  // namespace
}  // namespace e2e
