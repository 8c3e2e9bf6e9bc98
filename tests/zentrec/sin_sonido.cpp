// A machine without sound services. The parts tested here never reach the platform,
// but they share object files with code that does (the level mode, the Opus stream),
// so those calls need a body to link: none finds a device, permission or encoder.

#include "platform/audio_capture.h"
#include "platform/audio_converter.h"
#include "platform/system.h"

namespace platform {

std::vector<AudioDevice> discoverAudioDevices(const std::vector<AudioDeviceType>&) { return {}; }
std::optional<AudioDevice> defaultAudioInputDevice() { return std::nullopt; }
AuthorizationStatus microphoneAuthorizationStatus() { return AuthorizationStatus::denied; }
void requestMicrophoneAccess(std::function<void(bool)> completion) { completion(false); }
MicrophoneOpening openMicrophone(const AudioDevice&, const MicrophoneSettings&, dispatch::Queue, MicrophoneHandlers) {
    return {};
}
std::unique_ptr<AudioConverter> createAudioConverter(const AudioStreamDescription&, const AudioStreamDescription&) {
    return nullptr;
}
bool runningSystemAtLeast(SystemVersion) { return true; }

}  // namespace platform
