#pragma once
// The recorder's standard streams and exit, as the host sees them, inside a test
// process: standard output and error are pipes read as they fill, and an exit is
// recorded instead of ending the process (the code that called it returns, as it would
// never have gone on). One for the whole test process, since the recorder's threads
// keep the descriptors they were given.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zentrec::prueba {

using Milliseconds = std::chrono::milliseconds;
inline constexpr Milliseconds kPaciencia{10000};

// Points the recorder's streams at the test's pipes (once) and forgets what earlier
// tests left: output, errors and exit statuses. Call at the start of every test.
void limpiarConsola();

// The next whole line on standard output, without its line feed.
std::optional<std::string> siguienteLinea(Milliseconds espera = kPaciencia);
// The next line parsed as JSON; a line that is not JSON fails the test.
std::optional<nlohmann::json> siguienteEvento(Milliseconds espera = kPaciencia);
// Every byte on standard output not yet taken, once it holds at least `n`.
std::optional<std::string> bytesDeSalida(size_t n, Milliseconds espera = kPaciencia);
// True when nothing more arrives on standard output within `ventana`.
bool salidaQuieta(Milliseconds ventana);

std::string errores();
bool esperarErrores(const std::string& texto, Milliseconds espera = kPaciencia);

// The first exit status, once the recorder ended; every status it asked for, in order.
std::optional<int> esperarSalida(Milliseconds espera = kPaciencia);
std::vector<int> salidas();

// A pipe for standard input: the recorder reads the read end; the test writes and
// closes the write end. Install it before the mode starts.
class Entrada {
public:
    Entrada();
    ~Entrada();
    Entrada(const Entrada&) = delete;
    Entrada& operator=(const Entrada&) = delete;
    void escribir(const std::string& texto);
    void cerrar();

private:
    int lectura_ = -1;
    int escritura_ = -1;
};

}  // namespace zentrec::prueba
