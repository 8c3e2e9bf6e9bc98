// Random recording command lines against a small model of the argument rules: the
// request exists exactly when every argument is valid, and then holds values within
// their ranges (sizes even, the voice gain between 0 and 24).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "zentrec/argumentos.h"

namespace {

// An optional sign and decimal digits, written the way std::to_string writes the value
// ("+007" is "7", "-0" is "0"); none for anything else.
std::optional<std::string> normal(std::string_view texto, bool& negativo) {
    negativo = !texto.empty() && texto[0] == '-';
    if (!texto.empty() && (texto[0] == '-' || texto[0] == '+')) texto.remove_prefix(1);
    if (texto.empty()) return std::nullopt;
    for (char c : texto) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    while (texto.size() > 1 && texto[0] == '0') texto.remove_prefix(1);
    if (texto == "0") negativo = false;
    return std::string(negativo ? "-" : "") + std::string(texto);
}

// Whether the decimal digits `d` (no leading zeros) are at most `tope`.
bool hasta(std::string_view d, std::string_view tope) {
    return d.size() < tope.size() || (d.size() == tope.size() && d <= tope);
}

std::optional<int64_t> modeloConSigno(std::string_view texto) {
    bool negativo;
    auto n = normal(texto, negativo);
    if (!n) return std::nullopt;
    std::string_view d = negativo ? std::string_view(*n).substr(1) : std::string_view(*n);
    if (!hasta(d, negativo ? "9223372036854775808" : "9223372036854775807")) return std::nullopt;
    return std::strtoll(n->c_str(), nullptr, 10);
}

std::optional<uint32_t> modeloSinSigno(std::string_view texto) {
    bool negativo;
    auto n = normal(texto, negativo);
    if (!n || negativo || !hasta(*n, "4294967295")) return std::nullopt;
    return static_cast<uint32_t>(std::strtoull(n->c_str(), nullptr, 10));
}

bool flotanteValido(const std::string& t) {
    if (t.empty() || std::isspace(static_cast<unsigned char>(t[0]))) return false;
    char* fin = nullptr;
    std::strtod(t.c_str(), &fin);
    return fin == t.c_str() + t.size();
}

void comprobar(bool condicion) {
    if (!condicion) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view texto(reinterpret_cast<const char*>(data), size);

    // The integer parsers on the whole input.
    comprobar(zentrec::enteroConSigno(texto) == modeloConSigno(texto));
    comprobar(zentrec::enteroSinSigno32(texto) == modeloSinSigno(texto));

    // Fields separated by line feeds after the program and the mode.
    std::vector<std::string> args{"zentrec", "--grabar"};
    for (size_t at = 0; at <= texto.size() && args.size() < 16;) {
        size_t fin = std::min(texto.find('\n', at), texto.size());
        args.emplace_back(texto.substr(at, fin - at));
        at = fin + 1;
    }
    comprobar(zentrec::modoDe(args) == zentrec::Modo::grabar);
    const std::string& modo = args[2];
    comprobar(zentrec::modoDe({"zentrec", modo}) == (modo == "--microfonos" ? zentrec::Modo::microfonos
                                                     : modo == "--nivel"    ? zentrec::Modo::nivel
                                                     : modo == "--grabar"   ? zentrec::Modo::grabar
                                                     : modo == "--altavoz"  ? zentrec::Modo::altavoz
                                                                            : zentrec::Modo::uso));

    auto pedido = zentrec::pedidoDe(args);
    if (args.size() != 12) {
        comprobar(!pedido);
        return 0;
    }
    auto entre = [](std::optional<int64_t> v, int64_t desde, int64_t a) { return v && *v >= desde && *v <= a; };
    const bool valido = modeloSinSigno(args[3]) && entre(modeloConSigno(args[4]), 2, 8192) &&
                        entre(modeloConSigno(args[5]), 2, 8192) && entre(modeloConSigno(args[6]), 1, 60) &&
                        entre(modeloConSigno(args[7]), 100000, 100000000) && (args[8] == "0" || args[8] == "1") &&
                        (args[9] == "0" || args[9] == "1") && flotanteValido(args[11]);
    comprobar(pedido.has_value() == valido);
    if (!pedido) return 0;

    comprobar(pedido->display == *modeloSinSigno(args[3]));
    comprobar(pedido->ancho == (*modeloConSigno(args[4]) / 2) * 2);
    comprobar(pedido->alto == (*modeloConSigno(args[5]) / 2) * 2);
    comprobar(pedido->ancho >= 2 && pedido->ancho % 2 == 0 && pedido->alto >= 2 && pedido->alto % 2 == 0);
    comprobar(pedido->fps == *modeloConSigno(args[6]) && pedido->bitrate == *modeloConSigno(args[7]));
    comprobar(pedido->sistema == (args[8] == "1") && pedido->microfono == (args[9] == "1"));
    comprobar(pedido->micId == (args[10] == "-" ? std::nullopt : std::optional<std::string>(args[10])));
    comprobar(pedido->vozDb >= 0.0f && pedido->vozDb <= 24.0f);
    const float v = std::strtof(args[11].c_str(), nullptr);
    if (std::isnan(v)) {
        comprobar(pedido->vozDb == 24.0f);
    } else {
        comprobar(pedido->vozDb == std::fmin(std::fmax(v, 0.0f), 24.0f));
    }
    if (!args[2].empty() && args[2].find('\0') == std::string::npos) {
        comprobar(std::filesystem::path(pedido->salida).is_absolute());
    }
    return 0;
}
