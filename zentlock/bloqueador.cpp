#include "zentlock/bloqueador.h"

#include <utility>

#include "zentlock/eventos.h"

namespace zentlock {

namespace input = platform::input;

namespace {

constexpr std::string_view lineaSinGancho = "error\tsin el permiso de Accesibilidad no se puede bloquear";

double msEntre(Instante desde, Instante hasta) {
    return std::chrono::duration<double, std::milli>(hasta - desde).count();
}

}  // namespace

Bloqueador::Bloqueador(Entorno entorno) : entorno_(std::move(entorno)), ultimoLatido_(entorno_.ahora()) {}

void Bloqueador::instalar() {
    auto crear = [this](input::TapLocation donde) {
        return input::EventTap::create(donde, input::TapPlacement::headInsert, input::TapOptions::activeFilter,
                                       mascara, [this](input::EventType tipo, const input::Event& evento) {
                                           return llamada(tipo, evento);
                                       });
    };
    auto tap = crear(input::TapLocation::hid);
    if (!tap) tap = crear(input::TapLocation::session);
    if (tap) {
        tap_ = std::move(tap.value());
    } else {
        decir(lineaSinGancho);
    }
}

Accion Bloqueador::orden(std::string_view linea) {
    if (linea == "bloquear") {
        bloquear();
    } else if (linea == "soltar") {
        soltar("pedido");
    } else if (linea == "latido") {
        latido();
    } else if (linea == "salir") {
        soltar("salir");
        return Accion::salir;
    }
    return Accion::seguir;
}

void Bloqueador::finDeEntrada() { soltar("salir"); }

void Bloqueador::bloquear() {
    ultimoLatido_ = entorno_.ahora();
    // A tap the platform has taken away since start-up counts as none.
    if (!tap_ || !tap_->isValid()) {
        decir(lineaSinGancho);
        return;
    }
    tap_->enable(true);
    fijo_ = tap_->pointerLocation();
    bloqueado_ = true;
    escapes_ = 0;
    tap_->holdLocalInput(true);
    decir("estado\t1\tganchos");
}

void Bloqueador::soltar(std::string_view motivo) {
    bool estaba = bloqueado_;
    bloqueado_ = false;
    escapes_ = 0;
    if (estaba && tap_) tap_->holdLocalInput(false);
    if (estaba || motivo == "pedido") {
        std::string linea = "estado\t0\t";
        linea += motivo;
        decir(linea);
    }
}

void Bloqueador::latido() { ultimoLatido_ = entorno_.ahora(); }

void Bloqueador::comprobarLatido() {
    if (bloqueado_ && msEntre(ultimoLatido_, entorno_.ahora()) > sinLatidoMs) soltar("sin-agente");
}

input::Verdict Bloqueador::llamada(input::EventType tipo, const input::Event& evento) {
    if (tipo == input::eventType::tapDisabledByTimeout || tipo == input::eventType::tapDisabledByUserInput) {
        if (tap_) tap_->enable(true);
        return input::Verdict::pass;
    }
    if (!bloqueado_) return input::Verdict::pass;

    if (evento.integerValue(input::EventField::sourceUserData) == MARCA) {
        // The host's own input: it passes, and its pointer position becomes the pin point
        // so that pinning never undoes what the host did.
        if (mueve(tipo) || pulsa(tipo)) fijo_ = evento.location();
        return input::Verdict::pass;
    }

    if (mueve(tipo) && fijo_ && tap_) tap_->warpPointer(*fijo_);
    if (tipo == input::eventType::keyDown &&
        evento.integerValue(input::EventField::keyboardKeycode) == input::keyCodeEscape &&
        evento.integerValue(input::EventField::keyboardAutorepeat) == 0) {
        // Counting may end the block; it runs after the callback so the callback only
        // reads fields and returns.
        entorno_.despues([this] { contarEscape(); });
    }
    return input::Verdict::swallow;
}

void Bloqueador::contarEscape() {
    Instante ahora = entorno_.ahora();
    if (escapes_ == 0 || !primerEscape_ || msEntre(*primerEscape_, ahora) > escapeMs) {
        escapes_ = 0;
        primerEscape_ = ahora;
    }
    ++escapes_;
    if (escapes_ >= escapesParaSoltar) soltar("escape");
}

void Bloqueador::decir(std::string_view texto) {
    std::string linea(texto);
    linea += '\n';
    entorno_.escribir(linea);
}

}  // namespace zentlock
