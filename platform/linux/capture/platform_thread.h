#pragma once
// Threads of this backend: completion handlers run on threads of their own, never on
// the caller's, so a handler may call back into the platform without deadlocking; and
// a worker thread is ended the same way wherever its owner is destroyed.

#include <thread>
#include <utility>

namespace platform::x11 {

template <class Work>
void completeOnPlatformThread(Work&& work) {
    std::thread(std::forward<Work>(work)).detach();
}

// Waits for a worker thread to end, unless this is that thread (its owner was destroyed
// or invalidated from one of its own callbacks): then it ends by itself once the
// callback returns, and is detached instead.
inline void joinUnlessCurrent(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

}  // namespace platform::x11
