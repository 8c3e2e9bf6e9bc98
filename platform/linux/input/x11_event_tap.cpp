// The event tap on X11. X has no per-event filter, so the tap works device by device:
// while local input is held, every physical slave device is grabbed, which sends its
// events to this client only; the host's input, injected through XTEST, is not grabbed
// and reaches the desktop as always. The tap watches that injected input through raw
// events on the root window (XInput 2.2 delivers those whatever grabs are active) and
// reports it as marked input, so the program's pointer pin follows the host.
//
// Threads: a reader thread waits on the X connection and posts what it reads to the
// main queue; everything else (device state, grabs, the callback) happens there.

#include <xcb/xinput.h>

#include <atomic>
#include <bitset>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/bounded_write.h"
#include "platform/dispatch.h"
#include "platform/event_tap.h"
#include "platform/linux/input/x11_input_connection.h"
#include "platform/linux/input/x11_keys.h"

namespace platform::input {

namespace x11 {

namespace {

// One device's entry in a hierarchy change: its ID and what happened to it.
struct DeviceChange {
    uint16_t deviceId = 0;
    uint32_t flags = 0;  // XCB_INPUT_HIERARCHY_MASK_*
};

// What the reader thread keeps of an input event; small enough to post by value (only
// hierarchy changes, which are rare, carry a list).
struct Incoming {
    enum class Kind { local, injected, hierarchy } kind = Kind::local;
    uint16_t type = 0;  // the XInput event type
    uint16_t deviceId = 0;
    uint16_t sourceId = 0;
    uint32_t detail = 0;
    uint32_t flags = 0;
    double x = 0, y = 0;
    uint32_t buttons = 0;  // held buttons, bit n = button n (device events only)
    std::vector<DeviceChange> changes;  // hierarchy changes only
};

double fromFixed(xcb_input_fp1616_t value) { return static_cast<double>(value) / 65536.0; }

// The fields that device and raw events share; `Event` is one of XCB's XInput event
// structs, which all start them the same way.
template <class Event>
Incoming describe(const Event* event, Incoming::Kind kind) {
    Incoming in;
    in.type = event->event_type;
    in.kind = kind;
    in.deviceId = event->deviceid;
    in.sourceId = event->sourceid;
    in.detail = event->detail;
    in.flags = event->flags;
    return in;
}

// A local device event, with the pointer position it reports.
template <class Event>
Incoming describeLocal(const Event* event) {
    Incoming in = describe(event, Incoming::Kind::local);
    in.x = fromFixed(event->root_x);
    in.y = fromFixed(event->root_y);
    return in;
}

std::optional<Incoming> decode(const xcb_generic_event_t* event, uint8_t inputOpcode) {
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC) return std::nullopt;
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if (generic->extension != inputOpcode) return std::nullopt;
    switch (generic->event_type) {
        case XCB_INPUT_KEY_PRESS:
        case XCB_INPUT_KEY_RELEASE:
            return describeLocal(reinterpret_cast<const xcb_input_key_press_event_t*>(event));
        case XCB_INPUT_BUTTON_PRESS:
        case XCB_INPUT_BUTTON_RELEASE:
        case XCB_INPUT_MOTION: {
            const auto* button = reinterpret_cast<const xcb_input_button_press_event_t*>(event);
            Incoming in = describeLocal(button);
            if (button->buttons_len > 0) in.buttons = xcb_input_button_press_button_mask(button)[0];
            return in;
        }
        case XCB_INPUT_RAW_KEY_PRESS:
        case XCB_INPUT_RAW_KEY_RELEASE:
        case XCB_INPUT_RAW_BUTTON_PRESS:
        case XCB_INPUT_RAW_BUTTON_RELEASE:
        case XCB_INPUT_RAW_MOTION:
            return describe(reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event),
                            Incoming::Kind::injected);
        case XCB_INPUT_HIERARCHY: {
            const auto* hierarchy = reinterpret_cast<const xcb_input_hierarchy_event_t*>(event);
            Incoming in;
            in.type = generic->event_type;
            in.kind = Incoming::Kind::hierarchy;
            const xcb_input_hierarchy_info_t* infos = xcb_input_hierarchy_infos(hierarchy);
            for (int i = 0; i < xcb_input_hierarchy_infos_length(hierarchy); ++i) {
                in.changes.push_back({infos[i].deviceid, infos[i].flags});
            }
            return in;
        }
        default:
            return std::nullopt;
    }
}

// An event as the callback sees it. Injected events carry no position of their own;
// theirs is where the pointer is when asked.
class X11Event final : public Event {
public:
    X11Event(int64_t userData, int64_t keyCode, bool autorepeat, std::optional<Point> at, InputConnection& connection)
        : userData_(userData), keyCode_(keyCode), autorepeat_(autorepeat), at_(at), connection_(connection) {}

