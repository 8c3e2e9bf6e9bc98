#include "platform/linux/sound/delivery.h"

namespace platform::pulse {

std::shared_ptr<const AudioSampleBuffer> makeSampleBuffer(std::vector<uint8_t> bytes, uint32_t channels,
                                                          uint64_t hostTimeNanos) {
    auto sample = std::make_shared<AudioSampleBuffer>();
    AudioStreamDescription description;
    description.sampleRate = 48000;
    description.formatID = kAudioFormatLinearPCM;
    description.formatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    description.bytesPerFrame = 4 * channels;
    description.bytesPerPacket = 4 * channels;
    description.framesPerPacket = 1;
    description.channelsPerFrame = channels;
    description.bitsPerChannel = 32;
    sample->description = description;
    sample->frameCount = static_cast<int64_t>(bytes.size() / description.bytesPerFrame);
    AudioBuffer buffer;
    buffer.numberChannels = channels;
    buffer.data = std::move(bytes);
    sample->bufferList = std::vector<AudioBuffer>{std::move(buffer)};
    sample->presentationTime = {static_cast<int64_t>(hostTimeNanos), 1'000'000'000};
    return sample;
}

}  // namespace platform::pulse
