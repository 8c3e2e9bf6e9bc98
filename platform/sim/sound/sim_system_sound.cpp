// System sound: what the test hands the capture stream's audio output.

#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

bool deliverSystemSound(AudioSampleBuffer buffer) {
    auto target = detail::currentAudioOutput();
    if (!target || !target->configuration.capturesAudio || !target->handler) return false;
    auto shared = std::make_shared<const AudioSampleBuffer>(std::move(buffer));
    target->queue.async([handler = std::move(target->handler), shared] { handler(shared); });
    return true;
}

bool deliverSystemSoundFloats(const std::vector<float>& interleavedStereo, SampleLayout layout) {
    auto target = detail::currentAudioOutput();
    if (!target) return false;
    return deliverSystemSound(floatSampleBuffer(interleavedStereo, 2, layout, hostTime(),
                                                target->configuration.sampleRate));
}

bool drainSystemSound(std::chrono::milliseconds timeout) {
    auto target = detail::currentAudioOutput();
    return target && detail::drainQueue(target->queue, timeout);
}

}  // namespace platform::sim
