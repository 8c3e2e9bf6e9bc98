#include "zentlock/programa.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/dispatch.h"
#include "zentlock/bloqueador.h"
#include "zentlock/ordenes.h"
#include "zentlock/salida.h"

namespace zentlock {

namespace dispatch = platform::dispatch;

namespace {

// Counts the command lines handed to the main queue and not served yet; the reader
// waits for room before it hands on another.
class Turnos {
public:
    explicit Turnos(int maximo) : libres_(maximo) {}

    void tomar() {
        std::unique_lock lock(mutex_);
        hayLibre_.wait(lock, [this] { return libres_ > 0; });
        --libres_;
    }
    void devolver() {
        std::scoped_lock lock(mutex_);
        ++libres_;
        hayLibre_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable hayLibre_;
    int libres_;  // under mutex_
};

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
    int salida = arranque.salida;
    proceso->partes_->bloqueador = std::make_unique<Bloqueador>(Entorno{
        .ahora = [] { return Reloj::now(); },
        .escribir = [salida](std::string_view linea) { escribirLinea(salida, linea); },
        .despues = [](std::function<void()> trabajo) { dispatch::Queue::main().async(std::move(trabajo)); },
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

    // The reader only reads; every command runs on the main queue, in the order read.
    auto turnos = std::make_shared<Turnos>(arranque.lineasEnEspera);
    dispatch::detachThread([bloqueador, turnos, entrada = arranque.entrada, terminar = arranque.terminar] {
        leerOrdenes(entrada, [bloqueador, terminar, turnos](std::string_view linea) {
            turnos->tomar();
            dispatch::Queue::main().async([bloqueador, terminar, turnos, orden = std::string(linea)] {
                turnos->devolver();
                if (bloqueador->orden(orden) == Accion::salir) terminar();
            });
        });
        dispatch::Queue::main().async([bloqueador, terminar] {
            bloqueador->finDeEntrada();
            terminar();
        });
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
