// The command line and standard input of the modes, as the host uses them.

#include <gtest/gtest.h>

#include "platform/sim/capture/sim_capture.h"
#include "platform/sim/sound/sim_sound.h"
#include "tests/support/temp_dir.h"
#include "tests/zentrec/consola.h"
#include "zentrec/modos.h"

namespace zentrec {
namespace {

namespace sim = platform::sim;
using namespace prueba;
using Json = nlohmann::json;

class Modos : public testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        limpiarConsola();
    }
    std::vector<std::string> grabar(std::string vozDb = "0") const {
        return {"zentrec", "--grabar", carpeta_.file("g.mp4"), "1", "1280", "720", "30", "8000000", "0", "0", "-",
                vozDb};
    }
    testsupport::TempDir carpeta_;
};

TEST_F(Modos, UnknownModesAndBadRecordingArgumentsGiveTheUsageTextAndStatus2) {
    const std::vector<std::vector<std::string>> generales = {{"zentrec"}, {"zentrec", "--GRABAR"}, {"zentrec", "-x"}};
    const std::string uso = "Uso: zentrec --microfonos | --nivel [id] | --grabar ... | --altavoz\n";
    for (const auto& args : generales) {
        limpiarConsola();
        EXPECT_EQ(ejecutar(args), 2);
        EXPECT_TRUE(esperarErrores(uso));
        EXPECT_EQ(errores(), uso);
    }
    const std::string usoGrabar =
        "Uso: zentrec --grabar salida.mp4 displayID ancho alto fps bitrate sistema mic micId|- vozDb\n";
    auto corto = grabar();
    corto.pop_back();
    auto largo = grabar();
    largo.push_back("extra");
    for (const auto& args : {corto, largo, grabar(" 1")}) {
        limpiarConsola();
        EXPECT_EQ(ejecutar(args), 2);
        EXPECT_TRUE(esperarErrores(usoGrabar));
        EXPECT_EQ(errores(), usoGrabar);
        EXPECT_TRUE(salidaQuieta(Milliseconds(20)));
    }
}

TEST_F(Modos, ARecorderThatCannotBeMadeEndsWithTheErrorEventAndStatus1) {
    sim::setWriterScript({.createError = platform::Error{"sim", 2, "no existe la carpeta", nullptr}});
    EXPECT_EQ(ejecutar(grabar()), 1);
    EXPECT_EQ(siguienteEvento(), (Json{{"t", "error"}, {"motivo", "no existe la carpeta"}}));
}

// The recording stops on "parar" (however padded) or at the end of input, once.
TEST_F(Modos, TheWordPararOrTheEndOfInputStopsARecording) {
    struct Caso {
        std::string entrada;
        bool cerrar;
        bool para;
    };
    const std::vector<Caso> casos = {
        {"parar\n", false, true},
        {" \t\xC2\xA0parar\xE3\x80\x80 \r\n", false, true},
        {"Parar\nparar ya\nPARAR\n", false, false},
        {"otra cosa\n", true, true},
    };
    for (const auto& caso : casos) {
        SetUp();
        Entrada entrada;
        ASSERT_EQ(ejecutar(grabar()), std::nullopt);
        EXPECT_EQ(siguienteEvento().value_or(Json())["t"], "listo");
        entrada.escribir(caso.entrada);
        if (caso.cerrar) entrada.cerrar();
        if (!caso.para) {
            EXPECT_TRUE(salidaQuieta(Milliseconds(100)));
            EXPECT_TRUE(salidas().empty());
            // The end of input stops it all the same.
            entrada.cerrar();
        }
        EXPECT_EQ(siguienteEvento(), (Json{{"t", "fin"}, {"motivo", "no llegó ninguna imagen de la pantalla"}, {"vacio", true}}));
        EXPECT_EQ(esperarSalida(), 0);
    }
}

}  // namespace
}  // namespace zentrec
