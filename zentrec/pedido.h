#pragma once
// What the host asked to record.

#include <cstdint>
#include <optional>
#include <string>

namespace zentrec {

struct Pedido {
    std::string salida;               // absolute path of the MP4 file
    uint32_t display = 0;             // the display's ID
    int64_t ancho = 0;                // even, 2 to 8192
    int64_t alto = 0;                 // even, 2 to 8192
    int64_t fps = 0;                  // 1 to 60
    int64_t bitrate = 0;              // bits per second, 100000 to 100000000
    bool sistema = false;             // record the system sound
    bool microfono = false;           // record a microphone
    std::optional<std::string> micId; // none: the microphone chosen by default
    float vozDb = 0;                  // fixed microphone gain, 0 to 24 dB
};

}  // namespace zentrec
