// The "--altavoz" packet stream: system sound cut into 960-sample blocks, one record
// per packet, each behind its 4-byte big-endian length.

#include <gtest/gtest.h>

#include <numeric>

#include "zentrec/altavoz.h"

namespace zentrec {
namespace {

using Floats = std::vector<float>;

Floats numeradas(size_t n, float desde) {
    Floats v(n);
    std::iota(v.begin(), v.end(), desde);
    return v;
}

TEST(Empaquetador, BlocksOf960AndTheRestWaits) {
    Empaquetador empaquetador(Altavoz::porPaquete);
    std::vector<Floats> bloques;
    auto guardar = [&](std::span<const float> b) { bloques.emplace_back(b.begin(), b.end()); };

    empaquetador.agregar(numeradas(1000, 0), guardar);
    ASSERT_EQ(bloques.size(), 1u);
    EXPECT_EQ(bloques[0], numeradas(960, 0));
    EXPECT_EQ(empaquetador.pendientes(), 40u);

    empaquetador.agregar(numeradas(920, 1000), guardar);
    ASSERT_EQ(bloques.size(), 2u);
    EXPECT_EQ(bloques[1], numeradas(960, 960));  // the 40 left over, then the 920
    EXPECT_EQ(empaquetador.pendientes(), 0u);
}

TEST(Empaquetador, ExactlyOneBlockNeedsAll960) {
    for (auto [muestras, bloques] : {std::pair<size_t, int>{960, 1}, {959, 0}, {0, 0}}) {
        Empaquetador empaquetador(Altavoz::porPaquete);
        int vistos = 0;
        empaquetador.agregar(Floats(muestras, 0.5f), [&](std::span<const float> b) {
            EXPECT_EQ(b.size(), 960u);
            ++vistos;
        });
        EXPECT_EQ(vistos, bloques) << muestras;
        EXPECT_EQ(empaquetador.pendientes(), muestras % 960) << muestras;
    }
}

TEST(RegistroOpus, BigEndianLengthThenThePacket) {
    for (auto [largo, cabecera] : {std::pair<size_t, std::vector<uint8_t>>{200, {0x00, 0x00, 0x00, 0xC8}},
                                   {300, {0x00, 0x00, 0x01, 0x2C}},
                                   {70000, {0x00, 0x01, 0x11, 0x70}}}) {
        std::vector<uint8_t> paquete(largo);
        for (size_t i = 0; i < largo; ++i) paquete[i] = static_cast<uint8_t>(i * 31 + 7);
        std::vector<uint8_t> esperado = cabecera;
        esperado.insert(esperado.end(), paquete.begin(), paquete.end());
        EXPECT_EQ(registroOpus(paquete), esperado) << largo;
    }
}

}  // namespace
}  // namespace zentrec
