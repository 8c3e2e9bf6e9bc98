// "--grabar": what the host gets from a recording — its events, its exit status and an
// MP4 file that players open — read back with ffprobe, ffmpeg, libavformat and
// libavcodec.
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/support/mp4_probe.h"
#include "tests/support/sound_measures.h"
#include "tests/zentrec/e2e/arnes.h"

namespace zentrec::e2e {
namespace {

using testsupport::SoundServer;

constexpr double kTonoAltavozHz = 440, kTonoAltavoz = 0.3;

// The sound of the file between two times (seconds of the file).
std::vector<float> tramo(const testsupport::Probe& p, double desde, double hasta) {
    const auto a = static_cast<size_t>(std::max(0.0, (desde - p.soundStart) * 48000));
    const auto b = std::min(p.sound.size(), static_cast<size_t>(std::max(0.0, (hasta - p.soundStart) * 48000)));
    return a < b ? std::vector<float>(p.sound.begin() + a, p.sound.begin() + b) : std::vector<float>{};
}

// The last picture of the file, decoded by ffmpeg into a PNG.
std::optional<zentrecv::RgbImage> ultimaImagen(const std::string& mp4, const std::string& png) {
    auto fin = testsupport::runToEnd({"ffmpeg", "-v", "error", "-y", "-i", mp4, "-update", "1", png});
    if (fin.status != 0) return std::nullopt;
    return ::e2e::readPng(png);
}

bool existe(const std::string& path) { return std::filesystem::exists(path); }

class Grabar : public Escritorio {};

TEST_F(Grabar, TheFileHoldsTheScreenTheSystemSoundAndTheMicrophoneForAsLongAsItRan) {
    const int w = pantalla_->width(), h = pantalla_->height();
    std::vector<testsupport::Block> cuadrantes;
    for (int fila = 0; fila < 2; ++fila)
        for (int columna = 0; columna < 2; ++columna)
            cuadrantes.push_back({columna * w / 2, fila * h / 2, w / 2, h / 2,
                                  ::e2e::quadrants(w, h, columna * w / 2, fila * h / 2)});
    pantalla_->paintRoot({0, 0, 0}, cuadrantes);
    auto tono = sonido_->playTone(SoundServer::kSpeakers, kTonoAltavozHz, kTonoAltavoz);
    ASSERT_TRUE(tono && sonido_->waitUntilHeard(SoundServer::kSpeakers, 10s));
    testsupport::MicrophoneFeeder mic(sonido_->fifoOf(SoundServer::kMicrophone), tonoDeMicrofono);
    ASSERT_TRUE(mic.opened());

    json listo;
    Clock::time_point inicio;
    auto hijo = grabarHastaListo({.ancho = 640, .alto = 360}, listo, inicio);
    ASSERT_TRUE(hijo);
    EXPECT_EQ(listo, (json{{"t", "listo"},
                           {"sonido", true},
                           {"microfono", true},
                           {"sinSonido", ""},
                           {"sinMicrofono", ""},
                           {"nombreMicrofono", SoundServer::kMicrophoneDescription},
                           {"como", "ScreenCaptureKit a 640x360"}}));
    std::this_thread::sleep_for(3500ms);  // the recording's length
    ASSERT_TRUE(hijo->writeStdin("parar\n"));
    const double duro = segundosDesde(inicio);

    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    const json& fin = eventos[0];
    EXPECT_EQ(fin.size(), 5u) << fin.dump();
    EXPECT_EQ(fin.value("t", ""), "fin");
    EXPECT_EQ(fin.value("motivo", "?"), "");
    EXPECT_EQ(fin.value("microfonoMudo", true), false);
    EXPECT_EQ(fin.value("nombreMicrofono", ""), SoundServer::kMicrophoneDescription);
    ASSERT_TRUE(fin.contains("gananciaMicrofono") && fin["gananciaMicrofono"].is_number()) << fin.dump();
    EXPECT_NEAR(fin["gananciaMicrofono"].get<double>(), 0.0, 0.5) << "a loud microphone needs no gain";
    EXPECT_EQ(hijo->waitExit(10s), 0);

    auto duraciones = testsupport::ffprobeDurations(salida_);
    ASSERT_TRUE(duraciones);
    EXPECT_NEAR(duraciones->format, duro, 0.3);
    EXPECT_NEAR(duraciones->video, duro, 0.3);
    EXPECT_NEAR(duraciones->audio, duro, 0.3);

    auto p = testsupport::probe(salida_);
    ASSERT_TRUE(p.opened && p.video && p.audio);
    EXPECT_EQ(p.video->codec, "h264");
    EXPECT_EQ(p.video->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(p.video->width, 640);
    EXPECT_EQ(p.video->height, 360);
    EXPECT_EQ(p.audio->codec, "aac");
    EXPECT_EQ(p.audio->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(p.audio->sampleRate, 48000);
    EXPECT_EQ(p.audio->channels, 2);
    EXPECT_EQ(p.decodeErrors, 0);

    // Both tones, each at its level, in the settled part of the recording.
    auto sonido = tramo(p, 1.0, duro - 0.5);
    ASSERT_GT(sonido.size(), 48000u);
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(sonido, kTonoAltavozHz, 4800), kTonoAltavoz, 0.05);
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(sonido, kTonoMicrofonoHz, 4800), kTonoMicrofono, 0.05);
    EXPECT_LT(testsupport::typicalAmplitudeAt(sonido, 700, 4800), 0.02);

    auto imagen = ultimaImagen(salida_, carpeta_.file("ultima.png"));
    ASSERT_TRUE(imagen);
    for (int fila = 0; fila < 2; ++fila) {
        for (int columna = 0; columna < 2; ++columna) {
            const int x = (2 * columna + 1) * imagen->width / 4, y = (2 * fila + 1) * imagen->height / 4;
            const auto visto = ::e2e::meanColour(*imagen, x, y, 8);
            const auto pintado = ::e2e::quadrants(w, h, columna * w / 2, fila * h / 2);
            EXPECT_LE(::e2e::colourDistance(visto, pintado), 30)
                << "at " << x << "," << y << ": " << ::e2e::describe(visto) << " for " << ::e2e::describe(pintado);
        }
    }
}

TEST_F(Grabar, ASilentMicrophoneIsReportedMute) {
    testsupport::MicrophoneFeeder mic(sonido_->fifoOf(SoundServer::kMicrophone), [](int64_t) { return 0.0f; });
    json listo;
    Clock::time_point inicio;
    auto hijo = grabarHastaListo({.sistema = false}, listo, inicio);
    ASSERT_TRUE(hijo);
    EXPECT_EQ(listo.value("microfono", false), true);
    EXPECT_EQ(listo.value("sonido", true), false);
    std::this_thread::sleep_for(1500ms);
    hijo->writeStdin("parar\n");
    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(eventos[0].value("microfonoMudo", false), true) << eventos[0].dump();
    EXPECT_EQ(eventos[0].value("motivo", "?"), "");
    EXPECT_EQ(hijo->waitExit(10s), 0);
}

// Each way the host stops a recording finishes the file the same way.
enum class Parada { parar, pararYSigterm, finDeEntrada, sigterm, sigint };

class GrabarParada : public Escritorio, public ::testing::WithParamInterface<Parada> {};

TEST_P(GrabarParada, FinishesTheFileWithOneFinalEventReplacingWhatWasThere) {
    ASSERT_TRUE(testsupport::writeFile(salida_, std::string(100000, 'x')));
    json listo;
    Clock::time_point inicio;
    auto hijo = grabarHastaListo({.mic = false}, listo, inicio);
    ASSERT_TRUE(hijo);
    std::this_thread::sleep_for(1500ms);
    switch (GetParam()) {
        case Parada::parar:
            // Spaces and a tab around the word are allowed.
            hijo->writeStdin(" \tparar  \n");
            break;
        case Parada::pararYSigterm:
            hijo->writeStdin("parar\n");
            hijo->signal(SIGTERM);
            hijo->closeStdin();
            break;
        case Parada::finDeEntrada:
            hijo->closeStdin();
            break;
        case Parada::sigterm:
            hijo->signal(SIGTERM);
            break;
        case Parada::sigint:
            // Ctrl-C in a terminal.
            hijo->signal(SIGINT);
            break;
    }
    const double duro = segundosDesde(inicio);
    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(eventos[0].value("t", ""), "fin");
    EXPECT_EQ(eventos[0].value("motivo", "?"), "");
    EXPECT_FALSE(eventos[0].contains("vacio"));
    EXPECT_EQ(hijo->waitExit(10s), 0);

    auto cajas = testsupport::topLevelBoxes(salida_);
    ASSERT_FALSE(cajas.empty());
    EXPECT_EQ(cajas.front(), "ftyp") << "the old file is gone";
    auto duraciones = testsupport::ffprobeDurations(salida_);
    ASSERT_TRUE(duraciones);
    EXPECT_NEAR(duraciones->format, duro, 0.3);
    EXPECT_NEAR(duraciones->audio, duro, 0.3);
}

std::string nombre(Parada parada) {
    switch (parada) {
        case Parada::parar: return "Parar";
        case Parada::pararYSigterm: return "PararThenSigterm";
        case Parada::finDeEntrada: return "EndOfInput";
        case Parada::sigterm: return "Sigterm";
        case Parada::sigint: return "Sigint";
    }
    return "";
}
void PrintTo(Parada parada, std::ostream* os) { *os << nombre(parada); }

INSTANTIATE_TEST_SUITE_P(Todas, GrabarParada,
                         ::testing::Values(Parada::parar, Parada::pararYSigterm, Parada::finDeEntrada,
                                           Parada::sigterm, Parada::sigint),
                         [](const auto& info) { return nombre(info.param); });

TEST_F(Grabar, AKilledRecorderLeavesAFilePlayableToTwoSecondsBeforeTheKill) {
    auto tono = sonido_->playTone(SoundServer::kSpeakers, kTonoAltavozHz, kTonoAltavoz);
    ASSERT_TRUE(tono && sonido_->waitUntilHeard(SoundServer::kSpeakers, 10s));
    // Pictures keep coming only while the screen changes.
    auto animacion = animar();
    ASSERT_TRUE(animacion);
    json listo;
    Clock::time_point inicio;
    auto hijo = grabarHastaListo({.mic = false}, listo, inicio);
    ASSERT_TRUE(hijo);
    std::this_thread::sleep_for(5s);
    hijo->signal(SIGKILL);
    const double muerto = segundosDesde(inicio);
    ASSERT_TRUE(hijo->waitExit(10s));

    auto p = testsupport::probe(salida_);
    ASSERT_TRUE(p.opened && p.video && p.audio);
    EXPECT_EQ(p.decodeErrors, 0);
    ASSERT_FALSE(p.pictures.empty());
    const double finSonido = p.soundStart + static_cast<double>(p.sound.size()) / 48000;
    EXPECT_GE(p.pictures.back().time, muerto - 2.0) << "killed at " << muerto << " s";
    EXPECT_GE(finSonido, muerto - 2.0) << "killed at " << muerto << " s";
    EXPECT_NEAR(testsupport::typicalAmplitudeAt(tramo(p, 1.0, finSonido), kTonoAltavozHz, 4800), kTonoAltavoz, 0.05);
}

TEST_F(Grabar, AFailedWriteMidRecordingLeavesNoFile) {
    // Moving content at a high bit rate fills the first fragment well past the limit.
    auto animacion = animar(40);
    ASSERT_TRUE(animacion);
    auto hijo = grabar({.ancho = 1280, .alto = 720, .bitrate = 20'000'000, .mic = false},
                       testsupport::Limits{.fileSize = 200'000});
    ASSERT_TRUE(hijo);
    auto eventos = eventosHastaElFinal(*hijo, 30s);
    ASSERT_EQ(eventos.size(), 2u) << json(eventos).dump() << hijo->stderrText();
    EXPECT_EQ(eventos[0].value("t", ""), "listo");
    const json& fin = eventos[1];
    EXPECT_EQ(fin.value("t", ""), "fin");
    EXPECT_EQ(fin.value("vacio", false), true) << fin.dump();
    EXPECT_EQ(fin.value("motivo", "").rfind("no se puede escribir el vídeo: ", 0), 0u) << fin.dump();
    EXPECT_EQ(hijo->waitExit(10s), 0);
    EXPECT_FALSE(existe(salida_));
}

TEST_F(Grabar, ASecondRecordingToTheSamePathFailsAtStartAndTouchesNothing) {
    auto animacion = animar();
    ASSERT_TRUE(animacion);
    json listo;
    Clock::time_point inicio;
    auto primera = grabarHastaListo({.sistema = false, .mic = false}, listo, inicio);
    ASSERT_TRUE(primera);
    // The first recording's file exists once its first picture came.
    const auto hasta = Clock::now() + 10s;
    while (!existe(salida_) && Clock::now() < hasta) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(existe(salida_));

    auto segunda = grabar({.sistema = false, .mic = false});
    ASSERT_TRUE(segunda);
    auto suyos = eventosHastaElFinal(*segunda, 15s);
    ASSERT_EQ(suyos.size(), 1u) << json(suyos).dump();
    EXPECT_EQ(suyos[0], (json{{"t", "error"}, {"motivo", "Otra grabación está escribiendo en «" + salida_ + "»"}}));
    EXPECT_EQ(segunda->waitExit(10s), 1);
    EXPECT_TRUE(existe(salida_)) << "the second recorder deleted the first one's file";

    std::this_thread::sleep_for(1500ms);  // the first recording goes on
    ASSERT_TRUE(primera->writeStdin("parar\n"));
    const double duro = segundosDesde(inicio);
    auto eventos = eventosHastaElFinal(*primera);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(eventos[0].value("motivo", "?"), "");
    EXPECT_EQ(primera->waitExit(10s), 0);
    auto duraciones = testsupport::ffprobeDurations(salida_);
    ASSERT_TRUE(duraciones);
    EXPECT_NEAR(duraciones->video, duro, 0.3) << "the file is the first recording, whole";
}

TEST_F(Grabar, AFolderAsThePathIsRefusedInSpanishWithTheCodeOnce) {
    const std::string carpeta = carpeta_.file("carpeta.mp4");
    std::filesystem::create_directory(carpeta);
    auto hijo = lanzar(argumentosGrabar(carpeta, {.sistema = false, .mic = false}), entorno(x_.get(), sonido_.get()));
    ASSERT_TRUE(hijo);
    auto eventos = eventosHastaElFinal(*hijo, 15s);
    ASSERT_EQ(eventos.size(), 2u) << json(eventos).dump();
    EXPECT_EQ(eventos[1], (json{{"t", "error"},
                                {"motivo", "no se puede escribir el vídeo: No se puede crear el archivo «" + carpeta +
                                               "»: es una carpeta (-21)"}}));
    EXPECT_EQ(hijo->waitExit(10s), 1);
    EXPECT_TRUE(std::filesystem::is_directory(carpeta));
}

TEST(GrabarSinServidorDeSonido, WithoutASoundServerTheScreenIsRecordedAndListoSaysWhy) {
    auto x = testsupport::Xvfb::start("1280x720x24");
    ASSERT_TRUE(x);
    testsupport::TempDir carpeta;
    const std::string salida = carpeta.file("grabación.mp4");
    auto entornoSinSonido = entorno(x.get(), nullptr);
    entornoSinSonido["PULSE_SERVER"] = "unix:" + carpeta.file("nadie");
    entornoSinSonido["HOME"] = carpeta.file("");
    auto hijo = lanzar(argumentosGrabar(salida, {.sistema = true, .mic = true}), entornoSinSonido);
    ASSERT_TRUE(hijo);
    auto listo = evento(*hijo, 15s);
    ASSERT_TRUE(listo) << hijo->stderrText();
    EXPECT_EQ(listo->value("t", ""), "listo") << listo->dump();
    EXPECT_EQ(listo->value("sonido", true), false);
    EXPECT_EQ(listo->value("microfono", true), false);
    const std::string sinSonido = listo->value("sinSonido", "");
    EXPECT_EQ(sinSonido.rfind("No se puede escuchar el sonido del sistema: ", 0), 0u) << sinSonido;
    EXPECT_EQ(sinSonido.find("pantalla"), std::string::npos) << "the screen is not to blame: " << sinSonido;
    EXPECT_NE(listo->value("sinMicrofono", ""), "");
    std::this_thread::sleep_for(1500ms);
    hijo->writeStdin("parar\n");
    auto eventos = eventosHastaElFinal(*hijo);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(eventos[0].value("motivo", "?"), "");
    EXPECT_EQ(hijo->waitExit(10s), 0);
    auto p = testsupport::probe(salida);
    EXPECT_TRUE(p.opened && p.video && !p.audio);
    EXPECT_FALSE(p.pictures.empty());
}

TEST(GrabarSinPantalla, WithoutAnXServerTheRecordingFailsToStartAndLeavesNoFile) {
    testsupport::TempDir carpeta;
    const std::string salida = carpeta.file("grabación.mp4");
    ASSERT_TRUE(testsupport::writeFile(salida, "antes"));
    auto hijo = lanzar(argumentosGrabar(salida, {.sistema = false, .mic = false}), entorno(nullptr, nullptr));
    ASSERT_TRUE(hijo);
    // Standard input stays open: the failure alone ends the recorder.
    auto eventos = eventosHastaElFinal(*hijo, 15s);
    ASSERT_EQ(eventos.size(), 1u) << json(eventos).dump();
    EXPECT_EQ(eventos[0].size(), 2u);
    EXPECT_EQ(eventos[0].value("t", ""), "error");
    EXPECT_EQ(eventos[0].value("motivo", "").rfind("no se puede ver la pantalla: ", 0), 0u) << eventos[0].dump();
    EXPECT_EQ(hijo->waitExit(10s), 1);
    EXPECT_FALSE(existe(salida));
}

}  // namespace
}  // namespace zentrec::e2e
