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
    // The order matters: no more ticks or microphone sound, then the last sound up to
    // this moment, then the file.
    if (reloj_) {
        reloj_->cancel();
        reloj_.reset();
    }
    if (mic_) mic_->parar();
    const platform::MediaTime fin = platform::hostTime();
    mezclar(fin);
    parando_ = true;
    motivoFin_ = motivo;
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
        {"motivo", motivo.empty() ? "no llegó ninguna imagen de la pantalla" : motivo},
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
