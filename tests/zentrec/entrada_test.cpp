// The recording's standard input: the line "parar", alone but for spaces, stops it;
// so does the end of input. Lines can be of any length and arrive in any pieces.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <type_traits>

#include "zentrec/entrada.h"

namespace zentrec {
namespace {

struct Caso {
    std::string entrada;
    bool para;
};

// Whether the detector stops on `entrada` (at a line end or at the end of input) when
// fed in pieces of `trozo` bytes.
bool detiene(const std::string& entrada, size_t trozo) {
    DetectorParar detector;
    for (size_t at = 0; at < entrada.size(); at += trozo) {
        bool parar = false;
        detector.leer(std::string_view(entrada).substr(at, trozo), parar);
        if (parar) return true;
    }
    return detector.finDeEntrada();
}

const Caso kCasos[] = {
    {"parar\n", true},
    {"parar", true},
    {"  parar  \n", true},
    {"\tparar\t\n", true},
    {"parar\r\n", true},
    {"\xC2\xA0parar\xC2\xA0\r\n", true},        // no-break space
    {"\xE3\x80\x80parar\xE3\x80\x80\n", true},  // ideographic space
    {"\xE2\x80\xAF\xE1\x9A\x80parar\xE2\x80\x8A\n", true},
    {"hola\n\nparar\n", true},
    {"Parar\n", false},
    {"PARAR\n", false},
    {"parar ya\n", false},
    {"par ar\n", false},
    {"pararr\n", false},
    {"xparar\n", false},
    {"parar\r", false},  // a carriage return that ends no line is part of it
    {"parar\rx\n", false},
    {"\xE2\x80\x8Bparar\n", false},  // zero-width space is not a space separator
    {"parar\v\n", false},
    {"\xC2parar\n", false},
    {"parar\xE2\x80\n", false},
    {"", false},
    {"\n\n", false},
};

TEST(DetectorParar, TheLineParar) {
    for (const Caso& c : kCasos) {
        for (size_t trozo : {1u, 2u, 3u, 4096u}) {
            EXPECT_EQ(detiene(c.entrada, trozo), c.para) << '"' << c.entrada << "\" in pieces of " << trozo;
        }
    }
}

// Runs esperarParar on the read end of a pipe while `escribir` feeds the write end.
bool esperarEn(const std::function<void(int fd)>& escribir, bool noBloqueante = false) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    if (noBloqueante) {
        EXPECT_EQ(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
    }
    auto resultado = std::async(std::launch::async, [fd = fds[0]] { return esperarParar(fd); });
    escribir(fds[1]);
    bool parar = resultado.get();
    ::close(fds[0]);
    ::close(fds[1]);
    return parar;
}

void escribir(int fd, std::string_view texto) {
    while (!texto.empty()) {
        ssize_t n = ::write(fd, texto.data(), texto.size());
        ASSERT_GT(n, 0);
        texto.remove_prefix(static_cast<size_t>(n));
    }
}

TEST(EsperarParar, AnswersAtTheLineWithoutWaitingForTheEnd) {
    // The write end stays open until the answer came.
    EXPECT_TRUE(esperarEn([](int fd) { escribir(fd, "estado\r\n\tparar\xC2\xA0\r\n"); }));
}

TEST(EsperarParar, EndOfInputStops) {
    EXPECT_FALSE(esperarEn([](int fd) { ::close(fd); }));
    EXPECT_FALSE(esperarEn([](int fd) {
        escribir(fd, "parar ya\nPARAR\n");
        ::close(fd);
    }));
    EXPECT_TRUE(esperarEn([](int fd) {
        escribir(fd, "  parar");
        ::close(fd);
    }));
}

TEST(EsperarParar, TenMegabyteLineThenParar) {
    // Nothing the detector holds can own memory, so a line without end costs none.
    static_assert(std::is_trivially_copyable_v<DetectorParar>);
    EXPECT_TRUE(esperarEn([](int fd) {
        escribir(fd, std::string(10 << 20, 'x'));
        escribir(fd, "\nparar\n");
    }));
}

TEST(EsperarParar, NonBlockingInputIsWaitedFor) {
    EXPECT_TRUE(esperarEn(
        [](int fd) {
            std::this_thread::yield();
            escribir(fd, "hola\n");
            std::this_thread::yield();
            escribir(fd, "parar\n");
        },
        true));
}

TEST(DescartarEntrada, ReturnsOnlyAtTheEnd) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
    auto fin = std::async(std::launch::async, [fd = fds[0]] { descartarEntrada(fd); });
    escribir(fds[1], "parar\n");
    std::this_thread::yield();
    EXPECT_EQ(fin.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    ::close(fds[1]);
    fin.get();
    ::close(fds[0]);
}

}  // namespace
}  // namespace zentrec
