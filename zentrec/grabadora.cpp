// The recorder's construction, its fatal-error exit and the output file.

#include "zentrec/grabadora.h"

#include <filesystem>
#include <system_error>

#include "zentrec/salida.h"

namespace zentrec {

Grabadora::Grabadora(const Pedido& pedido)
    : p_(pedido),
      colaEscritor_(platform::dispatch::Queue::serial("escritor")),
      colaSonido_(platform::dispatch::Queue::serial("sonido")),
      ganancia_(pedido.vozDb) {}

platform::Result<std::shared_ptr<Grabadora>> Grabadora::crear(const Pedido& pedido) {
    std::shared_ptr<Grabadora> g(new Grabadora(pedido));
    // The writer first: it refuses a path that another recording is writing, and
    // then nothing at that path may be touched.
    auto escritor = platform::createFileWriter(pedido.salida);
    if (!escritor) return escritor.error();
    g->escritor_ = std::move(escritor.value());
    g->borrarSalida();
    // Fragments every 2 s: a recorder that dies leaves a file that plays up to there.
    g->escritor_->setMovieFragmentInterval({1200, 600});

    g->video_ = g->escritor_->makeVideoInput({
        .width = pedido.ancho,
        .height = pedido.alto,
        .averageBitRate = pedido.bitrate,
        .maxKeyFrameIntervalDuration = 2,
        .expectedSourceFrameRate = pedido.fps,
        .profileLevel = platform::ProfileLevel::h264HighAutoLevel,
        .allowFrameReordering = false,
    });
    if (g->video_) g->video_->setExpectsMediaDataInRealTime(true);
    if (!g->video_ || !g->escritor_->canAddInput(*g->video_))
        return platform::Error{"grabadora", 1, "no se puede escribir el vídeo", nullptr};
    g->escritor_->addInput(g->video_);
    return g;
}

void Grabadora::borrarSalida() const {
    // Only what a recording can have left there: a file, or a link in its place. A
    // directory or a device named by mistake (say /dev/null, run as root) stays.
    std::error_code error;
    auto tipo = std::filesystem::symlink_status(p_.salida, error).type();
    if (error) return;
    if (tipo == std::filesystem::file_type::regular || tipo == std::filesystem::file_type::symlink)
        std::filesystem::remove(p_.salida, error);
}

void Grabadora::fallar(const std::string& mensaje) {
    emitir({{"t", "error"}, {"motivo", mensaje}});
    borrarSalida();
    salir(1);
}

}  // namespace zentrec
