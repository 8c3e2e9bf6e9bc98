// Whole streaming flows through the real Capture on the scripted backend, for what
// does not end the process: encoder set-up, packets and their timestamps, key frames,
// the in-flight limit, the still-screen refresh, quality changes.

#include <gtest/gtest.h>

#include "platform/sim/capture/sim_capture.h"
#include "tests/zentcap/flow_harness.h"

namespace zentcap {
namespace {

namespace sim = platform::sim;
using namespace std::chrono_literals;
using platform::CompressionProperty;
using platform::MediaTime;
using platform::ProfileLevel;
using testing_support::FlowHarness;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMs = 1'000'000;  // nanoseconds

class StreamFlow : public testing::Test {
protected:
    void SetUp() override { sim::reset(); }

    // Delivers one complete frame and waits until the pipeline has handled it.
    static void deliverAndSettle() {
        ASSERT_TRUE(sim::deliverFrame());
        ASSERT_TRUE(sim::drainOutputQueue());
    }
    static size_t submitted() { return sim::submittedFrames().size(); }
    static bool waitSubmitted(size_t count) {
        return sim::waitFor([count] { return submitted() >= count; });
    }
};

Bytes annexB(std::initializer_list<Bytes> units) {
    Bytes out;
    for (const auto& unit : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

std::vector<CompressionProperty> keysOf(const std::vector<sim::PropertyRecord>& records) {
    std::vector<CompressionProperty> keys;
    for (const auto& record : records) keys.push_back(record.key);
    return keys;
}

TEST_F(StreamFlow, LowLatencyEncoderIsSetUpInOrder) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    EXPECT_EQ(h.stderrText(), "encoder H.264 en modo de baja latencia\ncaptura 1280x720 H.264 High, cursor=1\n");

    auto created = sim::creations();
    ASSERT_EQ(created.size(), 1u);
    ASSERT_TRUE(created[0].specification);
    EXPECT_TRUE(created[0].specification->requireHardwareAcceleratedEncoder);
    EXPECT_TRUE(created[0].specification->enableLowLatencyRateControl);
    EXPECT_EQ(created[0].width, 1280);
    EXPECT_EQ(created[0].height, 720);
    EXPECT_EQ(created[0].sourcePixelFormat, platform::kPixelFormat420v);

    using V = platform::PropertyValue;
    std::vector<std::pair<CompressionProperty, V>> expected{
        {CompressionProperty::realTime, V(true)},
        {CompressionProperty::allowFrameReordering, V(false)},
        {CompressionProperty::profileLevel, V(ProfileLevel::h264ConstrainedHighAutoLevel)},
        {CompressionProperty::maxFrameDelayCount, V(int64_t{1})},
        {CompressionProperty::expectedFrameRate, V(int64_t{30})},
        {CompressionProperty::averageBitRate, V(int64_t{4000000})},
        {CompressionProperty::maxKeyFrameInterval, V(int64_t{30})},
        {CompressionProperty::maxKeyFrameIntervalDuration, V(1.0)},
    };
    auto properties = sim::propertiesSet();
    ASSERT_EQ(properties.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(properties[i].key, expected[i].first) << i;
        EXPECT_EQ(properties[i].value, expected[i].second) << i;
    }
    EXPECT_EQ(sim::prepareCalls(), 1);

    auto stream = sim::streamRecord();
    EXPECT_EQ(stream.filter.display.displayID, 1u);
    EXPECT_EQ(stream.configuration.width, 1280);
    EXPECT_EQ(stream.configuration.height, 720);
    EXPECT_EQ(stream.configuration.minimumFrameInterval.value, 1);
    EXPECT_EQ(stream.configuration.minimumFrameInterval.timescale, 30);
    EXPECT_EQ(stream.configuration.pixelFormat, platform::kPixelFormat420v);
    EXPECT_EQ(stream.configuration.queueDepth, 4);
    EXPECT_TRUE(stream.configuration.showsCursor);
    EXPECT_FALSE(stream.configuration.scalesToFit);
    EXPECT_EQ(stream.configuration.colorSpaceName, "sRGB");
    EXPECT_EQ(stream.screenOutputs, 1);
}

TEST_F(StreamFlow, FallsBackToTheNormalEncoderAndThenToSoftware) {
    sim::setCompressionScript({.lowLatencyCreate = -12902, .hardwareCreate = -12915});
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    EXPECT_EQ(h.stderrText(),
              "Sin el modo de baja latencia (status(\"VT create (baja latencia)\", -12902)); se usa el normal\n"
              "Sin encoder H.264 por hardware (-12915); se usa el de software\n"
              "captura 1280x720 H.264 High, cursor=1\n");
    auto created = sim::creations();
    ASSERT_EQ(created.size(), 3u);
    EXPECT_TRUE(created[1].specification && created[1].specification->requireHardwareAcceleratedEncoder &&
                !created[1].specification->enableLowLatencyRateControl);
    EXPECT_FALSE(created[2].specification);
    auto properties = sim::propertiesSet();
    ASSERT_GE(properties.size(), 3u);
    EXPECT_EQ(properties[2].value, platform::PropertyValue(ProfileLevel::h264HighAutoLevel));
}

TEST_F(StreamFlow, LowLatencySessionThatFailsLaterIsInvalidatedBeforeTheFallback) {
    sim::setCompressionScript({.lowLatencyPrepare = -12911});
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    EXPECT_EQ(h.stderrText(),
              "Sin el modo de baja latencia (status(\"VT prepare\", -12911)); se usa el normal\n"
              "captura 1280x720 H.264 High, cursor=1\n");
    EXPECT_EQ(sim::invalidations(), 1);
    EXPECT_EQ(sim::creations().size(), 2u);
    // The new session is the one frames go to.
    deliverAndSettle();
    EXPECT_EQ(submitted(), 1u);
}

TEST_F(StreamFlow, RefusedConstrainedProfileFallsBackToHighSilently) {
    sim::setCompressionScript({.constrainedProfile = -12900});
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    EXPECT_EQ(h.stderrText(), "encoder H.264 en modo de baja latencia\ncaptura 1280x720 H.264 High, cursor=1\n");
    auto properties = sim::propertiesSet();
    ASSERT_GE(properties.size(), 4u);
    EXPECT_EQ(properties[2].result, -12900);
    EXPECT_EQ(properties[3].key, CompressionProperty::profileLevel);
    EXPECT_EQ(properties[3].value, platform::PropertyValue(ProfileLevel::h264HighAutoLevel));
}

TEST_F(StreamFlow, RefusedFrameDelayLimitIsOnlyANotice) {
    sim::setCompressionScript({.refusedProperties = {{CompressionProperty::maxFrameDelayCount, -12900}}});
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    EXPECT_EQ(h.stderrText(),
              "Encoder no admite MaxFrameDelayCount=1 (-12900); se usa RealTime\n"
              "encoder H.264 en modo de baja latencia\ncaptura 1280x720 H.264 High, cursor=1\n");
    EXPECT_EQ(keysOf(sim::propertiesSet()).back(), CompressionProperty::maxKeyFrameIntervalDuration);
}

TEST_F(StreamFlow, FramesBecomePacketsTimedFromTheCaptureStart) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    sim::advanceHostTime(5 * kMs);
    deliverAndSettle();
    auto frames = sim::submittedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].presentationTime.value, 5000);
    EXPECT_EQ(frames[0].presentationTime.timescale, 1'000'000);
    EXPECT_EQ(frames[0].duration.value, 1);
    EXPECT_EQ(frames[0].duration.timescale, 30);
    EXPECT_TRUE(frames[0].forceKeyFrame);  // the first frame is always a key frame
    ASSERT_TRUE(sim::completeNextFrame());
    auto key = h.nextPacket();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->kind, 1);
    EXPECT_EQ(key->timestamp, 5000u);
    EXPECT_EQ(key->payload, annexB({sim::standardSps(), sim::standardPps(), sim::standardSlice({5000, 1'000'000}, true)}));

    sim::advanceHostTime(33 * kMs);
    deliverAndSettle();
    ASSERT_TRUE(sim::completeNextFrame());
    auto next = h.nextPacket();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->kind, 0);
    EXPECT_EQ(next->timestamp, 38000u);
    EXPECT_EQ(next->payload, annexB({sim::standardSlice({38000, 1'000'000}, false)}));
}

