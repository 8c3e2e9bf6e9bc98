#pragma once
// When the blocks of one capture were captured, on the host clock.
//
// The sound server says how long ago the next frame to be read was captured (its
// latency: for a sink's monitor, how long until that frame is played, which can lie
// ahead). That measure jitters by a millisecond or two from block to block, while
// the frames themselves follow one another without gaps: so a block's time is the
// time of the first block plus the frames delivered since, and the measure only
// steers it. A small difference moves it by a few microseconds per block (a sound
// card's clock drifts from the host's by that much); a large one (frames the server
// dropped, or the first real measure after a guess) starts the count again there.

#include <cstdint>
#include <optional>

namespace platform::pulse {

class CaptureClock {
public:
    explicit CaptureClock(uint32_t sampleRate) : rate_(sampleRate) {}

    // The host time (ns) of the first frame of a block of `frames` frames. `measured`:
    // when the server says that frame was captured; none when it cannot tell yet, and
    // then `guess` stands in for it.
    int64_t stamp(std::optional<int64_t> measured, int64_t guess, uint64_t frames);

    // A difference beyond this starts the count again.
    static constexpr int64_t kRestartNanos = 20'000'000;
    // Differences within this are the measure's own jitter and move nothing.
    static constexpr int64_t kDeadbandNanos = 2'000'000;
    // The most a block's time is moved toward the measure.
    static constexpr int64_t kSteerNanos = 50'000;

private:
    const uint32_t rate_;
    std::optional<int64_t> origin_;  // host time of the first frame counted
    uint64_t frames_ = 0;            // frames delivered since origin_
    bool measuredOrigin_ = false;    // origin_ came from the server's measure
};

}  // namespace platform::pulse
