// What an answer of the blocker guarantees when the platform does not play along: local
// input that cannot be held, a tap that is still being installed or was taken away, and
// SIGTERM in the middle of a block.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/zentlock/banco.h"

namespace zentlock::prueba {
namespace {

using namespace std::chrono_literals;

class Garantias : public Banco {};

TEST_F(Garantias, AHoldThatFailsIsAnErrorAndNoBlock) {
    struct Caso {
        const char* nombre;
        bool bloqueandoAntes;
    };
    for (Caso caso : {Caso{"free", false}, Caso{"already blocking", true}}) {
        SCOPED_TRACE(caso.nombre);
        script().reset();
        arrancar();
        if (caso.bloqueandoAntes) b().bloquear();
        tomarSalida();
        script().refuseHolds(true);
        b().bloquear();
        EXPECT_EQ(tomarSalida(), lineaError);
        EXPECT_FALSE(b().bloqueado());
        EXPECT_FALSE(script().holding());
        // Not blocking: local Escapes count for nothing, the release is the free one.
        for (int i = 0; i < 3; ++i) escape();
        EXPECT_EQ(tomarSalida(), "");
        EXPECT_EQ(b().orden("salir"), Accion::salir);
        EXPECT_EQ(tomarSalida(), "") << "salir while free says nothing";
        // Once the devices can be held, the block works.
        script().refuseHolds(false);
        b().bloquear();
        EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
        EXPECT_TRUE(script().holding());
    }
}

TEST_F(Garantias, SigtermLetsGoOfTheLocalInputAndSaysNothing) {
    arrancar();
    b().terminarPorSenal();
    EXPECT_TRUE(script().holdCalls().empty()) << "nothing to let go while free";
    b().bloquear();
    tomarSalida();
    b().terminarPorSenal();
    EXPECT_EQ(script().holdCalls(), (std::vector<bool>{true, false}));
    EXPECT_FALSE(b().bloqueado());
    EXPECT_EQ(tomarSalida(), "");
}

TEST_F(Garantias, CommandsAreServedWhileTheTapIsBeingInstalled) {
    script().holdCreates(true);
    arrancar({.esperaInicial = 20ms, .limite = 300ms});
    EXPECT_EQ(tomarSalida(), "") << "start-up must not wait for a tap that does not come";
    b().orden("latido");
    b().orden("soltar");
    EXPECT_EQ(tomarSalida(), "estado\t0\tpedido\n");
    // A block request waits for the installation, which runs out of time: the start-up
    // error, then the answer to the request.
    b().bloquear();
    EXPECT_EQ(tomarSalida(), std::string(lineaError) + lineaError);
    EXPECT_FALSE(b().bloqueado());
    // The next request tries again, and gets the tap once the platform answers.
    script().holdCreates(false);
    b().bloquear();
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
}

TEST_F(Garantias, AnInstallationThatRunsOutOfTimeIsReportedByTheTimer) {
    script().holdCreates(true);
    arrancar({.esperaInicial = 0ms, .limite = 100ms});
    EXPECT_EQ(tomarSalida(), "");
    std::string salida;
    auto fin = std::chrono::steady_clock::now() + 10s;
    while (salida.empty() && std::chrono::steady_clock::now() < fin) {
        b().comprobarLatido();
        salida = tomarSalida();
    }
    EXPECT_EQ(salida, lineaError);
    b().comprobarLatido();
    EXPECT_EQ(tomarSalida(), "") << "reported once";
}

TEST_F(Garantias, AnInstallationThatEndsLateIsUsed) {
    script().holdCreates(true);
    arrancar({.esperaInicial = 0ms, .limite = 10000ms});
    b().comprobarLatido();
    EXPECT_EQ(tomarSalida(), "");
    script().holdCreates(false);
    b().bloquear();
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
    EXPECT_EQ(script().createRequests().size(), 1u);
}

TEST_F(Garantias, ATapTakenAwayIsReplacedByTheNextBlockRequest) {
    arrancar();
    b().bloquear();
    script().invalidateTap();
    b().bloquear();
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\nestado\t1\tganchos\n");
    EXPECT_EQ(script().createRequests().size(), 2u);
    // The new tap is the one that filters now.
    for (int i = 0; i < 3; ++i) escape();
    EXPECT_EQ(tomarSalida(), "estado\t0\tescape\n");

    // While the platform refuses, every request says so and nothing is held.
    script().invalidateTap();
    script().refuseTaps(input::TapLocation::hid);
    script().refuseTaps(input::TapLocation::session);
    b().bloquear();
    EXPECT_EQ(tomarSalida(), lineaError);
    EXPECT_FALSE(b().bloqueado());
}

}  // namespace
}  // namespace zentlock::prueba
