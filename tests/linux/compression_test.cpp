// The libx264 session as the streamer drives it: refusals, High profile, length-
// prefixed frames without parameter sets, forced key frames, live bit-rate changes,
// and a stream that libavcodec decodes back into the frames.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>

#include "platform/compression.h"

namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 640, kHeight = 360;

struct Output {
    platform::Status status;
    uint32_t flags;
    std::shared_ptr<const platform::EncodedSample> sample;
};

class Outputs {
public:
    platform::CompressionOutput callback() {
        return [this](platform::Status status, uint32_t flags, std::shared_ptr<const platform::EncodedSample> sample) {
            std::scoped_lock lock(mutex_);
            outputs_.push_back({status, flags, std::move(sample)});
            changed_.notify_all();
        };
    }
    bool waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return outputs_.size() >= count; });
    }
    std::vector<Output> all() {
        std::scoped_lock lock(mutex_);
        return outputs_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Output> outputs_;
};

// A frame of two flat halves (luma `left` and `right`, neutral chroma) with a square
// that moves with `n`, or random noise, which no encoder can squeeze.
std::shared_ptr<platform::PixelBuffer> frame(int n, uint8_t left = 60, uint8_t right = 200, bool noise = false) {
    auto image = std::make_shared<platform::PixelBuffer>();
    image->width = kWidth;
    image->height = kHeight;
    image->lumaStride = kWidth;
    image->chromaStride = kWidth;
    image->luma.resize(kWidth * kHeight);
    image->chroma.assign(kWidth * kHeight / 2, 128);
    std::mt19937 random(n);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            image->luma[y * kWidth + x] = noise ? static_cast<uint8_t>(random()) : (x < kWidth / 2 ? left : right);
    if (!noise)
        for (int y = 20; y < 60; ++y)
            for (int x = 0; x < 40; ++x) image->luma[y * kWidth + (x + n * 8) % (kWidth / 2)] = 235;
    return image;
}

std::unique_ptr<platform::CompressionSession> makeSession(Outputs& outputs, int64_t bitrate = 2'000'000) {
    auto created = platform::createCompressionSession(kWidth, kHeight, std::nullopt, platform::kPixelFormat420v,
                                                      outputs.callback());
    EXPECT_EQ(created.status, 0);
    if (!created.session) return nullptr;
    auto& s = *created.session;
    using P = platform::CompressionProperty;
    // The streamer's configuration, in its order.
    EXPECT_EQ(s.setProperty(P::realTime, true), 0);
    EXPECT_EQ(s.setProperty(P::allowFrameReordering, false), 0);
    EXPECT_EQ(s.setProperty(P::profileLevel, platform::ProfileLevel::h264HighAutoLevel), 0);
    EXPECT_EQ(s.setProperty(P::maxFrameDelayCount, int64_t{1}), 0);
    EXPECT_EQ(s.setProperty(P::expectedFrameRate, int64_t{30}), 0);
    EXPECT_EQ(s.setProperty(P::averageBitRate, bitrate), 0);
    EXPECT_EQ(s.setProperty(P::maxKeyFrameInterval, int64_t{30}), 0);
    EXPECT_EQ(s.setProperty(P::maxKeyFrameIntervalDuration, 1.0), 0);
    EXPECT_EQ(s.prepareToEncodeFrames(), 0);
    return std::move(created.session);
}

