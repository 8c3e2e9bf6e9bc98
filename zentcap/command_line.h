#pragma once
// The streamer's command line: six stream arguments or the single "--permiso".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zentcap/quality.h"

namespace zentcap {

inline constexpr std::string_view kUsageText = "Uso: zentcap displayID width height fps bitrate drawMouse(0|1)\n";

// What the validated arguments ask for.
struct StreamParameters {
    uint32_t displayID = 0;
    int64_t width = 0;   // pixels, even, 2 to 8192
    int64_t height = 0;
    Quality quality;
    bool drawMouse = false;  // true: the pointer is drawn into the frames
};

struct CommandLine {
    enum class Kind {
        stream,            // `parameters` hold the stream to run
        permissionQuery,   // answer whether the screen may be captured, exit 0
        usageError,        // write kUsageText, exit 2
        parameterError,    // write `message`, exit 2
    };
    Kind kind = Kind::usageError;
    StreamParameters parameters;
    std::string message;  // the whole standard-error text of a parameter error
};

// `args` excludes the program name. The checks run in a fixed order: parsing, size,
// drawMouse, and only then the fps and bitrate ranges, so a line with a usage fault
// never gets the parameter message.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// An optional sign and one or more ASCII digits, nothing else, fitting the type.
std::optional<int64_t> parseSigned64(std::string_view text);
std::optional<uint32_t> parseUnsigned32(std::string_view text);

}  // namespace zentcap
