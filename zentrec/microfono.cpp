#include "zentrec/microfono.h"

#include <condition_variable>

#include "platform/system.h"
#include "zentrec/muestras.h"
#include "zentrec/salida.h"

namespace zentrec {

std::vector<platform::AudioDevice> microfonos() {
    using platform::AudioDeviceType;
    if (platform::runningSystemAtLeast({14, 0, 0}))
        return platform::discoverAudioDevices({AudioDeviceType::microphone});
    return platform::discoverAudioDevices({AudioDeviceType::builtInMicrophone, AudioDeviceType::externalUnknown});
}

std::optional<std::string> permisoMicrofono(std::chrono::milliseconds espera) {
    switch (platform::microphoneAuthorizationStatus()) {
        case platform::AuthorizationStatus::authorized:
            return std::nullopt;
        case platform::AuthorizationStatus::restricted:
        case platform::AuthorizationStatus::denied:
            return kSinPermisoMicrofono;
        case platform::AuthorizationStatus::notDetermined:
            break;
    }
    // Shared with the completion, which may come after the wait has given up.
    struct Respuesta {
        std::mutex lock;
        std::condition_variable llego;
        std::optional<bool> concedido;
    };
    auto respuesta = std::make_shared<Respuesta>();
    platform::requestMicrophoneAccess([respuesta](bool concedido) {
        std::scoped_lock lock(respuesta->lock);
        respuesta->concedido = concedido;
        respuesta->llego.notify_all();
    });
    std::unique_lock lock(respuesta->lock);
    respuesta->llego.wait_for(lock, espera, [&] { return respuesta->concedido.has_value(); });
    if (respuesta->concedido.value_or(false)) return std::nullopt;
    return kSinPermisoMicrofono;
}

namespace {

platform::Error errorMic(int codigo, std::string mensaje) {
    return {"mic", codigo, std::move(mensaje), nullptr};
}

std::optional<platform::AudioDevice> elegir(const std::optional<std::string>& id) {
    const std::vector<platform::AudioDevice> lista = microfonos();
    if (id) {
        for (const auto& device : lista)
            if (device.uniqueID == *id) return device;
    }
    for (const auto& device : lista)
        if (device.transportType == platform::kTransportTypeBuiltIn) return device;
    return platform::defaultAudioInputDevice();
}

}  // namespace

platform::Result<std::shared_ptr<Microfono>> Microfono::abrir(const std::optional<std::string>& id) {
    std::optional<platform::AudioDevice> device = elegir(id);
    if (!device) return errorMic(1, "no hay ningún micrófono");

    std::shared_ptr<Microfono> microfono(new Microfono());
    microfono->nombre_ = device->localizedName;
    // 48 kHz mono 32-bit float, interleaved, little-endian.
    platform::MicrophoneSettings formato{platform::kAudioFormatLinearPCM, tasa, 1, 32, true, false, false};
    std::weak_ptr<Microfono> debil = microfono;
    platform::MicrophoneHandlers handlers{
        .samples = [debil](std::shared_ptr<const platform::AudioSampleBuffer> buffer) {
            if (auto yo = debil.lock(); yo && buffer) yo->entregar(*buffer);
        },
        .runtimeError = [debil](std::optional<platform::Error> error) {
            if (auto yo = debil.lock()) yo->cerrarse(error ? error->description : "el micrófono se ha cerrado");
        },
        .disconnected = [debil] {
            if (auto yo = debil.lock()) yo->cerrarse("el micrófono se ha desconectado");
        },
    };
    platform::MicrophoneOpening apertura = platform::openMicrophone(*device, formato, microfono->cola_, handlers);
    if (apertura.deviceError) return *apertura.deviceError;
    if (!apertura.session) return errorMic(2, "no se puede abrir «" + microfono->nombre_ + "»");
    microfono->sesion_ = std::move(apertura.session);
    return microfono;
}

void Microfono::alMuestras(Muestras muestras) {
    std::scoped_lock lock(callbacksLock_);
    alMuestras_ = std::move(muestras);
}

void Microfono::alCerrarse(Cierre cierre) {
    std::scoped_lock lock(callbacksLock_);
    alCerrarse_ = std::move(cierre);
}

void Microfono::empezar() {
    sesion_->startRunning();
}

void Microfono::parar() {
    sesion_->stopRunning();
}

void Microfono::entregar(const platform::AudioSampleBuffer& buffer) {
    Muestras destino;
    {
        std::scoped_lock lock(callbacksLock_);
        destino = alMuestras_;
    }
    if (!destino) return;
    if (auto floats = muestras(buffer, 1)) destino(*floats, buffer.presentationTime);
}

void Microfono::cerrarse(const std::string& motivo) {
    Cierre destino;
    {
        std::scoped_lock lock(callbacksLock_);
        destino = alCerrarse_;
    }
    if (destino) destino(motivo);
}

}  // namespace zentrec