    int64_t integerValue(EventField field) const override {
        switch (field) {
            case EventField::sourceUserData: return userData_;
            case EventField::keyboardKeycode: return keyCode_;
            case EventField::keyboardAutorepeat: return autorepeat_ ? 1 : 0;
        }
        return 0;
    }

    Point location() const override {
        if (!at_) {
            auto pointer = connection_.pointer();
            at_ = pointer ? Point{double(pointer->x), double(pointer->y)} : Point{};
        }
        return *at_;
    }

private:
    int64_t userData_;
    int64_t keyCode_;
    bool autorepeat_;
    mutable std::optional<Point> at_;
    InputConnection& connection_;
};

bool isDown(const KeyBits& keys, unsigned code) { return keys[code / 8] >> (code % 8) & 1; }

// The core button state bit of button n (Button1Mask = 1 << 8 ...); buttons above 5
// have none.
uint16_t buttonBit(unsigned button) {
    return button >= 1 && button <= 5 ? static_cast<uint16_t>(1u << (7 + button)) : 0;
}

// A device that cannot be grabbed because another client holds it may be free a moment
// later (a client that grabs the keyboard for a shortcut, a menu that is closing).
constexpr int kGrabAttempts = 10;
constexpr auto kGrabRetryDelay = std::chrono::milliseconds(20);

// Diagnostics must never hold up the main queue, where the user's input is served.
constexpr auto kDiagnosticWait = std::chrono::milliseconds(100);

void diagnostic(const std::string& line) { writeWithin(2, line + "\n", kDiagnosticWait); }

// The tap's state. Lives on the main queue, except `lost`, which the reader sets.
//
// Grabs are remembered by device ID from the moment the server grants them until the
// server says the device was removed, since only that ends a grab: a device that is
// disabled (a console switch disables them all, so does `xinput disable`) leaves the
// device list but keeps its grab, and comes back still grabbed when enabled again.
// Forgetting such a grab would leave the device held after the block, with nothing
// left that would ever release it.
class TapState {
public:
    TapState(std::unique_ptr<InputConnection> connection, uint64_t mask, TapCallback callback)
        : connection_(std::move(connection)), mask_(mask), callback_(std::move(callback)) {}

    InputConnection& connection() { return *connection_; }
    std::atomic<bool> lost{false};
    std::atomic<bool> closed{false};  // the tap is gone; posted work does nothing
    bool enabled = true;

    void handle(const Incoming& in) {
        if (closed) return;
        switch (in.kind) {
            case Incoming::Kind::hierarchy: devicesChanged(in.changes); break;
            case Incoming::Kind::injected: injected(in); break;
            case Incoming::Kind::local: local(in); break;
        }
    }

    bool hold(bool on) {
        if (!on) {
            letGo(StuckInput::release);
            return true;
        }
        if (!held_) {
            held_ = true;
            keysAtGrab_ = connection_->keysDown();
            auto pointer = connection_->pointer();
            buttonsAtGrab_ = pointer ? pointer->buttonMask : 0;
        }
        if (grabEveryDevice()) return true;
        // Holding only part of the local input would be a block the user can break
        // with the other device while the host believes it holds: none at all. The keys
        // the user holds now are left alone, as if nothing had been tried.
        letGo(StuckInput::keep);
        return false;
    }

    void connectionLost() {
        // The server dropped this client's grabs with the connection.
        if (!closed) diagnostic("la conexión con el servidor X se ha cortado");
        held_ = false;
        grabbed_.clear();
        freeWhenEnabled_.clear();
        disabled_.clear();
    }

private:
    bool isXtest(uint16_t deviceId) {
        auto found = xtestCache_.find(deviceId);
        if (found != xtestCache_.end()) return found->second;
        bool xtest = connection_->isXtestDevice(deviceId);
        xtestCache_.emplace(deviceId, xtest);
        return xtest;
    }

