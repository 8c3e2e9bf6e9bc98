#include "zentrec/argumentos.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

namespace zentrec {

Modo modoDe(const std::vector<std::string>& args) {
    const std::string modo = args.size() > 1 ? args[1] : "";
    if (modo == "--microfonos") return Modo::microfonos;
    if (modo == "--nivel") return Modo::nivel;
    if (modo == "--grabar") return Modo::grabar;
    if (modo == "--altavoz") return Modo::altavoz;
    return Modo::uso;
}

std::optional<std::string> idDeNivel(const std::vector<std::string>& args) {
    if (args.size() >= 3 && !args[2].empty()) return args[2];
    return std::nullopt;
}

namespace {

// Sign and magnitude of a decimal integer; the magnitude saturates past 2^64 - 1.
struct Decimal {
    bool negativo = false;
    unsigned __int128 magnitud = 0;
};

std::optional<Decimal> decimal(std::string_view texto) {
    Decimal d;
    if (!texto.empty() && (texto[0] == '+' || texto[0] == '-')) {
        d.negativo = texto[0] == '-';
        texto.remove_prefix(1);
    }
    if (texto.empty()) return std::nullopt;
    constexpr unsigned __int128 kTope = static_cast<unsigned __int128>(1) << 65;
    for (char c : texto) {
        if (c < '0' || c > '9') return std::nullopt;
        d.magnitud = std::min<unsigned __int128>(d.magnitud * 10 + static_cast<unsigned>(c - '0'), kTope);
    }
    return d;
}

}  // namespace

std::optional<int64_t> enteroConSigno(std::string_view texto) {
    auto d = decimal(texto);
    if (!d) return std::nullopt;
    constexpr unsigned __int128 kMaximo = std::numeric_limits<int64_t>::max();
    if (d->negativo) {
        if (d->magnitud > kMaximo + 1) return std::nullopt;
        return static_cast<int64_t>(-static_cast<__int128>(d->magnitud));
    }
    if (d->magnitud > kMaximo) return std::nullopt;
    return static_cast<int64_t>(d->magnitud);
}

std::optional<uint32_t> enteroSinSigno32(std::string_view texto) {
    auto d = decimal(texto);
    if (!d) return std::nullopt;
    if (d->negativo && d->magnitud != 0) return std::nullopt;
    if (d->magnitud > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(d->magnitud);
}

std::optional<float> flotante(const std::string& texto) {
    if (texto.empty() || std::isspace(static_cast<unsigned char>(texto[0]))) return std::nullopt;
    char* fin = nullptr;
    errno = 0;
    // The program never changes its locale, so this reads the C locale's syntax.
    float valor = std::strtof(texto.c_str(), &fin);
    if (fin != texto.c_str() + texto.size()) return std::nullopt;
    return valor;
}

std::optional<Pedido> pedidoDe(const std::vector<std::string>& args) {
    if (args.size() != 12) return std::nullopt;
    auto display = enteroSinSigno32(args[3]);
    auto ancho = enteroConSigno(args[4]);
    auto alto = enteroConSigno(args[5]);
    auto fps = enteroConSigno(args[6]);
    auto bitrate = enteroConSigno(args[7]);
    auto vozDb = flotante(args[11]);
    if (!display || !ancho || !alto || !fps || !bitrate || !vozDb) return std::nullopt;
    auto entre = [](int64_t v, int64_t desde, int64_t hasta) { return v >= desde && v <= hasta; };
    if (!entre(*ancho, 2, 8192) || !entre(*alto, 2, 8192) || !entre(*fps, 1, 60) ||
        !entre(*bitrate, 100000, 100000000))
        return std::nullopt;
    auto bandera = [](const std::string& v) -> std::optional<bool> {
        if (v == "0") return false;
        if (v == "1") return true;
        return std::nullopt;
    };
    auto sistema = bandera(args[8]);
    auto microfono = bandera(args[9]);
    if (!sistema || !microfono) return std::nullopt;

    Pedido p;
    std::error_code error;
    std::filesystem::path salida = std::filesystem::absolute(args[2], error);
    p.salida = error ? args[2] : salida.string();
    p.display = *display;
    p.ancho = *ancho & ~int64_t{1};
    p.alto = *alto & ~int64_t{1};
    p.fps = *fps;
    p.bitrate = *bitrate;
    p.sistema = *sistema;
    p.microfono = *microfono;
    if (args[10] != "-") p.micId = args[10];
    // Not-a-number fails the first comparison and so becomes 24.
    float r = *vozDb < 24.0f ? *vozDb : 24.0f;
    p.vozDb = r >= 0.0f ? r : 0.0f;
    return p;
}

}  // namespace zentrec
