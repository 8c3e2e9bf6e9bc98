// A recording driven end to end on the scripted platform: what the host reads on
// standard output (at most one "listo", then exactly one "fin" or "error"), the exit
// status of every stop path, what reaches the MP4 writer and when, and the file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/sim/capture/sim_capture.h"
#include "platform/sim/sound/sim_sound.h"
#include "tests/support/temp_dir.h"
#include "tests/zentrec/consola.h"
#include "zentrec/grabadora.h"
#include "zentrec/microfono.h"

namespace zentrec {
namespace {

namespace sim = platform::sim;
using namespace prueba;
using Json = nlohmann::json;

constexpr int64_t kSegundo = 1'000'000'000;
constexpr int64_t kInicio = 1000 * kSegundo;  // the scripted host clock at reset

platform::Error error(std::string descripcion, int codigo = -11800) {
    return {"sim", codigo, std::move(descripcion), nullptr};
}

platform::MediaTime ns(int64_t valor) { return {valor, 1'000'000'000}; }

class Grabacion : public testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        limpiarConsola();
        std::ofstream(salida()) << "una grabación anterior";
    }

    std::string salida() const { return carpeta_.file("g.mp4"); }
    bool hayArchivo() const { return std::filesystem::exists(salida()); }

    Pedido pedido(bool sistema = true, bool microfono = true) const {
        return {salida(), 1, 1280, 720, 30, 8'000'000, sistema, microfono, std::nullopt, 0.0f};
    }

    std::shared_ptr<Grabadora> empezar(const Pedido& p) {
        auto creada = Grabadora::crear(p);
        EXPECT_TRUE(creada.ok());
        if (!creada) return nullptr;
        creada.value()->empezar();
        return creada.value();
    }

    // Starts a recording and reads its "listo".
    std::shared_ptr<Grabadora> grabando(const Pedido& p) {
        auto g = empezar(p);
        auto listo = siguienteEvento();
        EXPECT_TRUE(listo && (*listo)["t"] == "listo") << (listo ? listo->dump() : "nothing");
        return g;
    }

    static void imagen(int64_t momento, platform::FrameStatus estado = platform::FrameStatus::complete) {
        platform::VideoSample muestra;
        muestra.image = std::make_shared<platform::PixelBuffer>();
        muestra.frameStatus = static_cast<int64_t>(estado);
        muestra.presentationTime = ns(momento);
        ASSERT_TRUE(sim::deliverSample(muestra));
        ASSERT_TRUE(sim::drainOutputQueue());
    }

    static int64_t framesDeSonido() {
        int64_t total = 0;
        for (const auto& trozo : sim::writerRecord().audioChunks) total += trozo.frameCount;
        return total;
    }

    // The last event, after which the recorder asked to end with `estado`.
    static Json ultimoEvento(int estado) {
        auto evento = siguienteEvento();
        EXPECT_TRUE(evento.has_value());
        EXPECT_EQ(esperarSalida(), estado);
        EXPECT_TRUE(salidaQuieta(Milliseconds(50))) << "a line after the last event";
        EXPECT_EQ(salidas().size(), 1u);
        return evento.value_or(Json());
    }

    testsupport::TempDir carpeta_;
};

TEST_F(Grabacion, ARecordingWithSoundReportsListoMixesOntoTheTimelineAndClosesTheFile) {
    auto g = grabando(pedido());
    auto config = sim::streamRecord().configuration;
    EXPECT_EQ(config.width, 1280);
    EXPECT_EQ(config.height, 720);
    EXPECT_EQ(platform::compare(config.minimumFrameInterval, {1, 30}), 0);
    EXPECT_EQ(config.queueDepth, 6);
    EXPECT_TRUE(config.showsCursor);
    EXPECT_TRUE(config.capturesAudio);
    EXPECT_EQ(config.sampleRate, 48000);
    EXPECT_EQ(config.channelCount, 2);
    EXPECT_TRUE(config.excludesCurrentProcessAudio);
    EXPECT_EQ(sim::microphoneSession().starts, 1);

    // Sound captured before the first picture is not used; sound is placed by the
    // time it was captured, whenever it arrives.
    sim::setHostTime(kInicio - kSegundo / 10);
    ASSERT_TRUE(sim::deliverSystemSoundFloats(std::vector<float>(2 * 4800, 0.5f)));
    ASSERT_TRUE(sim::drainSystemSound());
    sim::setHostTime(kInicio);
    imagen(kInicio);
    auto w = sim::writerRecord();
    EXPECT_EQ(w.startWritingCalls, 1);
    ASSERT_EQ(w.sessionStarts.size(), 1u);
    EXPECT_EQ(w.sessionStarts[0], ns(kInicio));

    // Half a second at a time: the queue holds at most 0.75 s.
    ASSERT_TRUE(sim::deliverSystemSoundFloats(std::vector<float>(2 * 24000, 0.25f)));
    ASSERT_TRUE(sim::drainSystemSound());
    sim::advanceHostTime(kSegundo / 2);
    ASSERT_TRUE(sim::waitFor([&] { return framesDeSonido() == 16800 - 2112; }));
    ASSERT_TRUE(sim::deliverSystemSoundFloats(std::vector<float>(2 * 24000, 0.25f)));
    ASSERT_TRUE(sim::drainSystemSound());
    sim::advanceHostTime(kSegundo / 2);
    // 0.85 s are due (the mix trails the clock by 0.15 s), from frame 2112 on.
    const int64_t debidas = 40800 - 2112;
    ASSERT_TRUE(sim::waitFor([&] { return framesDeSonido() == debidas; }));
    auto trozos = sim::writerRecord().audioChunks;
    EXPECT_EQ(trozos.front().presentationTime, ns(kInicio) + platform::MediaTime({2112, 48000}));
    EXPECT_FLOAT_EQ(trozos.front().samples.at(0), 0.25f);
    int64_t siguiente = 2112;
    for (const auto& trozo : trozos) {
        EXPECT_EQ(trozo.presentationTime, ns(kInicio) + platform::MediaTime({siguiente, 48000}));
        EXPECT_EQ(trozo.buffer->description->channelsPerFrame, 2u);
        siguiente += trozo.frameCount;
    }

    sim::advanceHostTime(kSegundo / 2);
    g->parar();
    // The last half second was captured before the stop and arrives after it: the file
    // waits for it instead of ending in silence.
    ASSERT_TRUE(sim::deliverSystemSound(
        sim::floatSampleBuffer(std::vector<float>(2 * 24000, 0.75f), 2, sim::SampleLayout::interleaved,
                               ns(kInicio + kSegundo))));
    auto fin = ultimoEvento(0);
    EXPECT_EQ(fin, (Json{{"t", "fin"},
                         {"motivo", ""},
                         {"microfonoMudo", true},
                         {"nombreMicrofono", sim::builtInMicrophone().localizedName},
                         {"gananciaMicrofono", 0.0}}));
    w = sim::writerRecord();
    // The last sound ends where the session ends: at the stop, without the latency.
    const platform::MediaTime parada = ns(kInicio + 3 * kSegundo / 2);
    ASSERT_EQ(w.sessionEnds.size(), 1u);
    EXPECT_EQ(w.sessionEnds[0], parada);
    EXPECT_FLOAT_EQ(w.audioChunks.back().samples.at(w.audioChunks.back().samples.size() - 1), 0.75f);
    EXPECT_EQ(framesDeSonido() + 2112, 72000);
    EXPECT_EQ(w.video.markedFinished, 1);
    EXPECT_EQ(w.audio.markedFinished, 1);
    EXPECT_EQ(sim::microphoneSession().stops, 1);
    EXPECT_EQ(sim::streamRecord().stops, 1);
}

TEST_F(Grabacion, TheWriterGetsTheRequestedTracksInRealTime) {
    grabando(pedido());
    auto w = sim::writerRecord();
    EXPECT_EQ(w.path, salida());
    ASSERT_TRUE(w.fragmentInterval);
    EXPECT_EQ(*w.fragmentInterval, (platform::MediaTime{2, 1}));
    ASSERT_TRUE(w.videoSettings);
    EXPECT_EQ(w.videoSettings->width, 1280);
    EXPECT_EQ(w.videoSettings->height, 720);
    EXPECT_EQ(w.videoSettings->averageBitRate, 8'000'000);
    EXPECT_EQ(w.videoSettings->maxKeyFrameIntervalDuration, 2);
    EXPECT_EQ(w.videoSettings->expectedSourceFrameRate, 30);
    EXPECT_EQ(w.videoSettings->profileLevel, platform::ProfileLevel::h264HighAutoLevel);
    EXPECT_FALSE(w.videoSettings->allowFrameReordering);
    ASSERT_TRUE(w.audioSettings);
    EXPECT_EQ(w.audioSettings->formatID, platform::kAudioFormatMPEG4AAC);
    EXPECT_EQ(w.audioSettings->sampleRate, 48000);
    EXPECT_EQ(w.audioSettings->numberOfChannels, 2);
    EXPECT_EQ(w.audioSettings->encoderBitRate, 160000);
    ASSERT_TRUE(w.audioSourceFormat);
    EXPECT_EQ(w.audioSourceFormat->formatFlags, 9u);
    EXPECT_EQ(w.audioSourceFormat->bytesPerFrame, 8u);
    EXPECT_TRUE(w.video.added && w.audio.added);
    EXPECT_EQ(w.video.expectsRealTime, true);
    EXPECT_EQ(w.audio.expectsRealTime, true);
}

TEST_F(Grabacion, WithoutAnySoundThereIsNoAudioTrack) {
    auto g = grabando(pedido(false, false));
    EXPECT_FALSE(sim::writerRecord().audio.made);
    EXPECT_FALSE(sim::streamRecord().configuration.capturesAudio);
    imagen(kInicio);
    sim::advanceHostTime(kSegundo);
    g->parar();
    auto fin = ultimoEvento(0);
    EXPECT_EQ(fin["microfonoMudo"], false);
    EXPECT_EQ(fin["nombreMicrofono"], "");
    EXPECT_TRUE(sim::writerRecord().audioChunks.empty());
}

TEST_F(Grabacion, ListoSaysWhyTheMicrophoneIsMissing) {
    struct Caso {
        const char* nombre;
        std::function<void()> guion;
        std::string sinMicrofono;
    };
    const std::vector<Caso> casos = {
        {"no permission", [] { sim::setMicrophoneAuthorization(platform::AuthorizationStatus::denied); },
         kSinPermisoMicrofono},
        {"no device",
         [] {
             sim::setAudioDevices({});
             sim::setDefaultAudioDevice(std::nullopt);
         },
         "no hay ningún micrófono"},
        {"device refused", [] { sim::setMicrophoneScript({.deviceError = error("dispositivo ocupado")}); },
         "dispositivo ocupado"},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        sim::reset();
        limpiarConsola();
        caso.guion();
        auto g = empezar(pedido(true, true));
        auto listo = siguienteEvento();
        ASSERT_TRUE(listo);
        EXPECT_EQ(*listo, (Json{{"t", "listo"},
                                {"sonido", true},
                                {"microfono", false},
                                {"sinSonido", ""},
                                {"sinMicrofono", caso.sinMicrofono},
                                {"nombreMicrofono", ""},
                                {"como", "ScreenCaptureKit a 1280x720"}}));
        // The system sound still has its track.
        EXPECT_TRUE(sim::writerRecord().audio.added);
        g->parar();
        ultimoEvento(0);
    }
}

TEST_F(Grabacion, WithoutSystemSoundTheScreenIsRecordedAndListoSaysWhy) {
    const std::string porQue = "No se puede escuchar el sonido del sistema: conexión rechazada";
    sim::setSystemAudioUnavailable(error(porQue));
    auto g = empezar(pedido(true, false));
    auto listo = siguienteEvento();
    ASSERT_TRUE(listo);
    EXPECT_EQ(*listo, (Json{{"t", "listo"},
                            {"sonido", false},
                            {"microfono", false},
                            {"sinSonido", porQue},
                            {"sinMicrofono", ""},
                            {"nombreMicrofono", ""},
                            {"como", "ScreenCaptureKit a 1280x720"}}));
    EXPECT_FALSE(sim::streamRecord().configuration.capturesAudio);
    EXPECT_FALSE(sim::writerRecord().audio.made);
    imagen(kInicio);
    g->parar();
    EXPECT_EQ(ultimoEvento(0)["motivo"], "");
    EXPECT_EQ(sim::writerRecord().frames.size(), 1u);
}

TEST_F(Grabacion, AMicrophoneThatGoesAwayLeavesALineAndTheRecordingGoesOn) {
    auto g = grabando(pedido(false, true));
    imagen(kInicio);
    ASSERT_TRUE(sim::disconnectMicrophone());
    ASSERT_TRUE(esperarErrores("micrófono: el micrófono se ha desconectado\n"));
    ASSERT_TRUE(sim::waitFor([] { return sim::microphoneSession().destroyed; }));
    // Silence stands in for the microphone from then on.
    sim::advanceHostTime(kSegundo);
    ASSERT_TRUE(sim::waitFor([] { return framesDeSonido() > 0; }));
    imagen(kInicio + kSegundo);
    g->parar();
    auto fin = ultimoEvento(0);
    EXPECT_EQ(fin["motivo"], "");
    EXPECT_EQ(fin["microfonoMudo"], true);
    EXPECT_EQ(errores(), "micrófono: el micrófono se ha desconectado\n");
}

TEST_F(Grabacion, ALoudMicrophoneIsNotMutedAndReportsItsGain) {
    auto g = grabando(pedido(false, true));
    imagen(kInicio);
    // One window at -30 dBFS lifts the automatic gain to 1.6 dB.
    ASSERT_TRUE(sim::deliverMicrophoneFloats(std::vector<float>(4800, 0.0316227766f)));
    ASSERT_TRUE(sim::drainMicrophone());
    g->parar();
    auto fin = ultimoEvento(0);
    EXPECT_EQ(fin["microfonoMudo"], false);
    EXPECT_NEAR(fin["gananciaMicrofono"].get<double>(), 1.6, 1e-4);
}

TEST_F(Grabacion, OnlyCompleteFramesInIncreasingTimeReachTheFile) {
    auto g = grabando(pedido(false, false));
    imagen(kInicio, platform::FrameStatus::idle);
    imagen(kInicio, platform::FrameStatus::blank);
    EXPECT_EQ(sim::writerRecord().startWritingCalls, 0) << "only a complete frame starts the file";
    imagen(kInicio + 10);
    imagen(kInicio + 10);
    imagen(kInicio + 5);
    imagen(kInicio + 20);
    std::vector<platform::MediaTime> escritas;
    for (const auto& f : sim::writerRecord().frames) escritas.push_back(f.presentationTime);
    EXPECT_EQ(escritas, (std::vector<platform::MediaTime>{ns(kInicio + 10), ns(kInicio + 20)}));
    sim::setInputReady(sim::InputKind::video, false);
    imagen(kInicio + 30);
    EXPECT_EQ(sim::writerRecord().frames.size(), 2u) << "a busy input drops the frame";
    g->parar();
    ultimoEvento(0);
}

TEST_F(Grabacion, AStalledClockIsWorkedOffInOneSecondChunks) {
    auto g = grabando(pedido(true, false));
    imagen(kInicio);
    sim::advanceHostTime(3 * kSegundo);
    const int64_t debidas = (3 * 48000 - 7200) - 2112;
    ASSERT_TRUE(sim::waitFor([&] { return framesDeSonido() == debidas; }));
    std::vector<int64_t> tamanos;
    for (const auto& trozo : sim::writerRecord().audioChunks) tamanos.push_back(trozo.frameCount);
    EXPECT_EQ(tamanos, (std::vector<int64_t>{48000, 48000, debidas - 96000}));
    g->parar();
    ultimoEvento(0);
}

// Every way a recording ends, and the one final event each leaves.
TEST_F(Grabacion, EveryStopPathEndsWithOneFinalEvent) {
    struct Caso {
        const char* nombre;
        bool conImagen;
        std::function<void(Grabadora&)> parar;
        Json fin;
        bool archivo;  // the writer's file is kept (closed), else deleted
    };
    const std::vector<Caso> casos = {
        {"stop before any picture", false, [](Grabadora& g) { g.parar(); },
         {{"t", "fin"}, {"motivo", "no llegó ninguna imagen de la pantalla"}, {"vacio", true}}, false},
        {"stop twice", true,
         [](Grabadora& g) {
             g.parar();
             g.parar();
         },
         {{"t", "fin"}, {"motivo", ""}}, true},
        {"stream stops by itself", true, [](Grabadora&) { sim::stopStreamByItself(error("pantalla apagada")); },
         {{"t", "fin"}, {"motivo", "se detuvo la captura de la pantalla: pantalla apagada"}}, true},
        {"stream stops before any picture", false,
         [](Grabadora&) { sim::stopStreamByItself(error("pantalla apagada")); },
         {{"t", "fin"}, {"motivo", "se detuvo la captura de la pantalla: pantalla apagada"}, {"vacio", true}}, false},
        {"writer fails while recording", true,
         [](Grabadora&) {
             platform::Error lleno = error("disco lleno", 28);
             lleno.underlying = std::make_shared<platform::Error>(error("ENOSPC", -5));
             sim::failWriterAtNextAppend(sim::InputKind::video, lleno);
             imagen(kInicio + kSegundo);
         },
         {{"t", "fin"}, {"motivo", "no se puede escribir el vídeo: disco lleno (-5)"}, {"vacio", true}}, false},
        {"writer fails while closing", true,
         [](Grabadora& g) {
             sim::setWriterScript({.holdFinish = true});
             g.parar();
             ASSERT_TRUE(sim::waitFor([] { return sim::writerRecord().finishCalls == 1; }));
             g.parar();
             sim::stopStreamByItself(error("tarde"));
             sim::releaseFinish(platform::WriterStatus::failed, error("sin sitio", 28));
         },
         {{"t", "fin"}, {"motivo", "no se pudo cerrar el vídeo: sin sitio (28)"}}, true},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        SetUp();
        auto g = grabando(pedido(false, false));
        if (caso.conImagen) imagen(kInicio);
        caso.parar(*g);
        Json fin = ultimoEvento(0);
        for (const auto& [clave, valor] : caso.fin.items()) EXPECT_EQ(fin[clave], valor) << clave;
        EXPECT_EQ(fin.contains("vacio"), caso.fin.contains("vacio"));
        if (!caso.fin.contains("vacio")) {
            EXPECT_TRUE(fin.contains("gananciaMicrofono"));
        }
        EXPECT_EQ(sim::writerRecord().finishCompletions, caso.archivo ? 1 : 0);
        // The scripted writer never creates the file: a kept one is the earlier file,
        // which the recorder deleted at the start either way.
        EXPECT_FALSE(hayArchivo());
    }
}

// Failures before the recording runs: one "error" event, no file, status 1.
TEST_F(Grabacion, AFailedStartEndsWithTheErrorEventAndNoFile) {
    struct Caso {
        const char* nombre;
        std::function<void()> guion;
        std::string motivo;
    };
    const std::vector<Caso> casos = {
        {"no content, no error", [] { sim::setContentAnswer({}); }, "no se puede ver la pantalla: sin permiso"},
        {"no content", [] { sim::setContentAnswer({std::nullopt, error("sin servidor X")}); },
         "no se puede ver la pantalla: sin servidor X"},
        {"no display", [] { sim::setContentAnswer({platform::ShareableContent{}, std::nullopt}); },
         "no se encuentra la pantalla"},
        {"screen output refused", [] { sim::setStreamScript({.addOutputError = error("no")}); },
         "no se puede capturar la pantalla: no"},
        {"sound output refused", [] { sim::setStreamScript({.addAudioOutputError = error("sin PulseAudio")}); },
         "no se puede capturar la pantalla: sin PulseAudio"},
        {"start refused", [] { sim::setStreamScript({.startError = error("ocupada")}); },
         "no se puede capturar la pantalla: ocupada"},
        {"writer cannot start", [] { sim::setWriterScript({.startError = error("solo lectura", 13)}); },
         "no se puede escribir el vídeo: solo lectura (13)"},
    };
    for (const auto& caso : casos) {
        SCOPED_TRACE(caso.nombre);
        SetUp();
        caso.guion();
        auto g = empezar(pedido());
        if (std::string(caso.nombre) == "writer cannot start") {
            EXPECT_EQ(siguienteEvento().value_or(Json())["t"], "listo");
            imagen(kInicio);
        }
        EXPECT_EQ(ultimoEvento(1), (Json{{"t", "error"}, {"motivo", caso.motivo}}));
        EXPECT_FALSE(hayArchivo());
    }
}

TEST_F(Grabacion, TheDisplayAskedForIsRecordedElseTheFirst) {
    platform::ShareableContent contenido;
    contenido.displays = {{5, 800, 600}, {7, 1920, 1080}};
    for (uint32_t pedida : {7u, 9u}) {
        SetUp();
        sim::setContentAnswer({contenido, std::nullopt});
        Pedido p = pedido(false, false);
        p.display = pedida;
        auto g = grabando(p);
        EXPECT_EQ(sim::streamRecord().filter.display.displayID, pedida == 7 ? 7u : 5u);
        g->parar();
        ultimoEvento(0);
    }
}

TEST_F(Grabacion, TheConstructorFailsWithoutAWriterOrAVideoTrack) {
    sim::setWriterScript({.createError = error("otra grabación escribe ahí")});
    auto sinEscritor = Grabadora::crear(pedido());
    ASSERT_FALSE(sinEscritor.ok());
    EXPECT_EQ(sinEscritor.error().description, "otra grabación escribe ahí");
    EXPECT_TRUE(hayArchivo()) << "a path the writer refuses (another recording's) is left alone";
    sim::setWriterScript({.refuseVideoInput = true});
    auto sinVideo = Grabadora::crear(pedido());
    ASSERT_FALSE(sinVideo.ok());
    EXPECT_EQ(sinVideo.error().description, "no se puede escribir el vídeo");
}

TEST_F(Grabacion, OnlyAFileOrALinkAtTheOutputPathIsDeleted) {
    const std::string enlace = carpeta_.file("enlace.mp4");
    const std::string destino = carpeta_.file("destino");
    std::ofstream(destino) << "x";
    std::filesystem::create_symlink(destino, enlace);
    const std::string tuberia = carpeta_.file("tuberia");
    ASSERT_EQ(::mkfifo(tuberia.c_str(), 0600), 0);
    const std::string directorio = carpeta_.file("dir");
    std::filesystem::create_directory(directorio);

    for (const std::string& ruta : {salida(), enlace, tuberia, directorio}) {
        Pedido p = pedido();
        p.salida = ruta;
        ASSERT_TRUE(Grabadora::crear(p).ok());
    }
    EXPECT_FALSE(std::filesystem::exists(salida()));
    EXPECT_FALSE(std::filesystem::is_symlink(enlace));
    EXPECT_TRUE(std::filesystem::exists(destino)) << "a link's target is not the recorder's to delete";
    EXPECT_TRUE(std::filesystem::is_fifo(tuberia));
    EXPECT_TRUE(std::filesystem::is_directory(directorio));
}

}  // namespace
}  // namespace zentrec
