// The tap request and the event classes the callback relies on.
#include <gtest/gtest.h>

#include <set>

#include "tests/zentlock/banco.h"
#include "zentlock/eventos.h"

namespace zentlock::prueba {
namespace {

TEST(Eventos, MarcaIsZeTrReadBigEndian) {
    const unsigned char letras[] = {'Z', 'e', 'T', 'r'};
    int64_t leido = 0;
    for (unsigned char letra : letras) leido = leido << 8 | letra;
    EXPECT_EQ(MARCA, leido);
    EXPECT_EQ(MARCA, 0x5a655472);
}

TEST(Eventos, MaskCoversEveryListedTypeAndSystemEvents) {
    EXPECT_EQ(mascara, 0x0FC05CFEu);
    for (EventType tipo : tipos) EXPECT_TRUE(mascara >> tipo & 1) << tipo;
    EXPECT_TRUE(mascara >> 14 & 1);
    EXPECT_EQ(mascaraDe(std::array<EventType, 0>{}), 0x4000u);
    // Types of 64 and above have no bit; they must not spill into others.
    EXPECT_EQ(mascaraDe(std::array<EventType, 2>{64, 200}), 0x4000u);
}

TEST(Eventos, MovesAndPressesAreExactlyTheirTypes) {
    const std::set<EventType> mueven = {5, 6, 7, 27};
    const std::set<EventType> pulsan = {1, 3, 25};
    for (EventType tipo = 0; tipo < 40; ++tipo) {
        EXPECT_EQ(mueve(tipo), mueven.count(tipo) == 1) << tipo;
        EXPECT_EQ(pulsa(tipo), pulsan.count(tipo) == 1) << tipo;
    }
    EXPECT_FALSE(mueve(0xFFFFFFFF));
    EXPECT_FALSE(pulsa(0xFFFFFFFE));
}

class Instalacion : public Banco {};

TEST_F(Instalacion, TapIsAnActiveHeadFilterAtTheHidLevel) {
    arrancar();
    auto pedidos = script().createRequests();
    ASSERT_EQ(pedidos.size(), 1u);
    EXPECT_EQ(pedidos[0].location, input::TapLocation::hid);
    EXPECT_EQ(pedidos[0].placement, input::TapPlacement::headInsert);
    EXPECT_EQ(pedidos[0].options, input::TapOptions::activeFilter);
    EXPECT_EQ(pedidos[0].mask, 0x0FC05CFEu);
    EXPECT_TRUE(script().hasTap());
    EXPECT_EQ(tomarSalida(), "");
}

TEST_F(Instalacion, FallsBackToTheSessionLevelOnce) {
    script().refuseTaps(input::TapLocation::hid);
    arrancar();
    auto pedidos = script().createRequests();
    ASSERT_EQ(pedidos.size(), 2u);
    EXPECT_EQ(pedidos[1].location, input::TapLocation::session);
    EXPECT_EQ(pedidos[1].mask, pedidos[0].mask);
    EXPECT_TRUE(script().hasTap());
    EXPECT_EQ(tomarSalida(), "");
    b().orden("bloquear");
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
}

TEST_F(Instalacion, WithoutAnyTapReportsAndKeepsServing) {
    script().refuseTaps(input::TapLocation::hid);
    script().refuseTaps(input::TapLocation::session);
    arrancar();
    EXPECT_EQ(script().createRequests().size(), 2u);
    EXPECT_EQ(tomarSalida(), lineaError);

    // Every block request is refused the same way and never blocks.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b().orden("bloquear"), Accion::seguir);
        EXPECT_EQ(tomarSalida(), lineaError);
        EXPECT_FALSE(b().bloqueado());
    }
    EXPECT_EQ(b().orden("soltar"), Accion::seguir);
    EXPECT_EQ(tomarSalida(), "estado\t0\tpedido\n");
    EXPECT_EQ(b().orden("salir"), Accion::salir);
    EXPECT_EQ(tomarSalida(), "");
}

TEST_F(Instalacion, TapTakenAwayLaterRefusesBlockRequests) {
    arrancar();
    // Taken away, and no new one to be had (the X server is gone for good).
    script().invalidateTap();
    script().refuseTaps(input::TapLocation::hid);
    script().refuseTaps(input::TapLocation::session);
    b().orden("bloquear");
    EXPECT_EQ(tomarSalida(), lineaError);
    EXPECT_FALSE(b().bloqueado());
    EXPECT_TRUE(script().holdCalls().empty());
}

}  // namespace
}  // namespace zentlock::prueba