platform::MediaTime timeOf(int n) { return {1000 + n * 33'333, 1'000'000}; }

// NAL unit types of a length-prefixed frame; empty when the lengths do not add up.
std::vector<int> nalTypes(const platform::DataBlock& data) {
    std::vector<uint8_t> bytes(data.length());
    if (data.copyBytes(0, bytes.size(), bytes.data()) != 0) return {};
    std::vector<int> types;
    for (size_t offset = 0; offset < bytes.size();) {
        if (bytes.size() - offset < 5) return {};
        const size_t length = (size_t{bytes[offset]} << 24) | (bytes[offset + 1] << 16) | (bytes[offset + 2] << 8) |
                              bytes[offset + 3];
        if (length == 0 || length > bytes.size() - offset - 4) return {};
        types.push_back(bytes[offset + 4] & 0x1f);
        offset += 4 + length;
    }
    return types;
}

bool notSync(const Output& output) {
    auto* value = output.sample->notSync ? std::get_if<bool>(&*output.sample->notSync) : nullptr;
    return value && *value;
}

TEST(CompressionSession, RefusesWhatItCannotBe) {
    Outputs outputs;
    platform::EncoderSpecification hardware{true, false};
    auto refused =
        platform::createCompressionSession(kWidth, kHeight, hardware, platform::kPixelFormat420v, outputs.callback());
    EXPECT_EQ(refused.status, -12908) << "no hardware encoder may be claimed";
    EXPECT_FALSE(refused.session);

    auto odd = platform::createCompressionSession(641, 360, std::nullopt, platform::kPixelFormat420v,
                                                  outputs.callback());
    EXPECT_EQ(odd.status, -12902);

    auto session = makeSession(outputs);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->setProperty(platform::CompressionProperty::profileLevel,
                                   platform::ProfileLevel::h264ConstrainedHighAutoLevel),
              -12900)
        << "the constrained profile is refused so the caller settles for High";
    auto wrongSize = frame(0);
    wrongSize->width = 320;
    EXPECT_EQ(session->encodeFrame(wrongSize, timeOf(0), {1, 30}, {}), -12902);
}

TEST(CompressionSession, HighProfileLengthPrefixedFramesAndForcedKeyFrames) {
    Outputs outputs;
    auto session = makeSession(outputs);
    ASSERT_TRUE(session);
    constexpr int kFrames = 20;
    for (int n = 0; n < kFrames; ++n) {
        ASSERT_EQ(session->encodeFrame(frame(n), timeOf(n), {1, 30}, {.forceKeyFrame = n == 10}), 0);
        ASSERT_TRUE(outputs.waitFor(n + 1));  // the streamer keeps few frames in flight
    }
    auto all = outputs.all();
    ASSERT_EQ(all.size(), size_t{kFrames});
    ASSERT_EQ(all[0].status, 0);
    ASSERT_EQ(all[0].flags, 0u);
    ASSERT_TRUE(all[0].sample && all[0].sample->format);

    const auto& format = *all[0].sample->format;
    const auto layout = format.layout();
    EXPECT_EQ(layout.status, 0);
    EXPECT_EQ(layout.nalLengthSize, 4);
    ASSERT_EQ(layout.parameterSetCount, 2u);
    const auto sps = format.parameterSet(0);
    const auto pps = format.parameterSet(1);
    ASSERT_GT(sps.size, 4u);
    ASSERT_GT(pps.size, 1u);
    EXPECT_EQ(sps.bytes[0] & 0x1f, 7);
    EXPECT_EQ(pps.bytes[0] & 0x1f, 8);
    EXPECT_EQ(sps.bytes[1], 100) << "profile_idc must be High";

    for (int n = 0; n < kFrames; ++n) {
        SCOPED_TRACE("frame " + std::to_string(n));
        const Output& out = all[n];
        ASSERT_EQ(out.status, 0);
        ASSERT_TRUE(out.sample && out.sample->data);
        EXPECT_EQ(out.sample->presentationTime.value, timeOf(n).value);
        EXPECT_EQ(out.sample->presentationTime.timescale, timeOf(n).timescale);
        const auto types = nalTypes(*out.sample->data);
        ASSERT_FALSE(types.empty()) << "not a length-prefixed frame";
        for (int type : types) {
            EXPECT_NE(type, 7) << "SPS inside the frame";
            EXPECT_NE(type, 8) << "PPS inside the frame";
            EXPECT_NE(type, 6) << "SEI inside the frame";
        }
        const bool key = n == 0 || n == 10;
        EXPECT_EQ(notSync(out), !key);
        EXPECT_EQ(types[0], key ? 5 : 1);
    }
    session->invalidate();
}

TEST(CompressionSession, ALowerBitRateTakesEffectLive) {
    Outputs outputs;
    auto session = makeSession(outputs, 8'000'000);
    ASSERT_TRUE(session);
    auto bytesOf = [&](int from, int to) {
        size_t total = 0;
        auto all = outputs.all();
        for (int i = from; i < to; ++i) total += all[i].sample ? all[i].sample->data->length() : 0;
        return total;
    };
    int n = 0;
    for (; n < 20; ++n) {
        ASSERT_EQ(session->encodeFrame(frame(n, 0, 0, true), timeOf(n), {1, 30}, {}), 0);
        ASSERT_TRUE(outputs.waitFor(n + 1));
    }
    ASSERT_EQ(session->setProperty(platform::CompressionProperty::averageBitRate, int64_t{400'000}), 0);
    for (; n < 40; ++n) {
        ASSERT_EQ(session->encodeFrame(frame(n, 0, 0, true), timeOf(n), {1, 30}, {}), 0);
        ASSERT_TRUE(outputs.waitFor(n + 1));
    }
    // Skip the first frames of each half (key frame, the VBV settling).
    const size_t high = bytesOf(5, 20), low = bytesOf(25, 40);
    EXPECT_LT(low * 4, high) << "high: " << high << " bytes, low: " << low << " bytes";
    session->invalidate();
}

TEST(CompressionSession, ALowerFrameRateGivesEachFrameMoreBits) {
    Outputs outputs;
    auto session = makeSession(outputs, 2'000'000);
    ASSERT_TRUE(session);
    int n = 0;
    auto encodeNoise = [&](int count) {
        size_t total = 0;
        for (int end = n + count; n < end; ++n) {
            EXPECT_EQ(session->encodeFrame(frame(n, 0, 0, true), timeOf(n), {1, 30}, {}), 0);
            EXPECT_TRUE(outputs.waitFor(n + 1));
            if (end - n <= count - 5) total += outputs.all()[n].sample->data->length();  // VBV settling
        }
        return total;
    };
    const size_t at30 = encodeNoise(20);
    ASSERT_EQ(session->setProperty(platform::CompressionProperty::expectedFrameRate, int64_t{10}), 0);
    const size_t at10 = encodeNoise(20);
    // Same bit rate over a third of the frames: about three times the bytes per frame.
    EXPECT_GT(at10, at30 * 2) << "at 30 fps: " << at30 << " bytes, at 10 fps: " << at10 << " bytes";
    session->invalidate();
}

// A screen that stays as it is settles: once its quality is as fine as the rate
// control goes, every further frame is skipped macroblocks only. The average bit rate
// must not keep pulling the quantiser down and have each still frame coded again
// (and analysed in full) a little finer than the one before.
TEST(CompressionSession, AStillScreenSettlesToSkippedFrames) {
    Outputs outputs;
    auto session = makeSession(outputs);
    ASSERT_TRUE(session);
    // Lines of "text": short dark strokes on a light panel.
    auto still = frame(0);
    std::mt19937 random(5);
    for (int line = 0; line < 12; ++line)
        for (int cell = 0; cell < 60; ++cell) {
            const int x = 10 + cell * 10 + static_cast<int>(random() % 6), y = 100 + line * 20;
            for (int r = 0; r < 12; ++r) still->luma[(y + r) * kWidth + x] = still->luma[(y + r) * kWidth + x + 1] = 20;
        }
    // The session asks for a key frame every 30 frames; the last 15 frames before the
    // second one must be settled.
    constexpr int kFrames = 60, kSettled = 45;
    for (int n = 0; n < kFrames; ++n) {
        ASSERT_EQ(session->encodeFrame(still, timeOf(n), {1, 30}, {}), 0);
        ASSERT_TRUE(outputs.waitFor(n + 1));
    }
    auto all = outputs.all();
    ASSERT_EQ(all.size(), size_t{kFrames});
    // A frame of skipped macroblocks only is a slice header and a few bytes of skip flags.
    constexpr size_t kSkippedOnly = 64;
    for (int n = kSettled; n < kFrames; ++n) {
        ASSERT_EQ(all[n].status, 0);
        ASSERT_TRUE(notSync(all[n]));
        EXPECT_LE(all[n].sample->data->length(), kSkippedOnly) << "frame " << n;
    }
}

TEST(CompressionSession, LibavcodecDecodesTheFramesBack) {
    Outputs outputs;
    auto session = makeSession(outputs);
    ASSERT_TRUE(session);
    constexpr int kFrames = 12;
    for (int n = 0; n < kFrames; ++n) {
        ASSERT_EQ(session->encodeFrame(frame(n), timeOf(n), {1, 30}, {}), 0);
        ASSERT_TRUE(outputs.waitFor(n + 1));
    }
    session->invalidate();

    // Annex B: the parameter sets, then every frame with start codes for lengths.
    std::vector<uint8_t> stream;
    const uint8_t startCode[] = {0, 0, 0, 1};
    auto all = outputs.all();
    const auto& format = *all[0].sample->format;
    for (size_t i = 0; i < format.layout().parameterSetCount; ++i) {
        auto set = format.parameterSet(i);
        stream.insert(stream.end(), startCode, startCode + 4);
        stream.insert(stream.end(), set.bytes, set.bytes + set.size);
    }
    std::vector<std::vector<uint8_t>> packets;
    for (auto& out : all) {
        std::vector<uint8_t> bytes(out.sample->data->length());
        ASSERT_EQ(out.sample->data->copyBytes(0, bytes.size(), bytes.data()), 0);
        for (size_t offset = 0; offset < bytes.size();) {
            const size_t length = (size_t{bytes[offset]} << 24) | (bytes[offset + 1] << 16) |
                                  (bytes[offset + 2] << 8) | bytes[offset + 3];
            stream.insert(stream.end(), startCode, startCode + 4);
            stream.insert(stream.end(), bytes.begin() + offset + 4, bytes.begin() + offset + 4 + length);
            offset += 4 + length;
        }
        packets.push_back(std::move(stream));
        stream.clear();
    }

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    ASSERT_TRUE(codec);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    ASSERT_EQ(avcodec_open2(context.get(), codec, nullptr), 0);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> decoded(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    int frames = 0;
    auto receive = [&] {
        while (avcodec_receive_frame(context.get(), decoded.get()) == 0) {
            SCOPED_TRACE("decoded frame " + std::to_string(frames));
            EXPECT_EQ(decoded->width, kWidth);
            EXPECT_EQ(decoded->height, kHeight);
            EXPECT_EQ(decoded->colorspace, AVCOL_SPC_SMPTE170M) << "the matrix of the conversion";
            EXPECT_EQ(decoded->color_range, AVCOL_RANGE_MPEG) << "video range";
            // The flat halves come back close to their values.
            const uint8_t* row = decoded->data[0] + 300 * decoded->linesize[0];
            EXPECT_NEAR(row[100], 60, 4);
            EXPECT_NEAR(row[500], 200, 4);
            ++frames;
        }
    };
    for (auto& bytes : packets) {
        packet->data = bytes.data();
        packet->size = static_cast<int>(bytes.size());
        ASSERT_EQ(avcodec_send_packet(context.get(), packet.get()), 0);
        receive();
    }
    avcodec_send_packet(context.get(), nullptr);
    receive();
    EXPECT_EQ(frames, kFrames);
}

TEST(CompressionSession, InvalidateAbandonsQueuedFramesAndEndsCallbacks) {
    Outputs outputs;
    auto session = makeSession(outputs);
    ASSERT_TRUE(session);
    // Submitting is far faster than encoding: the bounded queue soon refuses.
    std::vector<std::shared_ptr<platform::PixelBuffer>> frames;
    for (int n = 0; n < 40; ++n) frames.push_back(frame(n));
    int accepted = 0;
    platform::Status refusal = 0;
    for (int n = 0; n < 40 && refusal == 0; ++n) {
        refusal = session->encodeFrame(frames[n], timeOf(n), {1, 30}, {});
        accepted += refusal == 0;
    }
    EXPECT_EQ(refusal, -12911) << "the queue must be bounded";
    session->invalidate();
    const size_t after = outputs.all().size();
    EXPECT_LT(after, static_cast<size_t>(accepted)) << "queued frames must be abandoned";
    EXPECT_EQ(session->encodeFrame(frames[0], timeOf(50), {1, 30}, {}), -12903);
    session.reset();
    EXPECT_EQ(outputs.all().size(), after) << "a callback came after invalidate() returned";
}

}  // namespace
