// "--grabar" on a Wayland desktop (headless sway with the ScreenCast portal): the
// screen comes through the portal and PipeWire, the system sound still through the
// PulseAudio protocol (PipeWire's server), and the file holds both.
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/support/mp4_probe.h"
#include "tests/support/sound_measures.h"
#include "tests/support/wayland_desktop.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

TEST(GrabarEnWayland, TheFileHoldsThePortalsScreenAndTheSystemSound) {
    auto escritorio = testsupport::WaylandDesktop::start();
    ASSERT_TRUE(escritorio) << "the Wayland desktop did not start";
    testsupport::TempDir carpeta;
    const std::string salida = carpeta.file("grabación.mp4");
    ASSERT_TRUE(escritorio->paint("#2050c0"));
    auto tono = escritorio->playTone(440, 0.3);
    ASSERT_TRUE(tono);

    auto hijo = lanzar(argumentosGrabar(salida, {.ancho = 640, .alto = 360, .mic = false}), escritorio->environment());
    ASSERT_TRUE(hijo);
    auto listo = evento(*hijo, 15s);
    ASSERT_TRUE(listo) << hijo->stderrText();
    EXPECT_EQ(*listo, (json{{"t", "listo"},
                            {"sonido", true},
                            {"microfono", false},
                            {"sinSonido", ""},
                            {"sinMicrofono", ""},
                            {"nombreMicrofono", ""},
                            {"como", "ScreenCaptureKit a 640x360"}}));
    const auto inicio = Clock::now();
    // The screen changes through the recording: the compositor sends nothing for a
    // still screen, and the file starts at the first picture.
    for (int cambio = 0; cambio < 6; ++cambio) {
        ASSERT_TRUE(escritorio->paint(cambio % 2 ? "#2050c0" : "#c04020"));
        std::this_thread::sleep_for(500ms);
    }
    ASSERT_TRUE(hijo->writeStdin("parar\n"));
    const double duro = segundosDesde(inicio);

    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump() << hijo->stderrText();
    EXPECT_EQ(eventos[0].value("t", ""), "fin");
    EXPECT_EQ(eventos[0].value("motivo", "?"), "") << eventos[0].dump();
    EXPECT_EQ(hijo->waitExit(10s), 0);

    auto p = testsupport::probe(salida);
    ASSERT_TRUE(p.opened && p.video && p.audio) << "both tracks";
    EXPECT_EQ(p.video->codec, "h264");
    EXPECT_EQ(p.video->width, 640);
    EXPECT_EQ(p.video->height, 360);
    EXPECT_EQ(p.audio->codec, "aac");
    EXPECT_EQ(p.decodeErrors, 0);
    EXPECT_GT(p.videoEnd, duro - 1.5);
    // The tone, at its level, away from both ends of the recording.
    ASSERT_GT(p.sound.size(), 2u * 48000u);
    const std::vector<float> tramo(p.sound.begin() + 24000, p.sound.end() - 24000);
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(tramo, 440, 4800), 0.3, 0.05);
}

}  // namespace
}  // namespace zentrec::e2e
