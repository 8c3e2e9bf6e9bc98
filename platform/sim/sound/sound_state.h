#pragma once
// The sound services' part of the scripted backend's state. It lives under the capture
// backend's lock (detail::state().mutex) and is reset with it.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/capture/sim_state.h"
#include "platform/sim/sound/sim_sound.h"

namespace platform::sim::detail {

struct MicrophoneCore;
struct WriterCore;
struct ConverterCore;
struct SystemSoundCore;

struct SoundState {
    std::vector<AudioDevice> devices{builtInMicrophone()};
    std::map<std::vector<AudioDeviceType>, std::vector<AudioDevice>> devicesFor;
    std::vector<std::vector<AudioDeviceType>> discoveries;
    std::optional<AudioDevice> defaultDevice = builtInMicrophone();

    AuthorizationStatus authorization = AuthorizationStatus::authorized;
    AccessAnswer accessAnswer = AccessAnswer::grant;
    int accessRequests = 0;
    std::deque<std::function<void(bool)>> heldAccessRequests;

    MicrophoneScript microphoneScript;
    std::vector<MicrophoneOpenRecord> microphoneOpens;
    std::shared_ptr<MicrophoneCore> microphone;  // the last session opened

    WriterScript writerScript;
    std::vector<std::string> writerPaths;
    std::shared_ptr<WriterCore> writer;  // the last writer created

    ConverterScript converterScript;
    size_t nextConversion = 0;  // index into converterScript.conversions
    int converterCreations = 0;
    std::shared_ptr<ConverterCore> converter;  // the last converter asked for

    std::optional<Error> systemSoundError;
    int systemSoundStarts = 0;
    SystemSoundSettings systemSoundSettings;
    std::string systemSoundQueueLabel;
    std::shared_ptr<SystemSoundCore> systemSound;  // the last sound-only session started

    std::optional<SystemVersion> systemVersion;
    std::vector<SystemVersion> systemVersionChecks;
};

// With the lock held.
SoundState& sound();

// The running sound-only system sound session takes `buffer` on its queue; false when
// none runs. Without the lock.
bool deliverToSoundOnlySession(const AudioSampleBuffer& buffer);
// Its queue, when one runs. Without the lock.
std::optional<dispatch::Queue> soundOnlyQueue();

// Whether an object made in `generation` still belongs to the current world; with the
// lock held.
inline bool current(uint64_t generation) { return generation == state().generation; }

// `work` on the platform queue, and a count of what reached it for drains.
void onPlatformQueue(dispatch::Work work);
// Returns once everything queued so far on `queue` has run.
bool drainQueue(const dispatch::Queue& queue, std::chrono::milliseconds timeout);

}  // namespace platform::sim::detail
