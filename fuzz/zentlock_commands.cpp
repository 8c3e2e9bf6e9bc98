// Random standard input through the blocker's line reader and command table, on the
// scripted backend. Only the protocol's lines may come out, each exactly when a simple
// model of the blocker says so; "salir" ends the run where the process would exit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/sim/input/scripted_input.h"
#include "zentlock/bloqueador.h"
#include "zentlock/ordenes.h"

namespace {

using zentlock::Accion;

struct Modelo {
    bool conGancho;
    bool bloqueado = false;

    // The bytes the blocker must write for one trimmed line.
    std::string esperado(std::string_view linea) {
        if (linea == "bloquear") {
            if (!conGancho) return "error\tsin el permiso de Accesibilidad no se puede bloquear\n";
            bloqueado = true;
            return "estado\t1\tganchos\n";
        }
        if (linea == "soltar") {
            bloqueado = false;
            return "estado\t0\tpedido\n";
        }
        if (linea == "salir") {
            bool estaba = bloqueado;
            bloqueado = false;
            return estaba ? "estado\t0\tsalir\n" : "";
        }
        return "";
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& script = platform::sim::ScriptedInput::shared();
    script.reset();
    // The first byte decides whether a tap can be installed.
    bool conGancho = size == 0 || (data[0] & 1) == 0;
    if (!conGancho) {
        script.refuseTaps(platform::input::TapLocation::hid);
        script.refuseTaps(platform::input::TapLocation::session);
    }

    std::string salida;
    zentlock::Bloqueador bloqueador(zentlock::Entorno{
        .ahora = [] { return zentlock::Instante{}; },
        .escribir = [&](std::string_view linea) { salida += linea; },
        .despues = [](std::function<void()>) { std::abort(); },  // no events, no escape counts
    });
    bloqueador.instalar();
    if (salida != (conGancho ? "" : "error\tsin el permiso de Accesibilidad no se puede bloquear\n")) std::abort();
    salida.clear();

    Modelo modelo{conGancho};
    bool terminado = false;
    zentlock::Troceador troceador([&](std::string_view linea) {
        if (terminado) return;
        if (linea.size() > zentlock::Troceador::maxOrden) std::abort();
        std::string esperado = modelo.esperado(linea);
        if (bloqueador.orden(linea) == Accion::salir) terminado = true;
        if (terminado != (linea == "salir")) std::abort();
        if (salida != esperado) std::abort();
        if (bloqueador.bloqueado() != modelo.bloqueado) std::abort();
        salida.clear();
    });
    troceador.alimentar(std::string_view(reinterpret_cast<const char*>(data), size));
    troceador.terminar();
    if (!terminado) {
        std::string esperado = modelo.esperado("salir");
        bloqueador.finDeEntrada();
        if (salida != esperado) std::abort();
    }
    script.reset();
    return 0;
}
