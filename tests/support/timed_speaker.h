#pragma once
// A player that knows when its sounds leave the speakers. It plays into a sink
// through its own PulseAudio stream, 10 ms at a time, a quiet hum that keeps the
// stream running and a burst of tone whenever asked; right after handing the server
// the block where a burst begins it asks the server for the stream's latency, which
// says when the last frame handed over will be played. So the instant a burst sounds
// is measured, whatever the player's own buffering and a busy machine add to it, and
// a test compares the recording with that instant rather than with a guess.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class TimedSpeaker {
public:
    // `server`: a PULSE_SERVER address; `hum`: amplitude of a 200 Hz hum under the bursts.
    TimedSpeaker(const std::string& server, const std::string& sink, double hum = 0.02);
    ~TimedSpeaker();
    TimedSpeaker(const TimedSpeaker&) = delete;
    TimedSpeaker& operator=(const TimedSpeaker&) = delete;
    bool opened() const { return opened_; }

    // The next block starts a burst of `seconds` of a tone. A burst asked for while one
    // is still waiting for its block replaces it.
    void click(double frequency = 1000, double amplitude = 0.5, double seconds = 0.03);

    // When each burst began to sound, in CLOCK_MONOTONIC seconds, in the order asked;
    // NaN for one whose latency the server could not tell.
    std::vector<double> played() const;
    // How long after each click() its burst sounded, in seconds.
    std::vector<double> delays() const;

private:
    void run();

    struct Stream;
    std::unique_ptr<Stream> stream_;
    bool opened_ = false;
    const double hum_;
    mutable std::mutex mutex_;
    bool burstAsked_ = false;
    double askedAt_ = 0;
    double frequency_ = 0, amplitude_ = 0;
    long burstFrames_ = 0;
    std::vector<double> played_, delays_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// CLOCK_MONOTONIC in seconds: the clock of the programs' timestamps.
double monotonicNow();

}  // namespace testsupport
