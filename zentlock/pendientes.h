#pragma once
// Command lines read from standard input and not served yet. The reader hands every
// line over as soon as it is read, so a line waiting here was written by the host
// before anything the blocker does after reading it; lines are kept as runs of the
// same text, so a burst of one command (a host that repeats "bloquear" thousands of
// times) costs one entry and never makes the reader wait. Only when `maximoTandas`
// different runs wait does the reader wait for the main queue.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zentlock {

class Pendientes {
public:
    explicit Pendientes(size_t maximoTandas) : maximoTandas_(maximoTandas) {}

    // Reader thread. True when nothing was being served: the caller must then have
    // the main queue serve (servir() until it says there is nothing left).
    bool agregar(std::string_view linea);
    // Reader thread: the end of input, served after every line before it.
    bool terminar();

    struct Turno {
        enum class Tipo { linea, fin, nada } tipo = Tipo::nada;
        std::string linea;
        bool quedan = false;  // more is waiting: serve again
    };
    // Main queue: the first line waiting, or the end of input once every line is
    // served, or nothing (the caller stops serving until the next agregar()).
    Turno tomar();

    // Main queue: drops every waiting line equal to `linea`; how many.
    uint64_t descartar(std::string_view linea);

private:
    struct Tanda {
        std::string linea;
        uint64_t veces;
    };
    bool programarSiHaceFalta();  // with mutex_ held

    const size_t maximoTandas_;
    std::mutex mutex_;
    std::condition_variable hayLugar_;
    std::deque<Tanda> tandas_;  // under mutex_
    bool fin_ = false;          // under mutex_
    bool sirviendo_ = false;    // under mutex_: a serve is scheduled or running
};

}  // namespace zentlock
