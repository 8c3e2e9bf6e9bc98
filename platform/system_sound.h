#pragma once
// System sound on its own: what the default output plays, with no screen capture
// behind it, so it needs no display and never asks the user to share a screen.

#include <functional>
#include <memory>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/media.h"

namespace platform {

struct SystemSoundSettings {
    int sampleRate = 48000;
    int channelCount = 2;  // 1 or 2
};

// One block of system sound as 32-bit float PCM in the settings asked for.
using SystemSoundHandler = std::function<void(std::shared_ptr<const AudioSampleBuffer> sample)>;
// The sound stopped by itself (the sound server went away). Runs once, on a platform
// thread.
using SystemSoundStopHandler = std::function<void(const Error& error)>;

// Delivers the sound until destroyed; no handler runs once the destructor has returned.
class SystemSoundSession {
public:
    virtual ~SystemSoundSession() = default;
    SystemSoundSession(const SystemSoundSession&) = delete;
    SystemSoundSession& operator=(const SystemSoundSession&) = delete;

protected:
    SystemSoundSession() = default;
};

// Starts listening, delivering each block to `handler` on `queue`. An error when the
// system sound cannot be had (no sound server, settings it does not offer). Both
// handlers must stay callable for the life of the session.
Result<std::unique_ptr<SystemSoundSession>> startSystemSound(const SystemSoundSettings& settings,
                                                             dispatch::Queue queue, SystemSoundHandler handler,
                                                             SystemSoundStopHandler didStop);

}  // namespace platform
