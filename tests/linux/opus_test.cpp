// The Opus converter: which formats it takes, one packet per 20 ms block at the
// requested rate, and packets that libopus decodes back into the tone.

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>

#include "platform/audio_converter.h"
#include "platform/system.h"
#include "tests/linux/sound_fixture.h"

namespace linuxtest {
namespace {

platform::AudioStreamDescription pcm() {
    platform::AudioStreamDescription d;
    d.sampleRate = 48000;
    d.formatID = platform::kAudioFormatLinearPCM;
    d.formatFlags = platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked |
                    platform::kAudioFormatFlagIsNonInterleaved;
    d.bytesPerPacket = d.bytesPerFrame = 4;
    d.framesPerPacket = 1;
    d.channelsPerFrame = 1;
    d.bitsPerChannel = 32;
    return d;
}

platform::AudioStreamDescription opus() {
    platform::AudioStreamDescription d;
    d.sampleRate = 48000;
    d.formatID = platform::kAudioFormatOpus;
    d.framesPerPacket = 960;
    d.channelsPerFrame = 1;
    return d;
}

// Converts one block the way the system-sound mode does: the block once, then "no
// data now".
platform::ConverterOutputStatus convertBlock(platform::AudioConverter& converter, std::vector<float> block,
                                             platform::CompressedBuffer& out) {
    auto buffer = std::make_shared<platform::PCMBuffer>();
    buffer->samples = std::move(block);
    bool given = false;
    out.packetCapacity = 1;
    out.maximumPacketSize = std::max<uint32_t>(converter.maximumOutputPacketSize(), 1500);
    return converter.convert(out, [&](platform::ConverterInputStatus& status) -> std::shared_ptr<const platform::PCMBuffer> {
        if (given) {
            status = platform::ConverterInputStatus::noDataNow;
            return nullptr;
        }
        given = true;
        status = platform::ConverterInputStatus::haveData;
        return buffer;
    });
}

TEST(OpusTest, TakesOnly48kMonoFloatToOpus48kMono) {
    EXPECT_TRUE(platform::createAudioConverter(pcm(), opus()));
    auto stereo = pcm();
    stereo.channelsPerFrame = 2;
    EXPECT_FALSE(platform::createAudioConverter(stereo, opus()));
    auto slow = pcm();
    slow.sampleRate = 44100;
    EXPECT_FALSE(platform::createAudioConverter(slow, opus()));
    auto integers = pcm();
    integers.formatFlags = platform::kAudioFormatFlagIsPacked;
    integers.bitsPerChannel = 16;
    EXPECT_FALSE(platform::createAudioConverter(integers, opus()));
    auto longPackets = opus();
    longPackets.framesPerPacket = 1920;
    EXPECT_FALSE(platform::createAudioConverter(pcm(), longPackets));
    auto aac = opus();
    aac.formatID = platform::kAudioFormatMPEG4AAC;
    EXPECT_FALSE(platform::createAudioConverter(pcm(), aac));
}

TEST(OpusTest, PacketsDecodeBackToTheTone) {
    auto converter = platform::createAudioConverter(pcm(), opus());
    ASSERT_TRUE(converter);
    converter->setBitRate(64000);
    EXPECT_GE(converter->maximumOutputPacketSize(), 1000u);

    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
    ASSERT_EQ(error, OPUS_OK);
    constexpr int kBlocks = 100;  // two seconds
    std::vector<float> decoded;
    size_t bytes = 0;
    for (int b = 0; b < kBlocks; ++b) {
        std::vector<float> block(960);
        for (int i = 0; i < 960; ++i) block[i] = 0.3f * std::sin(2 * M_PI * 880 * (b * 960 + i) / 48000.0);
        platform::CompressedBuffer out;
        ASSERT_EQ(convertBlock(*converter, block, out), platform::ConverterOutputStatus::haveData);
        ASSERT_GT(out.data.size(), 0u);
        bytes += out.data.size();
        std::vector<float> pcmOut(960);
        ASSERT_EQ(opus_decode_float(decoder, out.data.data(), static_cast<opus_int32>(out.data.size()), pcmOut.data(),
                                    960, 0),
                  960);
        decoded.insert(decoded.end(), pcmOut.begin(), pcmOut.end());
    }
    opus_decoder_destroy(decoder);
    // 64 kbit/s is 160 bytes per 20 ms packet on average.
    const double average = static_cast<double>(bytes) / kBlocks;
    EXPECT_GT(average, 120);
    EXPECT_LT(average, 200);
    std::vector<float> settled(decoded.begin() + 4800, decoded.end());
    EXPECT_NEAR(amplitudeAt(settled, 880), 0.3, 0.03);
    EXPECT_LT(amplitudeAt(settled, 440), 0.01);

    // A lower rate gives smaller packets.
    converter->setBitRate(16000);
    size_t lowBytes = 0;
    for (int b = 0; b < 50; ++b) {
        std::vector<float> block(960);
        for (int i = 0; i < 960; ++i) block[i] = 0.3f * std::sin(2 * M_PI * 880 * (b * 960 + i) / 48000.0);
        platform::CompressedBuffer out;
        ASSERT_EQ(convertBlock(*converter, block, out), platform::ConverterOutputStatus::haveData);
        lowBytes += out.data.size();
    }
    EXPECT_LT(static_cast<double>(lowBytes) / 50, average / 2);
}

TEST(OpusTest, AnIncompleteBlockWaitsForMoreInput) {
    auto converter = platform::createAudioConverter(pcm(), opus());
    ASSERT_TRUE(converter);
    platform::CompressedBuffer out;
    EXPECT_EQ(convertBlock(*converter, std::vector<float>(500, 0.1f), out), platform::ConverterOutputStatus::inputRanDry);
    EXPECT_TRUE(out.data.empty());
    EXPECT_EQ(convertBlock(*converter, std::vector<float>(460, 0.1f), out), platform::ConverterOutputStatus::haveData);
    EXPECT_FALSE(out.data.empty());
}

TEST(OpusTest, NoRoomForAPacketIsAnError) {
    auto converter = platform::createAudioConverter(pcm(), opus());
    ASSERT_TRUE(converter);
    auto buffer = std::make_shared<platform::PCMBuffer>();
    buffer->samples.assign(960, 0.2f);
    platform::CompressedBuffer out;
    out.packetCapacity = 0;
    out.maximumPacketSize = 1500;
    auto status = converter->convert(out, [&](platform::ConverterInputStatus& s) -> std::shared_ptr<const platform::PCMBuffer> {
        s = platform::ConverterInputStatus::haveData;
        return buffer;
    });
    EXPECT_EQ(status, platform::ConverterOutputStatus::error);
    EXPECT_TRUE(out.data.empty());
}

TEST(SystemTest, EveryVersionCheckPasses) {
    EXPECT_TRUE(platform::runningSystemAtLeast({13, 0, 0}));
    EXPECT_TRUE(platform::runningSystemAtLeast({99, 9, 9}));
}

}  // namespace
}  // namespace linuxtest
