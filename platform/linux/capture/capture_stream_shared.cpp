#include "platform/linux/capture/capture_stream_shared.h"

#include "platform/linux/sound/system_sound.h"

namespace platform::capture {

namespace {

Error refusal(const Error& refused, std::string description) {
    Error error = refused;
    error.description = std::move(description);
    return error;
}

}  // namespace

CaptureStreamShared::CaptureStreamShared(const ContentFilter& filter, const StreamConfiguration& configuration,
                                         StreamStopHandler didStop, Error refused)
    : filter(filter), didStop(std::move(didStop)), refused(std::move(refused)), configuration(configuration) {}

CaptureStreamShared::~CaptureStreamShared() = default;

std::optional<Error> CaptureStreamShared::addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                                          ScreenSampleHandler handler) {
    if (type != StreamOutputType::screen) return refusal(refused, "Esta captura no ofrece sonido");
    std::scoped_lock lock(mutex);
    this->queue = std::move(queue);
    this->handler = std::move(handler);
    return std::nullopt;
}

std::optional<Error> CaptureStreamShared::addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) {
    bool capturesAudio = false;
    {
        std::scoped_lock lock(mutex);
        capturesAudio = configuration.capturesAudio;
        if (capturesAudio && (configuration.sampleRate != 48000 || configuration.channelCount < 1 ||
                              configuration.channelCount > 2))
            return refusal(refused, "El sonido del sistema solo se ofrece a 48000 Hz, en mono o estéreo");
    }
    if (capturesAudio)
        if (auto error = pulse::SystemSound::probe()) return error;
    std::scoped_lock lock(mutex);
    audioQueue = std::move(queue);
    audioHandler = std::move(handler);
    return std::nullopt;
}

std::optional<Error> CaptureStreamShared::updateConfiguration(const StreamConfiguration& next) {
    if (next.width < 0 || next.height < 0 || next.width > 16384 || next.height > 16384)
        return refusal(refused, "Tamaño de captura no válido");
    std::scoped_lock lock(mutex);
    configuration = next;
    ++configurationVersion;
    return std::nullopt;
}

Result<std::unique_ptr<pulse::SystemSound>> CaptureStreamShared::startSystemSound(
    std::function<void(const Error&)> lost) {
    std::optional<dispatch::Queue> soundQueue;
    AudioSampleHandler soundHandler;
    uint8_t channels = 2;
    {
        std::scoped_lock lock(mutex);
        if (!configuration.capturesAudio || !audioQueue || !audioHandler)
            return std::unique_ptr<pulse::SystemSound>();
        soundQueue = audioQueue;
        soundHandler = audioHandler;
        channels = static_cast<uint8_t>(configuration.channelCount);
    }
    return pulse::SystemSound::start(channels, std::move(*soundQueue), std::move(soundHandler), std::move(lost));
}

}  // namespace platform::capture
