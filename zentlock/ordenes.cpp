#include "zentlock/ordenes.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zentlock {

Troceador::Troceador(std::function<void(std::string_view)> alOrden) : alOrden_(std::move(alOrden)) {}

void Troceador::alimentar(std::string_view bytes) {
    for (char c : bytes) byte(c);
}

void Troceador::terminar() {
    if (retornoPendiente_) {
        retornoPendiente_ = false;
        guardar('\r');
    }
    // Bytes after the last line end form a line; nothing after it does not.
    if (empezada_ || largo_ > 0 || desbordada_) finDeLinea();
}

void Troceador::byte(char c) {
    if (retornoPendiente_) {
        retornoPendiente_ = false;
        if (c == '\n') {
            finDeLinea();
            return;
        }
        // A lone "\r" is text like any other byte.
        guardar('\r');
    }
    if (c == '\n') {
        finDeLinea();
    } else if (c == '\r') {
        retornoPendiente_ = true;
    } else {
        guardar(c);
    }
}

void Troceador::guardar(char c) {
    if (c == ' ' || c == '\t') {
        if (!empezada_) return;
        if (largo_ < texto_.size()) {
            texto_[largo_++] = c;
        } else {
            blancoPerdido_ = true;
        }
        return;
    }
    empezada_ = true;
    if (blancoPerdido_ || largo_ >= texto_.size()) {
        desbordada_ = true;
        return;
    }
    texto_[largo_++] = c;
    util_ = largo_;
}

void Troceador::finDeLinea() {
    if (!desbordada_) alOrden_(std::string_view(texto_.data(), util_));
    largo_ = 0;
    util_ = 0;
    empezada_ = false;
    blancoPerdido_ = false;
    desbordada_ = false;
}

void leerOrdenes(int fd, const std::function<void(std::string_view)>& alOrden) {
    Troceador troceador(alOrden);
    std::array<char, 4096> bloque;
    for (;;) {
        ssize_t leidos = ::read(fd, bloque.data(), bloque.size());
        if (leidos < 0 && errno == EINTR) continue;
        // A read error ends input just as end of file does: nothing more will come.
        if (leidos <= 0) break;
        troceador.alimentar(std::string_view(bloque.data(), static_cast<size_t>(leidos)));
    }
    troceador.terminar();
}

}  // namespace zentlock
