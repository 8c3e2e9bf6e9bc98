// "--altavoz": the system sound as a stream of Opus packets, each behind its length,
// which the host forwards and decodes with libopus.
#include <opus/opus.h>

#include <arpa/inet.h>

#include <cstring>

#include "tests/support/sound_measures.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

using testsupport::SoundServer;

struct Paquete {
    std::string datos;
    Clock::time_point llegada;
};

//   +-----------------------+---------------------+
//   | length, 4 bytes, BE   | Opus packet         |
//   +-----------------------+---------------------+
std::optional<Paquete> leerPaquete(testsupport::Child& hijo, std::chrono::milliseconds limite) {
    auto cabecera = hijo.readStdout(4, limite);
    if (!cabecera) return std::nullopt;
    uint32_t largo;
    std::memcpy(&largo, cabecera->data(), 4);
    largo = ntohl(largo);
    if (largo == 0 || largo > 1500) {
        ADD_FAILURE() << "packet length " << largo;
        return std::nullopt;
    }
    auto datos = hijo.readStdout(largo, 1s);
    if (!datos) return std::nullopt;
    return Paquete{*datos, Clock::now()};
}

// Packets from the first one on, for `segundos` after it came; none when the first does
// not come (a monitor of speakers that just woke up may take a second or two) or the
// stream stalls.
std::vector<Paquete> paquetesDurante(testsupport::Child& hijo, double segundos) {
    std::vector<Paquete> paquetes;
    auto primero = leerPaquete(hijo, 10s);
    if (!primero) return {};
    paquetes.push_back(*primero);
    while (segundosDesde(primero->llegada) < segundos) {
        auto uno = leerPaquete(hijo, 2s);
        if (!uno) {
            ADD_FAILURE() << "the stream stalled after " << paquetes.size() << " packets";
            return {};
        }
        paquetes.push_back(*uno);
    }
    return paquetes;
}

// The sound the packets hold, with libopus; each packet must hold 20 ms.
std::vector<float> decodificar(const std::vector<Paquete>& paquetes) {
    int error = 0;
    OpusDecoder* decodificador = opus_decoder_create(48000, 1, &error);
    EXPECT_EQ(error, OPUS_OK);
    std::vector<float> decodificado;
    for (const auto& p : paquetes) {
        float muestras[5760];
        const int n = opus_decode_float(decodificador, reinterpret_cast<const unsigned char*>(p.datos.data()),
                                        static_cast<opus_int32>(p.datos.size()), muestras, 5760, 0);
        EXPECT_EQ(n, 960) << "each packet holds 20 ms";
        decodificado.insert(decodificado.end(), muestras, muestras + std::max(n, 0));
    }
    opus_decoder_destroy(decodificador);
    return decodificado;
}

// The host runs it on a desktop: an X server is there.
class Altavoz : public Escritorio {};

TEST_F(Altavoz, ATonePlayedOnTheSpeakersComesOutAsFiftyOpusPacketsASecond) {
    // 13 whole periods in a packet's 20 ms.
    constexpr double kHz = 650, kAmplitud = 0.3;
    auto tono = sonido_->playTone(SoundServer::kSpeakers, kHz, kAmplitud);
    ASSERT_TRUE(tono && sonido_->waitUntilHeard(SoundServer::kSpeakers, 10s));
    auto hijo = lanzar({testsupport::binary("zentrec"), "--altavoz"}, entorno(x_.get(), sonido_.get()));
    ASSERT_TRUE(hijo);

    auto paquetes = paquetesDurante(*hijo, 3.0);
    ASSERT_FALSE(paquetes.empty()) << hijo->stderrText();
    // Once flowing, 20 ms each: counted over the last two seconds.
    const auto desde = paquetes.front().llegada + 1s;
    const auto enDosSegundos = std::count_if(paquetes.begin(), paquetes.end(), [&](const Paquete& p) {
        return p.llegada >= desde && p.llegada < desde + 2s;
    });
    EXPECT_NEAR(static_cast<double>(enDosSegundos), 100, 15) << paquetes.size() << " packets in 3 s";

    std::vector<float> decodificado = decodificar(paquetes);
    // The tone, mixed to mono, once the first second is past.
    std::vector<float> estable(decodificado.begin() + 48000, decodificado.end());
    ASSERT_GT(estable.size(), 48000u);
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(estable, kHz, 960), kAmplitud, 0.05);
    EXPECT_LT(testsupport::typicalAmplitudeAt(estable, 400, 960), 0.02);

    hijo->closeStdin();
    EXPECT_EQ(hijo->waitExit(5s), 0);
    EXPECT_EQ(hijo->stderrText(), "");
}

// The sound modes take nothing from the screen: with no X server, in a Wayland session
// whose compositor and session bus do not exist (a screen capture or a portal would
// fail there, or show the desktop's screen-sharing dialog where they do exist), the
// system sound streams, the microphones are listed and the level is metered.
TEST(SinPantalla, SoundModesNeedNoDisplayNorAScreenCapture) {
    auto sonido = SoundServer::start();
    ASSERT_TRUE(sonido);
    auto env = entorno(nullptr, sonido.get());
    env.insert({{"WAYLAND_DISPLAY", "wayland-zentori-ninguno"},
                {"XDG_SESSION_TYPE", "wayland"},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zentori/bus"}});
    constexpr double kHz = 650, kAmplitud = 0.3;
    auto tono = sonido->playTone(SoundServer::kSpeakers, kHz, kAmplitud);
    ASSERT_TRUE(tono && sonido->waitUntilHeard(SoundServer::kSpeakers, 10s));

    auto altavoz = lanzar({testsupport::binary("zentrec"), "--altavoz"}, env);
    ASSERT_TRUE(altavoz);
    auto paquetes = paquetesDurante(*altavoz, 2.0);
    ASSERT_FALSE(paquetes.empty()) << altavoz->stderrText();
    std::vector<float> decodificado = decodificar(paquetes);
    ASSERT_GT(decodificado.size(), 48000u);
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(std::vector<float>(decodificado.end() - 48000, decodificado.end()), kHz,
                                                960),
                kAmplitud, 0.05);
    altavoz->closeStdin();
    EXPECT_EQ(altavoz->waitExit(5s), 0);
    EXPECT_EQ(altavoz->stderrText(), "");

    auto lista = testsupport::runToEnd({testsupport::binary("zentrec"), "--microfonos"}, {}, env);
    EXPECT_EQ(lista.status, 0);
    EXPECT_NE(lista.out.find("\"sugerido\":\"zentori_mic\""), std::string::npos) << lista.out << lista.err;

    testsupport::MicrophoneFeeder mic(sonido->fifoOf(SoundServer::kMicrophone), [](int64_t) { return 0.1f; });
    ASSERT_TRUE(mic.opened());
    auto nivel = lanzar({testsupport::binary("zentrec"), "--nivel"}, env);
    ASSERT_TRUE(nivel);
    auto medida = evento(*nivel, 10s);
    ASSERT_TRUE(medida) << nivel->stderrText();
    EXPECT_EQ(medida->value("t", ""), "nivel");
    nivel->closeStdin();
    EXPECT_EQ(nivel->waitExit(5s), 0);
    EXPECT_EQ(nivel->stderrText(), "");
}

}  // namespace
}  // namespace zentrec::e2e
