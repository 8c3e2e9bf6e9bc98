// The whole blocker wired as the program runs it (reader thread, main queue, timer),
// on the scripted backend, with pipes for standard input and output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "platform/dispatch.h"
#include "tests/zentlock/banco.h"
#include "zentlock/programa.h"

namespace zentlock::prueba {
namespace {

using namespace std::chrono_literals;
namespace dispatch = platform::dispatch;

class Programa : public testing::Test {
protected:
    void SetUp() override {
        script().reset();
        ASSERT_EQ(pipe2(entrada_, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(salida_, O_CLOEXEC | O_NONBLOCK), 0);
    }
    void TearDown() override {
        // The reader thread must have posted its last work, and that work must have run,
        // before the blocker goes away.
        cerrarEntrada();
        EXPECT_TRUE(servirHasta([this] { return *terminados_ == salires_ + 1; }));
        proceso_.reset();
        ::close(entrada_[0]);
        ::close(salida_[0]);
        ::close(salida_[1]);
        script().reset();
    }

    static ScriptedInput& script() { return ScriptedInput::shared(); }

    void arrancarPrograma() {
        auto terminados = terminados_;
        proceso_ = arrancar(Arranque{.entrada = entrada_[0], .salida = salida_[1], .terminar = [terminados] { ++*terminados; }});
    }

    void escribir(const std::string& texto) { ASSERT_EQ(write(entrada_[1], texto.data(), texto.size()), ssize_t(texto.size())); }
    void cerrarEntrada() {
        if (entrada_[1] >= 0) ::close(entrada_[1]);
        entrada_[1] = -1;
    }

    bool servirHasta(const std::function<bool()>& hecho) {
        return dispatch::serveMainQueueUntil(hecho, std::chrono::seconds(10));
    }

    // Serves the main queue until `esperado` has been written in full.
    std::string leerHasta(const std::string& esperado) {
        servirHasta([&] {
            char bloque[256];
            ssize_t n;
            while ((n = read(salida_[0], bloque, sizeof bloque)) > 0) leido_.append(bloque, size_t(n));
            return leido_.size() >= esperado.size();
        });
        return std::exchange(leido_, {});
    }

    int entrada_[2] = {-1, -1};
    int salida_[2] = {-1, -1};
    std::string leido_;
    std::shared_ptr<std::atomic<int>> terminados_ = std::make_shared<std::atomic<int>>(0);
    int salires_ = 0;  // "salir" lines the test sends; the end of input ends once more
    std::unique_ptr<Proceso> proceso_;
};

TEST_F(Programa, CommandsEventsAndEndOfInput) {
    arrancarPrograma();
    escribir("  bloquear\t\nBloquear\n");
    EXPECT_EQ(leerHasta("estado\t1\tganchos\n"), "estado\t1\tganchos\n");

    // Three local Escape presses, delivered on the main queue as the tap does.
    for (int i = 0; i < 3; ++i) {
        dispatch::Queue::main().async([] { script().post(input::eventType::keyDown, tecla(input::keyCodeEscape)); });
    }
    EXPECT_EQ(leerHasta("estado\t0\tescape\n"), "estado\t0\tescape\n");

    escribir("bloquear\n");
    EXPECT_EQ(leerHasta("estado\t1\tganchos\n"), "estado\t1\tganchos\n");
    cerrarEntrada();
    EXPECT_EQ(leerHasta("estado\t0\tsalir\n"), "estado\t0\tsalir\n");
    EXPECT_TRUE(servirHasta([this] { return *terminados_ == 1; }));
}

TEST_F(Programa, SalirEndsBeforeLaterLines) {
    arrancarPrograma();
    salires_ = 1;
    escribir("bloquear\nsalir\n");
    EXPECT_EQ(leerHasta("estado\t1\tganchos\nestado\t0\tsalir\n"), "estado\t1\tganchos\nestado\t0\tsalir\n");
    EXPECT_TRUE(servirHasta([this] { return terminados_->load() == 1; }));
}

TEST_F(Programa, NoTapStillServes) {
    script().refuseTaps(input::TapLocation::hid);
    script().refuseTaps(input::TapLocation::session);
    arrancarPrograma();
    const std::string error = "error\tsin el permiso de Accesibilidad no se puede bloquear\n";
    escribir("bloquear\nsoltar\n");
    EXPECT_EQ(leerHasta(error + error + "estado\t0\tpedido\n"), error + error + "estado\t0\tpedido\n");
}

}  // namespace
}  // namespace zentlock::prueba
