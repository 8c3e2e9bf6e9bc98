// The recording's sound is complete: a tone that plays without a break is recorded
// without a break, on a machine kept busy, and up to the moment the recording stops.
#include <cmath>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/support/mp4_probe.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

using testsupport::SoundServer;

constexpr double kTonoHz = 1000, kTono = 0.5;

// Silent spans (every sample below a tenth of the tone) of at least 2 ms between
// `desde` and `hasta` (sample indices): a sine of this tone crosses zero far faster.
std::vector<std::pair<double, double>> huecos(const std::vector<float>& sonido, size_t desde, size_t hasta) {
    std::vector<std::pair<double, double>> encontrados;
    size_t inicio = desde, silencio = 0;
    for (size_t i = desde; i < hasta; ++i) {
        if (std::fabs(sonido[i]) < kTono / 10) {
            if (silencio++ == 0) inicio = i;
            continue;
        }
        if (silencio >= 96) encontrados.push_back({inicio / 48000.0, silencio / 48000.0});
        silencio = 0;
    }
    if (silencio >= 96) encontrados.push_back({inicio / 48000.0, silencio / 48000.0});
    return encontrados;
}

// The left channel of a raw stereo float recording.
std::vector<float> izquierdo(const std::string& ruta) {
    std::ifstream entrada(ruta, std::ios::binary);
    std::vector<float> muestras;
    float par[2];
    while (entrada.read(reinterpret_cast<char*>(par), sizeof par)) muestras.push_back(par[0]);
    return muestras;
}

// The holes of a recording of the tone, from its first loud sample to its last.
std::vector<std::pair<double, double>> huecosDelTono(const std::vector<float>& sonido) {
    size_t primera = 0;
    while (primera < sonido.size() && std::fabs(sonido[primera]) < kTono / 2) ++primera;
    size_t ultima = sonido.size();
    while (ultima > primera && std::fabs(sonido[ultima - 1]) < kTono / 2) --ultima;
    return huecos(sonido, primera, ultima);
}

// The holes of the file that the speakers' monitor did not have: those of the
// reference recording (same lengths within 3 ms, in the same order, the same time
// apart within 20 ms) are the player's, starved on the busy machine.
std::vector<std::pair<double, double>> anadidos(const std::vector<std::pair<double, double>>& enArchivo,
                                                const std::vector<std::pair<double, double>>& enReferencia) {
    std::vector<std::pair<double, double>> propios;
    std::optional<double> desfase;
    size_t siguiente = 0;
    for (const auto& [donde, cuanto] : enArchivo) {
        bool explicado = false;
        for (size_t j = siguiente; j < enReferencia.size() && !explicado; ++j) {
            const auto& [otroDonde, otroCuanto] = enReferencia[j];
            if (std::fabs(cuanto - otroCuanto) > 0.003) continue;
            if (desfase && std::fabs(otroDonde - donde - *desfase) > 0.020) continue;
            desfase = otroDonde - donde;
            siguiente = j + 1;
            explicado = true;
        }
        if (!explicado) propios.push_back({donde, cuanto});
    }
    return propios;
}

class SonidoCompleto : public Escritorio {};

