#pragma once
// Completion handlers of this backend run on threads of their own, never on the
// caller's, so a handler may call back into the platform without deadlocking.

#include <thread>
#include <utility>

namespace platform::x11 {

template <class Work>
void completeOnPlatformThread(Work&& work) {
    std::thread(std::forward<Work>(work)).detach();
}

}  // namespace platform::x11
