// The level readings of the "--nivel" mode and the microphone gain of a recording:
// both work on 100 ms windows of 4800 samples, whatever the size of the deliveries.

#include <gtest/gtest.h>

#include <cmath>

#include "zentrec/ganancia.h"
#include "zentrec/nivel.h"

namespace zentrec {
namespace {

// A square wave whose RMS level is `db` dBFS.
std::vector<float> cuadrada(float db, size_t n = 4800) {
    const float a = std::pow(10.0f, db / 20.0f);
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (i % 2) ? -a : a;
    return v;
}

std::vector<float> lecturas(MedidorNivel& medidor, const std::vector<float>& muestras) {
    std::vector<float> db;
    medidor.agregar(muestras, [&](float valor) { db.push_back(valor); });
    return db;
}

TEST(MedidorNivel, ReadingsOfKnownSignals) {
    MedidorNivel medidor;
    EXPECT_EQ(lecturas(medidor, std::vector<float>(4800, 1.0f)), std::vector<float>{0.0f});
    EXPECT_EQ(lecturas(medidor, cuadrada(0.0f)), std::vector<float>{0.0f});
    EXPECT_EQ(lecturas(medidor, std::vector<float>(4800, 0.0f)), std::vector<float>{-140.0f});
    EXPECT_EQ(lecturas(medidor, std::vector<float>(4800, 0.1f)), std::vector<float>{-20.0f});
    EXPECT_EQ(lecturas(medidor, std::vector<float>(9600, -0.1f)), (std::vector<float>{-20.0f, -20.0f}));
    // To the nearest tenth, neither cut toward zero nor away from it.
    EXPECT_EQ(lecturas(medidor, cuadrada(-23.46f)), std::vector<float>{-23.5f});
    EXPECT_EQ(lecturas(medidor, cuadrada(-23.44f)), std::vector<float>{-23.4f});
}

TEST(MedidorNivel, WindowsIgnoreChunkBoundaries) {
    MedidorNivel medidor;
    EXPECT_EQ(lecturas(medidor, std::vector<float>(4096, 0.1f)).size(), 0u);
    EXPECT_EQ(lecturas(medidor, std::vector<float>(4096, 0.1f)).size(), 1u);
    // 3392 samples carried over: 1407 more do not complete the window, one more does.
    EXPECT_EQ(lecturas(medidor, std::vector<float>(1407, 0.1f)).size(), 0u);
    EXPECT_EQ(lecturas(medidor, std::vector<float>(1, 0.1f)), std::vector<float>{-20.0f});
}

TEST(EtapaGanancia, SpeechWindowsSteerTheAutomaticGain) {
    EtapaGanancia etapa(0.0f);
    std::vector<float> salida;
    etapa.procesar(cuadrada(-30.0f), salida);
    EXPECT_NEAR(etapa.autoDb(), 1.6f, 1e-4f);  // (-22 - -30) × 0.2
    EXPECT_NEAR(etapa.maxMicDb(), -30.0f, 1e-3f);

    EtapaGanancia baja(0.0f);
    baja.procesar(cuadrada(-60.0f), salida);
    EXPECT_EQ(baja.autoDb(), 0.0f);
    EXPECT_NEAR(baja.maxMicDb(), -60.0f, 1e-3f);
    baja.procesar(std::vector<float>(4800, 0.0f), salida);
    EXPECT_NEAR(baja.maxMicDb(), -60.0f, 1e-3f);
}

TEST(EtapaGanancia, AutomaticGainStaysBetweenZeroAndTwelve) {
    EtapaGanancia etapa(0.0f);
    std::vector<float> salida;
    etapa.procesar(cuadrada(-40.0f), salida);
    EXPECT_NEAR(etapa.autoDb(), 2.4f, 1e-4f);  // toward 12, not 18
    etapa.procesar(cuadrada(-10.0f), salida);
    EXPECT_NEAR(etapa.autoDb(), 1.92f, 1e-4f);  // toward 0, not -12
    for (int i = 0; i < 100; ++i) etapa.procesar(cuadrada(-45.0f), salida);
    EXPECT_NEAR(etapa.autoDb(), 12.0f, 1e-3f);
    EXPECT_LE(etapa.autoDb(), 12.0f);
}

TEST(EtapaGanancia, GainRampsAcrossTheWindowToItsTarget) {
    EtapaGanancia etapa(6.0f);
    const std::vector<float> entrada(4800, 0.001f);  // -60 dBFS
    std::vector<float> salida;
    etapa.procesar(entrada, salida);
    ASSERT_EQ(salida.size(), 4800u);
    EXPECT_EQ(etapa.autoDb(), 0.0f);
    const float objetivo = std::pow(10.0f, 6.0f / 20.0f);  // ≈ 1.995
    EXPECT_GT(salida.front() / 0.001f, 1.0f);
    EXPECT_LT(salida.front() / 0.001f, 1.001f);
    // The ramp adds its step 4800 times in single precision: it lands within 1e-3.
    EXPECT_NEAR(salida.back() / 0.001f, objetivo, 1e-3f);
    for (size_t i = 1; i < salida.size(); ++i) ASSERT_GT(salida[i], salida[i - 1]) << i;
    EXPECT_NEAR(etapa.gananciaActual(), objetivo, 1e-3f);
}

TEST(EtapaGanancia, SoundLeavesOnlyInWholeWindows) {
    EtapaGanancia etapa(0.0f);
    std::vector<float> salida;
    for (int entrega = 1; entrega <= 4; ++entrega) {
        etapa.procesar(std::vector<float>(1000, 0.01f), salida);
        EXPECT_TRUE(salida.empty()) << entrega;
    }
    etapa.procesar(std::vector<float>(1000, 0.01f), salida);
    EXPECT_EQ(salida.size(), 4800u);
    EXPECT_EQ(etapa.enVentana(), 200u);
}

}  // namespace
}  // namespace zentrec
