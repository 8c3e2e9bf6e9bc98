// Microphones on PulseAudio: the sources that are not monitors of a sink, in the
// server's order; a session records one of them at 48 kHz mono float.

#include <atomic>
#include <mutex>

#include "platform/audio_capture.h"
#include "platform/linux/sound/delivery.h"
#include "platform/linux/sound/pulse.h"

namespace platform {

namespace {

// Transports other than built-in, as the platform spells them.
constexpr uint32_t kTransportTypeUSB = fourCharCode("usb ");
constexpr uint32_t kTransportTypeBluetooth = fourCharCode("blue");
constexpr uint32_t kTransportTypeUnknown = 0;

// A microphone's sound comes in blocks of 10 ms: the level meter and the recording's
// gain see it steadily.
constexpr pulse::RecordStream::Fragment kFragmento{10};

// A source is part of the machine when the server says so (form factor "internal")
// or, when it names no form factor, when it sits on an internal bus (a sound card on
// PCI or on the system-on-chip). A named form factor other than internal (webcam,
// headset, microphone) is a device of its own.
bool isBuiltIn(const pulse::SourceInfo& source) {
    if (source.formFactor == "internal") return true;
    if (!source.formFactor.empty()) return false;
    return source.bus == "pci" || source.bus == "platform" || source.bus == "isa";
}

uint32_t transportOf(const pulse::SourceInfo& source) {
    if (isBuiltIn(source)) return kTransportTypeBuiltIn;
    if (source.bus == "usb") return kTransportTypeUSB;
    if (source.bus == "bluetooth") return kTransportTypeBluetooth;
    return kTransportTypeUnknown;
}

AudioDevice deviceOf(const pulse::SourceInfo& source) {
    return {source.name, source.description, transportOf(source)};
}

struct Snapshot {
    pulse::ServerInfo server;
    std::vector<pulse::SourceInfo> microphones;  // monitors left out
};

Result<Snapshot> takeSnapshot() {
    pulse::MainloopLock lock;
    auto context = pulse::connect(lock, "Zentori");
    if (!context) return context.error();
    auto server = pulse::serverInfo(lock, context.value().get());
    auto sources = pulse::sources(lock, context.value().get());
    if (!server || !sources) return pulse::makeError(pulse::kNoServer, "El servidor de sonido no respondió");
    Snapshot snapshot{std::move(*server), {}};
    for (auto& source : *sources)
        if (!source.isMonitor) snapshot.microphones.push_back(std::move(source));
    return snapshot;
}

// What a session shares with the callbacks of its stream and with the work it queued.
struct SessionCore : std::enable_shared_from_this<SessionCore> {
    SessionCore(std::string source, dispatch::Queue queue, MicrophoneHandlers handlers)
        : source(std::move(source)), queue(std::move(queue)), handlers(std::move(handlers)) {}

    // On the main loop thread: hand a block to the program's queue. Blocks of a run
    // that was stopped since are dropped there.
    void deliver(uint64_t run, std::vector<uint8_t> bytes, uint64_t hostTime) {
        auto sample = pulse::makeSampleBuffer(std::move(bytes), 1, hostTime);
        queue.async([self = shared_from_this(), run, sample = std::move(sample)] {
            if (self->run.load() != run) return;
            self->gate.run([&] {
                if (self->handlers.samples) self->handlers.samples(sample);
            });
        });
    }

    // The end of a capture, reported once: a source that went away is a
    // disconnection, anything else a runtime error.
    void end(int paError) {
        const bool gone = paError == PA_ERR_KILLED || paError == PA_ERR_NOENTITY;
        end(gone ? std::nullopt : std::optional<Error>(pulse::errorFromPulse(paError, "El micrófono dejó de funcionar")),
            gone);
    }
    void end(std::optional<Error> error, bool disconnected) {
        if (ended.exchange(true)) return;
        notices.async([self = shared_from_this(), error = std::move(error), disconnected] {
            self->gate.run([&] {
                if (disconnected) {
                    if (self->handlers.disconnected) self->handlers.disconnected();
                } else if (self->handlers.runtimeError) {
                    self->handlers.runtimeError(error);
                }
            });
        });
    }

    const std::string source;
    const dispatch::Queue queue;
    const MicrophoneHandlers handlers;
    // Notifications run here, never on the main loop thread.
    const dispatch::Queue notices = dispatch::Queue::serial("zentori.microfono.avisos");
    pulse::Gate gate;
    std::atomic<bool> ended{false};
    std::atomic<uint64_t> run{0};  // changes at every start and stop
};

class PulseMicrophoneSession final : public MicrophoneSession {
public:
    PulseMicrophoneSession(std::string source, dispatch::Queue queue, MicrophoneHandlers handlers)
        : core_(std::make_shared<SessionCore>(std::move(source), std::move(queue), std::move(handlers))) {}

