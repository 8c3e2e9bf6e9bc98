#include "platform/sim/input/scripted_input.h"

#include <utility>

namespace platform::sim {

using input::EventType;
using input::Point;
using input::Verdict;

namespace {

// A scripted event as the callback sees it.
class EventView final : public input::Event {
public:
    explicit EventView(const ScriptedEvent& fields) : fields_(fields) {}

    int64_t integerValue(input::EventField field) const override {
        switch (field) {
            case input::EventField::sourceUserData: return fields_.userData;
            case input::EventField::keyboardKeycode: return fields_.keyCode;
            case input::EventField::keyboardAutorepeat: return fields_.autorepeat;
        }
        return 0;
    }
    input::Point location() const override { return fields_.at; }

private:
    const ScriptedEvent& fields_;
};

bool movesPointer(EventType type) {
    return type == input::eventType::mouseMoved || type == input::eventType::leftMouseDragged ||
           type == input::eventType::rightMouseDragged || type == input::eventType::otherMouseDragged;
}

}  // namespace

// The tap handed to the program; its state lives in the script so tests can see it.
class ScriptedInput::Tap final : public input::EventTap {
public:
    Tap(ScriptedInput& script, uint64_t mask, input::TapCallback callback)
        : script_(script), mask_(mask), callback_(std::move(callback)) {}

    ~Tap() override {
        std::scoped_lock lock(script_.mutex_);
        if (script_.tap_ == this) script_.tap_ = nullptr;
    }

    void enable(bool on) override {
        std::scoped_lock lock(script_.mutex_);
        script_.enabled_ = on;
        ++script_.enableCalls_;
    }

    bool isValid() const override {
        std::scoped_lock lock(script_.mutex_);
        return script_.valid_;
    }

    bool holdLocalInput(bool hold) override {
        std::scoped_lock lock(script_.mutex_);
        script_.holds_.push_back(hold);
        bool held = hold && !script_.holdsRefused_;
        script_.holding_ = held;
        return held || !hold;
    }

    std::optional<Point> pointerLocation() override {
        std::scoped_lock lock(script_.mutex_);
        return script_.pointer_;
    }

    void warpPointer(Point to) override {
        std::scoped_lock lock(script_.mutex_);
        script_.warps_.push_back(to);
        script_.pointer_ = to;
    }

    const input::TapCallback& callback() const { return callback_; }
    bool wants(EventType type) const { return type < 64 && (mask_ >> type & 1); }

private:
    ScriptedInput& script_;
    uint64_t mask_;
    input::TapCallback callback_;
};

ScriptedInput& ScriptedInput::shared() {
    static ScriptedInput script;
    return script;
}

void ScriptedInput::reset() {
    std::scoped_lock lock(mutex_);
    ++generation_;
    createsHeld_ = false;
    createsFreed_.notify_all();
    createsStarted_ = 0;
    holdsRefused_ = false;
    holding_ = false;
    refused_.clear();
    requests_.clear();
    tap_ = nullptr;
    enabled_ = false;
    valid_ = true;
    enableCalls_ = 0;
    holds_.clear();
    deliveries_.clear();
    pointer_ = Point{};
    warps_.clear();
}

void ScriptedInput::refuseTaps(input::TapLocation location) {
    std::scoped_lock lock(mutex_);
    refused_.insert(location);
}

void ScriptedInput::holdCreates(bool held) {
    std::scoped_lock lock(mutex_);
    createsHeld_ = held;
    if (!held) createsFreed_.notify_all();
}

int ScriptedInput::createsStarted() const {
    std::scoped_lock lock(mutex_);
    return createsStarted_;
}

bool ScriptedInput::waitCreatesIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return createsFreed_.wait_for(lock, timeout, [this] { return createsUnderWay_ == 0; });
}

void ScriptedInput::refuseHolds(bool refused) {
    std::scoped_lock lock(mutex_);
    holdsRefused_ = refused;
}

bool ScriptedInput::holding() const {
    std::scoped_lock lock(mutex_);
    return holding_;
}

std::vector<TapRequest> ScriptedInput::createRequests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
}

bool ScriptedInput::hasTap() const {
    std::scoped_lock lock(mutex_);
    return tap_ != nullptr;
}

Verdict ScriptedInput::post(EventType type, ScriptedEvent event) {
    input::TapCallback callback;
    {
        std::scoped_lock lock(mutex_);
        if (tap_ && enabled_ && valid_ && tap_->wants(type)) {
            callback = tap_->callback();
        }
    }
    Verdict verdict = callback ? callback(type, EventView(event)) : Verdict::pass;
    std::scoped_lock lock(mutex_);
    deliveries_.push_back({type, event, verdict});
    if (verdict == Verdict::pass && movesPointer(type)) pointer_ = event.at;
    return verdict;
}

void ScriptedInput::disableTap(EventType notification) {
    input::TapCallback callback;
    {
        std::scoped_lock lock(mutex_);
        if (!tap_) return;
        enabled_ = false;
        callback = tap_->callback();
    }
    ScriptedEvent event;
    Verdict verdict = callback(notification, EventView(event));
    std::scoped_lock lock(mutex_);
    deliveries_.push_back({notification, event, verdict});
}

void ScriptedInput::invalidateTap() {
    std::scoped_lock lock(mutex_);
    valid_ = false;
}

std::vector<Delivery> ScriptedInput::deliveries() const {
    std::scoped_lock lock(mutex_);
    return deliveries_;
}

bool ScriptedInput::tapEnabled() const {
    std::scoped_lock lock(mutex_);
    return enabled_;
}

int ScriptedInput::enableCalls() const {
    std::scoped_lock lock(mutex_);
    return enableCalls_;
}

std::vector<bool> ScriptedInput::holdCalls() const {
    std::scoped_lock lock(mutex_);
    return holds_;
}

void ScriptedInput::setPointer(std::optional<Point> at) {
    std::scoped_lock lock(mutex_);
    pointer_ = at;
}

std::optional<Point> ScriptedInput::pointer() const {
    std::scoped_lock lock(mutex_);
    return pointer_;
}

std::vector<Point> ScriptedInput::warps() const {
    std::scoped_lock lock(mutex_);
    return warps_;
}

Result<std::unique_ptr<input::EventTap>> ScriptedInput::createTap(TapRequest request,
                                                                 input::TapCallback callback) {
    std::unique_lock lock(mutex_);
    ++createsStarted_;
    ++createsUnderWay_;
    const uint64_t generation = generation_;
    createsFreed_.wait(lock, [this] { return !createsHeld_; });
    --createsUnderWay_;
    createsFreed_.notify_all();
    // A create held across reset() belongs to a script that is gone: it leaves no trace.
    if (generation != generation_) return Error{"sim.input", 2, "el guion ya no existe", nullptr};
    requests_.push_back(request);
    if (refused_.count(request.location)) return Error{"sim.input", 1, "el guion rechaza el gancho", nullptr};
    auto tap = std::make_unique<Tap>(*this, request.mask, std::move(callback));
    tap_ = tap.get();
    enabled_ = true;
    valid_ = true;
    return std::unique_ptr<input::EventTap>(std::move(tap));
}

}  // namespace platform::sim

namespace platform::input {

Result<std::unique_ptr<EventTap>> EventTap::create(TapLocation location, TapPlacement placement,
                                                   TapOptions options, uint64_t mask, TapCallback callback) {
    return sim::ScriptedInput::shared().createTap({location, placement, options, mask}, std::move(callback));
}

}  // namespace platform::input
