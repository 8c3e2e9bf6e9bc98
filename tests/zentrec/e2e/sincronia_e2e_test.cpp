// Picture and sound of a recording stay together: what was on the screen and what
// came out of the speakers at one instant play at one instant.
#include <algorithm>
#include <cmath>
#include <random>
#include <thread>

#include "tests/support/mp4_probe.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

using testsupport::SoundServer;

// Times (seconds of the file) where the picture turns from dark to bright or back.
std::vector<double> cambiosDeImagen(const testsupport::Probe& p) {
    std::vector<double> cambios;
    for (size_t i = 1; i < p.pictures.size(); ++i)
        if ((p.pictures[i - 1].meanLuma > 128) != (p.pictures[i].meanLuma > 128)) cambios.push_back(p.pictures[i].time);
    return cambios;
}

// Times (seconds of the file) where a sound starts after at least 200 ms of silence.
std::vector<double> golpes(const testsupport::Probe& p) {
    std::vector<double> inicios;
    double ultimo = -1;
    for (size_t i = 0; i < p.sound.size(); ++i) {
        if (std::fabs(p.sound[i]) < 0.1f) continue;
        const double t = p.soundStart + static_cast<double>(i) / 48000;
        if (ultimo < 0 || t - ultimo > 0.2) inicios.push_back(t);
        ultimo = t;
    }
    return inicios;
}

class Sincronia : public Escritorio {};

TEST_F(Sincronia, AFlashAndAClickAtOneInstantLandWithin40MsOfEachOther) {
    pantalla_->paintRoot({0, 0, 0}, {});
    // Playing all along keeps the speakers at a low latency, so a click leaves them
    // about 10 ms after it is asked for; the hum is far below the clicks.
    testsupport::Speaker altavoz(*sonido_, SoundServer::kSpeakers, 0.02);
    ASSERT_TRUE(altavoz.opened() && sonido_->waitUntilHeard(SoundServer::kSpeakers, 10s));
    json listo;
    Clock::time_point inicio;
    // 60 frames a second: a flash shows in the file at most 17 ms after it was drawn.
    auto hijo = grabarHastaListo({.ancho = 320, .alto = 180, .fps = 60, .bitrate = 1'000'000, .mic = false}, listo,
                                 inicio);
    ASSERT_TRUE(hijo);
    std::this_thread::sleep_for(1000ms);
    // At instants that follow no clock of the recorder's.
    std::mt19937 azar(std::random_device{}());
    constexpr int kDestellos = 3;
    for (int i = 0; i < kDestellos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600 + azar() % 300));
        const uint8_t luz = i % 2 == 0 ? 255 : 0;
        pantalla_->paintRoot({luz, luz, luz}, {});  // returns once the server has drawn it
        altavoz.click();
    }
    std::this_thread::sleep_for(800ms);
    hijo->writeStdin("parar\n");
    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(hijo->waitExit(10s), 0);

    auto p = testsupport::probe(salida_);
    ASSERT_TRUE(p.opened && p.video && p.audio);
    auto imagen = cambiosDeImagen(p);
    auto sonido = golpes(p);
    ASSERT_EQ(imagen.size(), size_t{kDestellos});
    ASSERT_EQ(sonido.size(), size_t{kDestellos});
    for (int i = 0; i < kDestellos; ++i) {
        EXPECT_NEAR(sonido[i], imagen[i], 0.040) << "flash " << i << " at " << imagen[i] << " s";
        RecordProperty("offset_ms_" + std::to_string(i), std::to_string(std::lround((sonido[i] - imagen[i]) * 1000)));
    }
}

}  // namespace
}  // namespace zentrec::e2e
