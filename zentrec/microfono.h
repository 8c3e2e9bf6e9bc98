#pragma once
// Microphones: the list, the permission to use them, and the capture of one of them
// as 48 kHz mono floats.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_capture.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/media.h"

namespace zentrec {

// The audio inputs, in the platform's order.
std::vector<platform::AudioDevice> microfonos();

inline constexpr const char* kSinPermisoMicrofono = "Zentori no tiene permiso para usar el micrófono";

// Nothing when the process may capture sound; otherwise kSinPermisoMicrofono. When the
// user has not decided yet, asks and waits for the answer at most `espera`.
std::optional<std::string> permisoMicrofono(std::chrono::milliseconds espera = std::chrono::seconds(120));

// One open microphone. Its sound arrives on its own queue ("microfono") through
// alMuestras, with the host time its first sample was captured; a failure or a disconnection is reported once through alCerrarse, on a
// platform thread. Install both before empezar().
class Microfono : public std::enable_shared_from_this<Microfono> {
public:
    using Muestras = std::function<void(const std::vector<float>& muestras, platform::MediaTime inicio)>;
    using Cierre = std::function<void(const std::string& motivo)>;

    // Opens the device with `id`, else the first built-in one, else the default one.
    // Errors: domain "mic", 1 "no hay ningún micrófono" and 2 "no se puede abrir «…»",
    // or the platform's own refusal of the device.
    static platform::Result<std::shared_ptr<Microfono>> abrir(const std::optional<std::string>& id);
    Microfono(const Microfono&) = delete;
    Microfono& operator=(const Microfono&) = delete;

    const std::string& nombre() const { return nombre_; }
    void alMuestras(Muestras muestras);
    void alCerrarse(Cierre cierre);
    void empezar();
    void parar();

private:
    Microfono() = default;
    void entregar(const platform::AudioSampleBuffer& buffer);
    void cerrarse(const std::string& motivo);

    const platform::dispatch::Queue cola_ = platform::dispatch::Queue::serial("microfono");
    std::unique_ptr<platform::MicrophoneSession> sesion_;
    std::string nombre_;
    // The callbacks are installed from one thread and called from others.
    std::mutex callbacksLock_;
    Muestras alMuestras_;
    Cierre alCerrarse_;
};

}  // namespace zentrec
