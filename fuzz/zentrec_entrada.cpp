// Random standard input, cut into random reads, through the recorder's "parar"
// detector, against the plain way of doing it: split into lines, drop the "\n" or
// "\r\n", trim tabs and Unicode space separators, compare with "parar".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "zentrec/entrada.h"

namespace {

constexpr std::string_view kEspacios[] = {
    "\t",           " ",            "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool esParar(std::string_view linea) {
    for (bool quitado = true; quitado;) {
        quitado = false;
        for (std::string_view e : kEspacios) {
            if (linea.starts_with(e)) {
                linea.remove_prefix(e.size());
                quitado = true;
            }
            if (linea.ends_with(e)) {
                linea.remove_suffix(e.size());
                quitado = true;
            }
        }
    }
    return linea == "parar";
}

void comprobar(bool condicion) {
    if (!condicion) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the read sizes; the rest is the input.
    uint32_t semilla = data[0] | (data[1] << 8);
    const size_t maximo = 1 + semilla % 97;
    std::string_view entrada(reinterpret_cast<const char*>(data) + 2, size - 2);

    // Where the plain way stops: just after the first line that says "parar", or at
    // the end (npos) when the only such line is the unfinished last one, if any.
    size_t esperado = std::string_view::npos;
    bool alFinal = false;
    for (size_t at = 0;;) {
        size_t fin = entrada.find('\n', at);
        if (fin == std::string_view::npos) {
            alFinal = esParar(entrada.substr(at));
            break;
        }
        std::string_view linea = entrada.substr(at, fin - at);
        if (linea.ends_with('\r')) linea.remove_suffix(1);
        if (esParar(linea)) {
            esperado = fin + 1;
            break;
        }
        at = fin + 1;
    }

    zentrec::DetectorParar detector;
    size_t leidos = 0;
    bool parar = false;
    while (leidos < entrada.size() && !parar) {
        semilla = semilla * 1103515245u + 12345u;
        size_t trozo = std::min<size_t>(1 + (semilla >> 16) % maximo, entrada.size() - leidos);
        size_t usados = detector.leer(entrada.substr(leidos, trozo), parar);
        comprobar(usados <= trozo);
        comprobar(parar || usados == trozo);
        leidos += usados;
    }
    if (esperado != std::string_view::npos) {
        comprobar(parar && leidos == esperado);
    } else {
        comprobar(!parar && detector.finDeEntrada() == alFinal);
    }
    return 0;
}
