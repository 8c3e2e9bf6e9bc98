#include "zentcap/capture_error.h"

#include <cstdio>

namespace zentcap {

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escape[12];
                    std::snprintf(escape, sizeof escape, "\\u{%X}", byte);
                    out += escape;
                } else {
                    out += c;  // printable ASCII and UTF-8 bytes pass unchanged
                }
        }
    }
    out += '"';
    return out;
}

std::string CaptureError::describe() const {
    switch (kind_) {
        case Kind::invalid: return "invalid(" + quoted(text_) + ")";
        case Kind::status: return "status(" + quoted(text_) + ", " + std::to_string(code_) + ")";
        case Kind::stopped: return "stopped";
    }
    return "stopped";
}

}  // namespace zentcap
