#include "zentrec/nivel.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/dispatch.h"
#include "zentrec/entrada.h"
#include "zentrec/microfono.h"
#include "zentrec/salida.h"

namespace zentrec {

void MedidorNivel::agregar(std::span<const float> muestras, const std::function<void(float db)>& lectura) {
    for (float x : muestras) {
        suma_ += x * x;
        ++cuenta_;
        if (cuenta_ < kVentana) continue;
        float rms = std::sqrt(suma_ / static_cast<float>(cuenta_));
        float db = 20.0f * std::log10(std::max(rms, 1e-7f));
        lectura(std::round(db * 10.0f) / 10.0f);
        suma_ = 0.0f;
        cuenta_ = 0;
    }
}

namespace {

void fin(const std::string& motivo) {
    emitir({{"t", "fin"}, {"motivo", motivo}});
    salir(0);
}

}  // namespace

void nivel(const std::optional<std::string>& id) {
    if (auto sinPermiso = permisoMicrofono()) return fin(*sinPermiso);
    auto abierto = Microfono::abrir(id);
    if (!abierto) return fin(abierto.error().description);
    // Lives until the process ends, like the meter's state, which only the
    // microphone's queue touches.
    std::shared_ptr<Microfono> microfono = abierto.value();
    auto medidor = std::make_shared<MedidorNivel>();
    microfono->alMuestras([medidor](const std::vector<float>& muestras, platform::MediaTime) {
        medidor->agregar(muestras, [](float db) { emitir({{"t", "nivel"}, {"db", static_cast<double>(db)}}); });
    });
    microfono->alCerrarse([](const std::string& motivo) { fin(motivo); });
    microfono->empezar();
    platform::dispatch::detachThread([microfono, entrada = proceso().entrada] {
        descartarEntrada(entrada);
        microfono->parar();
        salir(0);
    });
}

}  // namespace zentrec
