#pragma once
// Microphones: which audio inputs exist, whether this process may use them, and a
// capture session that delivers one input's sound on a queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/media.h"

namespace platform {

// Kinds of audio input a discovery asks for.
enum class AudioDeviceType { microphone, builtInMicrophone, externalUnknown };

// Transport of a device that is part of the machine.
inline constexpr uint32_t kTransportTypeBuiltIn = fourCharCode("bltn");

struct AudioDevice {
    std::string uniqueID;       // stable while the device exists
    std::string localizedName;  // what the user sees
    uint32_t transportType = 0;
};

// The audio inputs of the given kinds, in the platform's order. Any thread; may take a
// moment (it asks the sound server).
std::vector<AudioDevice> discoverAudioDevices(const std::vector<AudioDeviceType>& types);
// The input the user chose as default; none when there is none.
std::optional<AudioDevice> defaultAudioInputDevice();

enum class AuthorizationStatus { notDetermined, restricted, denied, authorized };
AuthorizationStatus microphoneAuthorizationStatus();
// Asks the user; `completion` runs once on a platform thread with the answer, or never
// when nobody answers.
void requestMicrophoneAccess(std::function<void(bool granted)> completion);

// The sound a capture session hands out.
struct MicrophoneSettings {
    uint32_t formatID = kAudioFormatLinearPCM;
    double sampleRate = 48000;
    uint32_t channels = 1;
    uint32_t bitDepth = 32;
    bool isFloat = true;
    bool isNonInterleaved = false;
    bool isBigEndian = false;
};

// What a running session reports. Each may be empty.
struct MicrophoneHandlers {
    // Each block of sound, on the queue given to openMicrophone().
    std::function<void(std::shared_ptr<const AudioSampleBuffer> sample)> samples;
    // The session failed while running; `error` as the platform reported it, if it did.
    // On a platform thread.
    std::function<void(std::optional<Error> error)> runtimeError;
    // The device went away. On a platform thread.
    std::function<void()> disconnected;
};

// A session on one device. It captures between startRunning() and stopRunning(); after
// a runtime error or a disconnection it reports nothing more. Destroying it stops it;
// no handler runs once the destructor has returned.
class MicrophoneSession {
public:
    virtual ~MicrophoneSession() = default;
    MicrophoneSession(const MicrophoneSession&) = delete;
    MicrophoneSession& operator=(const MicrophoneSession&) = delete;

    virtual void startRunning() = 0;
    virtual void stopRunning() = 0;

protected:
    MicrophoneSession() = default;
};

// The outcome of opening a device: a session; or the platform's refusal of the device
// (`deviceError`); or, with neither, a session that would not take the device and the
// requested sound.
struct MicrophoneOpening {
    std::unique_ptr<MicrophoneSession> session;
    std::optional<Error> deviceError;
};

MicrophoneOpening openMicrophone(const AudioDevice& device, const MicrophoneSettings& settings,
                                 dispatch::Queue queue, MicrophoneHandlers handlers);

}  // namespace platform