    void devicesChanged(const std::vector<DeviceChange>& changes) {
        // IDs may be reused by new devices: learn them again.
        xtestCache_.clear();
        std::vector<uint16_t> enabledAgain;
        for (const DeviceChange& change : changes) {
            if (change.flags & XCB_INPUT_HIERARCHY_MASK_SLAVE_REMOVED) {
                // Its grab went with it, and the ID may come back as another device.
                grabbed_.erase(change.deviceId);
                freeWhenEnabled_.erase(change.deviceId);
                disabled_.erase(change.deviceId);
            } else if (change.flags & XCB_INPUT_HIERARCHY_MASK_DEVICE_DISABLED) {
                disabled_.insert(change.deviceId);
            } else if (change.flags & XCB_INPUT_HIERARCHY_MASK_DEVICE_ENABLED) {
                disabled_.erase(change.deviceId);
                enabledAgain.push_back(change.deviceId);
            }
        }
        if (held_) {
            // A device enabled again is grabbed again even if its grab is remembered, so
            // a server that dropped the grab with the disable does not let it through;
            // it stays remembered whatever the answer.
            std::vector<uint16_t> again;
            for (uint16_t id : enabledAgain) {
                if (grabbed_.count(id)) again.push_back(id);
            }
            if (!again.empty()) connection_->grab(again);
            // A device that cannot be held now is reported; the block goes on with the rest.
            if (auto missing = grabNewDevices(); missing && *missing > 0) {
                diagnostic("no se pudieron retener " + std::to_string(*missing) + " dispositivos de entrada nuevos");
            }
            return;
        }
        // A device that was disabled when the block ended kept its grab through the
        // release: free it now that it is back.
        std::vector<uint16_t> toFree;
        for (uint16_t id : enabledAgain) {
            if (freeWhenEnabled_.erase(id)) toFree.push_back(id);
        }
        if (!toFree.empty()) connection_->ungrab(toFree);
    }

    // Grabs every physical device not grabbed yet, trying a little longer for those
    // another client holds. False when some device could not be grabbed in the end, or
    // when the device list could not be read.
    bool grabEveryDevice() {
        for (int attempt = 1;; ++attempt) {
            auto missing = grabNewDevices();
            if (missing && *missing == 0) return true;
            if (attempt == kGrabAttempts) {
                diagnostic(missing ? "otro programa retiene " + std::to_string(*missing) + " dispositivos de entrada"
                                   : std::string("el servidor X no dio la lista de dispositivos de entrada"));
                return false;
            }
            std::this_thread::sleep_for(kGrabRetryDelay);
        }
    }

    // Grabs the physical devices that are not grabbed yet. Returns how many could not
    // be grabbed; none when the device list could not be read. Grabs already held are
    // kept whatever the list says.
    std::optional<size_t> grabNewDevices() {
        auto devices = connection_->physicalSlaves();
        if (!devices) return std::nullopt;
        std::vector<uint16_t> wanted;
        for (const SlaveDevice& device : *devices) {
            if (!grabbed_.count(device.id)) wanted.push_back(device.id);
        }
        if (wanted.empty()) return 0;
        std::vector<uint16_t> got = connection_->grab(wanted);
        grabbed_.insert(got.begin(), got.end());
        for (uint16_t id : got) freeWhenEnabled_.erase(id);
        return wanted.size() - got.size();
    }

    enum class StuckInput { release, keep };

    void letGo(StuckInput stuck) {
        if (!held_) return;
        held_ = false;
        // Every grab this client holds, except those of disabled devices: the server
        // keeps a disabled device's grab, and ending it before the device is enabled
        // again brings the X server down (Xvfb 21.1 crashes when the device comes
        // back). Those are freed as soon as they are enabled.
        std::set<uint16_t> enabledNow;
        auto devices = connection_->physicalSlaves();
        if (devices) {
            for (const SlaveDevice& device : *devices) enabledNow.insert(device.id);
        }
        std::vector<uint16_t> now;
        for (uint16_t id : grabbed_) {
            bool enabled = devices ? enabledNow.count(id) > 0 : !disabled_.count(id);
            if (enabled) {
                now.push_back(id);
            } else {
                freeWhenEnabled_.insert(id);
            }
        }
        connection_->ungrab(now);
        grabbed_.clear();
        if (stuck == StuckInput::release) releaseStuckInput();
        keysAtGrab_ = {};
        buttonsAtGrab_ = 0;
        // One round trip: the server has acted on all of it before this returns, even if
        // the process ends right after.
        connection_->alive();
    }

