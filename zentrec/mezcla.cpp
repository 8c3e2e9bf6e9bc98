#include "zentrec/mezcla.h"

#include <algorithm>
#include <cmath>

#include "zentrec/salida.h"

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

int64_t frameDe(platform::MediaTime t) {
    return t.convertScale(static_cast<int32_t>(tasa)).value;
}

void ColaDeSonido::agregar(std::span<const float> muestras, int64_t frame) {
    const auto canales = static_cast<size_t>(canales_);
    size_t frames = muestras.size() / canales;  // a partial last frame has no place
    const float* datos = muestras.data();
    if (frames == 0) return;
    std::vector<float> ajustadas;
    if (fin_ != kNada) {
        if (std::llabs(frame - fin_) <= kContiguas) {
            const auto maximo = std::max<int64_t>(1, static_cast<int64_t>(frames) / 50);
            const int64_t ajuste = std::clamp(frame - fin_, -maximo, maximo);
            if (ajuste != 0) {
                const size_t nuevas = frames + static_cast<size_t>(ajuste);
                ajustadas.resize(nuevas * canales);
                for (size_t j = 0; j < nuevas; ++j)
                    for (size_t c = 0; c < canales; ++c) ajustadas[j * canales + c] = datos[j * frames / nuevas * canales + c];
                datos = ajustadas.data();
                frames = nuevas;
            }
            frame = fin_;
        }
        if (frame < fin_) {
            // What the queue already has for this span (or had, and mixed) stays.
            const auto cubiertas = static_cast<size_t>(std::min<int64_t>(fin_ - frame, static_cast<int64_t>(frames)));
            datos += cubiertas * canales;
            frames -= cubiertas;
            frame += static_cast<int64_t>(cubiertas);
            if (frames == 0) return;
        }
    }
    if (muestras_.empty()) {
        frente_ = frame;
    } else if (frame > fin_) {
        // Nothing was captured in between: silence, or a fresh start after a long gap.
        const int64_t hueco = frame - fin_;
        if (hueco >= static_cast<int64_t>(kFramesEnCola)) {
            muestras_.clear();
            frente_ = frame;
        } else {
            muestras_.insert(muestras_.end(), static_cast<size_t>(hueco) * canales, 0.0f);
        }
    }
    muestras_.insert(muestras_.end(), datos, datos + frames * canales);
    fin_ = frame + static_cast<int64_t>(frames);
    const size_t enCola = muestras_.size() / canales;
    if (enCola > kFramesEnCola) quitarFrames(enCola - kFramesEnCola);
}

void ColaDeSonido::tomar(int64_t desde, int64_t n, std::span<float> estereo) {
    if (muestras_.empty()) return;
    const auto canales = static_cast<size_t>(canales_);
    // Sound for a span already mixed came too late: it has no place any more.
    if (frente_ < desde) quitarFrames(static_cast<size_t>(std::min<int64_t>(desde - frente_, static_cast<int64_t>(muestras_.size() / canales))));
    if (muestras_.empty() || frente_ - desde >= n) return;
    const auto salto = static_cast<size_t>(frente_ - desde);
    const size_t cuantas = std::min(muestras_.size() / canales, static_cast<size_t>(n) - salto);
    for (size_t i = 0; i < cuantas; ++i) {
        const size_t f = salto + i;
        if (canales == 1) {
            estereo[2 * f] += muestras_[i];
            estereo[2 * f + 1] += muestras_[i];
        } else {
            estereo[2 * f] += muestras_[2 * i];
            estereo[2 * f + 1] += muestras_[2 * i + 1];
        }
    }
    quitarFrames(cuantas);
}

void ColaDeSonido::quitarFrames(size_t frames) {
    quitarDelFrente(muestras_, frames * static_cast<size_t>(canales_));
    frente_ += static_cast<int64_t>(frames);
}

void Mezclador::agregar(ColaDeSonido& cola, std::span<const float> muestras, platform::MediaTime inicio) {
    if (!inicio.valid()) return;
    const int64_t frame = frameDe(inicio);
    std::scoped_lock lock(lock_);
    cola.agregar(muestras, frame);
}

void Mezclador::agregarSistema(std::span<const float> estereo, platform::MediaTime inicio) {
    agregar(sistema_, estereo, inicio);
}

void Mezclador::agregarMicrofono(std::span<const float> mono, platform::MediaTime inicio) {
    agregar(microfono_, mono, inicio);
}

void Mezclador::empezarLinea(platform::MediaTime t0) {
    origen_ = frameDe(t0);
    producidas_ = kRelleno;
}

std::optional<Mezclador::Trozo> Mezclador::mezclar(int64_t debidas) {
    const int64_t n = std::min(debidas - producidas_, kMaxPorPaso);
    if (n < 1) return std::nullopt;

    Trozo trozo;
    trozo.inicio = producidas_;
    trozo.frames = n;
    trozo.muestras.assign(2 * static_cast<size_t>(n), 0.0f);
    {
        // The microphone goes to both sides at unit gain (its gain came earlier); sound
        // that has not arrived stays silent.
        std::scoped_lock lock(lock_);
        sistema_.tomar(origen_ + producidas_, n, trozo.muestras);
        microfono_.tomar(origen_ + producidas_, n, trozo.muestras);
    }
    for (float& x : trozo.muestras) x = limitar(x);
    producidas_ += n;
    return trozo;
}

bool Mezclador::sistemaHasta(platform::MediaTime t) {
    std::scoped_lock lock(lock_);
    return sistema_.fin() == ColaDeSonido::kNada || sistema_.fin() >= frameDe(t);
}

std::optional<int64_t> Mezclador::llegadoHasta() {
    std::scoped_lock lock(lock_);
    std::optional<int64_t> hasta;
    for (const ColaDeSonido* cola : {&sistema_, &microfono_})
        if (cola->fin() != ColaDeSonido::kNada) hasta = std::min(hasta.value_or(cola->fin()), cola->fin());
    if (hasta) *hasta -= origen_;
    return hasta;
}

size_t Mezclador::enColaSistema() {
    std::scoped_lock lock(lock_);
    return sistema_.muestras();
}

size_t Mezclador::enColaMicrofono() {
    std::scoped_lock lock(lock_);
    return microfono_.muestras();
}

}  // namespace zentrec
