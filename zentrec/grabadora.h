#pragma once
// The recording: one display, the system sound and a microphone into an MP4 file.
//
// Queues: `colaEscritor_` ("escritor") runs the screen frames, the 20 ms mixing clock,
// the capture's completions and every stop path, so the writer and the timeline need
// no lock; `colaSonido_` ("sonido") receives the system sound; the microphone's own
// queue runs the gain stage. The mixer's lock guards the two sound queues and is held
// only to append, trim, empty or take from them; `gananciaLock_` guards the gain
// stage, which the end of the recording reads once. Neither is held while writing to
// standard output. Fields without a note belong to `colaEscritor_` once empezar() has returned.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/file_writer.h"
#include "platform/media.h"
#include "platform/screen_capture.h"
#include "zentrec/ganancia.h"
#include "zentrec/mezcla.h"
#include "zentrec/microfono.h"
#include "zentrec/pedido.h"

namespace zentrec {

class Grabadora : public std::enable_shared_from_this<Grabadora> {
public:
    // Prepares the writer with its video track and deletes whatever file is at the
    // path; a path the writer refuses (another recording writes there) is left alone.
    static platform::Result<std::shared_ptr<Grabadora>> crear(const Pedido& pedido);
    Grabadora(const Grabadora&) = delete;
    Grabadora& operator=(const Grabadora&) = delete;

    // Opens the microphone and starts the capture; returns at once. Once, on the
    // thread that created the recorder.
    void empezar();
    // The host wants the recording to end. Any thread, any number of times.
    void parar();

private:
    explicit Grabadora(const Pedido& pedido);

    // Start (grabadora_inicio.cpp).
    void abrirMicrofono();
    void prepararAudio();
    void contenidoRecibido(std::optional<platform::ShareableContent> contenido, std::optional<platform::Error> error);
    void capturaEmpezada(std::optional<platform::Error> error);
    void imagenRecibida(const std::shared_ptr<const platform::VideoSample>& muestra);
    void sonidoRecibido(const platform::AudioSampleBuffer& buffer);
    void microfonoCerrado(const std::string& motivo);
    platform::StreamConfiguration configuracion() const;
    bool conAudioDelSistema() const;

    // Mixing (grabadora_mezcla.cpp).
    void muestrasDelMicrofono(const std::vector<float>& muestras, platform::MediaTime inicio);
    // The microphone's sound still in the gain stage goes to the mix (at the end).
    void vaciarMicrofono();
    void mezclar(std::optional<platform::MediaTime> hasta);

    // Stop (grabadora_fin.cpp).
    void terminar(const std::string& motivo);
    // Waits (without blocking the queue) until the sound captured up to `fin` has
    // arrived, or `limite` has passed; then cerrar().
    void esperarSonido(platform::MediaTime fin, std::chrono::steady_clock::time_point limite);
    bool sonidoCompleto(platform::MediaTime fin);
    void cerrar(platform::MediaTime fin);
    void escritorTerminado();
    void capturaDetenida(const platform::Error& error);

    // The recording cannot go on: "error" event, no file, status 1.
    void fallar(const std::string& mensaje);
    void borrarSalida() const;

    const Pedido p_;
    const platform::dispatch::Queue colaEscritor_;
    const platform::dispatch::Queue colaSonido_;
    std::unique_ptr<platform::FileWriter> escritor_;
    std::shared_ptr<platform::VideoWriterInput> video_;
    std::shared_ptr<platform::AudioWriterInput> audio_;       // set by empezar()
    std::optional<platform::AudioStreamDescription> formatoAudio_;  // set by empezar()
    std::unique_ptr<platform::CaptureStream> flujo_;
    std::shared_ptr<Microfono> mic_;
    std::shared_ptr<platform::dispatch::Timer> reloj_;
    std::optional<platform::MediaTime> t0_;
    platform::MediaTime ultimoVideo_;
    bool parando_ = false;
    std::string motivoFin_;

    Mezclador mezclador_;             // its queues have their own lock

    std::mutex gananciaLock_;
    EtapaGanancia ganancia_;          // under gananciaLock_
    int64_t finMic_ = ColaDeSonido::kNada;  // under gananciaLock_: frame after the newest microphone sample

    // Written by empezar() before anything else runs, then only read.
    bool conSistema_ = false;
    bool conMic_ = false;
    std::string sinSistema_;
    std::string sinMic_;
    std::string nombreMic_;

    static constexpr double latencia_ = 0.15;
    // The most the mix waits for sound that is late; below the queues' 0.75 s.
    static constexpr double latenciaMaxima_ = 0.5;
    // How long the end waits at most for sound still on its way from the server.
    static constexpr std::chrono::milliseconds kEsperaSonido{500};
};

}  // namespace zentrec
