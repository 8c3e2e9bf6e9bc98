#include "platform/media.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

namespace platform {

namespace {

// a * b / c rounded half away from zero, in 128-bit arithmetic so that no product of
// 64-bit times and 32-bit scales can overflow.
int64_t scaleRounded(int64_t a, int64_t b, int64_t c) {
    __int128 product = static_cast<__int128>(a) * b;
    __int128 quotient = product / c;
    __int128 remainder = product % c;
    if (remainder < 0) remainder = -remainder;
    if (remainder * 2 >= c) quotient += (product < 0) ? -1 : 1;
    return static_cast<int64_t>(quotient);
}

}  // namespace

int compare(MediaTime a, MediaTime b) {
    if (!a.valid() || !b.valid()) return int(a.valid()) - int(b.valid());
    __int128 left = static_cast<__int128>(a.value) * b.timescale;
    __int128 right = static_cast<__int128>(b.value) * a.timescale;
    return left < right ? -1 : (left > right ? 1 : 0);
}

namespace {

// Both operands in one timescale: their least common multiple when it fits (exact),
// else the larger one with the other rounded into it.
std::pair<MediaTime, MediaTime> common(MediaTime a, MediaTime b) {
    int64_t lcm = std::lcm(static_cast<int64_t>(a.timescale), static_cast<int64_t>(b.timescale));
    int32_t scale = lcm <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(lcm)
                                                              : std::max(a.timescale, b.timescale);
    return {a.convertScale(scale), b.convertScale(scale)};
}

}  // namespace

MediaTime operator+(MediaTime a, MediaTime b) {
    if (!a.valid() || !b.valid()) return {};
    auto [x, y] = common(a, b);
    int64_t sum;
    if (__builtin_add_overflow(x.value, y.value, &sum)) return {};
    return {sum, x.timescale};
}

MediaTime operator-(MediaTime a, MediaTime b) {
    if (!a.valid() || !b.valid()) return {};
    auto [x, y] = common(a, b);
    int64_t difference;
    if (__builtin_sub_overflow(x.value, y.value, &difference)) return {};
    return {difference, x.timescale};
}

MediaTime hostTime() {
    return {static_cast<int64_t>(hostTimeNanos()), 1'000'000'000};
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
    if (!valid() || newTimescale <= 0) return {};
    if (newTimescale == timescale) return *this;
    return {scaleRounded(value, newTimescale, timescale), newTimescale};
}

}  // namespace platform
