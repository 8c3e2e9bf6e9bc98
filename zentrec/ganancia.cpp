#include "zentrec/ganancia.h"

#include <algorithm>
#include <cmath>

namespace zentrec {

EtapaGanancia::EtapaGanancia(float vozDb) : vozDb_(vozDb) {
    ventana_.reserve(kVentana);
}

void EtapaGanancia::procesar(std::span<const float> entrada, std::vector<float>& salida) {
    for (float x : entrada) {
        ventana_.push_back(x);
        if (ventana_.size() >= kVentana) cerrarVentana(salida);
    }
}

void EtapaGanancia::vaciar(std::vector<float>& salida) {
    for (float v : ventana_) salida.push_back(v * gananciaActual_);
    ventana_.clear();
}

void EtapaGanancia::cerrarVentana(std::vector<float>& salida) {
    float cuadrados = 0.0f;
    for (float v : ventana_) cuadrados += v * v;
    const float cuenta = static_cast<float>(ventana_.size());
    const float rms = std::sqrt(cuadrados / cuenta);
    const float nivel = 20.0f * std::log10(std::max(rms, 1e-7f));
    maxMicDb_ = std::max(maxMicDb_, nivel);
    // Only windows with something in them steer the automatic gain: silence and
    // background noise leave it where it is.
    if (nivel > -50.0f) {
        const float deseado = std::clamp(-22.0f - nivel, 0.0f, 12.0f);
        autoDb_ = autoDb_ + (deseado - autoDb_) * 0.2f;
    }
    const float objetivo = std::pow(10.0f, (autoDb_ + vozDb_) / 20.0f);
    const float paso = (objetivo - gananciaActual_) / cuenta;
    for (float v : ventana_) {
        gananciaActual_ += paso;
        salida.push_back(v * gananciaActual_);
    }
    ventana_.clear();
}

}  // namespace zentrec
