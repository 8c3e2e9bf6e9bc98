#include "platform/linux/sound/capture_clock.h"

#include <algorithm>
#include <cstdlib>

namespace platform::pulse {

int64_t CaptureClock::counted() const {
    return static_cast<int64_t>(frames_ / rate_ * 1'000'000'000ull + frames_ % rate_ * 1'000'000'000ull / rate_);
}

std::optional<int64_t> CaptureClock::stamp(std::optional<int64_t> measured, int64_t guess, uint64_t frames) {
    if (!measured && !measuredOrigin_ && unmeasured_ < kGuessAfterFrames) {
        unmeasured_ += frames;
        return std::nullopt;
    }
    const int64_t target = measured.value_or(guess);
    const int64_t expected = origin_ ? *origin_ + counted() : target;
    const int64_t difference = target - expected;
    const bool far = std::llabs(difference) > kRestartNanos;
    astray_ = measured && far ? astray_ + frames : 0;
    lost_ = measured && std::llabs(difference) > kJumpNanos ? lost_ + frames : 0;
    // The first measure replaces any guesses; later, only a difference that lasts.
    const bool restart = !origin_ || (measured && !measuredOrigin_) || astray_ >= kRestartFrames ||
                         lost_ >= kJumpFrames;
    int64_t time = expected;
    if (restart) {
        origin_ = target;
        frames_ = 0;
        measuredOrigin_ = measured.has_value();
        astray_ = 0;
        lost_ = 0;
        time = target;
    } else if (steering_ == Steering::follow && measured && std::llabs(difference) > kDeadbandNanos) {
        const int64_t most = std::max<int64_t>(
            1, static_cast<int64_t>(frames * 1'000'000'000ull / rate_) / kSteerDivisor);
        const int64_t step = std::clamp(difference, -most, most);
        *origin_ += step;
        time += step;
    }
    frames_ += frames;
    return time;
}

}  // namespace platform::pulse