TEST_F(StreamFlow, TimestampsRiseStrictlyEvenWhenTheClockDoesNot) {
    sim::setCompressionScript({.autoComplete = true});
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    auto settled = [] { return sim::framesInFlight() == 0; };
    sim::advanceHostTime(2 * kMs);
    deliverAndSettle();
    ASSERT_TRUE(sim::waitFor(settled));
    deliverAndSettle();  // same microsecond
    ASSERT_TRUE(sim::waitFor(settled));
    sim::setHostTime(platform::hostTimeNanos() - kMs);  // the clock reads earlier than before
    deliverAndSettle();
    std::vector<uint64_t> stamps;
    for (int i = 0; i < 3; ++i) {
        auto packet = h.nextPacket();
        ASSERT_TRUE(packet);
        stamps.push_back(packet->timestamp);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{2000, 2001, 2002}));
}

TEST_F(StreamFlow, KeyFrameIsForcedOnceASecondOfTimestampsHasPassed) {
    sim::setCompressionScript({.autoComplete = true});
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    for (uint64_t step : {0ull, 999'999'000ull, 1'000ull, 500'000'000ull, 499'999'000ull, 1'000ull}) {
        sim::advanceHostTime(step);
        deliverAndSettle();
        ASSERT_TRUE(sim::waitFor([] { return sim::framesInFlight() == 0; }));
    }
    std::vector<bool> forced;
    for (const auto& frame : sim::submittedFrames()) forced.push_back(frame.forceKeyFrame);
    EXPECT_EQ(forced, (std::vector<bool>{true, false, true, false, false, true}));
}