    // Keys and buttons that were down when the grab began and were let go during it are
    // still down for the desktop: the release went to the grab. Release them the way the
    // host injects input, leaving alone what the host itself holds down.
    void releaseStuckInput() {
        KeyBits now = connection_->keysDown();
        std::vector<uint8_t> keys;
        for (unsigned code = 8; code < 256; ++code) {
            if (isDown(now, code) && isDown(keysAtGrab_, code) && !hostKeys_.test(code)) {
                keys.push_back(static_cast<uint8_t>(code));
            }
        }
        connection_->releaseKeys(keys);
        auto pointer = connection_->pointer();
        std::vector<uint8_t> buttons;
        for (unsigned button = 1; button <= 5; ++button) {
            uint16_t bit = buttonBit(button);
            if (pointer && (pointer->buttonMask & bit) && (buttonsAtGrab_ & bit) && !hostButtons_.test(button)) {
                buttons.push_back(static_cast<uint8_t>(button));
            }
        }
        connection_->releaseButtons(buttons);
    }

    // The local user let go, during the block, of a key that was down when it began:
    // the desktop still has it down, and would add it to everything the host types
    // (a stale Shift or Ctrl) for the rest of the block. Released at once unless the
    // host holds it.
    void localKeyReleased(unsigned code) {
        if (code >= 256 || !isDown(keysAtGrab_, code)) return;
        keysAtGrab_[code / 8] = static_cast<uint8_t>(keysAtGrab_[code / 8] & ~(1u << (code % 8)));
        if (hostKeys_.test(code) || !isDown(connection_->keysDown(), code)) return;
        connection_->releaseKeys({static_cast<uint8_t>(code)});
    }

    // The same for a button: held on the desktop it turns every host move into a drag.
    void localButtonReleased(unsigned button) {
        uint16_t bit = buttonBit(button);
        if (!bit || !(buttonsAtGrab_ & bit)) return;
        buttonsAtGrab_ = static_cast<uint16_t>(buttonsAtGrab_ & ~bit);
        if (hostButtons_.test(button)) return;
        auto pointer = connection_->pointer();
        if (!pointer || !(pointer->buttonMask & bit)) return;
        connection_->releaseButtons({static_cast<uint8_t>(button)});
    }

    void injected(const Incoming& in) {
        // Raw events of local devices are ignored: while they are held their events
        // come through the grab, and while free there is nothing to decide.
        if (!isXtest(in.sourceId)) return;
        std::optional<EventType> type;
        int64_t keyCode = 0;
        switch (in.type) {
            case XCB_INPUT_RAW_KEY_PRESS:
            case XCB_INPUT_RAW_KEY_RELEASE: {
                bool down = in.type == XCB_INPUT_RAW_KEY_PRESS;
                if (in.detail < 256) hostKeys_.set(in.detail, down);
                type = isModifierKey(in.detail) ? eventType::flagsChanged : down ? eventType::keyDown : eventType::keyUp;
                keyCode = keyCodeFor(in.detail);
                break;
            }
            case XCB_INPUT_RAW_BUTTON_PRESS:
            case XCB_INPUT_RAW_BUTTON_RELEASE: {
                bool down = in.type == XCB_INPUT_RAW_BUTTON_PRESS;
                if (in.detail < 32) hostButtons_.set(in.detail, down);
                type = buttonEventType(in.detail, down);
                break;
            }
            case XCB_INPUT_RAW_MOTION:
                type = motionEventType(static_cast<uint32_t>(hostButtons_.to_ulong()));
                break;
        }
        if (!type) return;
        bool repeat = in.flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT;
        deliver(*type, X11Event(injectedInputUserData, keyCode, repeat, std::nullopt, *connection_));
    }

    void local(const Incoming& in) {
        // Events still queued from a grab that has ended are not the tap's any more.
        if (!held_ || !grabbed_.count(in.deviceId)) return;
        if (in.type == XCB_INPUT_KEY_RELEASE) localKeyReleased(in.detail);
        if (in.type == XCB_INPUT_BUTTON_RELEASE) localButtonReleased(in.detail);
        std::optional<EventType> type;
        int64_t keyCode = 0;
        switch (in.type) {
            case XCB_INPUT_KEY_PRESS:
            case XCB_INPUT_KEY_RELEASE: {
                bool down = in.type == XCB_INPUT_KEY_PRESS;
                type = isModifierKey(in.detail) ? eventType::flagsChanged : down ? eventType::keyDown : eventType::keyUp;
                keyCode = keyCodeFor(in.detail);
                break;
            }
            case XCB_INPUT_BUTTON_PRESS:
            case XCB_INPUT_BUTTON_RELEASE:
                type = buttonEventType(in.detail, in.type == XCB_INPUT_BUTTON_PRESS);
                break;
            case XCB_INPUT_MOTION:
                type = motionEventType(in.buttons);
                break;
        }
        if (!type) return;
        bool repeat = in.flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT;
        deliver(*type, X11Event(0, keyCode, repeat, Point{in.x, in.y}, *connection_));
    }

