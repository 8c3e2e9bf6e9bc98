#pragma once
// When the blocks of one capture were captured, on the host clock.
//
// The sound server says how long ago the next frame to be read was captured (its
// latency: for a sink's monitor, how long until that frame is played, which can lie
// ahead). That measure jitters by a millisecond or two from block to block, and on a
// busy machine it can be off by tens of milliseconds for a moment, while the frames
// themselves follow one another without gaps: so a block's time is the time of the
// first block plus the frames delivered since, and the measure only steers it, by at
// most 2% of a block's length (what the mixer can stretch a block by unheard). That
// follows a sound card whose clock drifts from the host's,
// and a server that falls behind real time on a busy machine (a null sink's monitor
// then delivers fewer frames than the time that passed, up to 1%), without a jump.
// Only a large difference that lasts (frames the server dropped) starts the count
// again there (sooner when it is very large). Before the server can tell its latency the
// blocks have no trustworthy time and are not used, unless it never can.

#include <cstdint>
#include <optional>

namespace platform::pulse {

class CaptureClock {
public:
    // Whether the measure steers the count, or only starts it again.
    enum class Steering { follow, countOnly };

    CaptureClock(uint32_t sampleRate, Steering steering) : rate_(sampleRate), steering_(steering) {}

    // The host time (ns) of the first frame of a block of `frames` frames; none when
    // the block is to be dropped. `measured`: when the server says that frame was
    // captured; none when it cannot tell yet, and then `guess` may stand in for it.
    std::optional<int64_t> stamp(std::optional<int64_t> measured, int64_t guess, uint64_t frames);

    // A difference beyond this, lasting kRestartFrames, starts the count again.
    static constexpr int64_t kRestartNanos = 30'000'000;
    static constexpr uint64_t kRestartFrames = 144'000;  // 3 s at 48 kHz: steering closes most gaps first
    // A difference far beyond what steering closes in a few seconds starts it again
    // sooner: a first measure taken while the server was still settling its latency
    // (an idle sink's monitor starts with one of up to seconds) is off by that much.
    static constexpr int64_t kJumpNanos = 150'000'000;
    static constexpr uint64_t kJumpFrames = 12'000;  // 250 ms at 48 kHz
    // Differences within this are the measure's own jitter (a source fed in bursts
    // jitters by several milliseconds) and move nothing.
    static constexpr int64_t kDeadbandNanos = 10'000'000;
    // The most a block's time is moved toward the measure: this part of its length.
    static constexpr int64_t kSteerDivisor = 50;
    // How long blocks wait for the server's first measure before guesses are used.
    static constexpr uint64_t kGuessAfterFrames = 24'000;  // 500 ms at 48 kHz

private:
    int64_t counted() const;

    const uint32_t rate_;
    const Steering steering_;
    std::optional<int64_t> origin_;  // host time of the first frame counted
    uint64_t frames_ = 0;            // frames delivered since origin_
    bool measuredOrigin_ = false;    // origin_ came from the server's measure
    uint64_t unmeasured_ = 0;        // frames dropped waiting for a first measure
    uint64_t astray_ = 0;            // frames in a row whose measure was far off
    uint64_t lost_ = 0;              // frames in a row whose measure was off beyond kJumpNanos
};

}  // namespace platform::pulse
