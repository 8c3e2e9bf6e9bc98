#pragma once
// A blocker on the scripted backend with a hand-driven clock, its output captured and
// the work it posts to the main queue held until the test runs it.

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <string>

#include "platform/sim/input/scripted_input.h"
#include "zentlock/bloqueador.h"
#include "zentlock/eventos.h"

namespace zentlock::prueba {

namespace input = platform::input;
using platform::sim::ScriptedEvent;
using platform::sim::ScriptedInput;

// Scripted events of the two kinds the tests need.
inline ScriptedEvent tecla(int64_t codigo, int64_t repeticion = 0) {
    ScriptedEvent e;
    e.keyCode = codigo;
    e.autorepeat = repeticion;
    return e;
}
inline ScriptedEvent en(double x, double y) {
    ScriptedEvent e;
    e.at = {x, y};
    return e;
}

inline constexpr const char* lineaError = "error\tsin el permiso de Accesibilidad no se puede bloquear\n";

// How long start-up waits for the tap and when an installation counts as failed; these
// run on the real clock, since the installation runs on a thread of its own.
struct Plazos {
    std::chrono::milliseconds esperaInicial{5000};
    std::chrono::milliseconds limite{10000};
};

class Banco : public ::testing::Test {
protected:
    void SetUp() override { script().reset(); }
    void TearDown() override {
        // A tap installation a test left waiting ends here, before the next test's script.
        script().holdCreates(false);
        EXPECT_TRUE(script().waitCreatesIdle(std::chrono::seconds(10)));
        bloqueador_.reset();
        script().reset();
    }

    static ScriptedInput& script() { return ScriptedInput::shared(); }

    // Builds and installs the blocker, as start-up does.
    Bloqueador& arrancar(Plazos plazos = Plazos()) {
        bloqueador_ = std::make_unique<Bloqueador>(Entorno{
            .ahora = [this] { return ahora_; },
            .escribir = [this](std::string_view linea) { salida_ += linea; },
            .despues = [this](std::function<void()> trabajo) { pendientes_.push_back(std::move(trabajo)); },
            .descartarBloqueos = [this] { return descartar_(); },
            .esperaInicial = plazos.esperaInicial,
            .limiteInstalacion = plazos.limite,
        });
        bloqueador_->instalar();
        return *bloqueador_;
    }
    Bloqueador& b() { return *bloqueador_; }

    void avanzar(std::chrono::milliseconds ms) { ahora_ += ms; }
    void avanzarHasta(std::chrono::milliseconds desdeOrigen) { ahora_ = origen_ + desdeOrigen; }

    // Runs what the blocker posted, as the main queue would after the callback.
    void correrPendientes() {
        while (!pendientes_.empty()) {
            auto trabajo = std::move(pendientes_.front());
            pendientes_.pop_front();
            trabajo();
        }
    }

    // Everything written since the last call.
    std::string tomarSalida() { return std::exchange(salida_, {}); }

    input::Verdict local(input::EventType tipo, ScriptedEvent e = {}) {
        e.userData = 0;
        return script().post(tipo, e);
    }
    input::Verdict marcado(input::EventType tipo, ScriptedEvent e = {}) {
        e.userData = MARCA;
        return script().post(tipo, e);
    }
    void escape(int64_t autorepeat = 0) {
        local(input::eventType::keyDown, tecla(input::keyCodeEscape, autorepeat));
        correrPendientes();
    }

    Instante origen_ = Instante{} + std::chrono::hours(1000);
    Instante ahora_ = origen_;
    std::string salida_;
    std::deque<std::function<void()>> pendientes_;
    // How many block requests were waiting when the escape gesture asks.
    std::function<uint64_t()> descartar_ = [] { return uint64_t{0}; };
    std::unique_ptr<Bloqueador> bloqueador_;
};

}  // namespace zentlock::prueba
