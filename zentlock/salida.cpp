#include "zentlock/salida.h"

#include "platform/bounded_write.h"

namespace zentlock {

void escribirLinea(int fd, std::string_view linea) {
    // Lines are far shorter than PIPE_BUF, so they are written whole or not at all.
    platform::writeWithin(fd, linea, esperaDeLinea);
}

}  // namespace zentlock