TEST_F(SonidoCompleto, AToneWithoutBreaksIsRecordedWithoutHolesUnderLoadAndUpToTheStop) {
    // A player with a deep buffer (300 ms), so that the busy machine cannot starve the
    // tone itself: every hole in the file is then the recorder's.
    const std::string tono = carpeta_.file("tono.raw");
    {
        std::vector<float> muestras(48000 * 20 * 2);
        for (size_t n = 0; n < muestras.size() / 2; ++n)
            muestras[2 * n] = muestras[2 * n + 1] =
                static_cast<float>(kTono * std::sin(2 * M_PI * kTonoHz * static_cast<double>(n) / 48000));
        std::ofstream(tono, std::ios::binary)
            .write(reinterpret_cast<const char*>(muestras.data()), static_cast<std::streamsize>(muestras.size() * 4));
    }
    auto reproductor = testsupport::Child::spawn(
        {"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=300",
         "--device=" + std::string(SoundServer::kSpeakers), tono},
        {{"PULSE_SERVER", sonido_->address()}});
    ASSERT_TRUE(reproductor && sonido_->waitUntilHeard(SoundServer::kSpeakers, 10s));
    // What the speakers really played, recorded beside the recorder by a client of the
    // server's own: PipeWire's server, starved on the busy machine, can leave holes in
    // what it plays whatever the player's buffer holds, and those are no fault of the
    // recording.
    const std::string referencia = carpeta_.file("referencia.raw");
    auto grabadorDeReferencia = testsupport::Child::spawn(
        {"sh", "-c",
         "exec pacat --record --raw --format=float32le --rate=48000 --channels=2 --latency-msec=40 --device=" +
             std::string(SoundServer::kSpeakers) + ".monitor > '" + referencia + "'"},
        {{"PULSE_SERVER", sonido_->address()}});
    ASSERT_TRUE(grabadorDeReferencia);
    // Two processes that want every core, as long as the recording runs.
    std::vector<std::unique_ptr<testsupport::Child>> carga;
    for (int i = 0; i < 2; ++i) carga.push_back(testsupport::Child::spawn({"sh", "-c", "while :; do :; done"}));

    json listo;
    Clock::time_point inicio;
    auto hijo = grabarHastaListo({.ancho = 1280, .alto = 720, .mic = false}, listo, inicio);
    ASSERT_TRUE(hijo);
    auto animacion = animar(20);
    std::this_thread::sleep_for(6s);
    hijo->writeStdin("parar\n");
    auto eventos = eventosHastaElFinal(*hijo);
    carga.clear();
    grabadorDeReferencia.reset();
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(eventos[0].value("motivo", "?"), "");
    EXPECT_EQ(hijo->waitExit(10s), 0);
    ASSERT_EQ(reproductor->waitExit(0ms), std::nullopt) << "the tone ended before the recording";

    auto p = testsupport::probe(salida_);
    ASSERT_TRUE(p.opened && p.audio);
    ASSERT_GT(p.sound.size(), 48000u * 5);
    size_t primera = 0;
    while (primera < p.sound.size() && std::fabs(p.sound[primera]) < kTono / 2) ++primera;
    size_t ultima = p.sound.size();
    while (ultima > primera && std::fabs(p.sound[ultima - 1]) < kTono / 2) --ultima;
    // The tone starts with the sound track (less its first 44 ms) and lasts to its end.
    EXPECT_LT(p.soundStart + primera / 48000.0, 0.1);
    // Its end is the encoder's last frame of 1024 samples, which it fills with silence
    // after the last sound (up to 21.3 ms), and a millisecond of the tone's own swing.
    EXPECT_GT(ultima, p.sound.size() - 1024 - 48) << "the last " << (p.sound.size() - ultima) / 48.0
                                            << " ms of the file are silent";
    const auto enReferencia = huecosDelTono(izquierdo(referencia));
    const auto encontrados = anadidos(huecos(p.sound, primera, ultima), enReferencia);
    auto lista = [](const std::vector<std::pair<double, double>>& h) {
        std::string texto;
        for (const auto& [donde, cuanto] : h)
            texto += " " + std::to_string(std::lround(cuanto * 1000)) + " ms at " + std::to_string(donde) + " s;";
        return texto;
    };
    EXPECT_TRUE(encontrados.empty()) << encontrados.size() << " holes:" << lista(encontrados)
                                     << " (the speakers' own:" << lista(enReferencia) << ")";
    RecordProperty("holes", static_cast<int>(encontrados.size()));
    RecordProperty("speaker_holes", static_cast<int>(enReferencia.size()));
}

}  // namespace
}  // namespace zentrec::e2e
