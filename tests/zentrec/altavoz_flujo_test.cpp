// The "--altavoz" stream as the host reads it: length-prefixed Opus packets of 960
// mono samples on standard output, "error\t" lines on standard error.

#include <gtest/gtest.h>

#include "platform/sim/capture/sim_capture.h"
#include "platform/sim/sound/sim_sound.h"
#include "tests/zentrec/consola.h"
#include "zentrec/modos.h"

namespace zentrec {
namespace {

namespace sim = platform::sim;
using namespace prueba;
using namespace std::chrono_literals;

platform::Error error(std::string descripcion) { return {"sim", -3801, std::move(descripcion), nullptr}; }

class Altavoz : public testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        limpiarConsola();
    }
    void arrancar() {
        ASSERT_EQ(ejecutar({"zentrec", "--altavoz"}), std::nullopt);
        ASSERT_TRUE(sim::systemSoundRecord().running);
    }
    static std::string registro(size_t indice, uint32_t largo) {
        auto paquete = sim::scriptedPacket(indice, largo);
        std::string bytes{char(largo >> 24), char(largo >> 16), char(largo >> 8), char(largo)};
        return bytes + std::string(paquete.begin(), paquete.end());
    }
    Entrada entrada_;
};

TEST_F(Altavoz, SoundIsCutIntoBlocksOf960AndEachPacketGoesOutBehindItsLength) {
    sim::setConverterScript({.conversions = {{platform::ConverterOutputStatus::haveData, 200},
                                             {platform::ConverterOutputStatus::haveData, 161}}});
    arrancar();
    auto sonido = sim::systemSoundRecord();
    EXPECT_EQ(sonido.settings.sampleRate, 48000);
    EXPECT_EQ(sonido.settings.channelCount, 2);
    EXPECT_EQ(sonido.queueLabel, "altavoz");
    auto conversor = sim::converterRecord();
    EXPECT_EQ(conversor.bitRates, std::vector<int64_t>{64000});
    EXPECT_EQ(conversor.to.formatID, platform::kAudioFormatOpus);
    EXPECT_EQ(conversor.to.framesPerPacket, 960u);
    EXPECT_EQ(conversor.to.channelsPerFrame, 1u);

    // Stereo frames are averaged: (0.5, -0.1) -> 0.2.
    std::vector<float> estereo;
    for (int i = 0; i < 1000; ++i) estereo.insert(estereo.end(), {0.5f, -0.1f});
    ASSERT_TRUE(sim::deliverSystemSoundFloats(estereo));
    EXPECT_EQ(bytesDeSalida(204), registro(0, 200));
    ASSERT_TRUE(sim::deliverSystemSoundFloats(std::vector<float>(2 * 920, 0.0f)));
    EXPECT_EQ(bytesDeSalida(165), registro(1, 161));
    ASSERT_TRUE(sim::drainSystemSound());
    EXPECT_TRUE(salidaQuieta(50ms));

    auto conversiones = sim::converterRecord().conversions;
    ASSERT_EQ(conversiones.size(), 2u);
    EXPECT_EQ(conversiones[0].blocks.at(0).size(), 960u);
    EXPECT_FLOAT_EQ(conversiones[0].blocks[0][0], 0.2f);
    EXPECT_FLOAT_EQ(conversiones[1].blocks[0][40], 0.0f);
    EXPECT_EQ(conversiones[0].packetCapacity, 1u);
    EXPECT_EQ(conversiones[0].maximumPacketSize, 1500u);
    EXPECT_EQ(conversiones[0].inputStatuses,
              (std::vector<platform::ConverterInputStatus>{platform::ConverterInputStatus::haveData,
                                                           platform::ConverterInputStatus::noDataNow}));

    entrada_.cerrar();
    EXPECT_EQ(esperarSalida(), 0);
    EXPECT_EQ(errores(), "");
}

TEST_F(Altavoz, ABlockTheEncoderRefusesIsLostAndTheStreamGoesOn) {
    sim::setConverterScript({.conversions = {{platform::ConverterOutputStatus::error, 100},
                                             {platform::ConverterOutputStatus::haveData, 0},
                                             {platform::ConverterOutputStatus::haveData, 50}}});
    arrancar();
    ASSERT_TRUE(sim::deliverSystemSoundFloats(std::vector<float>(2 * 959, 0.1f)));
    ASSERT_TRUE(sim::drainSystemSound());
    EXPECT_TRUE(sim::converterRecord().conversions.empty()) << "959 samples make no block";
    ASSERT_TRUE(sim::deliverSystemSoundFloats(std::vector<float>(2 * (3 * 960 - 959), 0.1f)));
    EXPECT_EQ(bytesDeSalida(54), registro(2, 50));
    EXPECT_EQ(sim::converterRecord().conversions.size(), 3u);
}

TEST_F(Altavoz, FailuresEndWithOneErrorLineAndStatus1) {
    struct Caso {
        const char* nombre;
        std::function<void()> guion;
        std::function<void()> despues;
        std::string linea;
    };
    const std::vector<Caso> casos = {
        {"no Opus", [] { sim::setConverterScript({.refuseCreation = true}); }, [] {},
         "error\teste Mac no sabe comprimir el sonido en Opus\n"},
        {"no sound server", [] { sim::setSystemSoundError(error("no hay servidor de sonido")); }, [] {},
         "error\tno se puede escuchar el sonido: no hay servidor de sonido\n"},
        {"sound stops", [] {}, [] { ASSERT_TRUE(sim::stopSystemSoundByItself(error("se fue"))); },
         "error\tse detuvo el sonido: se fue\n"},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        SetUp();
        caso.guion();
        ejecutar({"zentrec", "--altavoz"});
        caso.despues();
        EXPECT_EQ(esperarSalida(), 1);
        EXPECT_TRUE(esperarErrores(caso.linea));
        EXPECT_EQ(errores(), caso.linea);
        EXPECT_TRUE(salidaQuieta(20ms));
    }
}

// The sound comes from the sound server: no display is needed, and no screen capture
// (which on some desktops shows a screen-sharing dialog) is ever started.
TEST_F(Altavoz, NoScreenIsCapturedWhateverTheDisplays) {
    platform::ShareableContent dos;
    dos.displays = {{3, 800, 600}, {4, 1920, 1080}};
    for (auto respuesta : {sim::ContentAnswer{std::nullopt, error("sin pantalla")}, sim::ContentAnswer{dos, std::nullopt}}) {
        SetUp();
        sim::setContentAnswer(respuesta);
        arrancar();
        EXPECT_EQ(sim::systemSoundRecord().starts, 1);
        EXPECT_EQ(sim::contentRequests(), 0);
        EXPECT_FALSE(sim::streamRecord().created);
    }
}

}  // namespace
}  // namespace zentrec
