#include "tools/zentcap_receiver/receiver_options.h"

#include <charconv>

namespace zentrecv {

const char* const kUsage =
    "Uso: zentcap_receiver [--input FICHERO] [--png FICHERO] [--frame N] [--mp4 FICHERO]\n"
    "                      [--h264 FICHERO] [--cursor-at X,Y] [--no-cursor] [--stats|--no-stats]\n"
    "Lee un flujo de zentcap (entrada estándar o --input), lo comprueba y lo decodifica.\n"
    "  --png FICHERO    guarda el último fotograma (o el de --frame N, desde 0) con el cursor encima\n"
    "  --mp4 FICHERO    copia el vídeo a un MP4 sin recodificar\n"
    "  --h264 FICHERO   copia el vídeo como flujo H.264 Annex B\n"
    "  --cursor-at X,Y  posición del punto activo del cursor en el PNG (por defecto, el centro)\n"
    "  --no-cursor      no dibuja el cursor en el PNG\n"
    "  --no-stats       no escribe las estadísticas JSON en la salida estándar\n"
    "Estado de salida: 0 flujo válido, 1 flujo inválido o error, 2 uso incorrecto.\n";

namespace {

template <typename Number>
bool parseNumber(const std::string& text, Number& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

OptionsParse parseOptions(const std::vector<std::string>& args) {
    ReceiverOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return !into.empty();
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            return {std::nullopt, {}, true};
        } else if (arg == "--input") {
            if (!value(options.input)) return {std::nullopt, "falta el fichero de --input", false};
            if (options.input == "-") options.input.clear();
        } else if (arg == "--png") {
            if (!value(options.png)) return {std::nullopt, "falta el fichero de --png", false};
        } else if (arg == "--mp4") {
            if (!value(options.mp4)) return {std::nullopt, "falta el fichero de --mp4", false};
        } else if (arg == "--h264") {
            if (!value(options.h264)) return {std::nullopt, "falta el fichero de --h264", false};
        } else if (arg == "--frame") {
            uint64_t frame = 0;
            if (!value(text) || !parseNumber(text, frame)) {
                return {std::nullopt, "--frame necesita un número de fotograma (desde 0)", false};
            }
            options.frame = frame;
        } else if (arg == "--cursor-at") {
            int x = 0, y = 0;
            auto comma = std::string::npos;
            if (value(text)) comma = text.find(',');
            if (comma == std::string::npos || !parseNumber(text.substr(0, comma), x) ||
                !parseNumber(text.substr(comma + 1), y)) {
                return {std::nullopt, "--cursor-at necesita X,Y", false};
            }
            options.cursorAt = std::pair{x, y};
        } else if (arg == "--no-cursor") {
            options.drawCursor = false;
        } else if (arg == "--stats") {
            options.stats = true;
        } else if (arg == "--no-stats") {
            options.stats = false;
        } else {
            return {std::nullopt, "opción desconocida: " + arg, false};
        }
    }
    return {options, {}, false};
}

}  // namespace zentrecv