    ~PulseMicrophoneSession() override {
        stopRunning();
        core_->gate.close();
    }

    void startRunning() override {
        std::scoped_lock guard(mutex_);
        if (stream_ || core_->ended.load()) return;
        const uint64_t run = ++core_->run;
        pulse::MainloopLock lock;
        auto connected = pulse::connect(lock, "Zentori micrófono");
        if (!connected) {
            core_->end(connected.error(), false);
            return;
        }
        context_ = std::move(connected.value());
        std::weak_ptr<SessionCore> weak = core_;
        pulse::RecordStream::Callbacks callbacks;
        callbacks.data = [weak, run](std::vector<uint8_t> bytes, uint64_t hostTime) {
            if (auto core = weak.lock()) core->deliver(run, std::move(bytes), hostTime);
        };
        callbacks.ended = [weak](int paError) {
            if (auto core = weak.lock()) core->end(paError);
        };
        int paError = PA_OK;
        stream_ = pulse::RecordStream::open(context_.get(), core_->source, 1, kFragmento,
                                            pulse::CaptureClock::Steering::countOnly, "Micrófono",
                                            std::move(callbacks), paError);
        if (!stream_) {
            context_.reset();
            core_->end(paError);
        }
    }

    void stopRunning() override {
        std::scoped_lock guard(mutex_);
        ++core_->run;
        pulse::MainloopLock lock;
        // The stream before its context; both with the lock held.
        stream_.reset();
        context_.reset();
    }

private:
    std::shared_ptr<SessionCore> core_;
    std::mutex mutex_;  // serializes start and stop; libpulse calls also hold the main loop lock
    pulse::ContextPtr context_;
    std::unique_ptr<pulse::RecordStream> stream_;
};

bool wanted(const pulse::SourceInfo& source, const std::vector<AudioDeviceType>& types) {
    for (AudioDeviceType type : types) {
        if (type == AudioDeviceType::microphone) return true;
        if (type == AudioDeviceType::builtInMicrophone && isBuiltIn(source)) return true;
        if (type == AudioDeviceType::externalUnknown && !isBuiltIn(source)) return true;
    }
    return false;
}

bool isMonoFloat48k(const MicrophoneSettings& settings) {
    return settings.formatID == kAudioFormatLinearPCM && settings.sampleRate == 48000 && settings.channels == 1 &&
           settings.bitDepth == 32 && settings.isFloat && !settings.isNonInterleaved && !settings.isBigEndian;
}

AuthorizationStatus authorization() {
    pulse::MainloopLock lock;
    auto context = pulse::connect(lock, "Zentori");
    // Only a server that refuses this client denies access. Without any server there
    // is nothing to deny: the device list is empty and the program says there is no
    // microphone, which is the truth the user needs.
    if (!context && context.error().code == pulse::kAccessDenied) return AuthorizationStatus::denied;
    return AuthorizationStatus::authorized;
}

}  // namespace

std::vector<AudioDevice> discoverAudioDevices(const std::vector<AudioDeviceType>& types) {
    std::vector<AudioDevice> devices;
    auto snapshot = takeSnapshot();
    if (!snapshot) return devices;
    for (const auto& source : snapshot.value().microphones)
        if (wanted(source, types)) devices.push_back(deviceOf(source));
    return devices;
}

std::optional<AudioDevice> defaultAudioInputDevice() {
    auto snapshot = takeSnapshot();
    if (!snapshot) return std::nullopt;
    for (const auto& source : snapshot.value().microphones)
        if (source.name == snapshot.value().server.defaultSourceName) return deviceOf(source);
    // A default that is a monitor (a server without any input) is no microphone.
    return std::nullopt;
}

AuthorizationStatus microphoneAuthorizationStatus() { return authorization(); }

void requestMicrophoneAccess(std::function<void(bool granted)> completion) {
    // Nobody is asked: the server's answer to a connection is the permission.
    dispatch::detachThread([completion = std::move(completion)] {
        if (completion) completion(authorization() == AuthorizationStatus::authorized);
    });
}

MicrophoneOpening openMicrophone(const AudioDevice& device, const MicrophoneSettings& settings,
                                 dispatch::Queue queue, MicrophoneHandlers handlers) {
    MicrophoneOpening opening;
    if (!isMonoFloat48k(settings)) return opening;
    auto snapshot = takeSnapshot();
    if (!snapshot) {
        opening.deviceError = snapshot.error();
        return opening;
    }
    for (const auto& source : snapshot.value().microphones) {
        if (source.name == device.uniqueID) {
            opening.session = std::make_unique<PulseMicrophoneSession>(source.name, std::move(queue), std::move(handlers));
            return opening;
        }
    }
    opening.deviceError =
        pulse::makeError(pulse::kNoSuchDevice, "El micrófono «" + device.localizedName + "» no está disponible");
    return opening;
}

}  // namespace platform
