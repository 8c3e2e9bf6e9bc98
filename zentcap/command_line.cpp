#include "zentcap/command_line.h"

#include <limits>

#include "zentcap/capture_error.h"

namespace zentcap {

namespace {

// The value of a decimal integer within [minimum, maximum], or none. The digits are
// accumulated in 128 bits and given up once they pass any 64-bit value, so no input
// length can overflow.
std::optional<__int128> parseDecimal(std::string_view text, __int128 minimum, __int128 maximum) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    constexpr __int128 ceiling = static_cast<__int128>(std::numeric_limits<uint64_t>::max()) + 1;
    __int128 magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > ceiling) return std::nullopt;
    }
    __int128 value = negative ? -magnitude : magnitude;
    if (value < minimum || value > maximum) return std::nullopt;
    return value;
}

bool validSize(int64_t pixels) { return pixels >= 2 && pixels <= 8192 && pixels % 2 == 0; }

}  // namespace

std::optional<int64_t> parseSigned64(std::string_view text) {
    auto value = parseDecimal(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
    if (!value) return std::nullopt;
    return static_cast<int64_t>(*value);
}

std::optional<uint32_t> parseUnsigned32(std::string_view text) {
    auto value = parseDecimal(text, 0, std::numeric_limits<uint32_t>::max());
    if (!value) return std::nullopt;
    return static_cast<uint32_t>(*value);
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    if (args.size() == 1 && args[0] == "--permiso") {
        result.kind = CommandLine::Kind::permissionQuery;
        return result;
    }
    if (args.size() != 6) return result;  // usage error

    auto displayID = parseUnsigned32(args[0]);
    if (!displayID) return result;
    std::optional<int64_t> numbers[4];
    for (int i = 0; i < 4; ++i) {
        numbers[i] = parseSigned64(args[i + 1]);
        if (!numbers[i]) return result;
    }
    int64_t width = *numbers[0], height = *numbers[1], fps = *numbers[2], bitrate = *numbers[3];
    if (!validSize(width) || !validSize(height)) return result;
    if (args[5] != "0" && args[5] != "1") return result;

    if (!qualityInRange(fps, bitrate)) {
        result.kind = CommandLine::Kind::parameterError;
        result.message =
            "Parámetros inválidos: " + CaptureError::invalid("fps o bitrate fuera de rango").describe() + "\n";
        return result;
    }

    result.kind = CommandLine::Kind::stream;
    result.parameters = {*displayID, width, height, {fps, bitrate}, args[5] == "1"};
    return result;
}

}  // namespace zentcap
