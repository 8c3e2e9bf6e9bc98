// Random deliveries of system and microphone sound, timeline starts and clock steps
// through the recording's mixer, against a model of its queues. Every chunk starts
// where the previous one ended, holds at most one second, carries exactly the queued
// sound the model expects (limited, within ±1), and the queues never hold more than
// 0.75 s.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "zentrec/mezcla.h"

namespace {

void comprobar(bool condicion) {
    if (!condicion) std::abort();
}

// The soft limiter in double precision.
double limitado(double x) {
    if (!(std::fabs(x) > 0.8)) return x;
    return std::copysign(0.8 + 0.2 * std::tanh((std::fabs(x) - 0.8) / 0.2), x);
}

struct Modelo {
    std::deque<float> sistema, mic;
    int64_t descartar = 0, producidas = 0;

    static void recortar(std::deque<float>& cola, size_t limite) {
        while (cola.size() > limite) cola.pop_front();
    }
    static void quitar(std::deque<float>& cola, size_t n) {
        cola.erase(cola.begin(), cola.begin() + static_cast<std::ptrdiff_t>(std::min(n, cola.size())));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zentrec::Mezclador mezclador;
    Modelo modelo;
    uint32_t semilla = 1;
    // Sound between -4 and 4, and now and then a sample near the float maximum.
    auto muestra = [&semilla] {
        semilla = semilla * 1103515245u + 12345u;
        uint32_t r = semilla >> 8;
        if (r % 997 == 0) return (r & 1) ? 3e38f : -3e38f;
        return static_cast<float>(r % 65536) / 8192.0f - 4.0f;
    };

    for (size_t i = 0; i + 2 < size; i += 3) {
        const uint32_t valor = data[i + 1] | (data[i + 2] << 8);
        semilla ^= valor;
        switch (data[i] % 6) {
            case 0:
            case 1: {
                // Up to 1.5 s at once, so the bound is reached.
                const size_t n = (valor % 8 == 1) ? (static_cast<size_t>(valor) * 3) % 144000 : valor % 4096;
                std::vector<float> sonido(n);
                for (float& x : sonido) x = muestra();
                auto& cola = data[i] % 6 == 0 ? modelo.sistema : modelo.mic;
                cola.insert(cola.end(), sonido.begin(), sonido.end());
                if (data[i] % 6 == 0) {
                    mezclador.agregarSistema(sonido);
                    Modelo::recortar(cola, 2 * zentrec::kFramesEnCola);
                } else {
                    mezclador.agregarMicrofono(sonido);
                    Modelo::recortar(cola, zentrec::kFramesEnCola);
                }
                break;
            }
            case 2:
                mezclador.empezarLinea();
                modelo.sistema.clear();
                modelo.mic.clear();
                modelo.producidas = modelo.descartar = zentrec::Mezclador::kRelleno;
                break;
            default: {
                // A clock step: usually about 20 ms, sometimes a stall or a step back.
                int64_t paso = static_cast<int16_t>(valor);
                if (data[i] % 6 == 5) paso *= 16;
                const int64_t debidas = modelo.producidas + paso;
                auto trozo = mezclador.mezclar(debidas);
                const int64_t n = std::min<int64_t>(debidas - modelo.producidas, 48000);
                if (n < 1) {
                    comprobar(!trozo);
                    break;
                }
                comprobar(trozo.has_value() && trozo->inicio == modelo.producidas && trozo->frames == n);
                comprobar(trozo->muestras.size() == 2 * static_cast<size_t>(n));
                if (modelo.descartar > 0) {
                    Modelo::quitar(modelo.sistema, 2 * static_cast<size_t>(modelo.descartar));
                    Modelo::quitar(modelo.mic, static_cast<size_t>(modelo.descartar));
                    modelo.descartar = 0;
                }
                const size_t s = std::min(modelo.sistema.size() / 2, static_cast<size_t>(n));
                const size_t m = std::min(modelo.mic.size(), static_cast<size_t>(n));
                for (size_t k = 0; k < 2 * static_cast<size_t>(n); ++k) {
                    float mezcla = k < 2 * s ? modelo.sistema[k] : 0.0f;
                    if (k / 2 < m) mezcla += modelo.mic[k / 2];
                    const float real = trozo->muestras[k];
                    comprobar(std::fabs(real) <= 1.0f);
                    comprobar(std::fabs(real - limitado(mezcla)) <= 1e-6);
                }
                Modelo::quitar(modelo.sistema, 2 * s);
                Modelo::quitar(modelo.mic, m);
                modelo.producidas += n;
                comprobar(mezclador.producidas() == modelo.producidas);
            }
        }
        comprobar(mezclador.enColaSistema() == modelo.sistema.size());
        comprobar(mezclador.enColaMicrofono() == modelo.mic.size());
        comprobar(modelo.sistema.size() <= 2 * zentrec::kFramesEnCola && modelo.mic.size() <= zentrec::kFramesEnCola);
    }
    return 0;
}
