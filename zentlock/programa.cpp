#include "zentlock/programa.h"

#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/dispatch.h"
#include "zentlock/bloqueador.h"
#include "zentlock/ordenes.h"
#include "zentlock/salida.h"

namespace zentlock {

namespace dispatch = platform::dispatch;

struct Proceso::Partes {
    std::unique_ptr<Bloqueador> bloqueador;
    std::shared_ptr<dispatch::Timer> reloj;
};

Proceso::~Proceso() {
    if (partes_ && partes_->reloj) partes_->reloj->cancel();
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

    // The reader only reads; every command runs on the main queue, in the order read.
    dispatch::detachThread([bloqueador, entrada = arranque.entrada, terminar = arranque.terminar] {
        leerOrdenes(entrada, [bloqueador, terminar](std::string_view linea) {
            dispatch::Queue::main().async([bloqueador, terminar, orden = std::string(linea)] {
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
    arrancar(Arranque{STDIN_FILENO, STDOUT_FILENO, [] { ::_exit(0); }}).release();
    dispatch::dispatchMain();
}

}  // namespace zentlock
