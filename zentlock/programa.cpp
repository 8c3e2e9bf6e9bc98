#include "zentlock/programa.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/dispatch.h"
#include "zentlock/bloqueador.h"
#include "zentlock/ordenes.h"
#include "zentlock/pendientes.h"
#include "zentlock/salida.h"

namespace zentlock {

namespace dispatch = platform::dispatch;

namespace {

// Serves one waiting line (or the end of input) and comes back for the next through
// the main queue, so that whatever else was queued meanwhile (the local user's Escape,
// the heartbeat check, the tap's events) waits for one command at most.
void servir(const std::shared_ptr<Pendientes>& pendientes, Bloqueador* bloqueador,
            const std::function<void()>& terminar) {
    Pendientes::Turno turno = pendientes->tomar();
    if (turno.tipo == Pendientes::Turno::Tipo::linea) {
        if (bloqueador->orden(turno.linea) == Accion::salir) terminar();
    } else if (turno.tipo == Pendientes::Turno::Tipo::fin) {
        bloqueador->finDeEntrada();
        terminar();
    }
    if (turno.quedan) {
        dispatch::Queue::main().async([pendientes, bloqueador, terminar] { servir(pendientes, bloqueador, terminar); });
    }
}

}  // namespace

struct Proceso::Partes {
    std::unique_ptr<Bloqueador> bloqueador;
    std::shared_ptr<dispatch::Timer> reloj;
    std::shared_ptr<dispatch::SignalSource> senal;
};

Proceso::~Proceso() {
    if (partes_ && partes_->reloj) partes_->reloj->cancel();
    if (partes_ && partes_->senal) partes_->senal->cancel();
}

std::unique_ptr<Proceso> arrancar(const Arranque& arranque) {
    std::unique_ptr<Proceso> proceso(new Proceso());
    proceso->partes_ = std::make_unique<Proceso::Partes>();
    auto salida = std::make_shared<Salida>(arranque.salida);
    auto pendientes = std::make_shared<Pendientes>(arranque.tandasEnEspera);
    proceso->partes_->bloqueador = std::make_unique<Bloqueador>(Entorno{
        .ahora = [] { return Reloj::now(); },
        .escribir = [salida](std::string_view linea) { salida->escribir(linea); },
        .despues = [](std::function<void()> trabajo) { dispatch::Queue::main().async(std::move(trabajo)); },
        .descartarBloqueos = [pendientes] { return pendientes->descartar("bloquear"); },
    });
    Bloqueador* bloqueador = proceso->partes_->bloqueador.get();
    bloqueador->instalar();

    proceso->partes_->reloj =
        dispatch::Timer::create(dispatch::Queue::main(), arranque.periodoLatido, arranque.periodoLatido,
                                dispatch::Nanoseconds(0), [bloqueador] { bloqueador->comprobarLatido(); });

    // The host ends the blocker with SIGTERM as well: the grabs would end with the
    // process anyway, but keys and buttons the desktop still has down would not.
    if (arranque.terminarPorSenal) {
        proceso->partes_->senal = dispatch::SignalSource::create(
            SIGTERM, dispatch::Queue::main(), [bloqueador, terminar = arranque.terminarPorSenal] {
                bloqueador->terminarPorSenal();
                terminar();
            });
    }

    // The reader only reads: every command runs on the main queue, in the order read.
    dispatch::detachThread([bloqueador, pendientes, entrada = arranque.entrada, terminar = arranque.terminar] {
        auto servirEnLaCola = [bloqueador, pendientes, terminar] {
            dispatch::Queue::main().async([bloqueador, pendientes, terminar] { servir(pendientes, bloqueador, terminar); });
        };
        leerOrdenes(entrada, [&](std::string_view linea) {
            if (pendientes->agregar(linea)) servirEnLaCola();
        });
        if (pendientes->terminar()) servirEnLaCola();
    });
    return proceso;
}

void ejecutar() {
    // A host that goes away must show up as failed writes, not kill the blocker while
    // it holds the local input. This comes before the first line can be written.
    ::signal(SIGPIPE, SIG_IGN);
    // Lives until the process ends. Nothing is buffered in the process (every line went
    // out with its own write), so the end is immediate, without running destructors
    // under the other threads.
    arrancar(Arranque{
                 .entrada = STDIN_FILENO,
                 .salida = STDOUT_FILENO,
                 .terminar = [] { ::_exit(0); },
                 // The host sees the end it always saw: killed by SIGTERM.
                 .terminarPorSenal =
                     [] {
                         ::signal(SIGTERM, SIG_DFL);
                         sigset_t solo;
                         sigemptyset(&solo);
                         sigaddset(&solo, SIGTERM);
                         ::pthread_sigmask(SIG_UNBLOCK, &solo, nullptr);
                         ::raise(SIGTERM);
                     },
             })
        .release();
    dispatch::dispatchMain();
}

}  // namespace zentlock
