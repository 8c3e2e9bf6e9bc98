// Standard input as command lines: line ends, blanks, bounded memory, chunking.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "zentlock/ordenes.h"
#include "zentlock/pendientes.h"
#include "zentlock/salida.h"

namespace zentlock {
namespace {

std::vector<std::string> trocear(const std::string& entrada, size_t trozo) {
    std::vector<std::string> lineas;
    Troceador troceador([&](std::string_view linea) { lineas.emplace_back(linea); });
    for (size_t i = 0; i < entrada.size(); i += trozo) troceador.alimentar(std::string_view(entrada).substr(i, trozo));
    troceador.terminar();
    return lineas;
}

struct CasoTroceo {
    const char* nombre;
    std::string entrada;
    std::vector<std::string> lineas;
};

const std::string x64(64, 'x');
const std::string muchosBlancos = std::string(50000, ' ') + std::string(50000, '\t');

class Troceo : public testing::TestWithParam<CasoTroceo> {};

TEST_P(Troceo, SameLinesWhateverTheReadSizes) {
    const CasoTroceo& caso = GetParam();
    for (size_t trozo : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{4096}, caso.entrada.size() + 1}) {
        EXPECT_EQ(trocear(caso.entrada, trozo), caso.lineas) << "trozo " << trozo;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lineas, Troceo,
    testing::Values(
        CasoTroceo{"Simple", "bloquear\n", {"bloquear"}},
        CasoTroceo{"Varias", "bloquear\nlatido\nsoltar\n", {"bloquear", "latido", "soltar"}},
        CasoTroceo{"BlancosAlrededor", " \t bloquear\t \n", {"bloquear"}},
        CasoTroceo{"RetornoDeCarro", "latido\r\nsalir\r\n", {"latido", "salir"}},
        CasoTroceo{"RetornoSuelto", "a\rb\n\r\r\n", {"a\rb", "\r"}},
        CasoTroceo{"RetornoAlFinal", "salir\r", {"salir\r"}},
        CasoTroceo{"BlancosDentro", "soltar \t ya\n", {"soltar \t ya"}},
        CasoTroceo{"Vacias", "\n \t\n\n", {"", "", ""}},
        CasoTroceo{"SinFinDeLinea", "latido\nsalir", {"latido", "salir"}},
        CasoTroceo{"SoloBlancosAlFinal", "latido\n  \t", {"latido"}},
        CasoTroceo{"Nada", "", {}},
        CasoTroceo{"Mayusculas", "Bloquear\n", {"Bloquear"}},
        CasoTroceo{"NulDentro", std::string("sal\0ir\n", 7), {std::string("sal\0ir", 6)}},
        CasoTroceo{"JustoElMaximo", x64 + "\n", {x64}},
        CasoTroceo{"DemasiadoLarga", x64 + "x\nlatido\n", {"latido"}},
        CasoTroceo{"LargaSinFin", std::string(100000, 'z'), {}},
        CasoTroceo{"MuchosBlancosAlrededor", muchosBlancos + "bloquear" + muchosBlancos + "\n", {"bloquear"}},
        CasoTroceo{"MuchosBlancosDentro", "soltar" + muchosBlancos + "ya\nsalir\n", {"salir"}},
        CasoTroceo{"BlancosQueCaben", "a" + std::string(62, ' ') + "b\n", {"a" + std::string(62, ' ') + "b"}}),
    [](const testing::TestParamInfo<CasoTroceo>& info) { return std::string(info.param.nombre); });

TEST(LeerOrdenes, ReadsEveryLineUntilEndOfInput) {
    int tubo[2];
    ASSERT_EQ(pipe(tubo), 0);
    std::thread escritor([fd = tubo[1]] {
        std::string basura(1 << 20, 'q');
        std::string texto = "bloquear\n" + basura + "\n  latido \nsalir";
        size_t hecho = 0;
        while (hecho < texto.size()) {
            ssize_t n = write(fd, texto.data() + hecho, texto.size() - hecho);
            if (n <= 0) break;
            hecho += static_cast<size_t>(n);
        }
        close(fd);
    });
    std::vector<std::string> lineas;
    leerOrdenes(tubo[0], [&](std::string_view linea) { lineas.emplace_back(linea); });
    escritor.join();
    close(tubo[0]);
    EXPECT_EQ(lineas, (std::vector<std::string>{"bloquear", "latido", "salir"}));
}

TEST(LeerOrdenes, ReadErrorEndsInputLikeEndOfFile) {
    std::vector<std::string> lineas;
    leerOrdenes(-1, [&](std::string_view linea) { lineas.emplace_back(linea); });
    EXPECT_TRUE(lineas.empty());
}

TEST(Salida, EachLineLeavesInOneWrite) {
    // On a packet socket every write is one packet, so each read shows one write.
    int par[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, par), 0);
    const std::vector<std::string> lineas = {"estado\t1\tganchos\n", "estado\t0\tsin-agente\n",
                                             "error\tsin el permiso de Accesibilidad no se puede bloquear\n"};
    Salida salida(par[1]);
    for (const auto& linea : lineas) salida.escribir(linea);
    close(par[1]);
    std::vector<std::string> leidas;
    char bloque[512];
    ssize_t n;
    while ((n = read(par[0], bloque, sizeof bloque)) > 0) leidas.emplace_back(bloque, static_cast<size_t>(n));
    close(par[0]);
    EXPECT_EQ(leidas, lineas);
}

}  // namespace
}  // namespace zentlock

