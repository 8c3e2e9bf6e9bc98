// Event lines on standard output: one compact JSON object per line, whole even when
// several threads write at once, and never lost to bad text or a slow reader.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "zentrec/salida.h"

namespace zentrec {
namespace {

// Points the recorder's standard output at a pipe and collects everything written to
// it until the test ends.
class SalidaEnTubo {
public:
    SalidaEnTubo() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        lectura_ = fds[0];
        escritura_ = fds[1];
        anterior_ = proceso().salida;
        proceso().salida = escritura_;
        lector_ = std::async(std::launch::async, [fd = lectura_] {
            std::string todo;
            char bloque[4096];
            for (ssize_t n; (n = ::read(fd, bloque, sizeof bloque)) > 0;) todo.append(bloque, static_cast<size_t>(n));
            return todo;
        });
    }
    ~SalidaEnTubo() {
        if (lector_.valid()) todo();
        ::close(lectura_);
    }

    std::string todo() {
        proceso().salida = anterior_;
        ::close(escritura_);
        return lector_.get();
    }

private:
    int lectura_ = -1, escritura_ = -1, anterior_ = 1;
    std::future<std::string> lector_;
};

std::vector<std::string> lineas(const std::string& texto) {
    std::vector<std::string> resultado;
    std::istringstream in(texto);
    for (std::string linea; std::getline(in, linea);) resultado.push_back(linea);
    return resultado;
}

TEST(Emitir, OneCompactLine) {
    SalidaEnTubo tubo;
    emitir({{"t", "nivel"}, {"db", -20.5}});
    emitir({{"microfonos", Evento::array({{{"id", "a b"}, {"interno", 1}, {"predeterminado", true}}})},
            {"sugerido", ""}});
    EXPECT_EQ(tubo.todo(),
              "{\"db\":-20.5,\"t\":\"nivel\"}\n"
              "{\"microfonos\":[{\"id\":\"a b\",\"interno\":1,\"predeterminado\":true}],\"sugerido\":\"\"}\n");
}

TEST(Emitir, InvalidUtf8IsReplacedNotDropped) {
    SalidaEnTubo tubo;
    emitir({{"t", "fin"}, {"motivo", "no se puede abrir \xAB\xFFmic\xC3"}});
    EXPECT_EQ(tubo.todo(), "{\"motivo\":\"no se puede abrir \xEF\xBF\xBD\xEF\xBF\xBDmic\xEF\xBF\xBD\",\"t\":\"fin\"}\n");
}

TEST(Emitir, NonFiniteNumbersDropTheWholeEvent) {
    SalidaEnTubo tubo;
    emitir({{"t", "nivel"}, {"db", std::nan("")}});
    emitir({{"t", "nivel"}, {"db", -INFINITY}});
    emitir({{"t", "fin"}, {"pistas", Evento::array({{{"db", INFINITY}}})}});
    emitir({{"t", "nivel"}, {"db", -3.5}});
    EXPECT_EQ(tubo.todo(), "{\"db\":-3.5,\"t\":\"nivel\"}\n");
}

TEST(Emitir, ConcurrentEventsComeOutAsWholeLines) {
    // Each line is larger than what a pipe writes atomically.
    const std::string largo(6000, 'a'), otro(7000, 'b');
    constexpr int kPorHilo = 300;
    SalidaEnTubo tubo;
    auto hilo = [](const std::string& texto) {
        return std::thread([&texto] {
            for (int i = 0; i < kPorHilo; ++i) emitir({{"t", "fin"}, {"motivo", texto}, {"n", i}});
        });
    };
    std::thread uno = hilo(largo), dos = hilo(otro);
    uno.join();
    dos.join();
    auto salida = lineas(tubo.todo());
    ASSERT_EQ(salida.size(), 2u * kPorHilo);
    std::set<std::pair<std::string, int>> vistas;
    for (const std::string& linea : salida) {
        Evento evento = Evento::parse(linea, nullptr, false);
        ASSERT_FALSE(evento.is_discarded()) << linea.substr(0, 80);
        vistas.emplace(evento["motivo"].get<std::string>().substr(0, 1), evento["n"].get<int>());
    }
    EXPECT_EQ(vistas.size(), 2u * kPorHilo);
}

TEST(EscribirTodo, ContinuesAfterPartialWritesToAFullNonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
    std::string datos(1 << 20, '\0');
    for (size_t i = 0; i < datos.size(); ++i) datos[i] = static_cast<char>(i * 7 + i / 251);
    // A slow reader: small reads, one at a time.
    auto lector = std::async(std::launch::async, [fd = fds[0]] {
        std::string todo;
        char bloque[1000];
        for (ssize_t n; (n = ::read(fd, bloque, sizeof bloque)) > 0;) {
            todo.append(bloque, static_cast<size_t>(n));
            std::this_thread::yield();
        }
        return todo;
    });
    EXPECT_TRUE(escribirTodo(fds[1], datos));
    ::close(fds[1]);
    EXPECT_TRUE(lector.get() == datos);
    ::close(fds[0]);
}

TEST(EscribirTodo, GivesUpWhenTheReaderIsGone) {
    std::signal(SIGPIPE, SIG_IGN);  // as the program does
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    EXPECT_FALSE(escribirTodo(fds[1], "{\"t\":\"fin\"}\n"));
    ::close(fds[1]);
}

TEST(Porque, DescriptionAndTheDeepestCode) {
    EXPECT_EQ(porque(std::nullopt), "");
    platform::Error error{"mic", 2, "no se puede abrir «USB»", nullptr};
    EXPECT_EQ(porque(error), "no se puede abrir «USB» (2)");
    error.underlying = std::make_shared<platform::Error>(platform::Error{"pulse", -11, "sin servidor", nullptr});
    EXPECT_EQ(porque(error), "no se puede abrir «USB» (-11)");
}

}  // namespace
}  // namespace zentrec
