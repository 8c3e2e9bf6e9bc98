#pragma once
// The "--altavoz" mode: the system sound, mixed down to mono, as 20 ms Opus packets on
// standard output, each behind its length.
//
//   +----------------------+------------------------+
//   | length L (4 bytes,   | L bytes: one Opus      |   ... repeated, nothing else
//   | big-endian, never 0) | packet (960 samples)   |
//   +----------------------+------------------------+

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/audio_converter.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/system_sound.h"

namespace zentrec {

// Cuts a stream of samples into blocks of exactly `porPaquete`; what is left over
// waits for the next chunk.
class Empaquetador {
public:
    explicit Empaquetador(size_t porPaquete) : porPaquete_(porPaquete) {}
    void agregar(std::span<const float> muestras, const std::function<void(std::span<const float>)>& bloque);
    size_t pendientes() const { return pendiente_.size(); }

private:
    const size_t porPaquete_;
    std::vector<float> pendiente_;
};

// The 4-byte big-endian length, then the packet.
std::vector<uint8_t> registroOpus(std::span<const uint8_t> paquete);

class Altavoz : public std::enable_shared_from_this<Altavoz> {
public:
    static constexpr size_t porPaquete = 960;

    static std::shared_ptr<Altavoz> crear();
    Altavoz(const Altavoz&) = delete;
    Altavoz& operator=(const Altavoz&) = delete;

    // Prepares the Opus converter and starts listening to the system sound; returns at
    // once. No screen is involved: the sound comes from the sound server.
    void empezar();

private:
    Altavoz() = default;
    void sonidoRecibido(const platform::AudioSampleBuffer& buffer);
    void comprimir(std::span<const float> bloque);
    // "error\t" and the message on standard error, then status 1.
    void fallar(const std::string& mensaje);

    const platform::dispatch::Queue cola_ = platform::dispatch::Queue::serial("altavoz");
    std::unique_ptr<platform::SystemSoundSession> sonido_;
    std::unique_ptr<platform::AudioConverter> conversor_;  // set by empezar(), then used on cola_
    Empaquetador empaquetador_{porPaquete};                // cola_ only
};

}  // namespace zentrec
