#pragma once
// The recorder run as the host runs it: the real program, with a private X server and
// a private sound server (PulseAudio or PipeWire, as the test runner chose), its
// events read line by line from standard output.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/sound_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_screen.h"
#include "tests/support/xvfb.h"

namespace zentrec::e2e {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What the host asks "--grabar" for.
struct Pedido {
    int display = 1;
    int ancho = 640, alto = 360, fps = 30;
    long bitrate = 2'000'000;
    bool sistema = true, mic = true;
    std::string micId = "-";
    std::string vozDb = "0";
};

std::vector<std::string> argumentosGrabar(const std::string& salida, const Pedido& pedido);

// The recorder's environment: only DISPLAY and PULSE_SERVER say where it runs; an
// absent server leaves the variable unset.
std::map<std::string, std::string> entorno(const testsupport::Xvfb* x, const testsupport::SoundServer* sonido);

std::unique_ptr<testsupport::Child> lanzar(std::vector<std::string> args, std::map<std::string, std::string> env,
                                           testsupport::Limits limites = {});

// The next line as JSON; nullopt on timeout, end of output, or a line that is not JSON
// (the line is then in `texto`).
std::optional<json> evento(testsupport::Child& hijo, std::chrono::milliseconds limite = 10s,
                           std::string* texto = nullptr);

// Every event until the recorder closes its standard output.
std::vector<json> eventosHastaElFinal(testsupport::Child& hijo, std::chrono::milliseconds limite = 30s);

// Seconds since `desde`.
double segundosDesde(Clock::time_point desde);

// A private X server (1280x720 unless the test says otherwise) whose root window the test paints, a private sound
// server, and a folder for the recording.
class Escritorio : public ::testing::Test {
protected:
    void SetUp() override;

    std::unique_ptr<testsupport::Child> grabar(const Pedido& pedido = {}, testsupport::Limits limites = {});
    // Moving content on the whole screen until the returned child is destroyed.
    std::unique_ptr<testsupport::Child> animar(int rectangulos = 0);
    // Starts a recording and waits for "listo"; the moment it came in `inicio`.
    std::unique_ptr<testsupport::Child> grabarHastaListo(const Pedido& pedido, json& listo, Clock::time_point& inicio);

    // The X screen's size and depth, as Xvfb takes it; a test may change it before SetUp.
    std::string tamanoPantalla_ = "1280x720x24";
    std::unique_ptr<testsupport::Xvfb> x_;
    std::unique_ptr<testsupport::SoundServer> sonido_;
    std::unique_ptr<testsupport::XScreen> pantalla_;
    testsupport::TempDir carpeta_;
    std::string salida_ = carpeta_.file("grabación.mp4");
};

// A steady 0.2 sine on the microphone (about -17 dBFS, loud enough that the automatic
// gain stays at 0 dB), or silence.
float tonoDeMicrofono(int64_t n);
constexpr double kTonoMicrofonoHz = 1000, kTonoMicrofono = 0.2;

}  // namespace zentrec::e2e
