#include "zentcap/utf8.h"

#include <cstdint>

namespace zentcap {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence at the start of `rest`, or 0 if there is none
// (the ranges of the Unicode standard's table of well-formed byte sequences).
size_t sequenceLength(std::string_view rest) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(rest[i]); };
    auto within = [&](size_t i, uint8_t low, uint8_t high) { return i < rest.size() && byte(i) >= low && byte(i) <= high; };
    uint8_t lead = byte(0);
    if (lead <= 0x7F) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return within(1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
        uint8_t high = lead == 0xED ? 0x9F : 0xBF;
        return within(1, low, high) && within(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
        uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
        return within(1, low, high) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

}  // namespace

std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        size_t length = sequenceLength(text);
        if (length == 0) {
            out += kReplacement;
            length = 1;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

}  // namespace zentcap
