#pragma once
// The live level of a microphone: one reading per 100 ms of its sound.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace zentrec {

// Level in dB relative to full scale of 100 ms windows of 48 kHz sound, whatever the
// size of the chunks it is fed. Single-precision arithmetic throughout.
class MedidorNivel {
public:
    static constexpr int64_t kVentana = 4800;

    // Calls `lectura` with the rounded level (one decimal) of every window that the
    // chunk completes; the rest of the chunk starts the next window.
    void agregar(std::span<const float> muestras, const std::function<void(float db)>& lectura);

private:
    float suma_ = 0.0f;
    int64_t cuenta_ = 0;
};

// The "--nivel" mode: "nivel" events until the input ends (status 0) or the
// microphone closes or cannot be opened ("fin", status 0). Starts the input reader and
// returns; the caller then serves the main queue.
void nivel(const std::optional<std::string>& id);

}  // namespace zentrec
