#pragma once
// An opaque colour as a screen shows it, for tests that paint and then look.

#include <cstdint>

namespace testsupport {

struct Rgb {
    uint8_t r, g, b;
};

}  // namespace testsupport
