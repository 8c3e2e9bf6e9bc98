#include "zentlock/instalacion.h"

#include <utility>

#include "platform/dispatch.h"

namespace zentlock {

std::shared_ptr<Instalacion> Instalacion::empezar(Crear crear) {
    std::shared_ptr<Instalacion> intento(new Instalacion());
    platform::dispatch::detachThread([intento, crear = std::move(crear)] {
        auto tap = crear();
        std::scoped_lock lock(intento->mutex_);
        intento->tap_ = std::move(tap);
        intento->hecha_ = true;
        intento->terminada_.notify_all();
    });
    return intento;
}

bool Instalacion::esperar(std::chrono::steady_clock::time_point hasta) {
    std::unique_lock lock(mutex_);
    return terminada_.wait_until(lock, hasta, [this] { return hecha_; });
}

std::unique_ptr<platform::input::EventTap> Instalacion::tomar() {
    std::scoped_lock lock(mutex_);
    return std::move(tap_);
}

}  // namespace zentlock
