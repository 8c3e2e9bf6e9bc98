#pragma once
// The recorder's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zentrec/pedido.h"

namespace zentrec {

inline constexpr std::string_view kUso = "Uso: zentrec --microfonos | --nivel [id] | --grabar ... | --altavoz\n";
inline constexpr std::string_view kUsoGrabar =
    "Uso: zentrec --grabar salida.mp4 displayID ancho alto fps bitrate sistema mic micId|- vozDb\n";

enum class Modo { microfonos, nivel, grabar, altavoz, uso };

// The mode named by args[1] (exact, case-sensitive); `uso` for anything else.
Modo modoDe(const std::vector<std::string>& args);

// The "--nivel" microphone: args[2] when present and not empty.
std::optional<std::string> idDeNivel(const std::vector<std::string>& args);

// The recording request from the whole argument vector (program path and mode
// included); none when the arguments do not make one (the caller shows kUsoGrabar).
std::optional<Pedido> pedidoDe(const std::vector<std::string>& args);

// Decimal integers: an optional sign, then digits only, within the type. A minus sign
// before zero passes for unsigned values.
std::optional<int64_t> enteroConSigno(std::string_view texto);
std::optional<uint32_t> enteroSinSigno32(std::string_view texto);
// A C-locale float ("1.5", "1e3", "0x1p3", "inf", "nan"), the whole text, no leading
// white space.
std::optional<float> flotante(const std::string& texto);

}  // namespace zentrec
