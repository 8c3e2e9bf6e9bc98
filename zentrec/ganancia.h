#pragma once
// The microphone's gain: an automatic gain that brings speech toward -22 dBFS, plus
// the user's fixed gain, applied as a ramp across each 100 ms window.

#include <span>
#include <vector>

namespace zentrec {

// 32-bit float arithmetic throughout; the state belongs to whoever feeds it.
class EtapaGanancia {
public:
    static constexpr size_t kVentana = 4800;  // 100 ms at 48 kHz

    explicit EtapaGanancia(float vozDb);

    // Appends to `salida` the gained samples of every window the input completes; the
    // samples of an unfinished window wait for the next call.
    void procesar(std::span<const float> entrada, std::vector<float>& salida);
    // The end of the sound: appends the samples of the unfinished window at the gain
    // reached so far (too few to measure), and empties it.
    void vaciar(std::vector<float>& salida);

    float autoDb() const { return autoDb_; }
    float maxMicDb() const { return maxMicDb_; }
    float gananciaActual() const { return gananciaActual_; }
    size_t enVentana() const { return ventana_.size(); }

private:
    void cerrarVentana(std::vector<float>& salida);

    const float vozDb_;
    std::vector<float> ventana_;
    float autoDb_ = 0.0f;           // 0 to 12 dB once a window was loud enough
    float gananciaActual_ = 1.0f;   // linear gain at the last sample processed
    float maxMicDb_ = -120.0f;      // loudest window so far
};

}  // namespace zentrec
