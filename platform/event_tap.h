#pragma once
// An active filter on the session's keyboard and pointer events: every event of the
// types in its mask goes to a callback that lets it pass or swallows it. The tap also
// gives the pointer's location and moves the pointer.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"

namespace platform::input {

// Event types by number. Mask bit n stands for type n.
using EventType = uint32_t;
namespace eventType {
inline constexpr EventType leftMouseDown = 1;
inline constexpr EventType leftMouseUp = 2;
inline constexpr EventType rightMouseDown = 3;
inline constexpr EventType rightMouseUp = 4;
inline constexpr EventType mouseMoved = 5;
inline constexpr EventType leftMouseDragged = 6;
inline constexpr EventType rightMouseDragged = 7;
inline constexpr EventType keyDown = 10;
inline constexpr EventType keyUp = 11;
inline constexpr EventType flagsChanged = 12;
inline constexpr EventType systemDefined = 14;
inline constexpr EventType scrollWheel = 22;
inline constexpr EventType tabletPointer = 23;
inline constexpr EventType tabletProximity = 24;
inline constexpr EventType otherMouseDown = 25;
inline constexpr EventType otherMouseUp = 26;
inline constexpr EventType otherMouseDragged = 27;
// Not input: the tap reports that the system switched it off.
inline constexpr EventType tapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr EventType tapDisabledByUserInput = 0xFFFFFFFF;
}  // namespace eventType

// Platforms whose injected input carries no user data of its own (X11's XTEST) report
// every injected event with this source user data: the number hosts stamp on theirs.
inline constexpr int64_t injectedInputUserData = 0x5a655472;

// Key codes at this seam are the ones the programs use; backends translate theirs.
inline constexpr int64_t keyCodeEscape = 53;

enum class EventField : uint32_t {
    keyboardAutorepeat = 8,  // 1 for a repeat of a held key, else 0
    keyboardKeycode = 9,
    sourceUserData = 42,  // the number an injecting program stamped on the event; 0 for local input
};

struct Point {
    double x = 0, y = 0;  // global display coordinates
    bool operator==(const Point&) const = default;
};

// One event as the callback sees it; valid only during the callback.
class Event {
public:
    virtual ~Event() = default;
    // The field's value; 0 when the event has no such field.
    virtual int64_t integerValue(EventField field) const = 0;
    virtual Point location() const = 0;
};

enum class TapLocation { hid = 0, session = 1 };
enum class TapPlacement { headInsert = 0, tailAppend = 1 };
enum class TapOptions { activeFilter = 0, listenOnly = 1 };
enum class Verdict { pass, swallow };

// Called on the main queue for every event whose type is in the mask, and for the two
// disabled notifications. Must return quickly: the user's input waits on it.
using TapCallback = std::function<Verdict(EventType type, const Event& event)>;

class EventTap {
public:
    // Installs a tap; it starts enabled and delivers once the main queue is served.
    // Fails when the platform refuses a tap at that location (no permission, no input
    // service). The tap keeps `callback` until it is destroyed. May be called on any
    // thread, and may take as long as the input service takes to answer (an X server
    // that accepts the connection and then says nothing keeps it waiting for good), so
    // a program that must stay responsive calls it off the main queue.
    static Result<std::unique_ptr<EventTap>> create(TapLocation location, TapPlacement placement,
                                                    TapOptions options, uint64_t mask, TapCallback callback);
    virtual ~EventTap() = default;

    // The methods below are called on the main queue.

    virtual void enable(bool on) = 0;
    // False once the platform has taken the tap away (e.g. the input service went away).
    virtual bool isValid() const = 0;

    // Whether local input must be kept from the desktop from now on. A platform that
    // filters event by event relies on the callback's verdicts and ignores this; one
    // that can only keep input away device by device holds the local devices while
    // `hold` is true, delivers their events to the callback, and treats the verdicts
    // as advisory (held input never reaches the desktop; other input always does).
    // Such a platform also gives back, as soon as their physical release is seen, the
    // keys and buttons that were down when holding began (their releases are held
    // too), never those the injecting program holds itself.
    // Returns whether local input is held now: false when `hold` is true and some
    // local device could not be held (another client holds it); nothing is held then.
    // Letting go always succeeds and returns true.
    virtual bool holdLocalInput(bool hold) = 0;

    // The pointer's current location; none when it cannot be learned.
    virtual std::optional<Point> pointerLocation() = 0;
    // Moves the pointer without generating a move event for the desktop.
    virtual void warpPointer(Point to) = 0;
};

}  // namespace platform::input
