// Random sound buffers (any description, frame count and buffer list, with or without
// data) through the conversion to interleaved floats. A result always has frames ×
// channels values, is never larger than a real delivery, and matches a literal
// reading of the buffers: channel c of frame f is element f of buffer c
// (non-interleaved) or element f × channels + c of buffer 0, and 0 when not there.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zentrec/muestras.h"

namespace {

// Reads the input front to back; past its end every value is 0.
struct Lector {
    const uint8_t* data;
    size_t size;
    uint64_t leer(size_t bytes) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) {
            v |= static_cast<uint64_t>(size ? *data : 0) << (8 * i);
            if (size) ++data, --size;
        }
        return v;
    }
};

void comprobar(bool condicion) {
    if (!condicion) std::abort();
}

float fuente(const platform::AudioSampleBuffer& b, bool separados, uint64_t ch, uint64_t f, uint64_t c) {
    const auto& lista = *b.bufferList;
    const uint64_t indice = separados ? f : f * ch + c;
    const size_t buffer = separados ? c : 0;
    if (buffer >= lista.size() || !lista[buffer].data) return 0.0f;
    const auto& bytes = *lista[buffer].data;
    if (indice >= bytes.size() / 4) return 0.0f;
    float v;
    std::memcpy(&v, bytes.data() + indice * 4, 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Lector in{data, size};
    const uint64_t opciones = in.leer(1);
    const int canales = 1 + static_cast<int>(in.leer(1) % 8);

    platform::AudioSampleBuffer b;
    if (!(opciones & 1)) {
        platform::AudioStreamDescription d;
        d.formatID = (opciones & 2) ? platform::kAudioFormatOpus : platform::kAudioFormatLinearPCM;
        d.formatFlags = static_cast<uint32_t>(in.leer(1));  // float, big-endian, packed, non-interleaved…
        d.bitsPerChannel = (opciones & 4) ? 16 : 32;
        d.channelsPerFrame = static_cast<uint32_t>((opciones & 8) ? in.leer(4) : in.leer(1) % 9);
        b.description = d;
    }
    // Mostly small counts (some not positive); or any 64-bit count; or counts around
    // the largest one converted.
    constexpr int64_t kMaximo = 10 * 192000;
    if (opciones & 16) {
        b.frameCount = static_cast<int64_t>(in.leer(8));
    } else if (opciones & 64) {
        b.frameCount = kMaximo - 1 + static_cast<int64_t>(in.leer(1) % 3);
    } else {
        b.frameCount = static_cast<int64_t>(in.leer(2) % 6000) - 8;
    }
    if (!(opciones & 32)) {
        std::vector<platform::AudioBuffer> lista(in.leer(1) % 5);
        for (auto& buffer : lista) {
            const size_t bytes = static_cast<size_t>(in.leer(2)) % 4099;
            if (in.leer(1) & 1) continue;  // no data
            buffer.data.emplace(bytes);
            for (uint8_t& byte : *buffer.data) byte = static_cast<uint8_t>(in.leer(1));
        }
        b.bufferList = std::move(lista);
    }

    auto salida = zentrec::muestras(b, canales);
    const bool formato = b.description && b.description->formatID == platform::kAudioFormatLinearPCM &&
                         (b.description->formatFlags & platform::kAudioFormatFlagIsFloat) &&
                         b.description->bitsPerChannel == 32;
    if (!formato || !b.bufferList || b.frameCount < 1) {
        comprobar(!salida);
        return 0;
    }
    // No delivery is longer than 10 s at 192 kHz; anything up to that is converted.
    comprobar(salida.has_value() == (b.frameCount <= kMaximo));
    if (!salida) return 0;
    const uint64_t n = static_cast<uint64_t>(b.frameCount);
    comprobar(salida->size() == n * static_cast<uint64_t>(canales));

    const uint64_t ch = b.description->channelsPerFrame;
    const bool separados = b.description->formatFlags & platform::kAudioFormatFlagIsNonInterleaved;
    if (ch > 16 || n > 6000) return 0;  // the literal reading below would take too long
    for (uint64_t f = 0; f < n; ++f) {
        for (int i = 0; i < canales; ++i) {
            float esperado = 0.0f;
            if (canales == 1 && ch > 0) {
                for (uint64_t c = 0; c < ch; ++c) esperado += fuente(b, separados, ch, f, c);
                esperado /= static_cast<float>(ch);
            } else if (ch > 0) {
                esperado = fuente(b, separados, ch, f, std::min<uint64_t>(i, ch - 1));
            }
            const float real = (*salida)[f * canales + i];
            comprobar(real == esperado || (std::isnan(real) && std::isnan(esperado)));
        }
    }
    return 0;
}
