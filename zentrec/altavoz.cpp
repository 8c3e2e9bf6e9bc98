#include "zentrec/altavoz.h"

#include <algorithm>

#include "zentrec/muestras.h"
#include "zentrec/salida.h"

namespace zentrec {

void Empaquetador::agregar(std::span<const float> muestras,
                           const std::function<void(std::span<const float>)>& bloque) {
    pendiente_.insert(pendiente_.end(), muestras.begin(), muestras.end());
    size_t usadas = 0;
    while (pendiente_.size() - usadas >= porPaquete_) {
        bloque(std::span<const float>(pendiente_).subspan(usadas, porPaquete_));
        usadas += porPaquete_;
    }
    pendiente_.erase(pendiente_.begin(), pendiente_.begin() + static_cast<std::ptrdiff_t>(usadas));
}

std::vector<uint8_t> registroOpus(std::span<const uint8_t> paquete) {
    const uint32_t largo = static_cast<uint32_t>(paquete.size());
    std::vector<uint8_t> registro(4 + paquete.size());
    for (int i = 0; i < 4; ++i) registro[i] = static_cast<uint8_t>(largo >> (24 - 8 * i));
    std::copy(paquete.begin(), paquete.end(), registro.begin() + 4);
    return registro;
}

namespace {

// What the converter takes: 48 kHz mono 32-bit float.
const platform::AudioStreamDescription kPcm{
    .sampleRate = tasa,
    .formatID = platform::kAudioFormatLinearPCM,
    .formatFlags = platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked |
                   platform::kAudioFormatFlagIsNonInterleaved,
    .bytesPerPacket = 4,
    .framesPerPacket = 1,
    .bytesPerFrame = 4,
    .channelsPerFrame = 1,
    .bitsPerChannel = 32,
};

// What it gives: Opus, one packet per 20 ms, mono.
const platform::AudioStreamDescription kOpus{
    .sampleRate = tasa,
    .formatID = platform::kAudioFormatOpus,
    .formatFlags = 0,
    .bytesPerPacket = 0,
    .framesPerPacket = static_cast<uint32_t>(Altavoz::porPaquete),
    .bytesPerFrame = 0,
    .channelsPerFrame = 1,
    .bitsPerChannel = 0,
};

constexpr const char* kNoSeEscucha = "no se puede escuchar el sonido: ";

}  // namespace

std::shared_ptr<Altavoz> Altavoz::crear() {
    return std::shared_ptr<Altavoz>(new Altavoz());
}

void Altavoz::fallar(const std::string& mensaje) {
    escribirTodo(proceso().error, "error\t" + mensaje + "\n");
    salir(1);
}

void Altavoz::empezar() {
    conversor_ = platform::createAudioConverter(kPcm, kOpus);
    if (!conversor_) return fallar("este Mac no sabe comprimir el sonido en Opus");
    conversor_->setBitRate(64000);
    // Stereo, averaged here to mono like every other sound the recorder takes.
    std::weak_ptr<Altavoz> debil = weak_from_this();
    auto sonido = platform::startSystemSound(
        {.sampleRate = static_cast<int>(tasa), .channelCount = 2}, cola_,
        [debil](std::shared_ptr<const platform::AudioSampleBuffer> buffer) {
            auto yo = debil.lock();
            if (yo && buffer) yo->sonidoRecibido(*buffer);
        },
        [debil](const platform::Error& e) {
            if (auto yo = debil.lock()) yo->fallar("se detuvo el sonido: " + e.description);
        });
    if (!sonido) return fallar(kNoSeEscucha + sonido.error().description);
    sonido_ = std::move(sonido.value());
}

void Altavoz::sonidoRecibido(const platform::AudioSampleBuffer& buffer) {
    // Both channels averaged to one.
    auto mono = muestras(buffer, 1);
    if (!mono) return;
    empaquetador_.agregar(*mono, [this](std::span<const float> bloque) { comprimir(bloque); });
}

void Altavoz::comprimir(std::span<const float> bloque) {
    if (!conversor_) return;
    auto pcm = std::make_shared<platform::PCMBuffer>();
    pcm->samples.assign(bloque.begin(), bloque.end());
    platform::CompressedBuffer comprimido;
    comprimido.packetCapacity = 1;
    comprimido.maximumPacketSize = std::max<uint32_t>(conversor_->maximumOutputPacketSize(), 1500);
    bool entregado = false;
    auto estado = conversor_->convert(comprimido, [&](platform::ConverterInputStatus& status)
                                                      -> std::shared_ptr<const platform::PCMBuffer> {
        if (entregado) {
            status = platform::ConverterInputStatus::noDataNow;
            return nullptr;
        }
        entregado = true;
        status = platform::ConverterInputStatus::haveData;
        return pcm;
    });
    // A block the encoder refused is lost; the stream goes on.
    if (estado == platform::ConverterOutputStatus::error || comprimido.data.empty()) return;
    std::vector<uint8_t> registro = registroOpus(comprimido.data);
    std::scoped_lock lock(salidaLock());
    escribirTodo(proceso().salida,
                 std::string_view(reinterpret_cast<const char*>(registro.data()), registro.size()));
}

}  // namespace zentrec
