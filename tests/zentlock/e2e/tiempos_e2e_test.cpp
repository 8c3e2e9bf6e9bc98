// The blocker's two clocks on a real X server: the escape gesture (2 s window) and the
// heartbeat (10 s). Slow scenarios run side by side, each on its own server.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/support/child.h"
#include "tests/zentlock/e2e/bloqueador_proceso.h"
#include "tests/zentlock/e2e/escritorio.h"

namespace zentlock::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Local Escape presses at the given times (from the first); returns the line the
// blocker writes within `espera` after the last, or "<nada>".
std::string pulsarEscapes(Escritorio& escritorio, testsupport::Child& hijo, std::vector<int> ms,
                          std::chrono::milliseconds espera) {
    auto inicio = Clock::now();
    for (int t : ms) {
        std::this_thread::sleep_until(inicio + std::chrono::milliseconds(t));
        escritorio.pulsaLocal(teclaEscape);
    }
    return linea(hijo, espera);
}

TEST(Tiempos, EscapeGesture) {
    Servidor servidor = Servidor::arrancar();
    ASSERT_TRUE(servidor.escritorio);
    Escritorio& escritorio = *servidor.escritorio;
    auto hijo = lanzar(servidor.xvfb->display());
    ASSERT_TRUE(hijo);

    // Three presses within 2 s release.
    ASSERT_EQ(pedir(*hijo, "bloquear"), lineaGanchos);
    EXPECT_EQ(pulsarEscapes(escritorio, *hijo, {0, 700, 1400}, 5s), "estado\t0\tescape");

    // At 0, 1500 and 2500 ms the third starts a new series: no release within a
    // second, while a release would come within milliseconds.
    ASSERT_EQ(pedir(*hijo, "bloquear"), lineaGanchos);
    EXPECT_EQ(pulsarEscapes(escritorio, *hijo, {0, 1500, 2500}, 1s), "<nada>");
    // That series (count 1 at 2500 ms) is completed by two more presses.
    EXPECT_EQ(pulsarEscapes(escritorio, *hijo, {0, 100}, 5s), "estado\t0\tescape");

    // A held Escape counts once, however many times it repeats: counted more often it
    // would release while held; counted once, two more quick presses release.
    escritorio.teclaLocal(teclaA, true);
    std::this_thread::sleep_for(1000ms);
    escritorio.teclaLocal(teclaA, false);
    ASSERT_GE(contar(escritorio.hastaMarca(), Llegada::Tipo::teclaBaja, teclaA), 3)
        << "the server does not repeat held keys; nothing to check";
    ASSERT_EQ(pedir(*hijo, "bloquear"), lineaGanchos);
    escritorio.teclaLocal(teclaEscape, true);
    std::this_thread::sleep_for(1000ms);
    escritorio.teclaLocal(teclaEscape, false);
    EXPECT_EQ(linea(*hijo, 200ms), "<nada>");
    EXPECT_EQ(pulsarEscapes(escritorio, *hijo, {0, 50}, 5s), "estado\t0\tescape");
}

struct Resultado {
    std::string linea;
    double segundos;  // from just before the block request to the line
};

// Blocks, sends a heartbeat at the given seconds, and waits for a line until `hasta`.
Resultado bloquearConLatidos(const std::string& display, std::vector<int> latidos, std::chrono::seconds hasta) {
    auto hijo = lanzar(display);
    if (!hijo) return {"<no bloquea>", 0};
    // Taken before the request, so that the blocker's own start of the window (when it
    // handles the request) can only come later: the lower bound holds on a busy machine.
    auto inicio = Clock::now();
    if (pedir(*hijo, "bloquear") != lineaGanchos) return {"<no bloquea>", 0};
    for (int s : latidos) {
        if (auto l = hijo->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                inicio + std::chrono::seconds(s) - Clock::now()))) {
            return {*l, std::chrono::duration<double>(Clock::now() - inicio).count()};
        }
        hijo->writeStdin("latido\n");
    }
    auto restante = std::chrono::duration_cast<std::chrono::milliseconds>(inicio + hasta - Clock::now());
    auto l = hijo->readLine(restante);
    double segundos = std::chrono::duration<double>(Clock::now() - inicio).count();
    if (l) return {*l, segundos};
    // Still blocking: "soltar" must find the block in place.
    return {"<sigue> " + pedir(*hijo, "soltar"), segundos};
}

TEST(Tiempos, Heartbeat) {
    Servidor sinLatido = Servidor::arrancar();
    Servidor conLatido = Servidor::arrancar();
    ASSERT_TRUE(sinLatido.escritorio && conLatido.escritorio);

    auto a = std::async(std::launch::async, bloquearConLatidos, sinLatido.xvfb->display(), std::vector<int>{}, 14s);
    auto b = std::async(std::launch::async, bloquearConLatidos, conLatido.xvfb->display(), std::vector<int>{5, 10},
                        13s);
    Resultado sin = a.get();
    Resultado con = b.get();

    // Without heartbeats the block ends at the first tick more than 10 s after it began.
    EXPECT_EQ(sin.linea, "estado\t0\tsin-agente");
    EXPECT_GT(sin.segundos, 10.0);
    EXPECT_LT(sin.segundos, 10.0 + 1.5 * testsupport::timeScale());
    // A heartbeat every 5 s keeps it past that point.
    EXPECT_EQ(con.linea, "<sigue> estado\t0\tpedido");
}

}  // namespace
}  // namespace zentlock::e2e
