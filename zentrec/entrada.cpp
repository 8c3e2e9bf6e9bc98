#include "zentrec/entrada.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zentrec {

namespace {

constexpr std::string_view kParar = "parar";

// Whether `bytes` is a whole space separator (1), the start of one (0), or neither (-1).
int comoEspacio(const uint8_t* bytes, int n) {
    static constexpr std::string_view kEspacios[] = {
        "\t", " ", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
        "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
        "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    };
    std::string_view visto(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    bool empieza = false;
    for (std::string_view espacio : kEspacios) {
        if (espacio == visto) return 1;
        if (espacio.starts_with(visto)) empieza = true;
    }
    return empieza ? 0 : -1;
}

}  // namespace

bool DetectorParar::espacio(uint8_t b) {
    pendiente_[enPendiente_++] = b;
    int como = comoEspacio(pendiente_, enPendiente_);
    if (como != 0) enPendiente_ = 0;
    if (como < 0) estado_ = Estado::descartada;
    return como >= 0;
}

void DetectorParar::byte(uint8_t b) {
    switch (estado_) {
        case Estado::antes:
            if (enPendiente_ == 0 && b == kParar[0]) {
                estado_ = Estado::palabra;
                letras_ = 1;
            } else {
                espacio(b);
            }
            break;
        case Estado::palabra:
            if (b == static_cast<uint8_t>(kParar[letras_])) {
                if (++letras_ == static_cast<int>(kParar.size())) estado_ = Estado::despues;
            } else {
                estado_ = Estado::descartada;
            }
            break;
        case Estado::despues:
            espacio(b);
            break;
        case Estado::descartada:
            break;
    }
}

bool DetectorParar::finDeLinea() {
    bool dice = estado_ == Estado::despues && enPendiente_ == 0;
    estado_ = Estado::antes;
    letras_ = 0;
    enPendiente_ = 0;
    retorno_ = false;
    return dice;
}

size_t DetectorParar::leer(std::string_view bytes, bool& parar) {
    parar = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint8_t b = static_cast<uint8_t>(bytes[i]);
        if (b == '\n') {
            if (finDeLinea()) {
                parar = true;
                return i + 1;
            }
            continue;
        }
        // "\r" belongs to the line's end only when "\n" comes next; otherwise it is a
        // character of the line, and not a space.
        if (retorno_) {
            retorno_ = false;
            byte('\r');
        }
        if (b == '\r') {
            retorno_ = true;
            continue;
        }
        byte(b);
    }
    return bytes.size();
}

bool DetectorParar::finDeEntrada() {
    if (retorno_) {
        retorno_ = false;
        byte('\r');
    }
    return finDeLinea();
}

namespace {

// One read that waits for data on a descriptor the host made non-blocking; 0 at the
// end of input, less than 0 when it cannot be read.
ssize_t leerBloque(int fd, char* bloque, size_t tamano) {
    for (;;) {
        ssize_t n = ::read(fd, bloque, tamano);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return n;
        pollfd espera{fd, POLLIN, 0};
        if (::poll(&espera, 1, -1) < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

bool esperarParar(int fd) {
    DetectorParar detector;
    char bloque[4096];
    for (;;) {
        ssize_t n = leerBloque(fd, bloque, sizeof bloque);
        if (n <= 0) return detector.finDeEntrada();
        bool parar = false;
        detector.leer(std::string_view(bloque, static_cast<size_t>(n)), parar);
        if (parar) return true;
    }
}

void descartarEntrada(int fd) {
    char bloque[4096];
    while (leerBloque(fd, bloque, sizeof bloque) > 0) {
    }
}

}  // namespace zentrec
