#include "platform/linux/sound/capture_clock.h"

#include <algorithm>
#include <cstdlib>

namespace platform::pulse {

int64_t CaptureClock::stamp(std::optional<int64_t> measured, int64_t guess, uint64_t frames) {
    const int64_t target = measured.value_or(guess);
    const auto counted = static_cast<int64_t>(frames_ / rate_ * 1'000'000'000ull + frames_ % rate_ * 1'000'000'000ull / rate_);
    const int64_t expected = origin_ ? *origin_ + counted : target;
    const int64_t difference = target - expected;
    // A guess never overrides a measure by small amounts: it is much rougher than one.
    const bool restart = !origin_ || std::llabs(difference) > kRestartNanos || (measured && !measuredOrigin_);
    int64_t time = expected;
    if (restart) {
        origin_ = target;
        frames_ = 0;
        measuredOrigin_ = measured.has_value();
        time = target;
    } else if (measured && std::llabs(difference) > kDeadbandNanos) {
        const int64_t step = std::clamp(difference, -kSteerNanos, kSteerNanos);
        *origin_ += step;
        time += step;
    }
    frames_ += frames;
    return time;
}

}  // namespace platform::pulse
