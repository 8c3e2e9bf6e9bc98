#pragma once
// The blocker's state and every rule that changes it: block and release, the tap
// callback, the escape gesture and the heartbeat. All of it runs on the main queue.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_tap.h"
#include "zentlock/instalacion.h"

namespace zentlock {

using Reloj = std::chrono::steady_clock;
using Instante = Reloj::time_point;

// What the blocker needs from outside, so that tests can script it.
struct Entorno {
    std::function<Instante()> ahora = [] { return Reloj::now(); };
    // Writes one whole line (line feed included) to standard output.
    std::function<void(std::string_view linea)> escribir;
    // Runs `trabajo` on the main queue after the work item running now.
    std::function<void(std::function<void()> trabajo)> despues;
    // The escape gesture is ending a block: drops the block requests that arrived
    // before it and still wait their turn, so that the block the local user ended does
    // not come back, and returns how many there were.
    std::function<uint64_t()> descartarBloqueos = [] { return uint64_t{0}; };
    // Installing the tap runs off the main queue. Start-up waits this long for it, so
    // that in the ordinary case (a server that answers at once) the outcome is known
    // before the first command; past that, commands are served while it goes on.
    std::chrono::milliseconds esperaInicial{500};
    // An installation that has not ended after this long counts as no tap.
    std::chrono::milliseconds limiteInstalacion{3000};
};

enum class Accion { seguir, salir };

class Bloqueador {
public:
    explicit Bloqueador(Entorno entorno);
    Bloqueador(const Bloqueador&) = delete;
    Bloqueador& operator=(const Bloqueador&) = delete;

    // Starts installing the tap at the HID level, else at the session level, and waits
    // up to `esperaInicial` for it. Without a tap the error line is written (now, or
    // when the installation fails or runs out of time) and commands are still served.
    void instalar();

    // One command line, already trimmed. Unknown lines are ignored. `salir` means the
    // caller must end the process with status 0 (the release line is already written).
    Accion orden(std::string_view linea);
    // End of standard input: the same as "salir".
    void finDeEntrada();

    void bloquear();
    void soltar(std::string_view motivo);
    void latido();
    // The once-a-second heartbeat check; it also collects an installation that ended
    // since start-up.
    void comprobarLatido();
    // SIGTERM: local input is given back, keys and buttons included, before the caller
    // lets the signal end the process. Writes nothing.
    void terminarPorSenal();
    // The tap callback.
    platform::input::Verdict llamada(platform::input::EventType tipo, const platform::input::Event& evento);
    // One Escape press of the local user; posted by the callback.
    void contarEscape();

    bool bloqueado() const { return bloqueado_; }
    std::optional<platform::input::Point> fijo() const { return fijo_; }

private:
    enum class Aviso { decir, callar };

    void decir(std::string_view texto);
    void empezarInstalacion(Aviso siFalla);
    // Collects the installation under way once it has ended, waiting for it until
    // `hasta` at most; one that is past its limit counts as failed. False while it is
    // still under way.
    bool recogerInstalacion(std::chrono::steady_clock::time_point hasta);

    Entorno entorno_;
    bool bloqueado_ = false;
    Instante ultimoLatido_;
    int escapes_ = 0;
    std::optional<Instante> primerEscape_;  // none: the distant past
    std::unique_ptr<platform::input::EventTap> tap_;
    std::shared_ptr<Instalacion> instalacion_;  // the installation under way, if any
    std::chrono::steady_clock::time_point limite_;  // when it counts as failed
    Aviso siFalla_ = Aviso::decir;  // whether its failure writes the error line
    std::optional<platform::input::Point> fijo_;
};

}  // namespace zentlock
