#include "tests/zentrec/consola.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "zentrec/salida.h"

namespace zentrec::prueba {

namespace {

// What the recorder wrote and how it ended, filled by reader threads.
struct Registro {
    std::mutex lock;
    std::condition_variable cambio;
    std::string salida;
    std::string error;
    std::vector<int> estados;
};

Registro& registro() {
    static Registro* const uno = new Registro;
    return *uno;
}

void leerSiempre(int fd, std::string Registro::*destino) {
    std::thread([fd, destino] {
        char bloque[65536];
        for (;;) {
            ssize_t n = ::read(fd, bloque, sizeof bloque);
            if (n <= 0) return;
            Registro& r = registro();
            std::scoped_lock lock(r.lock);
            (r.*destino).append(bloque, static_cast<size_t>(n));
            r.cambio.notify_all();
        }
    }).detach();
}

void instalarUnaVez() {
    static const bool hecho = [] {
        int salida[2], error[2];
        if (::pipe2(salida, O_CLOEXEC) != 0 || ::pipe2(error, O_CLOEXEC) != 0) std::abort();
        leerSiempre(salida[0], &Registro::salida);
        leerSiempre(error[0], &Registro::error);
        Proceso& p = proceso();
        p.salida = salida[1];
        p.error = error[1];
        p.salir = [](int estado) {
            Registro& r = registro();
            std::scoped_lock lock(r.lock);
            r.estados.push_back(estado);
            r.cambio.notify_all();
        };
        return true;
    }();
    (void)hecho;
}

template <class Predicado>
bool esperar(Milliseconds espera, Predicado listo) {
    Registro& r = registro();
    std::unique_lock lock(r.lock);
    return r.cambio.wait_for(lock, espera, [&] { return listo(r); });
}

}  // namespace

void limpiarConsola() {
    instalarUnaVez();
    Registro& r = registro();
    std::scoped_lock lock(r.lock);
    r.salida.clear();
    r.error.clear();
    r.estados.clear();
}

std::optional<std::string> siguienteLinea(Milliseconds espera) {
    std::optional<std::string> linea;
    esperar(espera, [&](Registro& r) {
        size_t fin = r.salida.find('\n');
        if (fin == std::string::npos) return false;
        linea = r.salida.substr(0, fin);
        r.salida.erase(0, fin + 1);
        return true;
    });
    return linea;
}

std::optional<nlohmann::json> siguienteEvento(Milliseconds espera) {
    auto linea = siguienteLinea(espera);
    if (!linea) return std::nullopt;
    auto evento = nlohmann::json::parse(*linea, nullptr, false);
    EXPECT_FALSE(evento.is_discarded()) << "not JSON: " << *linea;
    if (evento.is_discarded()) return std::nullopt;
    return evento;
}

std::optional<std::string> bytesDeSalida(size_t n, Milliseconds espera) {
    std::optional<std::string> bytes;
    esperar(espera, [&](Registro& r) {
        if (r.salida.size() < n) return false;
        bytes = std::move(r.salida);
        r.salida.clear();
        return true;
    });
    return bytes;
}

bool salidaQuieta(Milliseconds ventana) {
    return !esperar(ventana, [](Registro& r) { return !r.salida.empty(); });
}

std::string errores() {
    Registro& r = registro();
    std::scoped_lock lock(r.lock);
    return r.error;
}

bool esperarErrores(const std::string& texto, Milliseconds espera) {
    return esperar(espera, [&](Registro& r) { return r.error.find(texto) != std::string::npos; });
}

std::optional<int> esperarSalida(Milliseconds espera) {
    std::optional<int> estado;
    esperar(espera, [&](Registro& r) {
        if (r.estados.empty()) return false;
        estado = r.estados.front();
        return true;
    });
    return estado;
}

std::vector<int> salidas() {
    Registro& r = registro();
    std::scoped_lock lock(r.lock);
    return r.estados;
}

Entrada::Entrada() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    lectura_ = fds[0];
    escritura_ = fds[1];
    proceso().entrada = lectura_;
}

Entrada::~Entrada() {
    cerrar();
    // The read end stays open: a reader thread of the recorder may still hold it.
}

void Entrada::escribir(const std::string& texto) {
    ASSERT_TRUE(zentrec::escribirTodo(escritura_, texto));
}

void Entrada::cerrar() {
    if (escritura_ >= 0) ::close(escritura_);
    escritura_ = -1;
}

}  // namespace zentrec::prueba
