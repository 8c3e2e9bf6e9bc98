#include "zentrec/salida.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace zentrec {

Proceso& proceso() {
    // Never destroyed: threads may still write while the process ends.
    static Proceso* const uno = new Proceso{0, 1, 2, [](int estado) { ::_exit(estado); }};
    return *uno;
}

void salir(int estado) {
    proceso().salir(estado);
}

std::mutex& salidaLock() {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

bool escribirTodo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor the host made non-blocking: wait for room instead of cutting
            // a line short.
            pollfd espera{fd, POLLOUT, 0};
            if (::poll(&espera, 1, -1) < 0 && errno != EINTR) return false;
        } else {
            return false;
        }
    }
    return true;
}

namespace {

// JSON has no NaN or infinity: the library would write them as null, which the host
// would take for a number that is not there.
bool soloFinitos(const Evento& valor) {
    if (valor.is_number_float()) return std::isfinite(valor.get<double>());
    if (valor.is_structured()) {
        for (const Evento& dentro : valor) {
            if (!soloFinitos(dentro)) return false;
        }
    }
    return true;
}

}  // namespace

void emitir(const Evento& evento) {
    // An event that cannot be written as it is is dropped whole.
    if (!soloFinitos(evento)) return;
    std::string linea;
    try {
        linea = evento.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return;
    }
    linea += '\n';
    std::scoped_lock lock(salidaLock());
    escribirTodo(proceso().salida, linea);
}

void avisar(std::string_view linea) {
    std::string texto(linea);
    texto += '\n';
    escribirTodo(proceso().error, texto);
}

std::string porque(const std::optional<platform::Error>& error) {
    if (!error) return "";
    int codigo = error->underlying ? error->underlying->code : error->code;
    return error->description + " (" + std::to_string(codigo) + ")";
}

}  // namespace zentrec
