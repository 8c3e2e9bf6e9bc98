// The recording's sound: the microphone's gain stage and the 20 ms mixing step that
// hands the mix to the writer with times of its own timeline.

#include <cstring>

#include "zentrec/grabadora.h"
#include "zentrec/salida.h"

namespace zentrec {

void Grabadora::muestrasDelMicrofono(const std::vector<float>& muestras) {
    std::vector<float> ganadas;
    {
        std::scoped_lock lock(gananciaLock_);
        ganancia_.procesar(muestras, ganadas);
    }
    if (!ganadas.empty()) mezclador_.agregarMicrofono(ganadas);
}

void Grabadora::mezclar(std::optional<platform::MediaTime> hasta) {
    if (!t0_ || !audio_ || !formatoAudio_) return;
    platform::MediaTime fin;
    if (hasta) {
        fin = *hasta;
    } else if (parando_) {
        return;
    } else {
        // The mix trails the clock a little so that sound still on its way is in time.
        fin = platform::hostTime() - platform::MediaTime{static_cast<int64_t>(latencia_ * tasa), static_cast<int32_t>(tasa)};
    }
    const auto debidas = static_cast<int64_t>((fin - *t0_).seconds() * tasa);
    auto trozo = mezclador_.mezclar(debidas);
    if (!trozo) return;
    // A busy writer loses this span of sound; the timeline has moved on regardless.
    if (!audio_->readyForMoreMediaData()) return;

    auto buffer = std::make_shared<platform::AudioSampleBuffer>();
    buffer->description = formatoAudio_;
    buffer->frameCount = trozo->frames;
    std::vector<uint8_t> bytes(trozo->muestras.size() * sizeof(float));
    std::memcpy(bytes.data(), trozo->muestras.data(), bytes.size());
    buffer->bufferList = std::vector<platform::AudioBuffer>{{2, std::move(bytes)}};
    buffer->presentationTime = *t0_ + platform::MediaTime{trozo->inicio, static_cast<int32_t>(tasa)};
    audio_->append(buffer);
}

}  // namespace zentrec
