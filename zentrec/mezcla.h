#pragma once
// The recording's sound mix: two bounded queues (system sound, stereo; microphone,
// mono and already gained) laid onto one continuous 48 kHz stereo timeline, with a
// soft limiter.
//
// Sound is placed by the time it was captured, not by when it arrived: each queue
// knows the host-clock frame of its first sample, and a mixing step takes from each
// exactly the frames of the span it makes. Sound that came too late for its span is
// dropped, sound that has not come leaves silence, so a late delivery never shifts
// what follows and picture and sound keep together however busy the machine is.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/media.h"

namespace zentrec {

// Frames a sound queue keeps at most: 0.75 s.
inline constexpr size_t kFramesEnCola = 36000;

// Drops the oldest samples of a queue of `canales` interleaved channels so that at most
// 0.75 s remains.
void recortar(std::vector<float>& cola, int canales);

// Leaves samples up to ±0.8 alone and bends louder ones smoothly toward ±1.
float limitar(float x);

// A host-clock time as a frame number at 48 kHz: where sound of that time belongs.
int64_t frameDe(platform::MediaTime t);

// One source's sound waiting to be mixed, with the frame its first sample belongs to.
class ColaDeSonido {
public:
    static constexpr int64_t kNada = std::numeric_limits<int64_t>::min();
    // Times this close to where the queue ends continue it: the capture's times
    // follow its sample count, steered a little toward the real time when its clock
    // drifts from the host's. Such a block is stretched or squeezed by up to 2% (a
    // frame repeated or left out here and there, which nobody hears) so that the sound
    // follows its times without a hole or a jump.
    static constexpr int64_t kContiguas = 240;  // 5 ms

    explicit ColaDeSonido(int canales) : canales_(canales) {}

    // Sound whose first frame belongs to frame `frame`. Later than the queue's end, it
    // leaves silence before it; earlier, the part the queue already covers is dropped.
    void agregar(std::span<const float> muestras, int64_t frame);
    // Adds frames [desde, desde + n) to `estereo` (2n samples; a mono queue on both
    // sides) and removes them, with everything older.
    void tomar(int64_t desde, int64_t n, std::span<float> estereo);
    // The frame after the newest sound ever added; kNada before any.
    int64_t fin() const { return fin_; }
    size_t muestras() const { return muestras_.size(); }

private:
    void quitarFrames(size_t frames);

    const int canales_;
    std::vector<float> muestras_;
    int64_t frente_ = kNada;  // frame of muestras_[0]
    int64_t fin_ = kNada;
};

// The queues are filled from the sound queues' threads and emptied by the mixing
// steps, which come from one thread at a time. The lock is held only to change the
// queues, never while mixing.
class Mezclador {
public:
    // The timeline starts this many frames (44 ms) after the first picture; older
    // sound is not used.
    static constexpr int64_t kRelleno = 2112;
    // A step never makes more than one second of sound.
    static constexpr int64_t kMaxPorPaso = 48000;

    // Sound captured at `inicio` (its first frame).
    void agregarSistema(std::span<const float> estereo, platform::MediaTime inicio);
    void agregarMicrofono(std::span<const float> mono, platform::MediaTime inicio);

    // The first picture arrived at `t0`: the timeline starts there.
    void empezarLinea(platform::MediaTime t0);

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
    // Whether each source has delivered its sound up to `t` (a source that delivered
    // nothing yet counts as complete: nothing is on its way).
    bool sistemaHasta(platform::MediaTime t);
    // How far (timeline frame) the sound of every source that has delivered has come;
    // none before any has.
    std::optional<int64_t> llegadoHasta();
    // Samples waiting, for checks.
    size_t enColaSistema();
    size_t enColaMicrofono();

private:
    void agregar(ColaDeSonido& cola, std::span<const float> muestras, platform::MediaTime inicio);

    std::mutex lock_;
    ColaDeSonido sistema_{2};    // under lock_
    ColaDeSonido microfono_{1};  // under lock_
    int64_t origen_ = 0;         // frame of the first picture; the mixing thread's, like producidas_
    int64_t producidas_ = 0;
};

}  // namespace zentrec
