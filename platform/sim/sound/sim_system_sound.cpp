// System sound: what the test hands the sound-only session, or else the capture
// stream's audio output.

#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

bool deliverSystemSound(AudioSampleBuffer buffer) {
    if (detail::deliverToSoundOnlySession(buffer)) return true;
    auto target = detail::currentAudioOutput();
    if (!target || !target->configuration.capturesAudio || !target->handler) return false;
    auto shared = std::make_shared<const AudioSampleBuffer>(std::move(buffer));
    target->queue.async([handler = std::move(target->handler), shared] { handler(shared); });
    return true;
}

bool deliverSystemSoundFloats(const std::vector<float>& interleavedStereo, SampleLayout layout) {
    if (detail::soundOnlyQueue()) {
        return deliverSystemSound(floatSampleBuffer(interleavedStereo, 2, layout, hostTime(), 48000));
    }
    auto target = detail::currentAudioOutput();
    if (!target) return false;
    return deliverSystemSound(floatSampleBuffer(interleavedStereo, 2, layout, hostTime(),
                                                target->configuration.sampleRate));
}

bool drainSystemSound(std::chrono::milliseconds timeout) {
    if (auto queue = detail::soundOnlyQueue()) return detail::drainQueue(*queue, timeout);
    auto target = detail::currentAudioOutput();
    return target && detail::drainQueue(target->queue, timeout);
}

}  // namespace platform::sim
