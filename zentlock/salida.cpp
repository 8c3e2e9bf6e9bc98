#include "zentlock/salida.h"

#include <unistd.h>

#include <cerrno>

namespace zentlock {

void escribirLinea(int fd, std::string_view linea) {
    // Lines are far shorter than PIPE_BUF, so one write hands over the whole line.
    while (::write(fd, linea.data(), linea.size()) < 0 && errno == EINTR) {
    }
}

}  // namespace zentlock
