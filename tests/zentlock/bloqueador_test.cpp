// Commands, status lines and the tap callback, on the scripted backend.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/zentlock/banco.h"

namespace zentlock::prueba {
namespace {

namespace t = input::eventType;
using input::Point;
using input::Verdict;

class Ordenes : public Banco {};

struct PasoOrden {
    bool bloqueando;          // state before the line
    std::string linea;        // trimmed line as the reader hands it over
    std::string esperado;     // bytes written
    bool bloqueaDespues;
    Accion accion;
};

TEST_F(Ordenes, EachLineInEachStateWritesExactlyItsLine) {
    const std::vector<PasoOrden> pasos = {
        {false, "bloquear", "estado\t1\tganchos\n", true, Accion::seguir},
        {true, "bloquear", "estado\t1\tganchos\n", true, Accion::seguir},
        {false, "soltar", "estado\t0\tpedido\n", false, Accion::seguir},
        {true, "soltar", "estado\t0\tpedido\n", false, Accion::seguir},
        {false, "latido", "", false, Accion::seguir},
        {true, "latido", "", true, Accion::seguir},
        {false, "salir", "", false, Accion::salir},
        {true, "salir", "estado\t0\tsalir\n", false, Accion::salir},
        // Anything else is ignored without an answer, whatever the state.
        {true, "", "", true, Accion::seguir},
        {true, "Bloquear", "", true, Accion::seguir},
        {true, "SOLTAR", "", true, Accion::seguir},
        {true, "Salir", "", true, Accion::seguir},
        {true, "soltar ya", "", true, Accion::seguir},
        {true, "salir\r", "", true, Accion::seguir},
        {true, "bloquear\n", "", true, Accion::seguir},
        {true, std::string("salir\0", 6), "", true, Accion::seguir},
        {true, "pedido", "", true, Accion::seguir},
        {false, "{\"clave\":true}", "", false, Accion::seguir},
    };
    for (const auto& paso : pasos) {
        SCOPED_TRACE(testing::Message() << "linea '" << paso.linea << "' bloqueando=" << paso.bloqueando);
        script().reset();
        arrancar();
        if (paso.bloqueando) b().bloquear();
        tomarSalida();
        EXPECT_EQ(b().orden(paso.linea), paso.accion);
        EXPECT_EQ(tomarSalida(), paso.esperado);
        EXPECT_EQ(b().bloqueado(), paso.bloqueaDespues);
    }
}

TEST_F(Ordenes, EndOfInputIsSalir) {
    arrancar();
    b().finDeEntrada();
    EXPECT_EQ(tomarSalida(), "");
    b().bloquear();
    tomarSalida();
    b().finDeEntrada();
    EXPECT_EQ(tomarSalida(), "estado\t0\tsalir\n");
    EXPECT_FALSE(b().bloqueado());
}

TEST_F(Ordenes, LocalInputIsHeldExactlyWhileBlocking) {
    arrancar();
    b().soltar("pedido");  // release while free: no hold change
    b().bloquear();
    b().bloquear();
    b().soltar("pedido");
    b().soltar("escape");  // nothing to release
    EXPECT_EQ(script().holdCalls(), (std::vector<bool>{true, true, false}));
}

TEST_F(Ordenes, ReleasesWhileFreeAreSilentExceptRequests) {
    arrancar();
    for (const char* motivo : {"escape", "sin-agente", "salir"}) {
        b().soltar(motivo);
        EXPECT_EQ(tomarSalida(), "") << motivo;
    }
    for (const char* motivo : {"pedido", "escape", "sin-agente", "salir"}) {
        b().bloquear();
        tomarSalida();
        b().soltar(motivo);
        EXPECT_EQ(tomarSalida(), std::string("estado\t0\t") + motivo + "\n");
    }
}

TEST_F(Ordenes, BlockEnablesTheTapAgain) {
    arrancar();
    script().disableTap(t::tapDisabledByTimeout);
    script().disableTap(t::tapDisabledByTimeout);  // re-enabled by the callback each time
    int antes = script().enableCalls();
    b().bloquear();
    EXPECT_EQ(script().enableCalls(), antes + 1);
    EXPECT_TRUE(script().tapEnabled());
}

// The callback's verdict for every kind of event, while free and while blocking.
struct CasoLlamada {
    const char* nombre;
    bool bloqueando;
    input::EventType tipo;
    bool marcado;
    int64_t tecla;
    int64_t repeticion;
    Verdict veredicto;
    bool cuentaEscape;
};

class Llamada : public Banco, public testing::WithParamInterface<CasoLlamada> {};

TEST_P(Llamada, VerdictAndEscapeCount) {
    const CasoLlamada& caso = GetParam();
    arrancar();
    if (caso.bloqueando) b().bloquear();
    ScriptedEvent e = tecla(caso.tecla, caso.repeticion);
    e.at = {10, 20};
    Verdict v = caso.marcado ? marcado(caso.tipo, e) : local(caso.tipo, e);
    EXPECT_EQ(v, caso.veredicto);
    EXPECT_EQ(pendientes_.size(), caso.cuentaEscape ? 1u : 0u);
}

constexpr int64_t esc = input::keyCodeEscape;

INSTANTIATE_TEST_SUITE_P(
    Reglas, Llamada,
    testing::Values(
        // Free: everything passes, nothing is counted.
        CasoLlamada{"libreTecla", false, t::keyDown, false, 0, 0, Verdict::pass, false},
        CasoLlamada{"libreEscape", false, t::keyDown, false, esc, 0, Verdict::pass, false},
        CasoLlamada{"libreMueve", false, t::mouseMoved, false, 0, 0, Verdict::pass, false},
        CasoLlamada{"librePulsa", false, t::leftMouseDown, false, 0, 0, Verdict::pass, false},
        // Blocking, local input: swallowed, whatever the type.
        CasoLlamada{"teclaBaja", true, t::keyDown, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"teclaSube", true, t::keyUp, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"modificadores", true, t::flagsChanged, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"izquierdoBaja", true, t::leftMouseDown, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"izquierdoSube", true, t::leftMouseUp, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"derechoBaja", true, t::rightMouseDown, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"derechoSube", true, t::rightMouseUp, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"mueve", true, t::mouseMoved, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"arrastraIzq", true, t::leftMouseDragged, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"arrastraDer", true, t::rightMouseDragged, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"rueda", true, t::scrollWheel, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"otroBaja", true, t::otherMouseDown, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"otroSube", true, t::otherMouseUp, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"otroArrastra", true, t::otherMouseDragged, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"tableta", true, t::tabletPointer, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"proximidad", true, t::tabletProximity, false, 0, 0, Verdict::swallow, false},
        CasoLlamada{"sistema", true, t::systemDefined, false, 0, 0, Verdict::swallow, false},
        // Escape: counted only when pressed, not repeated; swallowed always.
        CasoLlamada{"escape", true, t::keyDown, false, esc, 0, Verdict::swallow, true},
        CasoLlamada{"escapeRepetido", true, t::keyDown, false, esc, 1, Verdict::swallow, false},
        CasoLlamada{"escapeSube", true, t::keyUp, false, esc, 0, Verdict::swallow, false},
        CasoLlamada{"escapeModificador", true, t::flagsChanged, false, esc, 0, Verdict::swallow, false},
        // Blocking, the host's input: passes, Escape included, and is never counted.
        CasoLlamada{"marcadoTecla", true, t::keyDown, true, 0, 0, Verdict::pass, false},
        CasoLlamada{"marcadoEscape", true, t::keyDown, true, esc, 0, Verdict::pass, false},
        CasoLlamada{"marcadoMueve", true, t::mouseMoved, true, 0, 0, Verdict::pass, false},
        CasoLlamada{"marcadoPulsa", true, t::leftMouseDown, true, 0, 0, Verdict::pass, false},
        CasoLlamada{"marcadoSuelta", true, t::leftMouseUp, true, 0, 0, Verdict::pass, false},
        CasoLlamada{"marcadoRueda", true, t::scrollWheel, true, 0, 0, Verdict::pass, false}),
    [](const testing::TestParamInfo<CasoLlamada>& info) { return std::string(info.param.nombre); });

TEST_F(Ordenes, DisabledNotificationsReEnableTheTapInAnyState) {
    arrancar();
    for (bool bloqueando : {false, true}) {
        if (bloqueando) b().bloquear();
        for (input::EventType aviso : {t::tapDisabledByTimeout, t::tapDisabledByUserInput}) {
            script().disableTap(aviso);
            EXPECT_TRUE(script().tapEnabled()) << aviso;
            EXPECT_EQ(script().deliveries().back().verdict, Verdict::pass);
        }
    }
    // Once enabled again the tap keeps filtering.
    EXPECT_EQ(local(t::keyDown), Verdict::swallow);
}

class Fijar : public Banco {};

TEST_F(Fijar, LocalMovesGoBackToThePointerOfTheBlockRequest) {
    script().setPointer(Point{100, 200});
    arrancar();
    b().bloquear();
    EXPECT_EQ(b().fijo(), (Point{100, 200}));
    for (auto tipo : {t::mouseMoved, t::leftMouseDragged, t::rightMouseDragged, t::otherMouseDragged}) {
        EXPECT_EQ(local(tipo, en(5, 5)), Verdict::swallow);
    }
    EXPECT_EQ(script().warps(), std::vector<Point>(4, Point{100, 200}));
    EXPECT_EQ(script().pointer(), (Point{100, 200}));
    // Clicks, keys and scrolls are swallowed without moving the pointer.
    local(t::leftMouseDown, en(7, 7));
    local(t::scrollWheel);
    local(t::keyDown);
    EXPECT_EQ(script().warps().size(), 4u);
}

TEST_F(Fijar, HostMovesAndPressesMoveThePinButReleasesDoNot) {
    script().setPointer(Point{100, 200});
    arrancar();
    b().bloquear();
    EXPECT_EQ(marcado(t::mouseMoved, en(300, 310)), Verdict::pass);
    EXPECT_EQ(script().pointer(), (Point{300, 310}));
    local(t::mouseMoved, en(1, 1));
    EXPECT_EQ(script().warps().back(), (Point{300, 310}));

    marcado(t::rightMouseDown, en(400, 410));
    marcado(t::otherMouseDragged, en(450, 460));
    marcado(t::otherMouseDown, en(500, 510));
    EXPECT_EQ(b().fijo(), (Point{500, 510}));
    // Releases, keys and scrolls of the host leave the pin where it is.
    for (auto tipo : {t::leftMouseUp, t::rightMouseUp, t::otherMouseUp, t::keyDown, t::scrollWheel}) {
        marcado(tipo, en(9, 9));
    }
    EXPECT_EQ(b().fijo(), (Point{500, 510}));
    local(t::mouseMoved, en(1, 1));
    EXPECT_EQ(script().warps().back(), (Point{500, 510}));
}

TEST_F(Fijar, PinIsTakenAgainAtEveryBlockRequestAndKeptAfterRelease) {
    script().setPointer(Point{1, 2});
    arrancar();
    b().bloquear();
    b().soltar("pedido");
    EXPECT_EQ(b().fijo(), (Point{1, 2}));
    script().setPointer(Point{30, 40});
    b().bloquear();
    EXPECT_EQ(b().fijo(), (Point{30, 40}));
    // Moves while free are not answered with a warp.
    b().soltar("pedido");
    local(t::mouseMoved, en(8, 8));
    EXPECT_TRUE(script().warps().empty());
}

TEST_F(Fijar, UnknownPointerMeansNoPinAndNoWarp) {
    script().setPointer(std::nullopt);
    arrancar();
    b().bloquear();
    EXPECT_EQ(tomarSalida(), "estado\t1\tganchos\n");
    EXPECT_FALSE(b().fijo());
    EXPECT_EQ(local(t::mouseMoved, en(5, 5)), Verdict::swallow);
    EXPECT_TRUE(script().warps().empty());
    // A host move gives the pin a place again.
    marcado(t::mouseMoved, en(60, 70));
    local(t::mouseMoved, en(5, 5));
    EXPECT_EQ(script().warps(), (std::vector<Point>{Point{60, 70}}));
}

}  // namespace
}  // namespace zentlock::prueba
