// Random deliveries of system and microphone sound at random capture times, timeline
// starts and clock steps through the recording's mixer, against a model that keeps each
// source's sound frame by frame on a tape. Every chunk starts where the previous one
// ended, holds at most one second, carries exactly the sound placed at its frames
// (limited), and the queues never hold more than 0.75 s. Deliveries either continue
// their queue exactly or land more than 5 ms away from its end, where no stretching
// applies, so the model stays exact.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "zentrec/mezcla.h"

namespace {

using zentrec::ColaDeSonido;

void comprobar(bool condicion) {
    if (!condicion) std::abort();
}

// The soft limiter in double precision.
double limitado(double x) {
    if (!(std::fabs(x) > 0.8)) return x;
    return std::copysign(0.8 + 0.2 * std::tanh((std::fabs(x) - 0.8) / 0.2), x);
}

// One source's sound by frame number.
struct Cinta {
    int canales;
    std::map<int64_t, std::array<float, 2>> frames;
    int64_t fin = ColaDeSonido::kNada;

    void agregar(const std::vector<float>& muestras, int64_t frame) {
        int64_t n = static_cast<int64_t>(muestras.size()) / canales;
        if (n == 0) return;
        int64_t primera = 0;
        if (fin != ColaDeSonido::kNada && frame < fin) {
            primera = std::min(fin - frame, n);  // what the queue covers stays
            if (primera == n) return;
        }
        if (fin != ColaDeSonido::kNada && !frames.empty() && frame > fin) {
            if (frame - fin >= static_cast<int64_t>(zentrec::kFramesEnCola)) {
                frames.clear();
            } else {
                for (int64_t f = fin; f < frame; ++f) frames[f] = {0.0f, 0.0f};
            }
        }
        for (int64_t i = primera; i < n; ++i) {
            const float* m = &muestras[static_cast<size_t>(i * canales)];
            frames[frame + i] = {m[0], canales == 2 ? m[1] : m[0]};
        }
        fin = frame + n;
        while (frames.size() > zentrec::kFramesEnCola) frames.erase(frames.begin());
    }

    void tomar(int64_t desde, int64_t n, std::vector<float>& estereo) {
        frames.erase(frames.begin(), frames.lower_bound(desde));
        auto it = frames.begin();
        while (it != frames.end() && it->first < desde + n) {
            const auto f = static_cast<size_t>(it->first - desde);
            estereo[2 * f] += it->second[0];
            estereo[2 * f + 1] += it->second[1];
            it = frames.erase(it);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zentrec::Mezclador mezclador;
    Cinta sistema{.canales = 2, .frames = {}}, mic{.canales = 1, .frames = {}};
    int64_t origen = 0, producidas = 0;
    uint32_t semilla = 1;
    // Sound between -4 and 4, and now and then a sample near the float maximum.
    auto muestra = [&semilla] {
        semilla = semilla * 1103515245u + 12345u;
        uint32_t r = semilla >> 8;
        if (r % 997 == 0) return (r & 1) ? 3e38f : -3e38f;
        return static_cast<float>(r % 65536) / 8192.0f - 4.0f;
    };

    for (size_t i = 0; i + 3 < size; i += 4) {
        const uint32_t valor = data[i + 1] | (data[i + 2] << 8);
        const uint8_t lugar = data[i + 3];
        semilla ^= valor;
        switch (data[i] % 6) {
            case 0:
            case 1: {
                Cinta& cinta = data[i] % 6 == 0 ? sistema : mic;
                // Up to 1.5 s at once, so the bound is reached.
                const size_t frames = (valor % 8 == 1) ? (static_cast<size_t>(valor) * 3) % 72000 : valor % 4096;
                std::vector<float> sonido(frames * static_cast<size_t>(cinta.canales));
                for (float& x : sonido) x = muestra();
                // Where it was captured: right after the queue's end, or clearly away
                // from it (late or early by more than the stretchable 5 ms).
                const int64_t lejos = ColaDeSonido::kContiguas + 1 + (lugar >> 2) * 97;
                int64_t frame = origen + producidas + (lugar >> 2) * 53;
                if (cinta.fin != ColaDeSonido::kNada) {
                    frame = lugar % 4 == 0 ? cinta.fin : lugar % 4 == 1 ? cinta.fin - lejos : cinta.fin + lejos;
                }
                const platform::MediaTime inicio{frame, 48000};
                if (&cinta == &sistema) {
                    mezclador.agregarSistema(sonido, inicio);
                } else {
                    mezclador.agregarMicrofono(sonido, inicio);
                }
                cinta.agregar(sonido, frame);
                break;
            }
            case 2:
                origen = static_cast<int64_t>(valor) * 31;
                producidas = zentrec::Mezclador::kRelleno;
                mezclador.empezarLinea(platform::MediaTime{origen, 48000});
                break;
            default: {
                // A clock step: usually about 20 ms, sometimes a stall or a step back.
                int64_t paso = static_cast<int16_t>(valor);
                if (data[i] % 6 == 5) paso *= 16;
                const int64_t debidas = producidas + paso;
                auto trozo = mezclador.mezclar(debidas);
                const int64_t n = std::min<int64_t>(debidas - producidas, zentrec::Mezclador::kMaxPorPaso);
                if (n < 1) {
                    comprobar(!trozo);
                    break;
                }
                comprobar(trozo.has_value() && trozo->inicio == producidas && trozo->frames == n);
                comprobar(trozo->muestras.size() == 2 * static_cast<size_t>(n));
                std::vector<float> esperado(2 * static_cast<size_t>(n), 0.0f);
                sistema.tomar(origen + producidas, n, esperado);
                mic.tomar(origen + producidas, n, esperado);
                for (size_t k = 0; k < esperado.size(); ++k) {
                    const float real = trozo->muestras[k];
                    comprobar(std::fabs(real) <= 1.0f);
                    comprobar(std::fabs(real - limitado(esperado[k])) <= 1e-6);
                }
                producidas += n;
                comprobar(mezclador.producidas() == producidas);
            }
        }
        comprobar(mezclador.enColaSistema() == 2 * sistema.frames.size());
        comprobar(mezclador.enColaMicrofono() == mic.frames.size());
        comprobar(sistema.frames.size() <= zentrec::kFramesEnCola && mic.frames.size() <= zentrec::kFramesEnCola);
    }
    return 0;
}
