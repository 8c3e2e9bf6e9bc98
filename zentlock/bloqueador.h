#pragma once
// The blocker's state and every rule that changes it: block and release, the tap
// callback, the escape gesture and the heartbeat. All of it runs on the main queue.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_tap.h"

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
};

enum class Accion { seguir, salir };

class Bloqueador {
public:
    explicit Bloqueador(Entorno entorno);
    Bloqueador(const Bloqueador&) = delete;
    Bloqueador& operator=(const Bloqueador&) = delete;

    // Installs the tap at the HID level, else at the session level; without one the
    // error line is written and commands are still served.
    void instalar();

    // One command line, already trimmed. Unknown lines are ignored. `salir` means the
    // caller must end the process with status 0 (the release line is already written).
    Accion orden(std::string_view linea);
    // End of standard input: the same as "salir".
    void finDeEntrada();

    void bloquear();
    void soltar(std::string_view motivo);
    void latido();
    // The once-a-second heartbeat check.
    void comprobarLatido();
    // The tap callback.
    platform::input::Verdict llamada(platform::input::EventType tipo, const platform::input::Event& evento);
    // One Escape press of the local user; posted by the callback.
    void contarEscape();

    bool bloqueado() const { return bloqueado_; }
    std::optional<platform::input::Point> fijo() const { return fijo_; }

private:
    void decir(std::string_view texto);

    Entorno entorno_;
    bool bloqueado_ = false;
    Instante ultimoLatido_;
    int escapes_ = 0;
    std::optional<Instante> primerEscape_;  // none: the distant past
    std::unique_ptr<platform::input::EventTap> tap_;
    std::optional<platform::input::Point> fijo_;
};

}  // namespace zentlock
