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

// The host runs it on a desktop: an X server is there.
class Altavoz : public Escritorio {};

TEST_F(Altavoz, ATonePlayedOnTheSpeakersComesOutAsFiftyOpusPacketsASecond) {
    // 13 whole periods in a packet's 20 ms.
    constexpr double kHz = 650, kAmplitud = 0.3;
    auto tono = sonido_->playTone(SoundServer::kSpeakers, kHz, kAmplitud);
    ASSERT_TRUE(tono && sonido_->waitUntilHeard(SoundServer::kSpeakers, 10s));
    auto hijo = lanzar({testsupport::binary("zentrec"), "--altavoz"}, entorno(x_.get(), sonido_.get()));
    ASSERT_TRUE(hijo);

    // The monitor of speakers that just woke up may take a second or two to deliver.
    std::vector<Paquete> paquetes;
    auto primero = leerPaquete(*hijo, 10s);
    ASSERT_TRUE(primero) << hijo->stderrText();
    paquetes.push_back(*primero);
    while (segundosDesde(primero->llegada) < 3.0) {
        auto uno = leerPaquete(*hijo, 2s);
        ASSERT_TRUE(uno) << "the stream stalled after " << paquetes.size() << " packets";
        paquetes.push_back(*uno);
    }
    // Once flowing, 20 ms each: counted over the last two seconds.
    const auto desde = primero->llegada + 1s;
    const auto enDosSegundos = std::count_if(paquetes.begin(), paquetes.end(), [&](const Paquete& p) {
        return p.llegada >= desde && p.llegada < desde + 2s;
    });
    EXPECT_NEAR(static_cast<double>(enDosSegundos), 100, 15) << paquetes.size() << " packets in 3 s";

    int error = 0;
    OpusDecoder* decodificador = opus_decoder_create(48000, 1, &error);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<float> decodificado;
    for (const auto& p : paquetes) {
        float muestras[5760];
        const int n = opus_decode_float(decodificador, reinterpret_cast<const unsigned char*>(p.datos.data()),
                                        static_cast<opus_int32>(p.datos.size()), muestras, 5760, 0);
        ASSERT_EQ(n, 960) << "each packet holds 20 ms";
        decodificado.insert(decodificado.end(), muestras, muestras + n);
    }
    opus_decoder_destroy(decodificador);
    // The tone, mixed to mono, once the first second is past.
    std::vector<float> estable(decodificado.begin() + 48000, decodificado.end());
    ASSERT_GT(estable.size(), 48000u);
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(estable, kHz, 960), kAmplitud, 0.05);
    EXPECT_LT(testsupport::typicalAmplitudeAt(estable, 400, 960), 0.02);

    hijo->closeStdin();
    EXPECT_EQ(hijo->waitExit(5s), 0);
    EXPECT_EQ(hijo->stderrText(), "");
}

}  // namespace
}  // namespace zentrec::e2e
