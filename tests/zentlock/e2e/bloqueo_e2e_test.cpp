// The blocker on a real X server: what the local user does stays away from the desktop
// while the host's injected input goes through.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "tests/zentlock/e2e/bloqueador_proceso.h"
#include "tests/zentlock/e2e/escritorio.h"

namespace zentlock::e2e {
namespace {

using namespace std::chrono_literals;
using T = Llegada::Tipo;

class Bloqueo : public testing::Test {
protected:
    void SetUp() override {
        servidor_ = Servidor::arrancar();
        ASSERT_TRUE(servidor_.escritorio) << "no test X server";
        hijo_ = lanzar(servidor_.xvfb->display());
        ASSERT_TRUE(hijo_);
    }
    Escritorio& escritorio() { return *servidor_.escritorio; }
    testsupport::Child& hijo() { return *hijo_; }

    // Local input of every kind reaches the desktop: the state outside a block.
    void esperarEntradaLocalLibre() {
        escritorio().pulsaLocal(teclaD);
        escritorio().botonLocal(2, true);
        escritorio().botonLocal(2, false);
        auto llegadas = escritorio().hastaMarca();
        EXPECT_EQ(contar(llegadas, T::teclaBaja, teclaD), 1);
        EXPECT_EQ(contar(llegadas, T::botonBaja, 2), 1);
    }

    Servidor servidor_;
    std::unique_ptr<testsupport::Child> hijo_;
};

TEST_F(Bloqueo, LocalInputIsHeldAndTheHostsPasses) {
    esperarEntradaLocalLibre();
    escritorio().moverHost(300, 200);
    ASSERT_EQ(escritorio().hastaMarca().empty(), false);  // the move arrives
    ASSERT_EQ(escritorio().puntero(), (Posicion{300, 200}));

    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);

    // Keys, clicks and moves of the local user reach nothing. (The server's mouse has
    // three buttons and no wheel.)
    escritorio().pulsaLocal(teclaA);
    escritorio().botonLocal(1, true);
    escritorio().botonLocal(1, false);
    escritorio().botonLocal(3, true);
    escritorio().botonLocal(3, false);
    escritorio().moverLocal(40, 25);
    escritorio().moverLocal(-100, 7);
    EXPECT_TRUE(escritorio().hastaMarca().empty());
    EXPECT_EQ(escritorio().puntero(), (Posicion{300, 200}));

    // The host's keys, clicks and moves go through and move the pointer.
    escritorio().teclaHost(teclaS, true);
    escritorio().teclaHost(teclaS, false);
    escritorio().moverHost(700, 400);
    escritorio().botonHost(1, true);
    escritorio().botonHost(1, false);
    auto delHost = escritorio().hastaMarca();
    EXPECT_EQ(contar(delHost, T::teclaBaja, teclaS), 1);
    EXPECT_EQ(contar(delHost, T::teclaSube, teclaS), 1);
    EXPECT_EQ(contar(delHost, T::botonBaja, 1), 1);
    EXPECT_GE(contar(delHost, T::movimiento), 1);
    EXPECT_EQ(escritorio().puntero(), (Posicion{700, 400}));

    // Pinning follows the host: a local move now must not put the pointer back where
    // the block began. The escape gesture that follows shows the move was handled.
    escritorio().moverLocal(15, 15);
    for (int i = 0; i < 3; ++i) escritorio().pulsaLocal(teclaEscape);
    EXPECT_EQ(linea(hijo()), "estado\t0\tescape");
    EXPECT_EQ(escritorio().puntero(), (Posicion{700, 400}));

