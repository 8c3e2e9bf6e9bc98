#pragma once
// The scripted backend's shared state. One mutex guards it all; program callbacks are
// always made with it released, because they call back into the backend.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch.h"
#include "platform/sim/capture/sim_capture.h"

namespace platform::sim::detail {

struct StreamCore;
struct SessionCore;

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t generation = 0;  // raised by reset(); objects of older generations go inert

    uint64_t hostTime = 1000ull * 1'000'000'000ull;
    bool screenCaptureAccess = true;
    std::optional<Error> systemAudioUnavailable;

    ContentAnswer contentAnswer;
    int contentRequests = 0;
    std::deque<ShareableContentHandler> heldContentRequests;

    StreamScript streamScript;
    std::shared_ptr<StreamCore> stream;

    CompressionScript compressionScript;
    std::vector<CreationRecord> creations;
    std::shared_ptr<SessionCore> session;

    uint32_t mainDisplayID = 1;

    std::optional<CursorScript> cursor;
    std::map<uint32_t, Rect> displayBounds;
    int cursorQueries = 0;
    std::vector<DrawRecord> cursorDraws;

    // Resets of the families built on this state (see addResetHook).
    std::vector<std::shared_ptr<void> (*)()> resetHooks;
};

// Created on first use and never destroyed: backend threads may still run at exit.
State& state();
// Wakes waitFor(); call after recording something (the lock may be held or not).
void notifyChanged();
// The queue on which the backend runs its platform completions.
dispatch::Queue platformQueue();
void resetScreenCapture();   // with the lock held
void resetCompression();
void resetCursor();

// A family of the scripted backend that keeps state of its own (the sound services)
// joins reset() here, with the lock held. reset() runs `hook` with the lock held; the
// hook puts its scripts back to their defaults and returns what it detached, which
// reset() drops only once the lock is released, because destroying program callbacks
// may call back into the backend. Adding the same hook twice adds it once.
using ResetHook = std::shared_ptr<void> (*)();
void addResetHook(ResetHook hook);  // with the lock held

// The current stream's audio output, or none when no stream since reset() registered
// one; taken under the lock, used without it.
struct AudioOutputTarget {
    dispatch::Queue queue;
    AudioSampleHandler handler;
    StreamConfiguration configuration;  // the one in force: as created or last updated
};
std::optional<AudioOutputTarget> currentAudioOutput();  // takes the lock

}  // namespace platform::sim::detail
