// The recording's sound timeline: bounded queues, the start 2112 frames after the
// first picture, sound placed by its capture time, steps of at most one second, the
// microphone on both sides, and the soft limiter.

#include <gtest/gtest.h>

#include <cmath>

#include "zentrec/mezcla.h"

namespace zentrec {
namespace {

using Floats = std::vector<float>;

// 0, 1e-6, 2e-6, ...: small enough to pass the limiter unchanged, and each one tells
// where it came from.
Floats rampa(size_t n, size_t desde = 0) {
    Floats v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(desde + i) * 1e-6f;
    return v;
}

TEST(Limitar, BendsOnlyAboveEightTenths) {
    const float techo = 0.8f + 0.2f * std::tanh(1.0f);
    EXPECT_NEAR(techo, 0.9523f, 1e-4f);
    EXPECT_FLOAT_EQ(limitar(1.0f), techo);
    EXPECT_FLOAT_EQ(limitar(-1.0f), -techo);
    for (float x : {0.8f, -0.8f, 0.3f, 0.0f}) EXPECT_EQ(limitar(x), x);
    EXPECT_GT(limitar(0.81f), 0.8f);
    EXPECT_LE(limitar(1e30f), 1.0f);
    EXPECT_GE(limitar(-INFINITY), -1.0f);
}

TEST(Recortar, KeepsTheNewestThreeQuartersOfASecond) {
    Floats estereo = rampa(80000), mono = rampa(36001), corta = rampa(36000);
    recortar(estereo, 2);
    recortar(mono, 1);
    recortar(corta, 1);
    EXPECT_EQ(estereo, rampa(72000, 8000));
    EXPECT_EQ(mono, rampa(36000, 1));
    EXPECT_EQ(corta, rampa(36000));
}

// The first picture: frame 48 000 000 of the host clock (1000 s).
constexpr int64_t kT0 = 48'000'000;
// A host time `frames` frames after the first picture.
platform::MediaTime tras(int64_t frames) { return {kT0 + frames, 48000}; }

TEST(Mezclador, FirstStepStartsAfterThePaddingAndOlderSoundIsNotUsed) {
    Mezclador mezclador;
    mezclador.empezarLinea(tras(0));
    EXPECT_FALSE(mezclador.mezclar(Mezclador::kRelleno));
    // Captured from the first picture on (and a little before it).
    mezclador.agregarSistema(rampa(2 * 3000), tras(0));
    mezclador.agregarMicrofono(Floats(3000, 0.0f), tras(-100));
    auto trozo = mezclador.mezclar(Mezclador::kRelleno + 960);
    ASSERT_TRUE(trozo);
    EXPECT_EQ(trozo->inicio, 2112);
    EXPECT_EQ(trozo->frames, 960);
    ASSERT_EQ(trozo->muestras.size(), 2u * 960);
    // The sound of frame 2112 plays at frame 2112.
    EXPECT_EQ(trozo->muestras[0], rampa(1, 2 * 2112)[0]);
    EXPECT_EQ(trozo->muestras[1], rampa(1, 2 * 2112 + 1)[0]);
    // 3000 - 2112 = 888 frames were there; the rest is silence.
    EXPECT_EQ(trozo->muestras[2 * 887 + 1], rampa(1, 2 * 2999 + 1)[0]);
    EXPECT_EQ(trozo->muestras[2 * 888], 0.0f);
    EXPECT_EQ(mezclador.enColaMicrofono(), 0u);
}

TEST(Mezclador, SilenceWhenNothingArrivesSoTheTrackHasNoHoles) {
    Mezclador mezclador;
    mezclador.empezarLinea(tras(0));
    int64_t fin = Mezclador::kRelleno;
    for (int paso = 1; paso <= 5; ++paso) {
        auto trozo = mezclador.mezclar(Mezclador::kRelleno + 960 * paso);
        ASSERT_TRUE(trozo);
        EXPECT_EQ(trozo->inicio, fin);
        EXPECT_EQ(trozo->frames, 960);
        EXPECT_EQ(trozo->muestras, Floats(2 * 960, 0.0f));
        fin += trozo->frames;
    }
    EXPECT_EQ(mezclador.producidas(), fin);
    EXPECT_FALSE(mezclador.mezclar(fin));
    EXPECT_FALSE(mezclador.mezclar(fin - 500));
}

TEST(Mezclador, BacklogIsWorkedOffInStepsOfAtMostOneSecond) {
    Mezclador mezclador;
    mezclador.empezarLinea(tras(0));
    // The clock stalled for three seconds.
    const int64_t debidas = Mezclador::kRelleno + 3 * 48000 + 100;
    std::vector<int64_t> tamanos;
    int64_t fin = Mezclador::kRelleno;
    while (auto trozo = mezclador.mezclar(debidas)) {
        EXPECT_EQ(trozo->inicio, fin);
        EXPECT_EQ(trozo->muestras.size(), 2u * static_cast<size_t>(trozo->frames));
        fin += trozo->frames;
        tamanos.push_back(trozo->frames);
    }
    EXPECT_EQ(tamanos, (std::vector<int64_t>{48000, 48000, 48000, 100}));
    EXPECT_EQ(fin, debidas);
}

// Where each block of system sound lands: at the frame it was captured, whenever it
// arrived, so that a late or early delivery never moves the sound against the picture.
TEST(Mezclador, SoundPlaysAtTheFrameItWasCapturedWheneverItArrived) {
    constexpr int64_t r = Mezclador::kRelleno;
    struct Entrega {
        int64_t frame;      // captured at (timeline frame)
        int64_t frames;
        float valor;
        int64_t mezclarAntes = 0;  // the mix reaches this frame before it arrives
    };
    struct Caso {
        const char* nombre;
        std::vector<Entrega> entregas;
        int64_t hasta;
        std::vector<std::pair<int64_t, float>> esperado;  // (first frame of a run, its value), runs in order
    };
    const std::vector<Caso> casos = {
        {"arrived before the first picture was handled", {{r - 50, 100, 0.1f}}, r + 100, {{r, 0.1f}, {r + 50, 0}}},
        {"a gap in the capture stays silent", {{r, 100, 0.1f}, {r + 580, 100, 0.2f}}, r + 800,
         {{r, 0.1f}, {r + 100, 0}, {r + 580, 0.2f}, {r + 680, 0}}},
        {"times that wander a little continue the sound, stretched by at most 2%",
         {{r, 100, 0.1f}, {r + 100 + 200, 100, 0.2f}, {r + 1000, 100, 0.3f}, {r + 1098, 100, 0.4f}}, r + 1300,
         {{r, 0.1f}, {r + 100, 0.2f}, {r + 202, 0}, {r + 1000, 0.3f}, {r + 1100, 0.4f}, {r + 1198, 0}}},
        {"too late for its span: dropped, the rest in place", {{r, 480, 0.1f, r + 960}, {r + 480, 960, 0.2f}}, r + 1920,
         {{r, 0}, {r + 960, 0.2f}, {r + 1440, 0}}},
        {"what overlaps the queued sound is dropped", {{r, 1000, 0.1f}, {r + 500, 1000, 0.2f}}, r + 2000,
         {{r, 0.1f}, {r + 1000, 0.2f}, {r + 1500, 0}}},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        Mezclador mezclador;
        mezclador.empezarLinea(tras(0));
        std::vector<float> izquierda;
        auto mezclarHasta = [&](int64_t debidas) {
            while (auto trozo = mezclador.mezclar(debidas))
                for (int64_t i = 0; i < trozo->frames; ++i) izquierda.push_back(trozo->muestras[2 * i]);
        };
        for (const auto& e : caso.entregas) {
            if (e.mezclarAntes) mezclarHasta(e.mezclarAntes);
            mezclador.agregarSistema(Floats(2 * e.frames, e.valor), tras(e.frame));
        }
        mezclarHasta(caso.hasta);
        ASSERT_EQ(static_cast<int64_t>(izquierda.size()), caso.hasta - r);
        for (size_t run = 0; run < caso.esperado.size(); ++run) {
            const int64_t desde = caso.esperado[run].first;
            const int64_t hasta = run + 1 < caso.esperado.size() ? caso.esperado[run + 1].first : caso.hasta;
            for (int64_t f = desde; f < hasta; ++f)
                ASSERT_EQ(izquierda[static_cast<size_t>(f - r)], caso.esperado[run].second) << "frame " << f;
        }
    }
}

TEST(Mezclador, MicrophoneGoesToBothSidesOverTheSystemSound) {
    Mezclador mezclador;
    mezclador.empezarLinea(tras(0));
    const int64_t r = Mezclador::kRelleno;
    mezclador.agregarSistema(Floats{0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f, 0, 0}, tras(r));
    mezclador.agregarMicrofono(Floats{0.25f, 0.5f, 0, 0}, tras(r));
    auto trozo = mezclador.mezclar(r + 4);
    ASSERT_TRUE(trozo);
    const Floats esperado{0.1f + 0.25f, -0.1f + 0.25f, 0.2f + 0.5f, -0.2f + 0.5f, 0.3f, -0.3f, 0, 0};
    EXPECT_EQ(trozo->muestras, esperado);
    // Loud sums go through the limiter.
    mezclador.agregarSistema(Floats{0.9f, -0.9f}, tras(r + 4));
    mezclador.agregarMicrofono(Floats{0.9f}, tras(r + 4));
    trozo = mezclador.mezclar(r + 5);
    ASSERT_TRUE(trozo);
    EXPECT_EQ(trozo->muestras, (Floats{limitar(1.8f), 0.0f}));
}

}  // namespace
}  // namespace zentrec
