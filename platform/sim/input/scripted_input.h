#pragma once
// The scripted event tap: tests install taps through the ordinary EventTap::create and
// drive them from here. Every action is recorded so a test can check what passed, what
// was swallowed and where the pointer went.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/event_tap.h"

namespace platform::sim {

// The fields of a scripted event. Local input has userData 0.
struct ScriptedEvent {
    int64_t userData = 0;
    int64_t keyCode = 0;
    int64_t autorepeat = 0;
    input::Point at;
};

struct Delivery {
    input::EventType type;
    ScriptedEvent event;
    input::Verdict verdict;
};

struct TapRequest {
    input::TapLocation location;
    input::TapPlacement placement;
    input::TapOptions options;
    uint64_t mask;
};

// Process-wide script for the scripted backend. All methods are thread-safe; a tap
// callback runs on the thread that posts the event, with no lock held.
class ScriptedInput {
public:
    static ScriptedInput& shared();

    // Forgets every tap, refusal and record; the pointer goes back to (0, 0).
    void reset();

    // Creates at `location` fail from now on.
    void refuseTaps(input::TapLocation location);
    // While held, every create waits (as an input service that does not answer makes
    // it wait) until creates are let go again or reset() is called.
    void holdCreates(bool held);
    // Creates that have started, whether they returned or still wait.
    int createsStarted() const;
    // Waits until no create is under way; false when one still is after `timeout`.
    bool waitCreatesIdle(std::chrono::milliseconds timeout);
    // Every create call, refused or not, in order.
    std::vector<TapRequest> createRequests() const;
    bool hasTap() const;

    // Posts one event to the live tap as the system would: when there is no tap or the
    // tap is disabled, the event passes without a callback. A passed event of a move
    // type moves the pointer to its location. Returns the verdict.
    input::Verdict post(input::EventType type, ScriptedEvent event = {});
    // The system switched the tap off; the notification goes to the callback.
    void disableTap(input::EventType notification);
    // The platform takes the tap away (isValid() turns false).
    void invalidateTap();

    std::vector<Delivery> deliveries() const;
    bool tapEnabled() const;
    int enableCalls() const;
    // Every holdLocalInput call, in order.
    std::vector<bool> holdCalls() const;
    // From now on holdLocalInput(true) fails (a device another client holds) while
    // `refused` is true.
    void refuseHolds(bool refused);
    // Whether local input is held: after a successful hold and until the next let go.
    bool holding() const;

    void setPointer(std::optional<input::Point> at);  // none: the location cannot be learned
    std::optional<input::Point> pointer() const;
    std::vector<input::Point> warps() const;

    // What EventTap::create does on this backend.
    Result<std::unique_ptr<input::EventTap>> createTap(TapRequest request, input::TapCallback callback);

    class Tap;

private:
    friend class Tap;
    mutable std::mutex mutex_;
    std::condition_variable createsFreed_;
    bool createsHeld_ = false;
    uint64_t generation_ = 0;  // counts reset() calls
    int createsStarted_ = 0;
    int createsUnderWay_ = 0;
    bool holdsRefused_ = false;
    bool holding_ = false;
    std::set<input::TapLocation> refused_;
    std::vector<TapRequest> requests_;
    Tap* tap_ = nullptr;
    bool enabled_ = false;
    bool valid_ = true;
    int enableCalls_ = 0;
    std::vector<bool> holds_;
    std::vector<Delivery> deliveries_;
    std::optional<input::Point> pointer_ = input::Point{};
    std::vector<input::Point> warps_;
};

}  // namespace platform::sim
