// Scripted microphones: discovery, permission, opening refusals, and sessions that
// deliver what the test hands them on the program's queue.

#include <atomic>

#include "platform/sim/sound/callback_gate.h"
#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

namespace detail {

std::optional<AudioSampleBuffer> microphoneBuffer(const std::vector<float>& mono, const MicrophoneSettings& settings,
                                                  MediaTime presentationTime);

struct MicrophoneCore {
    MicrophoneCore(uint64_t generation, MicrophoneSettings settings, dispatch::Queue queue, MicrophoneHandlers handlers)
        : generation(generation), settings(settings), queue(std::move(queue)), handlers(std::move(handlers)) {}

    // Fixed at creation.
    const uint64_t generation;
    const MicrophoneSettings settings;
    const dispatch::Queue queue;
    const MicrophoneHandlers handlers;

    MicrophoneSessionRecord record;  // under the lock
    CallbackGate gate;               // closed by the session's destructor
};

namespace {

// Runs one of the session's handlers through its gate, unless the session has gone
// or belongs to an older world; the lock must not be held.
template <class Call>
void runHandler(const std::shared_ptr<MicrophoneCore>& core, Call call) {
    {
        std::scoped_lock lock(state().mutex);
        if (!current(core->generation)) return;
    }
    core->gate.run(call);
}

class ScriptedMicrophone : public MicrophoneSession {
public:
    explicit ScriptedMicrophone(std::shared_ptr<MicrophoneCore> core) : core_(std::move(core)) {}

    ~ScriptedMicrophone() override {
        {
            std::scoped_lock lock(state().mutex);
            core_->record.running = false;
            core_->record.destroyed = true;
            notifyChanged();
        }
        core_->gate.close();
    }

    void startRunning() override {
        std::scoped_lock lock(state().mutex);
        ++core_->record.starts;
        core_->record.running = true;
        notifyChanged();
    }

    void stopRunning() override {
        std::scoped_lock lock(state().mutex);
        ++core_->record.stops;
        core_->record.running = false;
        notifyChanged();
    }

private:
    std::shared_ptr<MicrophoneCore> core_;
};

// The last session, with the lock held; none when it belongs to an older world.
std::shared_ptr<MicrophoneCore> lastSession() {
    auto& core = sound().microphone;
    return core && current(core->generation) ? core : nullptr;
}

// The last session when it may still report, with the lock held.
std::shared_ptr<MicrophoneCore> reportingSession() {
    auto core = lastSession();
    return core && !core->record.destroyed && !core->record.ended ? core : nullptr;
}

bool endSession(bool disconnection, std::optional<Error> error) {
    std::shared_ptr<MicrophoneCore> core;
    {
        std::scoped_lock lock(state().mutex);
        core = reportingSession();
        if (!core) return false;
        core->record.ended = true;
        core->record.running = false;
        notifyChanged();
    }
    onPlatformQueue([core, disconnection, error = std::move(error)] {
        runHandler(core, [&] {
            if (disconnection && core->handlers.disconnected) core->handlers.disconnected();
            if (!disconnection && core->handlers.runtimeError) core->handlers.runtimeError(error);
        });
    });
    return true;
}

}  // namespace

}  // namespace detail

using detail::sound;
using detail::state;

AudioDevice builtInMicrophone() {
    return {"sim.mic.builtin", "Micrófono integrado", kTransportTypeBuiltIn};
}

void setAudioDevices(std::vector<AudioDevice> devices) {
    std::scoped_lock lock(state().mutex);
    sound().devices = std::move(devices);
}

void setAudioDevicesFor(std::vector<AudioDeviceType> types, std::vector<AudioDevice> devices) {
    std::scoped_lock lock(state().mutex);
    sound().devicesFor[std::move(types)] = std::move(devices);
}

std::vector<std::vector<AudioDeviceType>> deviceDiscoveries() {
    std::scoped_lock lock(state().mutex);
    return sound().discoveries;
}

void setDefaultAudioDevice(std::optional<AudioDevice> device) {
    std::scoped_lock lock(state().mutex);
    sound().defaultDevice = std::move(device);
}

void setMicrophoneAuthorization(AuthorizationStatus status) {
    std::scoped_lock lock(state().mutex);
    sound().authorization = status;
}

void setMicrophoneAccessAnswer(AccessAnswer answer) {
    std::scoped_lock lock(state().mutex);
    sound().accessAnswer = answer;
}

int microphoneAccessRequests() {
    std::scoped_lock lock(state().mutex);
    return sound().accessRequests;
}

bool answerAccessRequest(bool granted) {
    std::function<void(bool)> completion;
    {
        std::scoped_lock lock(state().mutex);
        auto& held = sound().heldAccessRequests;
        if (held.empty()) return false;
        completion = std::move(held.front());
        held.pop_front();
        sound().authorization = granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
    }
    detail::onPlatformQueue([completion = std::move(completion), granted] { completion(granted); });
    return true;
}

