// The two exits that need no host: three Escape presses within 2 s, and a heartbeat
// that lapses for more than 10 s. Time is the scripted clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/zentlock/banco.h"

namespace zentlock::prueba {
namespace {

using std::chrono::milliseconds;

struct SerieEscape {
    const char* nombre;
    std::vector<int> ms;  // press times from the first press
    int soltaEn;          // index of the press that releases, -1 for none
};

class Escape : public Banco, public testing::WithParamInterface<SerieEscape> {};

TEST_P(Escape, ReleasesOnlyOnTheThirdPressWithinTheWindow) {
    const SerieEscape& serie = GetParam();
    arrancar();
    b().bloquear();
    tomarSalida();
    for (size_t i = 0; i < serie.ms.size(); ++i) {
        avanzarHasta(milliseconds(serie.ms[i]));
        escape();
        bool debeSoltar = static_cast<int>(i) == serie.soltaEn;
        EXPECT_EQ(tomarSalida(), debeSoltar ? "estado\t0\tescape\n" : "") << "pulsacion " << i;
        if (debeSoltar) {
            EXPECT_FALSE(b().bloqueado());
            EXPECT_EQ(script().holdCalls().back(), false);
            return;
        }
        EXPECT_TRUE(b().bloqueado());
    }
    EXPECT_EQ(serie.soltaEn, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Series, Escape,
    testing::Values(SerieEscape{"Rapidas", {0, 100, 200}, 2}, SerieEscape{"DentroDeDos", {0, 900, 1900}, 2},
                    SerieEscape{"JustoDosSegundos", {0, 1000, 2000}, 2},
                    SerieEscape{"UnMilisegundoTarde", {0, 1000, 2001}, -1},
                    SerieEscape{"TerceraFuera", {0, 1500, 2500}, -1},
                    // The late third press starts a new series, which the next two complete.
                    SerieEscape{"NuevaSerie", {0, 1500, 2500, 3000, 4000}, 4},
                    SerieEscape{"SegundaFuera", {0, 2500, 2600, 2700}, 3},
                    SerieEscape{"Espaciadas", {0, 2100, 4200, 6300, 8400}, -1}),
    [](const testing::TestParamInfo<SerieEscape>& info) { return std::string(info.param.nombre); });

TEST_F(Banco, TheGestureDropsTheBlockRequestsWaitingBeforeItAndAnswersEach) {
    int descartes = 0;
    descartar_ = [&descartes] { return uint64_t(++descartes == 1 ? 2 : 0); };
    arrancar();
    b().bloquear();
    tomarSalida();
    for (int i = 0; i < 3; ++i) escape();
    EXPECT_FALSE(b().bloqueado());
    EXPECT_EQ(descartes, 1) << "asked once, when the third press released";
    EXPECT_EQ(tomarSalida(), "estado\t0\tescape\nestado\t0\tescape\nestado\t0\tescape\n");
}

TEST_F(Banco, HeldEscapeCountsOnce) {
    arrancar();
    b().bloquear();
    tomarSalida();
    escape();
    for (int i = 0; i < 30; ++i) {
        avanzar(milliseconds(30));
        escape(1);  // autorepeat
    }
    local(input::eventType::keyUp, tecla(input::keyCodeEscape));
    EXPECT_EQ(tomarSalida(), "");
    EXPECT_TRUE(b().bloqueado());
    escape();
    EXPECT_EQ(tomarSalida(), "");
    escape();
    EXPECT_EQ(tomarSalida(), "estado\t0\tescape\n");
}

TEST_F(Banco, BlockRequestStartsTheCountAfresh) {
    arrancar();
    b().bloquear();
    escape();
    escape();
    b().bloquear();
    tomarSalida();
    escape();
    EXPECT_EQ(tomarSalida(), "");
    EXPECT_TRUE(b().bloqueado());
}

TEST_F(Banco, EscapesOfTheHostAndEscapesWhileFreeAreNotCounted) {
    arrancar();
    for (int i = 0; i < 3; ++i) escape();  // free
    b().bloquear();
    tomarSalida();
    for (int i = 0; i < 3; ++i) {
        marcado(input::eventType::keyDown, tecla(input::keyCodeEscape));
        correrPendientes();
    }
    EXPECT_EQ(tomarSalida(), "");
    EXPECT_TRUE(b().bloqueado());
}

TEST_F(Banco, CountPostedBeforeAReleaseDoesNotReleaseAgain) {
    arrancar();
    b().bloquear();
    escape();
    escape();
    // The third press is posted, then the host releases before the count runs.
    local(input::eventType::keyDown, tecla(input::keyCodeEscape));
    b().orden("soltar");
    correrPendientes();
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\nestado\t0\tpedido\n");
}

// Ticks of the once-a-second check, as the timer gives them.
class Latido : public Banco {
protected:
    // Ticks every second from `desde` to `hasta` seconds after the origin, sending a
    // heartbeat at the seconds in `latidos`; returns the second whose tick released.
    std::optional<int> tictac(int desde, int hasta, std::vector<int> latidos = {}) {
        for (int s = desde; s <= hasta; ++s) {
            avanzarHasta(milliseconds(s * 1000));
            if (std::find(latidos.begin(), latidos.end(), s) != latidos.end()) b().orden("latido");
            b().comprobarLatido();
            std::string salida = tomarSalida();
            if (!salida.empty()) {
                EXPECT_EQ(salida, "estado\t0\tsin-agente\n");
                return s;
            }
        }
        return std::nullopt;
    }
};

TEST_F(Latido, BlockWithoutHeartbeatEndsAtTheFirstTickPastTenSeconds) {
    arrancar();
    b().bloquear();
    tomarSalida();
    // Exactly 10000 ms is not yet too old.
    EXPECT_EQ(tictac(1, 20), 11);
    EXPECT_FALSE(b().bloqueado());
    EXPECT_EQ(script().holdCalls().back(), false);
    // Further ticks say nothing.
    EXPECT_EQ(tictac(21, 40), std::nullopt);
}

TEST_F(Latido, JustOverTenSecondsReleases) {
    arrancar();
    avanzarHasta(milliseconds(500));
    b().bloquear();
    tomarSalida();
    avanzarHasta(milliseconds(10500));
    b().comprobarLatido();
    EXPECT_EQ(tomarSalida(), "");
    avanzarHasta(milliseconds(10501));
    b().comprobarLatido();
    EXPECT_EQ(tomarSalida(), "estado\t0\tsin-agente\n");
}

TEST_F(Latido, HeartbeatEveryFiveSecondsKeepsTheBlock) {
    arrancar();
    b().bloquear();
    tomarSalida();
    std::vector<int> cadaCinco;
    for (int s = 5; s <= 120; s += 5) cadaCinco.push_back(s);
    EXPECT_EQ(tictac(1, 120, cadaCinco), std::nullopt);
    EXPECT_TRUE(b().bloqueado());
    // Once the heartbeats stop, the block ends 10 to 11 s after the last.
    EXPECT_EQ(tictac(121, 140), 131);
}

TEST_F(Latido, LapseWhileFreeDoesNothingAndABlockStartsAFreshWindow) {
    arrancar();
    EXPECT_EQ(tictac(1, 30), std::nullopt);
    b().bloquear();  // at 30 s, long after start-up's heartbeat
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
    EXPECT_EQ(tictac(30, 50), 41);
}

TEST_F(Latido, RepeatedBlockRequestsCountAsHeartbeats) {
    arrancar();
    b().bloquear();
    tomarSalida();
    for (int s = 8; s <= 24; s += 8) {
        EXPECT_EQ(tictac(s - 7, s), std::nullopt);
        b().bloquear();
        EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
    }
    EXPECT_EQ(tictac(25, 40), 35);
}

TEST_F(Latido, WithoutTapBlockRequestsStillRestartTheWindowButNeverRelease) {
    script().refuseTaps(input::TapLocation::hid);
    script().refuseTaps(input::TapLocation::session);
    arrancar();
    tomarSalida();
    b().bloquear();
    EXPECT_EQ(tomarSalida(), lineaError);
    EXPECT_EQ(tictac(1, 30), std::nullopt);
}

}  // namespace
}  // namespace zentlock::prueba
