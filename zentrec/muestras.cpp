#include "zentrec/muestras.h"

#include <algorithm>
#include <cstring>

namespace zentrec {

namespace {

// Ten seconds at the highest rates in use: far beyond any real delivery, and a bound
// on what a malformed buffer can make this allocate.
constexpr int64_t kMaxFrames = 10 * 192000;

// The floats of one buffer of the list, read in place.
struct Floats {
    const uint8_t* bytes = nullptr;
    size_t count = 0;

    float at(size_t index) const {
        if (index >= count) return 0.0f;
        float value;
        std::memcpy(&value, bytes + index * sizeof(float), sizeof(float));
        return value;
    }
};

Floats floatsOf(const std::vector<platform::AudioBuffer>& list, size_t index) {
    if (index >= list.size() || !list[index].data) return {};
    const std::vector<uint8_t>& data = *list[index].data;
    return {data.data(), data.size() / sizeof(float)};
}

}  // namespace

std::optional<std::vector<float>> muestras(const platform::AudioSampleBuffer& buffer, int canales) {
    if (!buffer.description || canales < 1) return std::nullopt;
    const platform::AudioStreamDescription& d = *buffer.description;
    if (d.formatID != platform::kAudioFormatLinearPCM || !(d.formatFlags & platform::kAudioFormatFlagIsFloat) ||
        d.bitsPerChannel != 32)
        return std::nullopt;
    const int64_t n = buffer.frameCount;
    if (n < 1 || n > kMaxFrames) return std::nullopt;
    if (!buffer.bufferList) return std::nullopt;
    const std::vector<platform::AudioBuffer>& list = *buffer.bufferList;
    const size_t ch = d.channelsPerFrame;
    const bool separados = d.formatFlags & platform::kAudioFormatFlagIsNonInterleaved;

    std::vector<float> salida(static_cast<size_t>(n) * static_cast<size_t>(canales), 0.0f);
    // Only channels that can hold data are visited; the others count as 0, so a
    // description with absurdly many channels costs nothing.
    const Floats primero = floatsOf(list, 0);
    const size_t canalesLeidos = separados ? std::min(ch, list.size()) : std::min(ch, primero.count);
    auto valor = [&](size_t frame, size_t canal) -> float {
        if (separados) return floatsOf(list, canal).at(frame);
        // frame * ch + canal cannot overflow: frame < kMaxFrames and canal < ch < 2^32.
        return primero.at(frame * ch + canal);
    };

    if (canales == 1) {
        if (ch == 0) return salida;
        const float divisor = static_cast<float>(ch);
        for (size_t f = 0; f < static_cast<size_t>(n); ++f) {
            float suma = 0.0f;
            for (size_t c = 0; c < canalesLeidos; ++c) suma += valor(f, c);
            salida[f] = suma / divisor;
        }
        return salida;
    }
    if (ch == 0) return salida;
    for (size_t f = 0; f < static_cast<size_t>(n); ++f) {
        for (size_t i = 0; i < static_cast<size_t>(canales); ++i) {
            size_t canal = std::min(i, ch - 1);
            salida[f * canales + i] = canal < canalesLeidos ? valor(f, canal) : 0.0f;
        }
    }
    return salida;
}

}  // namespace zentrec