void setMicrophoneScript(MicrophoneScript script) {
    std::scoped_lock lock(state().mutex);
    sound().microphoneScript = std::move(script);
}

std::vector<MicrophoneOpenRecord> microphoneOpens() {
    std::scoped_lock lock(state().mutex);
    return sound().microphoneOpens;
}

MicrophoneSessionRecord microphoneSession() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::lastSession();
    return core ? core->record : MicrophoneSessionRecord{};
}

bool deliverMicrophoneSamples(AudioSampleBuffer buffer) {
    std::shared_ptr<detail::MicrophoneCore> core;
    {
        std::scoped_lock lock(state().mutex);
        core = detail::reportingSession();
        if (!core || !core->record.running || !core->handlers.samples) return false;
    }
    auto shared = std::make_shared<const AudioSampleBuffer>(std::move(buffer));
    core->queue.async([core, shared] {
        bool ran = false;
        detail::runHandler(core, [&] {
            core->handlers.samples(shared);
            ran = true;
        });
        if (!ran) return;
        std::scoped_lock lock(state().mutex);
        ++core->record.samplesHandled;
        detail::notifyChanged();
    });
    return true;
}

bool deliverMicrophoneFloats(const std::vector<float>& samples) {
    MicrophoneSettings settings;
    {
        std::scoped_lock lock(state().mutex);
        auto core = detail::reportingSession();
        if (!core) return false;
        settings = core->settings;
    }
    auto buffer = detail::microphoneBuffer(samples, settings, hostTime());
    return buffer && deliverMicrophoneSamples(std::move(*buffer));
}

bool failMicrophone(std::optional<Error> error) { return detail::endSession(false, std::move(error)); }

bool disconnectMicrophone() { return detail::endSession(true, std::nullopt); }

bool drainMicrophone(std::chrono::milliseconds timeout) {
    std::shared_ptr<detail::MicrophoneCore> core;
    {
        std::scoped_lock lock(state().mutex);
        core = detail::lastSession();
        if (!core) return false;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    return detail::drainQueue(core->queue, left()) && detail::drainQueue(detail::platformQueue(), left());
}

}  // namespace platform::sim

namespace platform {

std::vector<AudioDevice> discoverAudioDevices(const std::vector<AudioDeviceType>& types) {
    std::scoped_lock lock(sim::detail::state().mutex);
    auto& sound = sim::detail::sound();
    sound.discoveries.push_back(types);
    sim::detail::notifyChanged();
    if (auto scripted = sound.devicesFor.find(types); scripted != sound.devicesFor.end()) return scripted->second;
    return sound.devices;
}

std::optional<AudioDevice> defaultAudioInputDevice() {
    std::scoped_lock lock(sim::detail::state().mutex);
    return sim::detail::sound().defaultDevice;
}

AuthorizationStatus microphoneAuthorizationStatus() {
    std::scoped_lock lock(sim::detail::state().mutex);
    return sim::detail::sound().authorization;
}

void requestMicrophoneAccess(std::function<void(bool granted)> completion) {
    bool granted = false;
    {
        std::scoped_lock lock(sim::detail::state().mutex);
        auto& sound = sim::detail::sound();
        ++sound.accessRequests;
        sim::detail::notifyChanged();
        if (sound.accessAnswer == sim::AccessAnswer::hold) {
            sound.heldAccessRequests.push_back(std::move(completion));
            return;
        }
        granted = sound.accessAnswer == sim::AccessAnswer::grant;
        sound.authorization = granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
    }
    sim::detail::onPlatformQueue([completion = std::move(completion), granted] { completion(granted); });
}

MicrophoneOpening openMicrophone(const AudioDevice& device, const MicrophoneSettings& settings, dispatch::Queue queue,
                                 MicrophoneHandlers handlers) {
    std::scoped_lock lock(sim::detail::state().mutex);
    auto& sound = sim::detail::sound();
    sound.microphoneOpens.push_back({device, settings, queue.label(), false});
    sim::detail::notifyChanged();
    if (sound.microphoneScript.deviceError) return {nullptr, sound.microphoneScript.deviceError};
    if (sound.microphoneScript.sessionRefuses) return {};

    auto core = std::make_shared<sim::detail::MicrophoneCore>(sim::detail::state().generation, settings,
                                                              std::move(queue), std::move(handlers));
    core->record.exists = true;
    sound.microphone = core;
    sound.microphoneOpens.back().opened = true;
    return {std::make_unique<sim::detail::ScriptedMicrophone>(core), std::nullopt};
}

}  // namespace platform
