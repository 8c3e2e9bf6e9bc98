// What a block guarantees on a real X server in the less ordinary cases: no device stays
// held after it, no key stays down because of it, an answer of "ganchos" means the local
// input is held, and neither a host that stops reading, SIGTERM nor a display that never
// answers can take the safety exits or the local input away.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/zentlock/e2e/bloqueador_proceso.h"
#include "tests/zentlock/e2e/escritorio.h"

namespace zentlock::e2e {
namespace {

using namespace std::chrono_literals;
using T = Llegada::Tipo;

class GarantiasEnX11 : public testing::Test {
protected:
    void SetUp() override {
        servidor_ = Servidor::arrancar();
        ASSERT_TRUE(servidor_.escritorio) << "no test X server";
    }
    void lanzarBloqueador(testsupport::Stalled atascado = {}) {
        hijo_ = lanzar(servidor_.xvfb->display(), atascado);
        ASSERT_TRUE(hijo_);
    }
    Escritorio& escritorio() { return *servidor_.escritorio; }
    testsupport::Child& hijo() { return *hijo_; }

    // Local keys reach the desktop, now or once the blocker has caught up.
    bool entradaLocalLibre() {
        return esperarQue([this] { return escritorio().llegaTeclaLocal(teclaD); });
    }
    bool entradaLocalRetenida() {
        return esperarQue([this] { return !escritorio().llegaTeclaLocal(teclaD); });
    }

    Servidor servidor_;
    std::unique_ptr<testsupport::Child> hijo_;
};

TEST_F(GarantiasEnX11, ADeviceDisabledDuringABlockIsFreedWithTheRest) {
    lanzarBloqueador();
    enum class Vuelve { duranteElBloqueo, despues };
    for (Vuelve cuando : {Vuelve::duranteElBloqueo, Vuelve::despues}) {
        SCOPED_TRACE(cuando == Vuelve::despues ? "enabled after the block" : "enabled during the block");
        ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
        escritorio().habilitar(Dispositivo::teclado, false);
        if (cuando == Vuelve::duranteElBloqueo) {
            escritorio().habilitar(Dispositivo::teclado, true);
            // Back during the block, it is held like the rest.
            EXPECT_TRUE(entradaLocalRetenida());
        }
        ASSERT_EQ(pedir(hijo(), "soltar"), "estado\t0\tpedido");
        if (cuando == Vuelve::despues) escritorio().habilitar(Dispositivo::teclado, true);
        EXPECT_TRUE(entradaLocalLibre()) << "the keyboard stayed grabbed after the block";
    }
}

TEST_F(GarantiasEnX11, KeysAndButtonsLetGoDuringABlockAreReleasedAtOnce) {
    lanzarBloqueador();
    escritorio().teclaLocal(teclaShift, true);
    escritorio().botonLocal(1, true);
    escritorio().hastaMarca();
    ASSERT_TRUE(escritorio().teclaAbajo(teclaShift));
    ASSERT_TRUE(escritorio().botonAbajo(1));
    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);

    // The host holds a key of its own across everything that follows.
    escritorio().teclaHost(teclaS, true);
    escritorio().hastaMarca();
    escritorio().teclaLocal(teclaShift, false);
    escritorio().botonLocal(1, false);
    EXPECT_TRUE(esperarQue([this] { return !escritorio().teclaAbajo(teclaShift) && !escritorio().botonAbajo(1); }))
        << "the local releases were kept from the desktop for the rest of the block";

    // What the host types and moves now is what it means: no stale Shift, no drag.
    escritorio().teclaHost(teclaA, true);
    escritorio().teclaHost(teclaA, false);
    escritorio().moverHost(640, 360);
    auto llegadas = escritorio().hastaMarca();
    ASSERT_EQ(contar(llegadas, T::teclaBaja, teclaA), 1);
    for (const Llegada& llegada : llegadas) {
        if (llegada.tipo == T::teclaBaja && llegada.codigo == teclaA) {
            EXPECT_EQ(llegada.estado & ShiftMask, 0u);
        }
        if (llegada.tipo == T::movimiento) {
            EXPECT_EQ(llegada.estado & Button1Mask, 0u);
        }
    }
    EXPECT_TRUE(escritorio().teclaAbajo(teclaS)) << "a key the host holds was released";

