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
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <unordered_map>

#include "platform/dispatch.h"
#include "platform/event_tap.h"
#include "platform/linux/input/x11_input_connection.h"
#include "platform/linux/input/x11_keys.h"

namespace platform::input {

namespace x11 {

namespace {

// What the reader thread keeps of an input event; small enough to post by value.
struct Incoming {
    enum class Kind { local, injected, hierarchy } kind = Kind::local;
    uint16_t type = 0;  // the XInput event type
    uint16_t deviceId = 0;
    uint16_t sourceId = 0;
    uint32_t detail = 0;
    uint32_t flags = 0;
    double x = 0, y = 0;
    uint32_t buttons = 0;  // held buttons, bit n = button n (device events only)
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
            Incoming in;
            in.type = generic->event_type;
            in.kind = Incoming::Kind::hierarchy;
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

// The tap's state. Lives on the main queue, except `lost`, which the reader sets.
class TapState {
public:
    TapState(std::unique_ptr<InputConnection> connection, uint64_t mask, TapCallback callback)
        : connection_(std::move(connection)), mask_(mask), callback_(std::move(callback)) {}

    InputConnection& connection() { return *connection_; }
    std::atomic<bool> lost{false};
    bool closed = false;  // the tap is gone; posted work does nothing
    bool enabled = true;

    void handle(const Incoming& in) {
        if (closed) return;
        switch (in.kind) {
            case Incoming::Kind::hierarchy: devicesChanged(); break;
            case Incoming::Kind::injected: injected(in); break;
            case Incoming::Kind::local: local(in); break;
        }
    }

    void hold(bool on) {
        if (on) {
            if (!held_) {
                held_ = true;
                keysAtGrab_ = connection_->keysDown();
                auto pointer = connection_->pointer();
                buttonsAtGrab_ = pointer ? pointer->buttonMask : 0;
            }
            grabNewDevices();
            return;
        }
        if (!held_) return;
        held_ = false;
        connection_->ungrab(std::vector<uint16_t>(grabbed_.begin(), grabbed_.end()));
        grabbed_.clear();
        releaseStuckInput();
    }

    void connectionLost() {
        // The server dropped this client's grabs with the connection.
        if (!closed) std::fprintf(stderr, "la conexión con el servidor X se ha cortado\n");
        held_ = false;
        grabbed_.clear();
    }

private:
    bool isXtest(uint16_t deviceId) {
        auto found = xtestCache_.find(deviceId);
        if (found != xtestCache_.end()) return found->second;
        bool xtest = connection_->isXtestDevice(deviceId);
        xtestCache_.emplace(deviceId, xtest);
        return xtest;
    }

    void devicesChanged() {
        // IDs may be reused by new devices: learn them again.
        xtestCache_.clear();
        if (held_) grabNewDevices();
    }

    void grabNewDevices() {
        std::set<uint16_t> present;
        std::vector<uint16_t> wanted;
        for (const SlaveDevice& device : connection_->physicalSlaves()) {
            present.insert(device.id);
            if (!grabbed_.count(device.id)) wanted.push_back(device.id);
        }
        // A grabbed device that went away is grabbed again if it comes back.
        std::erase_if(grabbed_, [&](uint16_t id) { return !present.count(id); });
        if (wanted.empty()) return;
        std::vector<uint16_t> got = connection_->grab(wanted);
        grabbed_.insert(got.begin(), got.end());
        if (got.size() != wanted.size()) {
            std::fprintf(stderr, "no se pudieron retener %zu de %zu dispositivos de entrada\n",
                         wanted.size() - got.size(), wanted.size());
        }
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
            uint16_t bit = static_cast<uint16_t>(1u << (7 + button));
            if (pointer && (pointer->buttonMask & bit) && (buttonsAtGrab_ & bit) && !hostButtons_.test(button)) {
                buttons.push_back(static_cast<uint8_t>(button));
            }
        }
        connection_->releaseButtons(buttons);
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
            connection_->warpPointerIfAt(round(warpCondition_->x), round(warpCondition_->y), round(to.x), round(to.y));
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
    std::set<uint16_t> grabbed_;
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
    void holdLocalInput(bool hold) override { state_->hold(hold); }

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
