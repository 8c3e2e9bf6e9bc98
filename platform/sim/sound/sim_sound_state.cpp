// The sound services' state, its reset, sample buffers made to measure, the system
// version and the main display.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <tuple>

#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

namespace detail {

namespace {

// Puts the sound scripts back to their defaults; what the old state held (sessions,
// writers, held completions) is handed to reset() to drop once the lock is free.
std::shared_ptr<void> resetSound() {
    auto& current = sound();
    auto old = std::make_shared<SoundState>(std::move(current));
    current = SoundState{};
    return old;
}

}  // namespace

SoundState& sound() {
    static SoundState* shared = [] {
        addResetHook(&resetSound);
        return new SoundState;
    }();
    return *shared;
}

void onPlatformQueue(dispatch::Work work) { platformQueue().async(std::move(work)); }

bool drainQueue(const dispatch::Queue& queue, std::chrono::milliseconds timeout) {
    auto drained = std::make_shared<std::atomic<bool>>(false);
    queue.async([drained] {
        *drained = true;
        notifyChanged();
    });
    return waitFor([&] { return drained->load(); }, timeout);
}

}  // namespace detail

using detail::sound;
using detail::state;

namespace {

void putSample(std::vector<uint8_t>& bytes, size_t offset, float value, uint32_t bits, bool isFloat, bool bigEndian) {
    uint8_t raw[4] = {};
    size_t size = bits / 8;
    if (isFloat) {
        std::memcpy(raw, &value, 4);
    } else {
        double clamped = std::clamp(static_cast<double>(value), -1.0, 1.0);
        if (bits == 16) {
            auto integer = static_cast<int16_t>(std::lround(clamped * 32767.0));
            std::memcpy(raw, &integer, 2);
        } else {
            auto integer = static_cast<int32_t>(std::llround(clamped * 2147483647.0));
            std::memcpy(raw, &integer, 4);
        }
    }
    if (bigEndian) std::reverse(raw, raw + size);  // the machine is little-endian
    std::memcpy(bytes.data() + offset, raw, size);
}

// Linear PCM holding `interleaved`; bits 16 or 32 (integers) or 32 (float).
AudioSampleBuffer pcmBuffer(const std::vector<float>& interleaved, uint32_t channels, SampleLayout layout,
                            uint32_t bits, bool isFloat, bool bigEndian, MediaTime presentationTime, double rate) {
    AudioSampleBuffer buffer;
    buffer.presentationTime = presentationTime;
    if (channels == 0) return buffer;
    size_t frames = interleaved.size() / channels;
    uint32_t bytes = bits / 8;
    bool split = layout == SampleLayout::nonInterleaved;

    AudioStreamDescription description;
    description.sampleRate = rate;
    description.formatID = kAudioFormatLinearPCM;
    description.formatFlags = kAudioFormatFlagIsPacked | (isFloat ? kAudioFormatFlagIsFloat : 0) |
                              (bigEndian ? kAudioFormatFlagIsBigEndian : 0) |
                              (split ? kAudioFormatFlagIsNonInterleaved : 0);
    description.framesPerPacket = 1;
    description.bytesPerFrame = split ? bytes : bytes * channels;
    description.bytesPerPacket = description.bytesPerFrame;
    description.channelsPerFrame = channels;
    description.bitsPerChannel = bits;
    buffer.description = description;
    buffer.frameCount = static_cast<int64_t>(frames);

    std::vector<AudioBuffer> list(split ? channels : 1);
    for (auto& one : list) {
        one.numberChannels = split ? 1 : channels;
        one.data = std::vector<uint8_t>(frames * description.bytesPerFrame);
    }
    for (size_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            float value = interleaved[f * channels + c];
            if (split) {
                putSample(*list[c].data, f * bytes, value, bits, isFloat, bigEndian);
            } else {
                putSample(*list[0].data, (f * channels + c) * bytes, value, bits, isFloat, bigEndian);
            }
        }
    }
    buffer.bufferList = std::move(list);
    return buffer;
}

}  // namespace