    // Free again: local input reaches the desktop, and nothing stayed down.
    esperarEntradaLocalLibre();
    EXPECT_FALSE(escritorio().teclaAbajo(teclaEscape));
    EXPECT_FALSE(escritorio().teclaAbajo(teclaA));
    EXPECT_FALSE(escritorio().botonAbajo(1));
}

// CPU time the process has used so far, user and system, all its threads.
static std::chrono::milliseconds tiempoDeCpu(pid_t pid) {
    std::ifstream archivo("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(archivo)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold spaces; the fields after it are counted from
    // the state, the third: user time is the 14th and system time the 15th, in ticks.
    auto fin = stat.rfind(')');
    if (fin == std::string::npos) return std::chrono::milliseconds::max();
    std::istringstream campos(stat.substr(fin + 1));
    std::string campo;
    long long ticks = 0;
    for (int i = 3; i <= 15 && campos >> campo; ++i) {
        if (i >= 14) ticks += std::stoll(campo);
    }
    return std::chrono::milliseconds(ticks * 1000 / sysconf(_SC_CLK_TCK));
}

TEST_F(Bloqueo, PinningBackAPointerTheLocalMouseMovedLastSettles) {
    // The local mouse, not the host, is the last to move the pointer before the block.
    // The server then reports the blocker's warp back as one more move of that mouse,
    // already at the pinned place.
    escritorio().moverLocal(7, -5);
    escritorio().hastaMarca();
    const Posicion fijo = escritorio().puntero();
    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);

    escritorio().moverLocal(7, -5);
    EXPECT_TRUE(escritorio().hastaMarca().empty());
    EXPECT_TRUE(esperarQue([&] { return escritorio().puntero() == fijo; }));

    // Answering that report with a warp to where the pointer already is made the server
    // report it again, and so on for as long as the block lasted: thousands of round
    // trips a second, more than a third of a core. Settled, the blocker waits for input
    // and uses next to nothing; the bound is far from both, busy machine or not.
    const auto antes = tiempoDeCpu(hijo().pid());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(tiempoDeCpu(hijo().pid()) - antes, 200ms);

    // Still blocking, and still counting the local Escape presses.
    escritorio().pulsaLocal(teclaA);
    EXPECT_TRUE(escritorio().hastaMarca().empty());
    for (int i = 0; i < 3; ++i) escritorio().pulsaLocal(teclaEscape);
    EXPECT_EQ(linea(hijo()), "estado\t0\tescape");
    esperarEntradaLocalLibre();
}

TEST_F(Bloqueo, KeysAndButtonsLetGoDuringTheBlockDoNotStayDown) {
    escritorio().teclaLocal(teclaShift, true);
    escritorio().botonLocal(1, true);
    escritorio().hastaMarca();
    ASSERT_TRUE(escritorio().teclaAbajo(teclaShift));
    ASSERT_TRUE(escritorio().botonAbajo(1));

    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
    escritorio().teclaLocal(teclaShift, false);
    escritorio().botonLocal(1, false);
    EXPECT_TRUE(escritorio().hastaMarca().empty());

    // A key the host holds down across the release stays down: it is the host's.
    escritorio().teclaHost(teclaS, true);
    escritorio().hastaMarca();

    EXPECT_EQ(pedir(hijo(), "soltar"), "estado\t0\tpedido");
    escritorio().hastaMarca();
    EXPECT_FALSE(escritorio().teclaAbajo(teclaShift));
    EXPECT_FALSE(escritorio().botonAbajo(1));
    EXPECT_TRUE(escritorio().teclaAbajo(teclaS));
    escritorio().teclaHost(teclaS, false);

    // Typing works normally afterwards.
    escritorio().pulsaLocal(teclaA);
    auto llegadas = escritorio().hastaMarca();
    EXPECT_EQ(contar(llegadas, T::teclaBaja, teclaA), 1);
    EXPECT_EQ(contar(llegadas, T::teclaSube, teclaA), 1);
}

TEST_F(Bloqueo, SalirWhileBlockingReportsExitsAndGivesInputBack) {
    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
    EXPECT_EQ(pedir(hijo(), "salir"), "estado\t0\tsalir");
    EXPECT_EQ(hijo().waitExit(5s), 0);
    EXPECT_EQ(hijo().readLine(1s), std::nullopt);
    esperarEntradaLocalLibre();
}

TEST_F(Bloqueo, EndOfInputWhileBlockingIsSalir) {
    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
    hijo().closeStdin();
    EXPECT_EQ(linea(hijo()), "estado\t0\tsalir");
    EXPECT_EQ(hijo().waitExit(5s), 0);
    esperarEntradaLocalLibre();
}

TEST_F(Bloqueo, KilledBlockerGivesTheLocalDevicesBack) {
    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
    escritorio().pulsaLocal(teclaA);
    EXPECT_TRUE(escritorio().hastaMarca().empty());
    hijo().signal(SIGKILL);
    EXPECT_EQ(hijo().waitExit(5s), 128 + SIGKILL);
    // The server lets the grabs go when it reads the end of the dead blocker's
    // connection, which may be after the test saw the process end: until then local
    // input still goes to the grabs. Another client can take both devices once they
    // are free.
    auto libre = [&](Dispositivo dispositivo) {
        if (!escritorio().otroClienteRetiene(dispositivo)) return false;
        escritorio().otroClienteSuelta();
        return true;
    };
    EXPECT_TRUE(esperarQue([&] { return libre(Dispositivo::teclado) && libre(Dispositivo::raton); }))
        << "the killed blocker's grabs stayed";
    esperarEntradaLocalLibre();
}

TEST_F(Bloqueo, CommandLinesAreTrimmedAndCaseSensitive) {
    // Lines are answered in order, so an ignored line shows as the next answer
    // belonging to the next command.
    EXPECT_EQ(pedir(hijo(), "soltar"), "estado\t0\tpedido");
    hijo().writeStdin("Bloquear\n\nBLOQUEAR\nbloquear ya\n");
    EXPECT_EQ(pedir(hijo(), " \t soltar\t "), "estado\t0\tpedido");
    EXPECT_EQ(pedir(hijo(), "\t bloquear \t"), lineaGanchos);
    escritorio().pulsaLocal(teclaA);
    EXPECT_TRUE(escritorio().hastaMarca().empty());
    hijo().writeStdin("Soltar\nlatido\n");
    EXPECT_EQ(pedir(hijo(), "soltar\r"), "estado\t0\tpedido");
    esperarEntradaLocalLibre();
    hijo().writeStdin("  salir  \n");
    EXPECT_EQ(hijo().waitExit(5s), 0);
    EXPECT_EQ(hijo().readLine(1s), std::nullopt);  // salir while free says nothing
}

TEST_F(Bloqueo, AHostThatStopsReadingDoesNotEndTheBlocker) {
    hijo().closeStdout();
    hijo().writeStdin("bloquear\nsoltar\nbloquear\nsoltar\nsalir\n");
    // Failed writes are ignored: the blocker served every line and ended normally,
    // not by a broken pipe.
    EXPECT_EQ(hijo().waitExit(5s), 0);
    esperarEntradaLocalLibre();
}

}  // namespace
}  // namespace zentlock::e2e
