// "--grabar" on a GNOME desktop (headless mutter, the stock portal backend) when the
// user cancels the desktop's Screen Share dialog: the recording cannot start, and the
// host is told why, with no file left behind.
#include <filesystem>

#include "tests/support/consent_answerer.h"
#include "tests/support/gnome_desktop.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

TEST(GrabarEnGnome, ACancelledDialogIsAnErrorThatSaysSoAndLeavesNoFile) {
    auto escritorio = testsupport::GnomeDesktop::start();
    ASSERT_TRUE(escritorio) << "the GNOME desktop did not start";
    auto usuario = testsupport::ConsentAnswerer::open(*escritorio);
    ASSERT_TRUE(usuario) << "mutter's remote desktop session did not start";
    testsupport::TempDir carpeta;
    const std::string salida = carpeta.file("grabación.mp4");

    auto hijo = lanzar(argumentosGrabar(salida, {.ancho = 640, .alto = 360, .sistema = false, .mic = false}),
                       escritorio->environment());
    ASSERT_TRUE(hijo);
    ASSERT_TRUE(usuario->answer(testsupport::Consent::cancel, testsupport::scaled(60s))) << hijo->stderrText();

    // The capture could not start, because of the user's answer.
    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump() << hijo->stderrText();
    EXPECT_EQ(eventos[0], (json{{"t", "error"},
                                {"motivo", "no se puede capturar la pantalla: El usuario canceló el permiso para "
                                           "compartir la pantalla"}}));
    EXPECT_EQ(hijo->waitExit(10s), 1);
    EXPECT_FALSE(std::filesystem::exists(salida));
}

}  // namespace
}  // namespace zentrec::e2e
