#include "zentcap/command.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "zentcap/capture_error.h"

namespace zentcap {

namespace {

using nlohmann::json;

// The type error the JSON library itself would give, so every decoder message reads alike.
[[noreturn]] void wrongType(const char* expected, const json& value) {
    throw CommandDecodeError(
        json::type_error::create(302, std::string("type must be ") + expected + ", but is " + value.type_name(), &value)
            .what());
}

std::optional<int64_t> integerField(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (found->is_number_integer()) {
        // Integers above the signed range arrive as unsigned; they are not representable.
        if (found->is_number_unsigned() &&
            found->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            throw CommandDecodeError(json::out_of_range::create(406, "number " + found->dump() +
                                                                         " is out of the signed 64-bit range",
                                                                &*found)
                                         .what());
        }
        return found->get<int64_t>();
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
        return failure(error.what());
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
