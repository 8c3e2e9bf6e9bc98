// Standard input as command lines: line ends, blanks, bounded memory, chunking.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "zentlock/ordenes.h"
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
    for (const auto& linea : lineas) escribirLinea(par[1], linea);
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
