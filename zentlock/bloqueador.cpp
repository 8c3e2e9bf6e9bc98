#include "zentlock/bloqueador.h"

#include <algorithm>
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
    empezarInstalacion(Aviso::decir);
    recogerInstalacion(std::chrono::steady_clock::now() + entorno_.esperaInicial);
}

void Bloqueador::empezarInstalacion(Aviso siFalla) {
    // The callback is made here, so the installing thread never touches the blocker.
    input::TapCallback callback = [this](input::EventType tipo, const input::Event& evento) {
        return llamada(tipo, evento);
    };
    instalacion_ = Instalacion::empezar([callback]() -> std::unique_ptr<input::EventTap> {
        auto crear = [&](input::TapLocation donde) {
            return input::EventTap::create(donde, input::TapPlacement::headInsert, input::TapOptions::activeFilter,
                                           mascara, callback);
        };
        auto tap = crear(input::TapLocation::hid);
        if (!tap) tap = crear(input::TapLocation::session);
        if (!tap) return nullptr;
        return std::move(tap.value());
    });
    limite_ = std::chrono::steady_clock::now() + entorno_.limiteInstalacion;
    siFalla_ = siFalla;
}

bool Bloqueador::recogerInstalacion(std::chrono::steady_clock::time_point hasta) {
    if (!instalacion_) return true;
    bool terminada = instalacion_->esperar(std::min(hasta, limite_));
    if (!terminada && std::chrono::steady_clock::now() < limite_) return false;
    if (terminada) tap_ = instalacion_->tomar();
    instalacion_.reset();
    if (!tap_ && siFalla_ == Aviso::decir) decir(lineaSinGancho);
    return true;
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
    // An installation still under way is waited for (up to its limit), so the answer
    // tells what really happened.
    bool habiaInstalacion = instalacion_ != nullptr;
    recogerInstalacion(limite_);
    // Without a tap, or with one the platform has taken away since (the X server went
    // away), a new installation is tried, in case the service is back; not when the
    // one just waited for failed.
    if (!habiaInstalacion && (!tap_ || !tap_->isValid())) {
        tap_.reset();
        empezarInstalacion(Aviso::callar);
        recogerInstalacion(limite_);
    }
    if (!tap_) {
        decir(lineaSinGancho);
        return;
    }
    tap_->enable(true);
    auto donde = tap_->pointerLocation();
    // The answer must mean that local input is held: when a device cannot be held the
    // platform holds none, and the block does not start (or does not go on).
    if (!tap_->holdLocalInput(true)) {
        bloqueado_ = false;
        escapes_ = 0;
        decir(lineaSinGancho);
        return;
    }
    fijo_ = donde;
    bloqueado_ = true;
    escapes_ = 0;
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

void Bloqueador::terminarPorSenal() {
    bool estaba = bloqueado_;
    bloqueado_ = false;
    escapes_ = 0;
    if (estaba && tap_) tap_->holdLocalInput(false);
}

void Bloqueador::latido() { ultimoLatido_ = entorno_.ahora(); }

void Bloqueador::comprobarLatido() {
    recogerInstalacion(std::chrono::steady_clock::now());
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
    if (escapes_ < escapesParaSoltar) return;
    // Dropped before the release: whatever is read from now on may have been written
    // after it. Each dropped request is still answered, with the line that says why
    // nothing is blocked.
    const uint64_t anteriores = entorno_.descartarBloqueos();
    soltar("escape");
    for (uint64_t i = 0; i < anteriores; ++i) decir("estado\t0\tescape");
}

void Bloqueador::decir(std::string_view texto) {
    std::string linea(texto);
    linea += '\n';
    entorno_.escribir(linea);
}

}  // namespace zentlock
