// The end of a recording: one stop operation, whatever asked for it, then one final
// event and the exit.

#include "zentrec/grabadora.h"
#include "zentrec/salida.h"

namespace zentrec {

void Grabadora::parar() {
    std::weak_ptr<Grabadora> debil = weak_from_this();
    colaEscritor_.async([debil] {
        if (auto yo = debil.lock()) yo->terminar("");
    });
}

void Grabadora::capturaDetenida(const platform::Error& error) {
    std::weak_ptr<Grabadora> debil = weak_from_this();
    colaEscritor_.async([debil, motivo = "se detuvo la captura de la pantalla: " + error.description] {
        if (auto yo = debil.lock()) yo->terminar(motivo);
    });
}

void Grabadora::terminar(const std::string& motivo) {
    if (parando_) return;
    // From here on no tick mixes and no picture is taken: the recording ends now.
    parando_ = true;
    motivoFin_ = motivo;
    if (reloj_) {
        reloj_->cancel();
        reloj_.reset();
    }
    const platform::MediaTime fin = platform::hostTime();
    // The sound of the last moments is still on its way from the sound server: the
    // file waits for it rather than ending in silence. A writer that no longer writes
    // has nothing to wait for.
    if (t0_ && audio_ && escritor_->status() == platform::WriterStatus::writing)
        return esperarSonido(fin, std::chrono::steady_clock::now() + kEsperaSonido);
    cerrar(fin);
}

void Grabadora::esperarSonido(platform::MediaTime fin, std::chrono::steady_clock::time_point limite) {
    if (sonidoCompleto(fin) || std::chrono::steady_clock::now() >= limite) return cerrar(fin);
    std::weak_ptr<Grabadora> debil = weak_from_this();
    colaEscritor_.asyncAfter(std::chrono::milliseconds(5), [debil, fin, limite] {
        if (auto yo = debil.lock()) yo->esperarSonido(fin, limite);
    });
}

bool Grabadora::sonidoCompleto(platform::MediaTime fin) {
    if (conAudioDelSistema() && !mezclador_.sistemaHasta(fin)) return false;
    if (!mic_) return true;
    std::scoped_lock lock(gananciaLock_);
    // A microphone that never delivered has nothing on its way.
    return finMic_ == ColaDeSonido::kNada || finMic_ >= frameDe(fin);
}

void Grabadora::cerrar(platform::MediaTime fin) {
    // The order matters: no more microphone sound, then the last sound up to the
    // end, then the capture, then the file.
    if (mic_) mic_->parar();
    vaciarMicrofono();
    mezclar(fin);
    if (flujo_) flujo_->stopCapture([](std::optional<platform::Error>) {});

    if (t0_ && escritor_->status() == platform::WriterStatus::writing) {
        video_->markAsFinished();
        if (audio_) audio_->markAsFinished();
        escritor_->endSession(fin);
        // The recorder lives until the process ends, so the completion may hold it.
        escritor_->finishWriting([yo = shared_from_this()] { yo->escritorTerminado(); });
        return;
    }
    // A writer that failed mid-recording still holds its encoder threads; dropping it
    // joins them and closes what it had written, which is removed next. Nothing of it
    // may still run when the process exits.
    if (t0_ && escritor_->status() == platform::WriterStatus::failed) escritor_.reset();
    borrarSalida();
    emitir({
        {"t", "fin"},
        {"motivo", motivoFin_.empty() ? "no llegó ninguna imagen de la pantalla" : motivoFin_},
        {"vacio", true},
    });
    salir(0);
}

void Grabadora::escritorTerminado() {
    std::string fallo;
    if (escritor_->status() == platform::WriterStatus::failed) {
        auto error = escritor_->error();
        fallo = error ? "no se pudo cerrar el vídeo: " + porque(error) : "no se pudo cerrar el vídeo";
    }
    float autoDb, maxMicDb;
    {
        std::scoped_lock lock(gananciaLock_);
        autoDb = ganancia_.autoDb();
        maxMicDb = ganancia_.maxMicDb();
    }
    emitir({
        {"t", "fin"},
        {"motivo", motivoFin_.empty() ? fallo : motivoFin_},
        {"microfonoMudo", conMic_ && maxMicDb < -60.0f},
        {"nombreMicrofono", nombreMic_},
        {"gananciaMicrofono", static_cast<double>(autoDb)},
    });
    salir(0);
}

}  // namespace zentrec
