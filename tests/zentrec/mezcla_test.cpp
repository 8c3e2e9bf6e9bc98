// The recording's sound timeline: bounded queues, the start 2112 frames after the
// first picture, steps of at most one second, the microphone on both sides, and the
// soft limiter.

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

TEST(Mezclador, FirstStepStartsAfterThePaddingAndDropsAsMuchOldSound) {
    Mezclador mezclador;
    mezclador.empezarLinea();
    EXPECT_FALSE(mezclador.mezclar(Mezclador::kRelleno));
    mezclador.agregarSistema(rampa(2 * 3000));
    mezclador.agregarMicrofono(Floats(3000, 0.0f));
    auto trozo = mezclador.mezclar(Mezclador::kRelleno + 960);
    ASSERT_TRUE(trozo);
    EXPECT_EQ(trozo->inicio, 2112);
    EXPECT_EQ(trozo->frames, 960);
    ASSERT_EQ(trozo->muestras.size(), 2u * 960);
    // The oldest 2112 frames were dropped: the chunk starts with frame 2112.
    EXPECT_EQ(trozo->muestras[0], rampa(1, 2 * 2112)[0]);
    EXPECT_EQ(trozo->muestras[1], rampa(1, 2 * 2112 + 1)[0]);
    // 3000 - 2112 = 888 frames were there; the rest is silence.
    EXPECT_EQ(trozo->muestras[2 * 887 + 1], rampa(1, 2 * 2999 + 1)[0]);
    EXPECT_EQ(trozo->muestras[2 * 888], 0.0f);
    EXPECT_EQ(mezclador.enColaMicrofono(), 0u);
}

TEST(Mezclador, SilenceWhenNothingArrivesSoTheTrackHasNoHoles) {
    Mezclador mezclador;
    mezclador.empezarLinea();
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
    mezclador.empezarLinea();
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

TEST(Mezclador, AnOddSystemSampleWaitsForItsPartner) {
    Mezclador mezclador;
    mezclador.empezarLinea();
    ASSERT_TRUE(mezclador.mezclar(Mezclador::kRelleno + 1));  // the drop is done
    mezclador.agregarSistema(rampa(3, 1));
    auto trozo = mezclador.mezclar(Mezclador::kRelleno + 11);
    ASSERT_TRUE(trozo);
    EXPECT_EQ(trozo->muestras[0], rampa(1, 1)[0]);
    EXPECT_EQ(trozo->muestras[1], rampa(1, 2)[0]);
    EXPECT_EQ(trozo->muestras[2], 0.0f);
    EXPECT_EQ(mezclador.enColaSistema(), 1u);
    mezclador.agregarSistema(rampa(1, 4));
    trozo = mezclador.mezclar(Mezclador::kRelleno + 21);
    ASSERT_TRUE(trozo);
    EXPECT_EQ(trozo->muestras[0], rampa(1, 3)[0]);
    EXPECT_EQ(trozo->muestras[1], rampa(1, 4)[0]);
    EXPECT_EQ(mezclador.enColaSistema(), 0u);
}

TEST(Mezclador, MicrophoneGoesToBothSidesOverTheSystemSound) {
    Mezclador mezclador;
    mezclador.empezarLinea();
    ASSERT_TRUE(mezclador.mezclar(Mezclador::kRelleno + 1));
    mezclador.agregarSistema(Floats{0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f});
    mezclador.agregarMicrofono(Floats{0.25f, 0.5f});
    auto trozo = mezclador.mezclar(Mezclador::kRelleno + 5);
    ASSERT_TRUE(trozo);
    const Floats esperado{0.1f + 0.25f, -0.1f + 0.25f, 0.2f + 0.5f, -0.2f + 0.5f, 0.3f, -0.3f, 0, 0};
    EXPECT_EQ(trozo->muestras, esperado);
    // Loud sums go through the limiter.
    mezclador.agregarSistema(Floats{0.9f, -0.9f});
    mezclador.agregarMicrofono(Floats{0.9f});
    trozo = mezclador.mezclar(Mezclador::kRelleno + 6);
    ASSERT_TRUE(trozo);
    EXPECT_EQ(trozo->muestras, (Floats{limitar(1.8f), 0.0f}));
}

}  // namespace
}  // namespace zentrec
