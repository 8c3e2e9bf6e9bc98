#include "tests/support/timed_speaker.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <cmath>
#include <cstdio>

namespace testsupport {

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = kRate / 100;  // 10 ms

}  // namespace

double monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct TimedSpeaker::Stream {
    pa_simple* handle = nullptr;
    ~Stream() {
        if (handle) pa_simple_free(handle);
    }
};

TimedSpeaker::TimedSpeaker(const std::string& server, const std::string& sink, double hum)
    : stream_(std::make_unique<Stream>()), hum_(hum) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 2};
    // 50 ms of buffer: a late wake-up of this thread on a busy machine does not starve
    // the stream (which would delay what follows by an amount nobody measured).
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(50'000, &spec));
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    stream_->handle = pa_simple_new(server.c_str(), "Altavoz de prueba", PA_STREAM_PLAYBACK, sink.c_str(), "clics",
                                    &spec, nullptr, &attributes, &error);
    if (!stream_->handle) {
        std::fprintf(stderr, "TimedSpeaker: %s\n", pa_strerror(error));
        return;
    }
    opened_ = true;
    thread_ = std::thread([this] { run(); });
}

TimedSpeaker::~TimedSpeaker() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void TimedSpeaker::click(double frequency, double amplitude, double seconds) {
    std::scoped_lock lock(mutex_);
    burstAsked_ = true;
    askedAt_ = monotonicNow();
    frequency_ = frequency;
    amplitude_ = amplitude;
    burstFrames_ = static_cast<long>(seconds * kRate);
}

std::vector<double> TimedSpeaker::played() const {
    std::scoped_lock lock(mutex_);
    return played_;
}

std::vector<double> TimedSpeaker::delays() const {
    std::scoped_lock lock(mutex_);
    return delays_;
}

void TimedSpeaker::run() {
    std::vector<float> block(2 * kBlock);
    long hum = 0, burstDone = 0, burstLeft = 0;
    double frequency = 0, amplitude = 0;
    while (!stop_.load()) {
        bool starts = false;
        double askedAt = 0;
        {
            std::scoped_lock lock(mutex_);
            if (burstAsked_) {
                burstAsked_ = false;
                starts = true;
                askedAt = askedAt_;
                frequency = frequency_;
                amplitude = amplitude_;
                burstLeft = burstFrames_;
                burstDone = 0;
            }
        }
        for (int i = 0; i < kBlock; ++i) {
            double value = hum_ * std::sin(2 * M_PI * 200 * static_cast<double>(hum++) / kRate);
            if (burstLeft > 0) {
                value += amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(burstDone++) / kRate);
                --burstLeft;
            }
            block[2 * i] = block[2 * i + 1] = static_cast<float>(value);
        }
        int error = 0;
        // Blocks until the server has room: the server's clock paces this loop.
        if (pa_simple_write(stream_->handle, block.data(), block.size() * sizeof(float), &error) < 0) break;
        if (!starts) continue;
        // The latency covers everything handed over and not played yet, this block
        // included: its last frame sounds that long from now, its first 10 ms earlier.
        const pa_usec_t latency = pa_simple_get_latency(stream_->handle, &error);
        const double now = monotonicNow();
        const double at = latency == static_cast<pa_usec_t>(-1)
                              ? NAN
                              : now + static_cast<double>(latency) / 1e6 - static_cast<double>(kBlock) / kRate;
        std::scoped_lock lock(mutex_);
        played_.push_back(at);
        delays_.push_back(at - askedAt);
    }
}

}  // namespace testsupport
