// The sound-only system sound of the Linux backend: the sound server's default output
// monitor, as the capture stream's audio output records it, with no X connection.

#include "platform/linux/sound/pulse.h"
#include "platform/linux/sound/system_sound.h"
#include "platform/system_sound.h"

namespace platform {

namespace {

class PulseSystemSound final : public SystemSoundSession {
public:
    explicit PulseSystemSound(std::unique_ptr<pulse::SystemSound> sound) : sound_(std::move(sound)) {}

private:
    std::unique_ptr<pulse::SystemSound> sound_;
};

}  // namespace

Result<std::unique_ptr<SystemSoundSession>> startSystemSound(const SystemSoundSettings& settings,
                                                             dispatch::Queue queue, SystemSoundHandler handler,
                                                             SystemSoundStopHandler didStop) {
    if (settings.sampleRate != 48000 || settings.channelCount < 1 || settings.channelCount > 2) {
        return pulse::makeError(pulse::kStreamFailed, "El sonido del sistema solo se ofrece a 48000 Hz, en mono o estéreo");
    }
    auto started = pulse::SystemSound::start(static_cast<uint8_t>(settings.channelCount), std::move(queue),
                                             std::move(handler), std::move(didStop));
    if (!started) return started.error();
    return std::unique_ptr<SystemSoundSession>(std::make_unique<PulseSystemSound>(std::move(started.value())));
}

}  // namespace platform
