#include "platform/sim/capture/sim_state.h"

#include <algorithm>
#include <chrono>

namespace platform::sim {

namespace detail {

State& state() {
    static State* shared = new State;
    return *shared;
}

void notifyChanged() { state().changed.notify_all(); }

dispatch::Queue platformQueue() {
    static auto* queue = new dispatch::Queue(dispatch::Queue::serial("sim.platform"));
    return *queue;
}

}  // namespace detail

using detail::state;

void detail::addResetHook(ResetHook hook) {
    auto& hooks = state().resetHooks;
    if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) hooks.push_back(hook);
}

void reset() {
    // Declared before the lock, so it is dropped after the lock has been released.
    std::vector<std::shared_ptr<void>> detached;
    auto& s = state();
    std::scoped_lock lock(s.mutex);
    ++s.generation;
    s.hostTime = 1000ull * 1'000'000'000ull;
    s.screenCaptureAccess = true;
    s.systemAudioUnavailable.reset();
    detail::resetScreenCapture();
    detail::resetCompression();
    detail::resetCursor();
    for (auto hook : s.resetHooks) detached.push_back(hook());
    detail::notifyChanged();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto& s = state();
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock lock(s.mutex);
        s.changed.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void setHostTime(uint64_t nanos) {
    std::scoped_lock lock(state().mutex);
    state().hostTime = nanos;
}

void advanceHostTime(uint64_t nanos) {
    std::scoped_lock lock(state().mutex);
    state().hostTime += nanos;
}

void setScreenCaptureAccess(bool allowed) {
    std::scoped_lock lock(state().mutex);
    state().screenCaptureAccess = allowed;
}

void setSystemAudioUnavailable(std::optional<Error> reason) {
    std::scoped_lock lock(state().mutex);
    state().systemAudioUnavailable = std::move(reason);
}

}  // namespace platform::sim

namespace platform {

uint64_t hostTimeNanos() {
    std::scoped_lock lock(sim::detail::state().mutex);
    return sim::detail::state().hostTime;
}

bool preflightScreenCaptureAccess() {
    std::scoped_lock lock(sim::detail::state().mutex);
    return sim::detail::state().screenCaptureAccess;
}

std::optional<Error> preflightSystemAudioCapture() {
    std::scoped_lock lock(sim::detail::state().mutex);
    return sim::detail::state().systemAudioUnavailable;
}

}  // namespace platform
