#pragma once
// The scripted backend's shared state. One mutex guards it all; program callbacks are
// always made with it released, because they call back into the backend.

#include <condition_variable>
#include <deque>
#include <mutex>

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

    ContentAnswer contentAnswer;
    int contentRequests = 0;
    std::deque<ShareableContentHandler> heldContentRequests;

    StreamScript streamScript;
    std::shared_ptr<StreamCore> stream;

    CompressionScript compressionScript;
    std::vector<CreationRecord> creations;
    std::shared_ptr<SessionCore> session;

    std::optional<CursorScript> cursor;
    std::map<uint32_t, Rect> displayBounds;
    int cursorQueries = 0;
    std::vector<DrawRecord> cursorDraws;
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

}  // namespace platform::sim::detail
