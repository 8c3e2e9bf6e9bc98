#include "zentcap/command.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "zentcap/capture_error.h"
#include "zentcap/utf8.h"

namespace zentcap {

namespace {

using nlohmann::json;

// The type error the JSON library itself would give, so every decoder message reads alike.
[[noreturn]] void wrongType(const char* expected, const json& value) {
    throw CommandDecodeError(
        json::type_error::create(302, std::string("type must be ") + expected + ", but is " + value.type_name(), &value)
            .what());
}

[[noreturn]] void outOfRange(const json& value) {
    throw CommandDecodeError(
        json::out_of_range::create(406, "number " + value.dump() + " is out of the signed 64-bit range", &value)
            .what());
}

// JSON has a single number type, so an integer is any number whose value is whole
// (JSON Schema reads "integer" the same way): 30, 30.0 and 3e1 are all thirty. A
// fraction is the wrong type; a whole number beyond the signed 64-bit range cannot be
// represented.
std::optional<int64_t> integerField(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (found->is_number_unsigned()) {
        if (found->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) outOfRange(*found);
        return static_cast<int64_t>(found->get<uint64_t>());
    }
    if (found->is_number_integer()) return found->get<int64_t>();
    if (found->is_number_float()) {
        double value = found->get<double>();
        if (!std::isfinite(value) || std::trunc(value) != value) wrongType("integer", *found);
        // 2^63 is exactly representable; every whole double below it and from -2^63 up fits.
        constexpr double limit = 9223372036854775808.0;
        if (value >= limit || value < -limit) outOfRange(*found);
        return static_cast<int64_t>(value);
    }
    wrongType("integer", *found);
}

std::optional<bool> booleanField(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_boolean()) wrongType("boolean", *found);
    return found->get<bool>();
}

}  // namespace

Command decodeCommand(std::string_view line) {
    json value;
    try {
        value = json::parse(line.begin(), line.end());
    } catch (const json::exception& error) {
        throw CommandDecodeError(error.what());
    }
    if (!value.is_object()) wrongType("object", value);
    Command command;
    command.fps = integerField(value, "fps");
    command.bitrate = integerField(value, "bitrate");
    command.clave = booleanField(value, "clave");
    return command;
}

ControlAction interpretLine(const Line& line) {
    using Kind = ControlAction::Kind;
    auto failure = [](std::string text) { return ControlAction{Kind::failure, {}, std::move(text)}; };

    if (line.tooLong) return failure(CaptureError::invalid("Orden demasiado larga").describe());
    if (line.text.empty()) return {};

    Command command;
    try {
        command = decodeCommand(line.text);
    } catch (const CommandDecodeError& error) {
        // The decoder quotes the bytes it stopped at, which need not be UTF-8; the
        // host reads the line as UTF-8.
        return failure(validUtf8(error.what()));
    }
    if (command.clave.value_or(false)) return {Kind::keyRequest, {}, {}};
    if (command.fps && command.bitrate) {
        if (!qualityInRange(*command.fps, *command.bitrate)) {
            return failure(CaptureError::invalid("fps o bitrate fuera de rango").describe());
        }
        return {Kind::qualityChange, {*command.fps, *command.bitrate}, {}};
    }
    return failure(CaptureError::invalid("Orden desconocida").describe());
}

}  // namespace zentcap
