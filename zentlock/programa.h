#pragma once
// The blocker's process: start-up, the heartbeat timer, the standard-input reader and
// the main loop.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace zentlock {

class Bloqueador;

struct Arranque {
    int entrada;   // commands, one per line
    int salida;    // status lines
    // Ends the process with status 0; runs on the main queue after "salir" or the end
    // of input, once the release line is written.
    std::function<void()> terminar;
    // Ends the process the way SIGTERM does by default; runs on the main queue once
    // local input has been given back. Null: SIGTERM is left alone.
    std::function<void()> terminarPorSenal = nullptr;
    std::chrono::nanoseconds periodoLatido = std::chrono::seconds(1);
    // Runs of equal command lines read but not served yet; the reader waits while this
    // many are pending, so a main queue that falls behind costs little memory.
    size_t tandasEnEspera = 64;
};

// Everything that runs once start-up is done. Destroying it stops the heartbeat timer;
// do that only once the main queue will run none of its work again (after `terminar`).
class Proceso {
public:
    ~Proceso();
    Proceso(const Proceso&) = delete;
    Proceso& operator=(const Proceso&) = delete;

    struct Partes;

private:
    friend std::unique_ptr<Proceso> arrancar(const Arranque&);
    Proceso() = default;
    std::unique_ptr<Partes> partes_;
};

// Installs the tap, starts the once-a-second heartbeat check on the main queue, the
// SIGTERM handler and the thread that reads commands. Commands and events are served
// once the calling thread serves the main queue.
std::unique_ptr<Proceso> arrancar(const Arranque& arranque);

// The program: start-up on standard input and output, then the main loop. Never
// returns; the process ends with status 0 on "salir" or at the end of standard input.
[[noreturn]] void ejecutar();

}  // namespace zentlock