TEST_F(StreamFlow, ThirdFrameWaitsForNothingAndIsSkipped) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    deliverAndSettle();
    deliverAndSettle();
    EXPECT_EQ(submitted(), 2u);
    EXPECT_EQ(sim::framesInFlight(), 2u);
    // An answer makes room for exactly one more.
    ASSERT_TRUE(sim::completeNextFrame());
    ASSERT_TRUE(h.nextPacket());
    ASSERT_TRUE(sim::waitFor([] { return sim::framesInFlight() < 2; }));
    deliverAndSettle();
    deliverAndSettle();
    EXPECT_EQ(submitted(), 3u);
    EXPECT_EQ(h.stderrText(), "encoder H.264 en modo de baja latencia\ncaptura 1280x720 H.264 High, cursor=1\n");
}

TEST_F(StreamFlow, FrameDroppedByTheEncoderLeavesNoPacketAndFreesItsPlace) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    sim::advanceHostTime(10 * kMs);
    deliverAndSettle();
    ASSERT_TRUE(sim::completeNextFrame(0, platform::kEncodeInfoFrameDropped, sim::standardSample({0, 1'000'000}, true)));
    ASSERT_TRUE(sim::completeNextFrame());
    auto packet = h.nextPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->timestamp, 10000u);
    ASSERT_TRUE(sim::waitFor([] { return sim::framesInFlight() == 0; }));
    deliverAndSettle();
    deliverAndSettle();
    EXPECT_EQ(submitted(), 4u);
}

TEST_F(StreamFlow, IncompleteFramesAreNeitherEncodedNorKept) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    ASSERT_TRUE(sim::completeNextFrame());
    auto kept = sim::submittedFrames().at(0).image;

    platform::VideoSample idle;
    idle.image = std::make_shared<platform::PixelBuffer>();
    idle.frameStatus = int64_t{1};
    ASSERT_TRUE(sim::deliverSample(idle));
    ASSERT_TRUE(sim::deliverFrame(platform::FrameStatus::idle));
    platform::VideoSample invalid;
    invalid.valid = false;
    invalid.image = std::make_shared<platform::PixelBuffer>();
    ASSERT_TRUE(sim::deliverSample(invalid));
    ASSERT_TRUE(sim::drainOutputQueue());
    EXPECT_EQ(submitted(), 1u);

    // The refresh offers the last complete frame, not the idle one.
    h.writeInput("{\"clave\":true}\n");
    ASSERT_TRUE(waitSubmitted(2));
    EXPECT_EQ(sim::submittedFrames().at(1).image, kept);
    EXPECT_TRUE(sim::submittedFrames().at(1).forceKeyFrame);
}

TEST_F(StreamFlow, FrameStatusThatIsNotAnIntegerLetsTheFrameThrough) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    for (std::optional<platform::AttachmentValue> status :
         {std::optional<platform::AttachmentValue>{}, std::optional<platform::AttachmentValue>{std::string("idle")},
          std::optional<platform::AttachmentValue>{1.0}}) {
        platform::VideoSample sample;
        sample.image = std::make_shared<platform::PixelBuffer>();
        sample.frameStatus = status;
        ASSERT_TRUE(sim::deliverSample(sample));
        ASSERT_TRUE(sim::drainOutputQueue());
        ASSERT_TRUE(sim::completeNextFrame());
        ASSERT_TRUE(sim::waitFor([] { return sim::framesInFlight() == 0; }));
    }
    EXPECT_EQ(submitted(), 3u);
}

TEST_F(StreamFlow, KeyRequestOnAStillScreenReencodesTheLastFrame) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    sim::advanceHostTime(40 * kMs);
    deliverAndSettle();
    ASSERT_TRUE(sim::completeNextFrame());
    ASSERT_TRUE(sim::completeNextFrame());
    ASSERT_TRUE(h.nextPacket());
    ASSERT_EQ(h.nextPacket()->kind, 0);

    h.writeInput("\n\r\n{\"clave\":true}\r\n");
    ASSERT_TRUE(waitSubmitted(3));
    auto frames = sim::submittedFrames();
    EXPECT_TRUE(frames[2].forceKeyFrame);
    EXPECT_EQ(frames[2].image, frames[1].image);
    EXPECT_EQ(frames[2].presentationTime.value, 40001);  // a new timestamp for the same image
    ASSERT_TRUE(sim::completeNextFrame());
    auto packet = h.nextPacket();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->kind, 1);
    EXPECT_EQ(packet->timestamp, 40001u);
}

