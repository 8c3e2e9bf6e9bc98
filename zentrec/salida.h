#pragma once
// What every mode of the recorder shares: the process's standard streams and its exit,
// the JSON event writer and its lock, the text of platform errors, the sample rate.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/error.h"

namespace zentrec {

// The sample rate of all the recorder's sound, in frames per second.
inline constexpr double tasa = 48000.0;

// The streams the recorder talks through and the way it ends. The program keeps the
// defaults; tests point them at pipes and record the exit instead of leaving. Set once
// before any mode starts, then only read.
struct Proceso {
    int entrada = 0;
    int salida = 1;
    int error = 2;
    // Ends the process with the status. The real one never returns; callers return
    // right after it all the same, so that a test's recording one leaves nothing half
    // done.
    std::function<void(int)> salir;
};
Proceso& proceso();
void salir(int estado);

// Held around every write to standard output, and only there.
std::mutex& salidaLock();

// Writes all of `bytes`, continuing after partial writes and interruptions and waiting
// while a non-blocking descriptor is full. False when the descriptor refuses them
// (the reader went away); callers ignore that.
bool escribirTodo(int fd, std::string_view bytes);

using Evento = nlohmann::json;

// One event as one compact JSON line on standard output, written whole under
// salidaLock(). Text that is not valid UTF-8 is written with replacement characters
// rather than losing the event; an event holding a NaN or an infinity is dropped.
void emitir(const Evento& evento);

// A line on standard error (a line feed is added); failures are ignored.
void avisar(std::string_view linea);

// "description (code)", the code taken from the underlying error when there is one;
// "" for no error.
std::string porque(const std::optional<platform::Error>& error);

}  // namespace zentrec
