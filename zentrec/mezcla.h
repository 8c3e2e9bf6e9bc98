#pragma once
// The recording's sound mix: two bounded queues (system sound, stereo; microphone,
// mono and already gained) laid onto one continuous 48 kHz stereo timeline, with a
// soft limiter.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace zentrec {

// Frames a sound queue keeps at most: 0.75 s.
inline constexpr size_t kFramesEnCola = 36000;

// Drops the oldest samples of a queue of `canales` interleaved channels so that at most
// 0.75 s remains.
void recortar(std::vector<float>& cola, int canales);

// Leaves samples up to ±0.8 alone and bends louder ones smoothly toward ±1.
float limitar(float x);

// The queues are filled from the sound queues' threads and emptied by the mixing
// steps, which come from one thread at a time. The lock is held only to change the
// queues, never while mixing.
class Mezclador {
public:
    // The timeline starts this many frames (44 ms) after the first picture, and as much
    // of the oldest queued sound is dropped when the first step takes from the queues.
    static constexpr int64_t kRelleno = 2112;
    // A step never makes more than one second of sound.
    static constexpr int64_t kMaxPorPaso = 48000;

    void agregarSistema(std::span<const float> estereo);
    void agregarMicrofono(std::span<const float> mono);

    // The first picture arrived: the queues start over and the timeline starts.
    void empezarLinea();

    struct Trozo {
        int64_t inicio = 0;           // first frame, counted from the first picture
        int64_t frames = 0;
        std::vector<float> muestras;  // 2 * frames, interleaved stereo, limited
    };
    // The sound due up to frame `debidas` of the timeline (at most kMaxPorPaso frames);
    // none when nothing is due. The timeline advances by what is returned, whether or
    // not the caller can use it.
    std::optional<Trozo> mezclar(int64_t debidas);

    int64_t producidas() const { return producidas_; }
    // Samples waiting, for checks.
    size_t enColaSistema();
    size_t enColaMicrofono();

private:
    std::mutex lock_;
    std::vector<float> colaSistema_;  // under lock_
    std::vector<float> colaMic_;      // under lock_
    int64_t descartar_ = 0;           // the mixing thread's, like producidas_
    int64_t producidas_ = 0;
};

}  // namespace zentrec