TEST_F(StreamFlow, KeyRequestBeforeAnyFrameReencodesNothing) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    h.writeInput("{\"clave\":true}\n");
    // Long enough for several refresh periods: still nothing to offer.
    EXPECT_FALSE(sim::waitFor([] { return submitted() > 0; }, 500ms));
    deliverAndSettle();
    EXPECT_TRUE(sim::submittedFrames().at(0).forceKeyFrame);
}

TEST_F(StreamFlow, RefreshKeepsTryingWhileTwoFramesAreInFlight) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    deliverAndSettle();
    h.writeInput("{\"clave\":true}\n");
    auto requested = std::chrono::steady_clock::now();
    // The first tries find two frames in flight; room made later is taken by a later try.
    EXPECT_FALSE(sim::waitFor([] { return submitted() > 2; }, 400ms));
    ASSERT_TRUE(sim::completeNextFrame());
    ASSERT_TRUE(waitSubmitted(3));
    EXPECT_GE(std::chrono::steady_clock::now() - requested, 400ms);
    EXPECT_TRUE(sim::submittedFrames().at(2).forceKeyFrame);
    // Once one try is taken the retries stop.
    ASSERT_TRUE(sim::completeNextFrame());
    EXPECT_FALSE(sim::waitFor([] { return submitted() > 3; }, 400ms));
}

TEST_F(StreamFlow, RefreshGivesUpAfterTenTries) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    deliverAndSettle();
    h.writeInput("{\"clave\":true}\n");
    // Ten tries 120 ms apart end after about 1.2 s; three seconds leave room for a busy machine.
    EXPECT_FALSE(sim::waitFor([] { return submitted() > 2; }, 3000ms));
    ASSERT_TRUE(sim::completeNextFrame());
    ASSERT_TRUE(sim::completeNextFrame());
    EXPECT_FALSE(sim::waitFor([] { return submitted() > 2; }, 500ms));
    // The request is still pending: the next new frame is the key frame.
    ASSERT_TRUE(sim::waitFor([] { return sim::framesInFlight() == 0; }));
    deliverAndSettle();
    EXPECT_TRUE(sim::submittedFrames().at(2).forceKeyFrame);
}

TEST_F(StreamFlow, QualityChangeReappliesPropertiesReconfiguresAndForcesAKeyFrame) {
    FlowHarness h;
    ASSERT_TRUE(h.startStreaming());
    deliverAndSettle();
    ASSERT_TRUE(sim::completeNextFrame());
    size_t before = sim::propertiesSet().size();

    h.writeInput("{\"fps\":60,\"bitrate\":2000000}\n");
    ASSERT_TRUE(sim::waitFor([] { return sim::streamRecord().updates.size() == 1; }));
    auto properties = sim::propertiesSet();
    ASSERT_EQ(properties.size(), before + 4);
    using V = platform::PropertyValue;
    EXPECT_EQ(properties[before].key, CompressionProperty::expectedFrameRate);
    EXPECT_EQ(properties[before].value, V(int64_t{60}));
    EXPECT_EQ(properties[before + 1].key, CompressionProperty::averageBitRate);
    EXPECT_EQ(properties[before + 1].value, V(int64_t{2000000}));
    EXPECT_EQ(properties[before + 2].key, CompressionProperty::maxKeyFrameInterval);
    EXPECT_EQ(properties[before + 2].value, V(int64_t{60}));
    EXPECT_EQ(properties[before + 3].key, CompressionProperty::maxKeyFrameIntervalDuration);
    EXPECT_EQ(properties[before + 3].value, V(1.0));

    auto update = sim::streamRecord().updates[0];
    EXPECT_EQ(update.minimumFrameInterval.value, 1);
    EXPECT_EQ(update.minimumFrameInterval.timescale, 60);
    EXPECT_EQ(update.width, 1280);
    EXPECT_EQ(update.queueDepth, 4);

    // The first frame at the new settings is a key frame, even on a still screen.
    ASSERT_TRUE(waitSubmitted(2));
    auto frame = sim::submittedFrames().at(1);
    EXPECT_TRUE(frame.forceKeyFrame);
    EXPECT_EQ(frame.duration.timescale, 60);
}

}  // namespace
}  // namespace zentcap
