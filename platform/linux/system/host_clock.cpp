// The host clock of the Linux backend: every service stamps its media with it, so
// screen frames, sound and the program's timers share one time base.

#include <time.h>

#include "platform/media.h"

namespace platform {

uint64_t hostTimeNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace platform