namespace zentlock {
namespace {

TEST(Salida, AStalledOutputCostsOneWaitThenLinesGoOutAgainOnceThereIsRoom) {
    int tubo[2];
    ASSERT_EQ(pipe2(tubo, O_CLOEXEC | O_NONBLOCK), 0);
    while (write(tubo[1], "x", 1) == 1) {
    }
    Salida salida(tubo[1]);
    EXPECT_FALSE(salida.atascada());
    salida.escribir("estado\t1\tganchos\n");
    EXPECT_TRUE(salida.atascada());
    // Were each line to wait its 250 ms, these would take 10 s.
    const auto antes = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) salida.escribir("estado\t1\tganchos\n");
    EXPECT_LT(std::chrono::steady_clock::now() - antes, esperaDeLinea * 10);
    EXPECT_TRUE(salida.atascada());

    // The host reads again: the next line goes out whole and the stall is over.
    std::string bloque(1 << 17, '\0');
    while (read(tubo[0], bloque.data(), bloque.size()) > 0) {
    }
    salida.escribir("estado\t0\tescape\n");
    EXPECT_FALSE(salida.atascada());
    EXPECT_EQ(read(tubo[0], bloque.data(), bloque.size()), 16);
    EXPECT_EQ(bloque.substr(0, 16), "estado\t0\tescape\n");
    close(tubo[0]);
    close(tubo[1]);
}

TEST(Pendientes, ABurstOfOneCommandNeverHoldsTheReaderAndASafetyExitDropsItsBlockRequests) {
    // Room for two runs only: 5000 equal lines are one.
    Pendientes pendientes(2);
    EXPECT_TRUE(pendientes.agregar("latido"));  // nothing was being served: serve now
    for (int i = 0; i < 5000; ++i) EXPECT_FALSE(pendientes.agregar("bloquear"));
    EXPECT_FALSE(pendientes.terminar());

    auto turno = pendientes.tomar();
    EXPECT_EQ(turno.linea, "latido");
    EXPECT_TRUE(turno.quedan);
    EXPECT_EQ(pendientes.tomar().linea, "bloquear");
    // The escape: the 4999 requests still waiting were all read before it.
    EXPECT_EQ(pendientes.descartar("bloquear"), 4999u);
    turno = pendientes.tomar();
    EXPECT_EQ(turno.tipo, Pendientes::Turno::Tipo::fin);
    EXPECT_FALSE(turno.quedan);
    EXPECT_EQ(pendientes.tomar().tipo, Pendientes::Turno::Tipo::nada);
    EXPECT_TRUE(pendientes.agregar("soltar"));  // served again from the start
}

TEST(Pendientes, LinesComeOutInTheOrderReadAndTheReaderWaitsForRoomForANewRun) {
    Pendientes pendientes(2);
    pendientes.agregar("bloquear");
    pendientes.agregar("soltar");
    pendientes.agregar("soltar");
    std::thread lector([&] { pendientes.agregar("bloquear"); });  // a third run waits for room
    std::vector<std::string> servidas;
    while (servidas.size() < 4) {
        auto turno = pendientes.tomar();
        if (turno.tipo == Pendientes::Turno::Tipo::linea) servidas.push_back(turno.linea);
    }
    lector.join();
    EXPECT_EQ(servidas, (std::vector<std::string>{"bloquear", "soltar", "soltar", "bloquear"}));
}

}  // namespace
}  // namespace zentlock
