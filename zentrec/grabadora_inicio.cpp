// The start of a recording: microphone, sound track, capture stream, "listo" and the
// mixing clock; then what the capture delivers.

#include <chrono>

#include "platform/system.h"
#include "zentrec/grabadora.h"
#include "zentrec/muestras.h"
#include "zentrec/salida.h"

namespace zentrec {

namespace dispatch = platform::dispatch;

namespace {

bool sonidoDelSistemaDisponible() {
    return platform::runningSystemAtLeast({13, 0, 0});
}

}  // namespace

void Grabadora::empezar() {
    if (p_.microfono) abrirMicrofono();
    if (p_.sistema) {
        if (!sonidoDelSistemaDisponible()) {
            sinSistema_ = "hace falta macOS 13 o posterior";
        } else if (auto sinSonido = platform::preflightSystemAudioCapture()) {
            // Like a missing microphone: the picture is recorded without it.
            sinSistema_ = sinSonido->description;
        } else {
            conSistema_ = true;
        }
    }
    if (conSistema_ || conMic_) prepararAudio();

    std::weak_ptr<Grabadora> debil = weak_from_this();
    platform::getShareableContent(false, true, [debil](std::optional<platform::ShareableContent> contenido,
                                                       std::optional<platform::Error> error) {
        auto yo = debil.lock();
        if (!yo) return;
        // From here on every step of the start runs on the writer's queue, in order with
        // the frames and the stop paths.
        yo->colaEscritor_.async([yo, contenido = std::move(contenido), error = std::move(error)] {
            yo->contenidoRecibido(contenido, error);
        });
    });
}

void Grabadora::abrirMicrofono() {
    if (auto sinPermiso = permisoMicrofono()) {
        sinMic_ = *sinPermiso;
        return;
    }
    auto abierto = Microfono::abrir(p_.micId);
    if (!abierto) {
        sinMic_ = abierto.error().description;
        return;
    }
    mic_ = abierto.value();
    std::weak_ptr<Grabadora> debil = weak_from_this();
    mic_->alMuestras([debil](const std::vector<float>& muestras, platform::MediaTime inicio) {
        if (auto yo = debil.lock()) yo->muestrasDelMicrofono(muestras, inicio);
    });
    mic_->alCerrarse([debil](const std::string& motivo) {
        if (auto yo = debil.lock()) {
            yo->colaEscritor_.async([debil, motivo] {
                if (auto yo = debil.lock()) yo->microfonoCerrado(motivo);
            });
        }
    });
    nombreMic_ = mic_->nombre();
    conMic_ = true;
}

void Grabadora::prepararAudio() {
    // What the mixer hands over: 48 kHz stereo, interleaved 32-bit float.
    formatoAudio_ = platform::AudioStreamDescription{
        .sampleRate = tasa,
        .formatID = platform::kAudioFormatLinearPCM,
        .formatFlags = platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked,
        .bytesPerPacket = 8,
        .framesPerPacket = 1,
        .bytesPerFrame = 8,
        .channelsPerFrame = 2,
        .bitsPerChannel = 32,
    };
    auto audio = escritor_->makeAudioInput({platform::kAudioFormatMPEG4AAC, tasa, 2, 160000}, *formatoAudio_);
    if (!audio) return;
    audio->setExpectsMediaDataInRealTime(true);
    // A writer that takes no sound track still records the picture, without a word.
    if (escritor_->canAddInput(*audio)) {
        escritor_->addInput(audio);
        audio_ = std::move(audio);
    }
}

bool Grabadora::conAudioDelSistema() const {
    return conSistema_ && sonidoDelSistemaDisponible();
}

platform::StreamConfiguration Grabadora::configuracion() const {
    platform::StreamConfiguration c;
    c.width = p_.ancho;
    c.height = p_.alto;
    c.minimumFrameInterval = {1, static_cast<int32_t>(p_.fps)};
    c.pixelFormat = platform::kPixelFormat420v;
    c.showsCursor = true;
    c.queueDepth = 6;
    if (conAudioDelSistema()) {
        c.capturesAudio = true;
        c.sampleRate = static_cast<int>(tasa);
        c.channelCount = 2;
        c.excludesCurrentProcessAudio = true;
    }
    return c;
}

void Grabadora::contenidoRecibido(std::optional<platform::ShareableContent> contenido,
                                  std::optional<platform::Error> error) {
    // A recording stopped while the content was on its way has nothing left to start.
    if (parando_) return;
    if (!contenido) return fallar("no se puede ver la pantalla: " + (error ? error->description : "sin permiso"));
    if (contenido->displays.empty()) return fallar("no se encuentra la pantalla");
    platform::Display pantalla = contenido->displays.front();
    for (const platform::Display& d : contenido->displays) {
        if (d.displayID == p_.display) {
            pantalla = d;
            break;
        }
    }

    std::weak_ptr<Grabadora> debil = weak_from_this();
    auto flujo = platform::createCaptureStream(platform::ContentFilter{pantalla}, configuracion(),
                                               [debil](const platform::Error& error) {
                                                   if (auto yo = debil.lock()) yo->capturaDetenida(error);
                                               });
    auto agregado = flujo->addStreamOutput(
        platform::StreamOutputType::screen, colaEscritor_,
        [debil](std::shared_ptr<const platform::VideoSample> muestra, platform::StreamOutputType tipo) {
            auto yo = debil.lock();
            if (yo && muestra && tipo == platform::StreamOutputType::screen) yo->imagenRecibida(muestra);
        });
    if (!agregado && conAudioDelSistema()) {
        agregado = flujo->addAudioOutput(colaSonido_, [debil](std::shared_ptr<const platform::AudioSampleBuffer> b) {
            auto yo = debil.lock();
            if (yo && b) yo->sonidoRecibido(*b);
        });
    }
    if (agregado) return fallar("no se puede capturar la pantalla: " + agregado->description);

    flujo_ = std::move(flujo);
    flujo_->startCapture([debil](std::optional<platform::Error> error) {
        if (auto yo = debil.lock()) {
            yo->colaEscritor_.async([yo, error = std::move(error)] { yo->capturaEmpezada(error); });
        }
    });
}

void Grabadora::capturaEmpezada(std::optional<platform::Error> error) {
    // Frames may come before the start completes, and a stop with them: then the file
    // is being finished, and neither the microphone nor the clock may start again.
    if (parando_) return;
    if (error) return fallar("no se puede capturar la pantalla: " + error->description);
    if (mic_) mic_->empezar();
    emitir({
        {"t", "listo"},
        {"sonido", conSistema_},
        {"microfono", conMic_},
        {"sinSonido", sinSistema_},
        {"sinMicrofono", sinMic_},
        {"nombreMicrofono", nombreMic_},
        {"como", "ScreenCaptureKit a " + std::to_string(p_.ancho) + "x" + std::to_string(p_.alto)},
    });
    std::weak_ptr<Grabadora> debil = weak_from_this();
    reloj_ = dispatch::Timer::create(colaEscritor_, std::chrono::milliseconds(20), std::chrono::milliseconds(20),
                                     dispatch::Nanoseconds(0), [debil] {
                                         if (auto yo = debil.lock()) yo->mezclar(std::nullopt);
                                     });
}

void Grabadora::microfonoCerrado(const std::string& motivo) {
    avisar("micrófono: " + motivo);
    // The recording goes on; from now on the microphone adds silence.
    mic_.reset();
}

void Grabadora::sonidoRecibido(const platform::AudioSampleBuffer& buffer) {
    if (!sonidoDelSistemaDisponible()) return;
    auto estereo = muestras(buffer, 2);
    if (!estereo) return;
    mezclador_.agregarSistema(*estereo, buffer.presentationTime);
}

void Grabadora::imagenRecibida(const std::shared_ptr<const platform::VideoSample>& muestra) {
    if (parando_ || !muestra->valid) return;
    const auto* estado = muestra->frameStatus ? std::get_if<int64_t>(&*muestra->frameStatus) : nullptr;
    if (!estado || *estado != static_cast<int64_t>(platform::FrameStatus::complete)) return;
    const platform::MediaTime t = muestra->presentationTime;

    if (!t0_) {
        if (!escritor_->startWriting()) return fallar("no se puede escribir el vídeo: " + porque(escritor_->error()));
        escritor_->startSession(t);
        t0_ = t;
        // Sound is placed by its own time from here on: what was captured after this
        // picture, even if it arrived before it was handled, plays with it.
        mezclador_.empezarLinea(t);
    }

    if (video_->readyForMoreMediaData() && (!ultimoVideo_.valid() || t > ultimoVideo_)) {
        if (video_->append(muestra)) ultimoVideo_ = t;
    }
    if (escritor_->status() == platform::WriterStatus::failed)
        terminar("no se puede escribir el vídeo: " + porque(escritor_->error()));
}

}  // namespace zentrec
