#pragma once
// Synthetic media for the MP4 writer's tests, fed in real time as a recorder feeds
// it: NV12 frames whose brightness says what time they show, and stereo float sound.
// Header-only: the test binary and the writer's child process both use it.

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "platform/file_writer.h"

namespace writertest {

constexpr int kWidth = 320, kHeight = 240;
constexpr int kRate = 48000;

// Dark before `flash` seconds, bright from then on, with a square that moves every
// frame so that no two frames are alike; or noise, which no encoder can squeeze.
inline std::shared_ptr<platform::PixelBuffer> frame(double seconds, double flash, int n, bool noise = false) {
    auto image = std::make_shared<platform::PixelBuffer>();
    image->width = kWidth;
    image->height = kHeight;
    image->lumaStride = kWidth;
    image->chromaStride = kWidth;
    image->luma.assign(kWidth * kHeight, seconds >= flash ? 200 : 40);
    image->chroma.assign(kWidth * kHeight / 2, 128);
    if (noise) {
        std::mt19937 random(n);
        for (auto& y : image->luma) y = static_cast<uint8_t>(random());
        return image;
    }
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) image->luma[(100 + y) * kWidth + (x + n * 4) % kWidth] = 128;
    return image;
}

inline platform::AudioStreamDescription stereoFloat() {
    platform::AudioStreamDescription d;
    d.sampleRate = kRate;
    d.formatID = platform::kAudioFormatLinearPCM;
    d.formatFlags = platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked;
    d.bytesPerPacket = d.bytesPerFrame = 8;
    d.framesPerPacket = 1;
    d.channelsPerFrame = 2;
    d.bitsPerChannel = 32;
    return d;
}

// Frames [first, first + count) of `sound` (seconds to value), both channels alike,
// stamped at `start` + first / 48000 s.
inline std::shared_ptr<platform::AudioSampleBuffer> chunk(int64_t start, int64_t first, int count,
                                                          const std::function<float(double)>& sound) {
    auto sample = std::make_shared<platform::AudioSampleBuffer>();
    sample->description = stereoFloat();
    sample->frameCount = count;
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * 8);
    for (int i = 0; i < count; ++i) {
        const float value = sound(static_cast<double>(first + i) / kRate);
        std::memcpy(&bytes[i * 8], &value, 4);
        std::memcpy(&bytes[i * 8 + 4], &value, 4);
    }
    platform::AudioBuffer buffer;
    buffer.numberChannels = 2;
    buffer.data = std::move(bytes);
    sample->bufferList = std::vector<platform::AudioBuffer>{std::move(buffer)};
    sample->presentationTime = {start + first * 1'000'000'000 / kRate, 1'000'000'000};
    return sample;
}

// Silence until 0.5 s, then a 1 kHz tone at half of full scale.
inline float toneFromHalfSecond(double seconds) {
    return seconds < 0.5 ? 0.0f : 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000 * seconds));
}

struct Plan {
    double seconds = 3;          // session length
    double movingUntil = 1.5;    // frames come until then; the screen is still after
    double flash = 0.5;          // the picture turns bright then
    int framesPerSecond = 30;
    bool noise = false;
    bool sound = true;
    // Every sample is appended, waiting for room (inputs that do not expect real-time
    // data), instead of being dropped while the writer is not ready, as a recorder does:
    // for checks of where samples land, which a busy machine's drops would shift.
    bool lossless = false;
    // Called after each step with the session time (seconds); false stops early.
    std::function<bool(double)> progress;
};

// The writer set up as a recorder sets it up: 2 s fragments, High profile, real time.
struct Writer {
    std::unique_ptr<platform::FileWriter> file;
    std::shared_ptr<platform::VideoWriterInput> video;
    std::shared_ptr<platform::AudioWriterInput> audio;
};

inline Writer makeWriter(const std::string& path, int64_t bitRate = 1'000'000, bool withSound = true) {
    Writer w;
    auto created = platform::createFileWriter(path);
    if (!created) return w;
    w.file = std::move(created.value());
    w.file->setMovieFragmentInterval({1200, 600});
    platform::VideoInputSettings video;
    video.width = kWidth;
    video.height = kHeight;
    video.averageBitRate = bitRate;
    video.maxKeyFrameIntervalDuration = 2;
    video.expectedSourceFrameRate = 30;
    w.video = w.file->makeVideoInput(video);
    w.video->setExpectsMediaDataInRealTime(true);
    if (w.file->canAddInput(*w.video)) w.file->addInput(w.video);
    if (withSound) {
        w.audio = w.file->makeAudioInput({}, stereoFloat());
        w.audio->setExpectsMediaDataInRealTime(true);
        if (w.file->canAddInput(*w.audio)) w.file->addInput(w.audio);
    }
    return w;
}

// Feeds the writer in real time from now: a frame every 1/fps s while the screen
// moves, 20 ms of sound every 20 ms. Returns the session's start (host nanoseconds).
inline int64_t feed(Writer& w, const Plan& plan, int64_t start) {
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    int frames = 0;
    int64_t soundFrames = 0;
    const double step = 0.02;
    for (int tick = 0;; ++tick) {
        const double now = tick * step;
        if (now > plan.seconds) break;
        while (frames < plan.movingUntil * plan.framesPerSecond &&
               static_cast<double>(frames) / plan.framesPerSecond <= now) {
            const double t = static_cast<double>(frames) / plan.framesPerSecond;
            auto sample = std::make_shared<platform::VideoSample>();
            sample->image = frame(t, plan.flash, frames, plan.noise);
            sample->frameStatus = int64_t{0};
            sample->presentationTime = {start + frames * 1'000'000'000LL / plan.framesPerSecond, 1'000'000'000};
            if (plan.lossless || w.video->readyForMoreMediaData()) w.video->append(sample);
            ++frames;
        }
        // Sound up to this tick (the first tick has none).
        const int64_t due = static_cast<int64_t>(now * kRate);
        if (plan.sound && w.audio && due > soundFrames) {
            if (plan.lossless || w.audio->readyForMoreMediaData())
                w.audio->append(chunk(start, soundFrames, static_cast<int>(due - soundFrames), toneFromHalfSecond));
            soundFrames = due;
        }
        if (plan.progress && !plan.progress(now)) break;
        std::this_thread::sleep_until(begin + std::chrono::microseconds(static_cast<int64_t>((tick + 1) * step * 1e6)));
    }
    return start;
}

}  // namespace writertest