    ASSERT_EQ(pedir(hijo(), "soltar"), "estado\t0\tpedido");
    escritorio().hastaMarca();
    EXPECT_TRUE(escritorio().teclaAbajo(teclaS));
    escritorio().teclaHost(teclaS, false);
}

TEST_F(GarantiasEnX11, AKeyboardAnotherClientHoldsMakesTheBlockFail) {
    lanzarBloqueador();
    ASSERT_TRUE(escritorio().otroClienteRetiene(Dispositivo::teclado));
    EXPECT_EQ(pedir(hijo(), "bloquear"), lineaError);
    // Nothing is held: the mouse, which the blocker could have grabbed, still works.
    escritorio().botonLocal(2, true);
    escritorio().botonLocal(2, false);
    EXPECT_EQ(contar(escritorio().hastaMarca(), T::botonBaja, 2), 1);
    escritorio().otroClienteSuelta();
    EXPECT_TRUE(entradaLocalLibre());
    // Once the keyboard is free the block works.
    EXPECT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
    EXPECT_TRUE(entradaLocalRetenida());
}

TEST_F(GarantiasEnX11, EscapeReleasesWhileTheHostDoesNotReadTheOutput) {
    lanzarBloqueador({.stdoutFull = true});
    hijo().writeStdin("bloquear\n");
    ASSERT_TRUE(entradaLocalRetenida());
    for (int i = 0; i < 3; ++i) escritorio().pulsaLocal(teclaEscape);
    EXPECT_TRUE(entradaLocalLibre()) << "a full output pipe kept the escape gesture from working";
}

TEST_F(GarantiasEnX11, ABurstOfBlockRequestsNeverReadDoesNotDelayTheEscapeNorUndoIt) {
    lanzarBloqueador({.stdoutFull = true});
    // 45 kB of block requests whose answers nobody reads: each would wait for room in the
    // output if every line waited, and each would block again after the escape if they
    // were served after it.
    std::string rafaga;
    for (int i = 0; i < 5000; ++i) rafaga += "bloquear\n";
    ASSERT_TRUE(hijo().writeStdin(rafaga));
    ASSERT_TRUE(entradaLocalRetenida());

    for (int i = 0; i < 3; ++i) escritorio().pulsaLocal(teclaEscape);
    const auto escapes = std::chrono::steady_clock::now();
    EXPECT_TRUE(esperarQue([this] { return escritorio().llegaTeclaLocal(teclaD); }, testsupport::scaled(3s)))
        << "the escape gesture waited behind the burst";
    EXPECT_LT(std::chrono::steady_clock::now() - escapes, testsupport::scaled(3s));
    // The rest of the burst, written before the escape, must not take the input again;
    // a block it made would last until the heartbeat runs out (10 s).
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(escritorio().llegaTeclaLocal(teclaD)) << "the burst blocked again";

    // A request written after the escape is served.
    hijo().writeStdin("bloquear\n");
    EXPECT_TRUE(entradaLocalRetenida());
    hijo().writeStdin("salir\n");
    EXPECT_EQ(hijo().waitExit(5s), 0);
    EXPECT_TRUE(entradaLocalLibre());
}

TEST_F(GarantiasEnX11, SigtermGivesEverythingBackAndEndsAsBefore) {
    lanzarBloqueador();
    escritorio().teclaLocal(teclaShift, true);
    escritorio().botonLocal(1, true);
    escritorio().hastaMarca();
    ASSERT_EQ(pedir(hijo(), "bloquear"), lineaGanchos);
    escritorio().teclaLocal(teclaShift, false);
    escritorio().botonLocal(1, false);
    hijo().signal(SIGTERM);
    EXPECT_EQ(hijo().waitExit(5s), 128 + SIGTERM);
    EXPECT_EQ(hijo().readLine(0ms), std::nullopt);
    escritorio().hastaMarca();
    EXPECT_FALSE(escritorio().teclaAbajo(teclaShift));
    EXPECT_FALSE(escritorio().botonAbajo(1));
    EXPECT_TRUE(entradaLocalLibre());
}

// A display whose server accepts connections and never says a word: the connection is
// made, the server's greeting never comes.
class PantallaMuda {
public:
    PantallaMuda() {
        for (int numero = 4900; numero < 5000 && socket_ < 0; ++numero) {
            std::string ruta = "/tmp/.X11-unix/X" + std::to_string(numero);
            if (::access(ruta.c_str(), F_OK) == 0) continue;
            int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un direccion{};
            direccion.sun_family = AF_UNIX;
            ruta.copy(direccion.sun_path, sizeof direccion.sun_path - 1);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&direccion), sizeof direccion) == 0 && ::listen(fd, 8) == 0) {
                socket_ = fd;
                ruta_ = ruta;
                display_ = ":" + std::to_string(numero);
            } else {
                ::close(fd);
            }
        }
    }
    ~PantallaMuda() {
        if (socket_ < 0) return;
        ::close(socket_);
        ::unlink(ruta_.c_str());
    }
    const std::string& display() const { return display_; }

private:
    int socket_ = -1;
    std::string ruta_, display_;
};

TEST(PantallaQueNoResponde, CommandsAreServedAndItCountsAsNoTap) {
    PantallaMuda muda;
    ASSERT_FALSE(muda.display().empty());
    auto hijo = lanzar(muda.display());
    ASSERT_TRUE(hijo);
    // Served while the connection hangs: the release answer comes first.
    hijo->writeStdin("soltar\nbloquear\n");
    EXPECT_EQ(linea(*hijo), "estado\t0\tpedido");
    // Then the installation runs out of time, and the block request waited for it.
    EXPECT_EQ(linea(*hijo, 10s), lineaError);
    EXPECT_EQ(linea(*hijo, 10s), lineaError);
    hijo->writeStdin("salir\n");
    EXPECT_EQ(hijo->waitExit(5s), 0);
}

}  // namespace
}  // namespace zentlock::e2e