AudioSampleBuffer floatSampleBuffer(const std::vector<float>& interleaved, uint32_t channels, SampleLayout layout,
                                    MediaTime presentationTime, double sampleRate) {
    return pcmBuffer(interleaved, channels, layout, 32, true, false, presentationTime, sampleRate);
}

namespace detail {

// The session's format, for deliverMicrophoneFloats(); none for formats it cannot make.
std::optional<AudioSampleBuffer> microphoneBuffer(const std::vector<float>& mono, const MicrophoneSettings& settings,
                                                  MediaTime presentationTime) {
    bool supported = settings.formatID == kAudioFormatLinearPCM && settings.channels > 0 &&
                     (settings.isFloat ? settings.bitDepth == 32 : (settings.bitDepth == 16 || settings.bitDepth == 32));
    if (!supported) return std::nullopt;
    std::vector<float> interleaved;
    interleaved.reserve(mono.size() * settings.channels);
    for (float value : mono) interleaved.insert(interleaved.end(), settings.channels, value);
    return pcmBuffer(interleaved, settings.channels,
                     settings.isNonInterleaved ? SampleLayout::nonInterleaved : SampleLayout::interleaved,
                     settings.bitDepth, settings.isFloat, settings.isBigEndian, presentationTime, settings.sampleRate);
}

}  // namespace detail

std::vector<float> decodeFloatSamples(const AudioSampleBuffer& buffer) {
    if (!buffer.description || !buffer.bufferList) return {};
    const auto& description = *buffer.description;
    if (description.formatID != kAudioFormatLinearPCM || !(description.formatFlags & kAudioFormatFlagIsFloat) ||
        description.bitsPerChannel != 32 || description.channelsPerFrame == 0 || buffer.frameCount < 1) {
        return {};
    }
    const size_t channels = description.channelsPerFrame;
    const bool split = description.formatFlags & kAudioFormatFlagIsNonInterleaved;
    const bool bigEndian = description.formatFlags & kAudioFormatFlagIsBigEndian;
    const auto& list = *buffer.bufferList;

    auto floatsIn = [&](size_t index) -> size_t {
        if (index >= list.size() || !list[index].data) return 0;
        return list[index].data->size() / 4;
    };
    size_t present = 0;
    for (size_t b = 0; b < (split ? std::min(channels, list.size()) : std::min<size_t>(1, list.size())); ++b) {
        present = std::max(present, split ? floatsIn(b) : (floatsIn(b) + channels - 1) / channels);
    }
    size_t frames = std::min(static_cast<size_t>(buffer.frameCount), present);

    auto value = [&](size_t index, size_t element) -> float {
        if (element >= floatsIn(index)) return 0.0f;
        uint8_t raw[4];
        std::memcpy(raw, list[index].data->data() + element * 4, 4);
        if (bigEndian) std::reverse(raw, raw + 4);
        float result;
        std::memcpy(&result, raw, 4);
        return result;
    };
    std::vector<float> samples(frames * channels);
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < channels; ++c) {
            samples[f * channels + c] = split ? value(c, f) : value(0, f * channels + c);
        }
    }
    return samples;
}

void setMainDisplayID(uint32_t displayID) {
    std::scoped_lock lock(state().mutex);
    state().mainDisplayID = displayID;
}

void setSystemVersion(std::optional<SystemVersion> version) {
    std::scoped_lock lock(state().mutex);
    sound().systemVersion = version;
}

std::vector<SystemVersion> systemVersionChecks() {
    std::scoped_lock lock(state().mutex);
    return sound().systemVersionChecks;
}

}  // namespace platform::sim

namespace platform {

bool runningSystemAtLeast(SystemVersion version) {
    std::scoped_lock lock(sim::detail::state().mutex);
    auto& sound = sim::detail::sound();
    sound.systemVersionChecks.push_back(version);
    sim::detail::notifyChanged();
    if (!sound.systemVersion) return true;
    const auto& running = *sound.systemVersion;
    return std::tie(running.major, running.minor, running.patch) >= std::tie(version.major, version.minor, version.patch);
}

}  // namespace platform
