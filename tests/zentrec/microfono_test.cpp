// Microphones as the host meets them: which device opens, the permission, the
// "--microfonos" line and the "--nivel" events.

#include <gtest/gtest.h>

#include "platform/sim/capture/sim_capture.h"
#include "platform/sim/sound/sim_sound.h"
#include "tests/zentrec/consola.h"
#include "zentrec/microfono.h"
#include "zentrec/modos.h"

namespace zentrec {
namespace {

namespace sim = platform::sim;
using namespace prueba;
using namespace std::chrono_literals;
using Json = nlohmann::json;

const platform::AudioDevice kInterno{"interno", "Micrófono interno", platform::kTransportTypeBuiltIn};
const platform::AudioDevice kUsb{"usb-1", "Micrófono USB", 0};
const platform::AudioDevice kCasco{"casco", "Auriculares", 0};

class Microfonos : public testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        limpiarConsola();
    }
};

TEST_F(Microfonos, TheDeviceOpenedFollowsTheSelectionRules) {
    struct Caso {
        const char* nombre;
        std::vector<platform::AudioDevice> lista;
        std::optional<platform::AudioDevice> predeterminado;
        std::optional<std::string> id;
        std::string abierto;  // "" : none can be opened
    };
    const std::vector<Caso> casos = {
        {"the identifier asked for", {kUsb, kInterno, kCasco}, kCasco, "casco", "casco"},
        {"an unknown identifier falls back to the built-in one", {kUsb, kInterno}, kUsb, "otro", "interno"},
        {"an empty identifier is unknown too", {kUsb, kInterno}, kUsb, "", "interno"},
        {"built-in before the default", {kUsb, kInterno}, kUsb, std::nullopt, "interno"},
        {"the default when none is built in", {kUsb}, kCasco, std::nullopt, "casco"},
        {"nothing at all", {}, std::nullopt, std::nullopt, ""},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        sim::reset();
        sim::setAudioDevices(caso.lista);
        sim::setDefaultAudioDevice(caso.predeterminado);
        auto microfono = Microfono::abrir(caso.id);
        if (caso.abierto.empty()) {
            ASSERT_FALSE(microfono.ok());
            EXPECT_EQ(microfono.error().domain, "mic");
            EXPECT_EQ(microfono.error().code, 1);
            EXPECT_EQ(microfono.error().description, "no hay ningún micrófono");
            continue;
        }
        ASSERT_TRUE(microfono.ok());
        auto aperturas = sim::microphoneOpens();
        ASSERT_EQ(aperturas.size(), 1u);
        EXPECT_EQ(aperturas[0].device.uniqueID, caso.abierto);
        EXPECT_EQ(microfono.value()->nombre(), aperturas[0].device.localizedName);
        // 48 kHz mono 32-bit float, interleaved, little-endian, on its own queue.
        const auto& formato = aperturas[0].settings;
        EXPECT_EQ(formato.formatID, platform::kAudioFormatLinearPCM);
        EXPECT_EQ(formato.sampleRate, 48000);
        EXPECT_EQ(formato.channels, 1u);
        EXPECT_EQ(formato.bitDepth, 32u);
        EXPECT_TRUE(formato.isFloat);
        EXPECT_FALSE(formato.isNonInterleaved);
        EXPECT_FALSE(formato.isBigEndian);
        EXPECT_EQ(aperturas[0].queueLabel, "microfono");
    }
}

TEST_F(Microfonos, RefusalsToOpenKeepThePlatformsWordsOrNameTheDevice) {
    platform::Error ocupado{"plataforma", -11814, "el dispositivo está ocupado", nullptr};
    sim::setMicrophoneScript({.deviceError = ocupado});
    auto rechazado = Microfono::abrir(std::nullopt);
    ASSERT_FALSE(rechazado.ok());
    EXPECT_EQ(rechazado.error().domain, "plataforma");
    EXPECT_EQ(rechazado.error().description, "el dispositivo está ocupado");

    sim::setMicrophoneScript({.sessionRefuses = true});
    auto sinSesion = Microfono::abrir(std::nullopt);
    ASSERT_FALSE(sinSesion.ok());
    EXPECT_EQ(sinSesion.error().code, 2);
    EXPECT_EQ(sinSesion.error().description, "no se puede abrir «" + sim::builtInMicrophone().localizedName + "»");
}

