// The recording's sound: the microphone's gain stage and the 20 ms mixing step that
// hands the mix to the writer with times of its own timeline.

#include <cstring>

#include "zentrec/grabadora.h"
#include "zentrec/salida.h"

namespace zentrec {

void Grabadora::muestrasDelMicrofono(const std::vector<float>& muestras, platform::MediaTime inicio) {
    if (!inicio.valid()) return;
    std::vector<float> ganadas;
    platform::MediaTime primera;
    {
        std::scoped_lock lock(gananciaLock_);
        ganancia_.procesar(muestras, ganadas);
        // The gain stage hands out its oldest samples: they end where the samples it
        // keeps for its next window begin, which end with this delivery.
        finMic_ = frameDe(inicio) + static_cast<int64_t>(muestras.size());
        const int64_t frame = finMic_ - static_cast<int64_t>(ganancia_.enVentana() + ganadas.size());
        primera = {frame, static_cast<int32_t>(tasa)};
    }
    if (!ganadas.empty()) mezclador_.agregarMicrofono(ganadas, primera);
}

void Grabadora::vaciarMicrofono() {
    std::vector<float> resto;
    platform::MediaTime primera;
    {
        std::scoped_lock lock(gananciaLock_);
        ganancia_.vaciar(resto);
        primera = {finMic_ - static_cast<int64_t>(resto.size()), static_cast<int32_t>(tasa)};
    }
    if (!resto.empty()) mezclador_.agregarMicrofono(resto, primera);
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
    auto debidas = static_cast<int64_t>((fin - *t0_).seconds() * tasa);
    if (!hasta) {
        // Sound that is late (a busy machine) is waited for rather than replaced by
        // silence, up to the longest delay; the stop mixes up to its end regardless.
        const auto maxima = static_cast<int64_t>((platform::hostTime() - *t0_).seconds() * tasa - latenciaMaxima_ * tasa);
        if (auto llegado = mezclador_.llegadoHasta()) debidas = std::max(std::min(debidas, *llegado), maxima);
    }
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
