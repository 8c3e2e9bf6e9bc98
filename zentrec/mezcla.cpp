#include "zentrec/mezcla.h"

#include <algorithm>
#include <cmath>

namespace zentrec {

namespace {

void quitarDelFrente(std::vector<float>& cola, size_t cuantas) {
    cola.erase(cola.begin(), cola.begin() + static_cast<std::ptrdiff_t>(std::min(cuantas, cola.size())));
}

}  // namespace

void recortar(std::vector<float>& cola, int canales) {
    const size_t limite = static_cast<size_t>(canales) * kFramesEnCola;
    if (cola.size() > limite) quitarDelFrente(cola, cola.size() - limite);
}

float limitar(float x) {
    const float magnitud = std::fabs(x);
    if (!(magnitud > 0.8f)) return x;
    return std::copysign(0.8f + 0.2f * std::tanh((magnitud - 0.8f) / 0.2f), x);
}

void Mezclador::agregarSistema(std::span<const float> estereo) {
    std::scoped_lock lock(lock_);
    colaSistema_.insert(colaSistema_.end(), estereo.begin(), estereo.end());
    recortar(colaSistema_, 2);
}

void Mezclador::agregarMicrofono(std::span<const float> mono) {
    std::scoped_lock lock(lock_);
    colaMic_.insert(colaMic_.end(), mono.begin(), mono.end());
    recortar(colaMic_, 1);
}

void Mezclador::empezarLinea() {
    {
        std::scoped_lock lock(lock_);
        colaSistema_.clear();
        colaMic_.clear();
    }
    producidas_ = kRelleno;
    descartar_ = kRelleno;
}

std::optional<Mezclador::Trozo> Mezclador::mezclar(int64_t debidas) {
    const int64_t n = std::min(debidas - producidas_, kMaxPorPaso);
    if (n < 1) return std::nullopt;
    const size_t frames = static_cast<size_t>(n);

    Trozo trozo;
    trozo.inicio = producidas_;
    trozo.frames = n;
    trozo.muestras.assign(2 * frames, 0.0f);
    std::vector<float> microfono;
    {
        std::scoped_lock lock(lock_);
        if (descartar_ > 0) {
            // A shortfall is not carried over: what was not there to drop is forgotten.
            quitarDelFrente(colaSistema_, 2 * static_cast<size_t>(descartar_));
            quitarDelFrente(colaMic_, static_cast<size_t>(descartar_));
            descartar_ = 0;
        }
        // Whole stereo frames only: an odd last sample waits for its partner.
        const size_t s = 2 * std::min(colaSistema_.size() / 2, frames);
        std::copy_n(colaSistema_.begin(), s, trozo.muestras.begin());
        quitarDelFrente(colaSistema_, s);
        const size_t m = std::min(colaMic_.size(), frames);
        microfono.assign(colaMic_.begin(), colaMic_.begin() + static_cast<std::ptrdiff_t>(m));
        quitarDelFrente(colaMic_, m);
    }
    // The microphone goes to both sides at unit gain (its gain came earlier); sound
    // that has not arrived stays silent.
    for (size_t i = 0; i < microfono.size(); ++i) {
        trozo.muestras[2 * i] += microfono[i];
        trozo.muestras[2 * i + 1] += microfono[i];
    }
    for (float& x : trozo.muestras) x = limitar(x);
    producidas_ += n;
    return trozo;
}

size_t Mezclador::enColaSistema() {
    std::scoped_lock lock(lock_);
    return colaSistema_.size();
}

size_t Mezclador::enColaMicrofono() {
    std::scoped_lock lock(lock_);
    return colaMic_.size();
}

}  // namespace zentrec
