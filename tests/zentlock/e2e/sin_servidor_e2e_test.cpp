// Without a usable X server no input can be held: the blocker says so at start and at
// every block request, and keeps serving its commands.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "tests/zentlock/e2e/bloqueador_proceso.h"
#include "tests/zentlock/e2e/escritorio.h"

namespace zentlock::e2e {
namespace {

using namespace std::chrono_literals;

// `tras` runs after the block requests.
void sirveSinGanchos(testsupport::Child& hijo, const std::function<void()>& tras = [] {}) {
    EXPECT_EQ(linea(hijo), lineaError);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pedir(hijo, "bloquear"), lineaError);
    tras();
    EXPECT_EQ(pedir(hijo, "latido"
                          "\nsoltar"),
              "estado\t0\tpedido");
    hijo.writeStdin("salir\n");
    EXPECT_EQ(hijo.waitExit(5s), 0);
    EXPECT_EQ(hijo.readLine(1s), std::nullopt);
}

TEST(SinServidor, NoDisplay) {
    auto hijo = testsupport::Child::spawn({testsupport::binary("zentlock")}, {{"DISPLAY", ""}});
    ASSERT_TRUE(hijo);
    sirveSinGanchos(*hijo);
}

TEST(SinServidor, DisplayThatDoesNotAnswer) {
    auto hijo = lanzar(":4987");
    ASSERT_TRUE(hijo);
    sirveSinGanchos(*hijo);
}

TEST(SinServidor, ServerWithoutXtest) {
    auto xvfb = testsupport::Xvfb::start("640x480x24", {"-extension", "XTEST"});
    ASSERT_TRUE(xvfb);
    auto hijo = lanzar(xvfb->display());
    ASSERT_TRUE(hijo);
    sirveSinGanchos(*hijo);
}

// On a Wayland desktop DISPLAY is Xwayland, whose grabs would hold only its own devices
// while the desktop's windows go on getting every key and click: the blocker never
// claims a block there, whatever DISPLAY offers.
TEST(SinServidor, WaylandSessionWhateverDisplaySays) {
    for (const auto& wayland : std::vector<std::map<std::string, std::string>>{
             {{"WAYLAND_DISPLAY", "wayland-0"}}, {{"XDG_SESSION_TYPE", "wayland"}}}) {
        SCOPED_TRACE(wayland.begin()->first);
        Servidor servidor = Servidor::arrancar();
        ASSERT_TRUE(servidor.escritorio);
        auto hijo = lanzar(servidor.xvfb->display(), {}, wayland);
        ASSERT_TRUE(hijo);
        sirveSinGanchos(*hijo, [&] { EXPECT_TRUE(servidor.escritorio->llegaTeclaLocal(teclaA)) << "input was held"; });
    }
}

TEST(SinServidor, ServerThatGoesAwayWhileBlocking) {
    Servidor servidor = Servidor::arrancar();
    ASSERT_TRUE(servidor.escritorio);
    auto hijo = lanzar(servidor.xvfb->display());
    ASSERT_TRUE(hijo);
    ASSERT_EQ(pedir(*hijo, "bloquear"), lineaGanchos);
    servidor.escritorio.reset();
    servidor.xvfb->kill();
    // Still serving: the block cannot be taken again, release and exit still work.
    EXPECT_EQ(pedir(*hijo, "bloquear"), lineaError);
    EXPECT_EQ(pedir(*hijo, "soltar"), "estado\t0\tpedido");
    hijo->writeStdin("salir\n");
    EXPECT_EQ(hijo->waitExit(5s), 0);
}

}  // namespace
}  // namespace zentlock::e2e
