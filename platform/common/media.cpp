#include "platform/media.h"

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

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
    if (!valid() || newTimescale <= 0) return {};
    if (newTimescale == timescale) return *this;
    return {scaleRounded(value, newTimescale, timescale), newTimescale};
}

}  // namespace platform