TEST_F(Microfonos, ThePermissionIsAskedForOnceAndANonAnswerIsARefusal) {
    using platform::AuthorizationStatus;
    struct Caso {
        AuthorizationStatus estado;
        sim::AccessAnswer respuesta;
        bool permitido;
        int preguntas;
    };
    const std::vector<Caso> casos = {
        {AuthorizationStatus::authorized, sim::AccessAnswer::deny, true, 0},
        {AuthorizationStatus::denied, sim::AccessAnswer::grant, false, 0},
        {AuthorizationStatus::restricted, sim::AccessAnswer::grant, false, 0},
        {AuthorizationStatus::notDetermined, sim::AccessAnswer::grant, true, 1},
        {AuthorizationStatus::notDetermined, sim::AccessAnswer::deny, false, 1},
        {AuthorizationStatus::notDetermined, sim::AccessAnswer::hold, false, 1},
    };
    for (const auto& caso : casos) {
        sim::reset();
        sim::setMicrophoneAuthorization(caso.estado);
        sim::setMicrophoneAccessAnswer(caso.respuesta);
        auto respuesta = permisoMicrofono(200ms);
        EXPECT_EQ(!respuesta.has_value(), caso.permitido);
        if (respuesta) {
            EXPECT_EQ(*respuesta, "Zentori no tiene permiso para usar el micrófono");
        }
        EXPECT_EQ(sim::microphoneAccessRequests(), caso.preguntas);
    }
}

TEST_F(Microfonos, TheListNamesEveryDeviceAndSuggestsTheBuiltInOne) {
    struct Caso {
        std::vector<platform::AudioDevice> lista;
        std::optional<platform::AudioDevice> predeterminado;
        std::string linea;
    };
    const std::vector<Caso> casos = {
        {{kUsb, kInterno},
         kUsb,
         R"({"microfonos":[{"id":"usb-1","interno":0,"nombre":"Micrófono USB","predeterminado":true},)"
         R"({"id":"interno","interno":1,"nombre":"Micrófono interno","predeterminado":false}],"sugerido":"interno"})"},
        {{kUsb},
         kUsb,
         R"({"microfonos":[{"id":"usb-1","interno":0,"nombre":"Micrófono USB","predeterminado":true}],"sugerido":"usb-1"})"},
        {{}, std::nullopt, R"({"microfonos":[],"sugerido":""})"},
    };
    for (const auto& caso : casos) {
        sim::reset();
        limpiarConsola();
        sim::setAudioDevices(caso.lista);
        sim::setDefaultAudioDevice(caso.predeterminado);
        EXPECT_EQ(ejecutar({"zentrec", "--microfonos"}), 0);
        EXPECT_EQ(siguienteLinea(), caso.linea);
    }
}

TEST_F(Microfonos, TheMeterReportsEveryHundredMillisecondsUntilTheInputEnds) {
    Entrada entrada;
    EXPECT_EQ(ejecutar({"zentrec", "--nivel"}), std::nullopt);
    ASSERT_TRUE(sim::waitFor([] { return sim::microphoneSession().running; }));
    // A chunk that completes two windows and starts a third.
    std::vector<float> sonido(4800, 0.1f);
    sonido.resize(2 * 4800 + 100, 1.0f);
    ASSERT_TRUE(sim::deliverMicrophoneFloats(sonido));
    EXPECT_EQ(siguienteLinea(), R"({"db":-20.0,"t":"nivel"})");
    EXPECT_EQ(siguienteLinea(), R"({"db":0.0,"t":"nivel"})");
    ASSERT_TRUE(sim::drainMicrophone());
    EXPECT_TRUE(salidaQuieta(50ms));
    entrada.escribir("cualquier cosa\n");
    entrada.cerrar();
    EXPECT_EQ(esperarSalida(), 0);
    EXPECT_TRUE(salidaQuieta(50ms)) << "the end of input ends the meter without an event";
    EXPECT_EQ(sim::microphoneSession().stops, 1);
}

TEST_F(Microfonos, TheMeterEndsWithFinWhenTheMicrophoneCloses) {
    struct Caso {
        const char* nombre;
        std::function<void()> antes;
        std::function<void()> durante;
        std::string motivo;
    };
    const std::vector<Caso> casos = {
        {"unplugged", [] {}, [] { ASSERT_TRUE(sim::disconnectMicrophone()); }, "el micrófono se ha desconectado"},
        {"failed with a reason", [] {},
         [] { ASSERT_TRUE(sim::failMicrophone(platform::Error{"pa", 3, "servidor caído", nullptr})); },
         "servidor caído"},
        {"failed without a reason", [] {}, [] { ASSERT_TRUE(sim::failMicrophone(std::nullopt)); },
         "el micrófono se ha cerrado"},
        {"no permission", [] { sim::setMicrophoneAuthorization(platform::AuthorizationStatus::denied); }, [] {},
         "Zentori no tiene permiso para usar el micrófono"},
        {"no microphone",
         [] {
             sim::setAudioDevices({});
             sim::setDefaultAudioDevice(std::nullopt);
         },
         [] {}, "no hay ningún micrófono"},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        sim::reset();
        limpiarConsola();
        Entrada entrada;
        caso.antes();
        ejecutar({"zentrec", "--nivel"});
        caso.durante();
        EXPECT_EQ(siguienteEvento(), (Json{{"t", "fin"}, {"motivo", caso.motivo}}));
        EXPECT_EQ(esperarSalida(), 0);
    }
}

}  // namespace
}  // namespace zentrec