    void deliver(EventType type, const X11Event& event) {
        if (!enabled || type >= 64 || !(mask_ >> type & 1)) return;
        // A local move is reported after the fact, and the host may have moved the
        // pointer since: a warp made during this callback only takes effect if the
        // pointer is still where the local move left it.
        if (event.integerValue(EventField::sourceUserData) == 0 && isMove(type)) warpCondition_ = event.location();
        // Held input never reaches the desktop and other input always does, so the
        // verdict has nothing left to decide here.
        (void)callback_(type, event);
        warpCondition_.reset();
    }

public:
    void warp(Point to) {
        auto round = [](double v) { return static_cast<int16_t>(std::lround(v)); };
        if (warpCondition_) {
            const int16_t atX = round(warpCondition_->x), atY = round(warpCondition_->y);
            // The local move already left the pointer there (often the report of the
            // previous warp back): warping again would make the server report one more
            // move, answered by one more warp, without end.
            if (atX == round(to.x) && atY == round(to.y)) return;
            connection_->warpPointerIfAt(atX, atY, round(to.x), round(to.y));
        } else {
            connection_->warpPointer(round(to.x), round(to.y));
        }
    }

private:
    static bool isMove(EventType type) {
        return type == eventType::mouseMoved || type == eventType::leftMouseDragged ||
               type == eventType::rightMouseDragged || type == eventType::otherMouseDragged;
    }

    std::unique_ptr<InputConnection> connection_;
    uint64_t mask_;
    TapCallback callback_;
    bool held_ = false;
    std::set<uint16_t> grabbed_;          // grabs held, disabled devices included
    std::set<uint16_t> freeWhenEnabled_;  // grabbed when the block ended disabled: ungrab when back
    std::set<uint16_t> disabled_;         // devices the server said were disabled
    std::unordered_map<uint16_t, bool> xtestCache_;
    KeyBits keysAtGrab_{};
    uint16_t buttonsAtGrab_ = 0;
    std::bitset<256> hostKeys_;   // keys the host holds down through XTEST
    std::bitset<32> hostButtons_;
    std::optional<Point> warpCondition_;  // set during the callback of a local move
};

class X11EventTap final : public EventTap {
public:
    explicit X11EventTap(std::shared_ptr<TapState> state) : state_(std::move(state)) {
        reader_ = std::thread([this, state = state_] { read(state); });
    }

    ~X11EventTap() override {
        state_->closed = true;
        stopping_ = true;
        state_->connection().wakeReader();
        reader_.join();
    }

    void enable(bool on) override { state_->enabled = on; }
    // A round trip, so that a server that went away is noticed now rather than when the
    // reader thread gets to it.
    bool isValid() const override { return !state_->lost && state_->connection().alive(); }
    bool holdLocalInput(bool hold) override { return state_->hold(hold); }

    std::optional<Point> pointerLocation() override {
        auto pointer = state_->connection().pointer();
        if (!pointer) return std::nullopt;
        return Point{double(pointer->x), double(pointer->y)};
    }

    void warpPointer(Point to) override { state_->warp(to); }

private:
    void read(const std::shared_ptr<TapState>& state) {
        InputConnection& connection = state->connection();
        auto mainQueue = dispatch::Queue::main();
        for (;;) {
            std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(xcb_wait_for_event(connection.raw()),
                                                                              &std::free);
            if (!event) {
                state->lost = true;
                if (!stopping_) mainQueue.async([state] { state->connectionLost(); });
                return;
            }
            if (stopping_) return;
            if (auto in = decode(event.get(), connection.inputOpcode())) {
                mainQueue.async([state, in = *in] { state->handle(in); });
            }
        }
    }

    std::shared_ptr<TapState> state_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

}  // namespace

}  // namespace x11

Result<std::unique_ptr<EventTap>> EventTap::create(TapLocation, TapPlacement, TapOptions, uint64_t mask,
                                                   TapCallback callback) {
    // X has one kind of filter: the location, placement and options change nothing.
    auto connection = x11::InputConnection::open();
    if (!connection) return connection.error();
    connection.value()->selectRootEvents();
    auto state = std::make_shared<x11::TapState>(std::move(connection.value()), mask, std::move(callback));
    return std::unique_ptr<EventTap>(std::make_unique<x11::X11EventTap>(std::move(state)));
}

}  // namespace platform::input
