#include "tests/zentrec/e2e/arnes.h"

#include <cmath>

namespace zentrec::e2e {

std::vector<std::string> argumentosGrabar(const std::string& salida, const Pedido& p) {
    return {testsupport::binary("zentrec"), "--grabar", salida, std::to_string(p.display), std::to_string(p.ancho),
            std::to_string(p.alto), std::to_string(p.fps), std::to_string(p.bitrate), p.sistema ? "1" : "0",
            p.mic ? "1" : "0", p.micId, p.vozDb};
}

std::map<std::string, std::string> entorno(const testsupport::Xvfb* x, const testsupport::SoundServer* sonido) {
    return {{"DISPLAY", x ? x->display() : ""}, {"PULSE_SERVER", sonido ? sonido->address() : ""}};
}

std::unique_ptr<testsupport::Child> lanzar(std::vector<std::string> args, std::map<std::string, std::string> env,
                                           testsupport::Limits limites) {
    return testsupport::Child::spawn(std::move(args), std::move(env), {}, limites);
}

std::optional<json> evento(testsupport::Child& hijo, std::chrono::milliseconds limite, std::string* texto) {
    auto linea = hijo.readLine(limite);
    if (!linea) return std::nullopt;
    if (texto) *texto = *linea;
    auto valor = json::parse(*linea, nullptr, false);
    if (valor.is_discarded()) return std::nullopt;
    return valor;
}

std::vector<json> eventosHastaElFinal(testsupport::Child& hijo, std::chrono::milliseconds limite) {
    std::vector<json> todos;
    const auto hasta = Clock::now() + limite;
    for (;;) {
        const auto queda = std::chrono::duration_cast<std::chrono::milliseconds>(hasta - Clock::now());
        if (queda.count() <= 0) break;
        std::string texto;
        auto uno = evento(hijo, queda, &texto);
        if (uno) {
            todos.push_back(*uno);
        } else if (!texto.empty()) {
            todos.push_back(json{{"no es JSON", texto}});
        } else {
            break;
        }
    }
    return todos;
}

double segundosDesde(Clock::time_point desde) { return std::chrono::duration<double>(Clock::now() - desde).count(); }

void Escritorio::SetUp() {
    x_ = testsupport::Xvfb::start(tamanoPantalla_);
    ASSERT_TRUE(x_) << "Xvfb did not start";
    sonido_ = testsupport::SoundServer::start();
    ASSERT_TRUE(sonido_) << "the sound server did not start";
    pantalla_ = testsupport::XScreen::open(x_->display());
    ASSERT_TRUE(pantalla_);
}

std::unique_ptr<testsupport::Child> Escritorio::grabar(const Pedido& pedido, testsupport::Limits limites) {
    return lanzar(argumentosGrabar(salida_, pedido), entorno(x_.get(), sonido_.get()), limites);
}

std::unique_ptr<testsupport::Child> Escritorio::animar(int rectangulos) {
    return x_->animate(rectangulos);
}

std::unique_ptr<testsupport::Child> Escritorio::grabarHastaListo(const Pedido& pedido, json& listo,
                                                                 Clock::time_point& inicio) {
    auto hijo = grabar(pedido);
    if (!hijo) return nullptr;
    auto primero = evento(*hijo, 15s);
    inicio = Clock::now();
    if (!primero || primero->value("t", "") != "listo") {
        ADD_FAILURE() << "no \"listo\": " << (primero ? primero->dump() : "nothing") << "\n" << hijo->stderrText();
        return nullptr;
    }
    listo = *primero;
    return hijo;
}

float tonoDeMicrofono(int64_t n) {
    return static_cast<float>(kTonoMicrofono * std::sin(2 * M_PI * kTonoMicrofonoHz * static_cast<double>(n) / 48000));
}

}  // namespace zentrec::e2e
