#pragma once
// The JSON commands of the control channel, one per line:
//   {"clave":true}                      ask for a key frame now
//   {"fps":30,"bitrate":4000000}        change the frame rate and bit rate

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "zentcap/line_reader.h"
#include "zentcap/quality.h"

namespace zentcap {

// One decoded line; a key that is missing or null leaves its field absent, other
// keys are ignored.
struct Command {
    std::optional<int64_t> fps;
    std::optional<int64_t> bitrate;
    std::optional<bool> clave;
};

// A line that is not a JSON object, or a known key of the wrong JSON type ("fps" and
// "bitrate" must be integers, "clave" a boolean). what() is the JSON library's text.
class CommandDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Command decodeCommand(std::string_view line);

// What the reader does with one line.
struct ControlAction {
    enum class Kind {
        ignore,         // an empty line
        keyRequest,
        qualityChange,  // `quality` holds the checked values
        failure,        // `error` is the text that follows "Orden de calidad: "
    };
    Kind kind = Kind::ignore;
    Quality quality;
    std::string error;
};

// Classifies one line read from the control channel, in the order the commands are
// recognised: empty, too long, undecodable, key request, quality change, unknown.
ControlAction interpretLine(const Line& line);

}  // namespace zentcap
