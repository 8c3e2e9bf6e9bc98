// Sound buffers as the platform delivers them, turned into interleaved floats with the
// channel count the recorder wants; malformed buffers give nothing or silence, never a
// crash or an unbounded allocation.

#include <gtest/gtest.h>

#include <cstring>

#include "zentrec/muestras.h"

namespace zentrec {
namespace {

using platform::AudioBuffer;
using platform::AudioSampleBuffer;
using platform::AudioStreamDescription;
using Floats = std::vector<float>;

AudioStreamDescription floatPcm(uint32_t canales, bool separados = false) {
    AudioStreamDescription d;
    d.sampleRate = 48000;
    d.formatID = platform::kAudioFormatLinearPCM;
    d.formatFlags = platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked |
                    (separados ? platform::kAudioFormatFlagIsNonInterleaved : 0);
    d.channelsPerFrame = canales;
    d.bitsPerChannel = 32;
    return d;
}

AudioBuffer buffer(const Floats& valores) {
    std::vector<uint8_t> bytes(valores.size() * sizeof(float));
    std::memcpy(bytes.data(), valores.data(), bytes.size());
    return AudioBuffer{1, std::move(bytes)};
}

AudioSampleBuffer sonido(AudioStreamDescription d, int64_t frames, std::vector<AudioBuffer> lista) {
    return AudioSampleBuffer{d, frames, std::move(lista), {}};
}

TEST(Muestras, StereoToMonoAverages) {
    auto mono = muestras(sonido(floatPcm(2), 2, {buffer({1, 3, -1, -3})}), 1);
    EXPECT_EQ(mono, (Floats{2, -2}));
}

TEST(Muestras, MonoToStereoDuplicates) {
    EXPECT_EQ(muestras(sonido(floatPcm(1), 2, {buffer({0.25f, -0.5f})}), 2), (Floats{0.25f, 0.25f, -0.5f, -0.5f}));
}

TEST(Muestras, ChannelsKeptInOrderOrDropped) {
    const Floats estereo{0.1f, 0.2f, 0.3f, 0.4f};
    EXPECT_EQ(muestras(sonido(floatPcm(2), 2, {buffer(estereo)}), 2), estereo);
    EXPECT_EQ(muestras(sonido(floatPcm(3), 1, {buffer({0.1f, 0.2f, 0.3f})}), 2), (Floats{0.1f, 0.2f}));
    EXPECT_EQ(muestras(sonido(floatPcm(2, true), 2, {buffer({1, 2}), buffer({3, 4})}), 2), (Floats{1, 3, 2, 4}));
}

TEST(Muestras, MissingValuesCountAsSilenceButStillDivide) {
    // The second channel's buffer is short: the last frames are half the first channel.
    auto mono = muestras(sonido(floatPcm(2, true), 4, {buffer({1, 2, 3, 4}), buffer({1, 2})}), 1);
    EXPECT_EQ(mono, (Floats{1, 2, 1.5f, 2}));
    // An interleaved buffer shorter than its frame count.
    EXPECT_EQ(muestras(sonido(floatPcm(2), 3, {buffer({1, 3, 5})}), 1), (Floats{2, 2.5f, 0}));
    // A buffer without data, or a missing buffer: silence of the right length.
    EXPECT_EQ(muestras(sonido(floatPcm(1), 3, {AudioBuffer{1, std::nullopt}}), 2), Floats(6, 0.0f));
    EXPECT_EQ(muestras(sonido(floatPcm(1), 2, {}), 1), Floats(2, 0.0f));
    EXPECT_EQ(muestras(sonido(floatPcm(2, true), 2, {buffer({4, 6})}), 1), (Floats{2, 3}));
}

TEST(Muestras, OnlyFloat32PcmWithFrames) {
    AudioStreamDescription entero = floatPcm(1);
    entero.formatFlags = platform::kAudioFormatFlagIsPacked;
    entero.bitsPerChannel = 16;
    AudioStreamDescription doble = floatPcm(1);
    doble.bitsPerChannel = 64;
    AudioStreamDescription opus = floatPcm(1);
    opus.formatID = platform::kAudioFormatOpus;
    const Floats uno{0.5f, 0.5f};
    EXPECT_FALSE(muestras(sonido(entero, 2, {buffer(uno)}), 1));
    EXPECT_FALSE(muestras(sonido(doble, 1, {buffer(uno)}), 1));
    EXPECT_FALSE(muestras(sonido(opus, 2, {buffer(uno)}), 1));
    EXPECT_FALSE(muestras(sonido(floatPcm(1), 0, {buffer(uno)}), 1));
    EXPECT_FALSE(muestras(sonido(floatPcm(1), -5, {buffer(uno)}), 1));
    EXPECT_FALSE(muestras(AudioSampleBuffer{std::nullopt, 2, std::vector<AudioBuffer>{buffer(uno)}, {}}, 1));
    EXPECT_FALSE(muestras(AudioSampleBuffer{floatPcm(1), 2, std::nullopt, {}}, 1));
}

TEST(Muestras, AbsurdDescriptionsStayBounded) {
    // Four billion channels: only the data that exists is read.
    auto mono = muestras(sonido(floatPcm(0xFFFFFFFFu), 3, {buffer({8, 8, 8})}), 1);
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->size(), 3u);
    auto separados = muestras(sonido(floatPcm(0xFFFFFFFFu, true), 2, {buffer({1, 2})}), 2);
    EXPECT_EQ(separados, (Floats{1, 0, 2, 0}));
    // A frame count no capture delivers is refused instead of allocated.
    EXPECT_FALSE(muestras(sonido(floatPcm(2), int64_t{1} << 40, {buffer({1, 2})}), 2));
    EXPECT_FALSE(muestras(sonido(floatPcm(2), INT64_MAX, {buffer({1, 2})}), 1));
    // No channels at all: silence.
    EXPECT_EQ(muestras(sonido(floatPcm(0), 2, {buffer({1, 2})}), 1), Floats(2, 0.0f));
}

}  // namespace
}  // namespace zentrec
