#include "zentlock/salida.h"

#include "platform/bounded_write.h"

namespace zentlock {

void Salida::escribir(std::string_view linea) {
    // Lines are far shorter than PIPE_BUF, so they are written whole or not at all.
    const auto espera = atascada_ ? std::chrono::milliseconds(0) : esperaDeLinea;
    atascada_ = platform::writeWithin(fd_, linea, espera) < linea.size();
}

}  // namespace zentlock
