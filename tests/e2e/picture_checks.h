#pragma once
// Looking at decoded pictures in tests.

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/e2e/stream_builder.h"
#include "tools/zentcap_receiver/h264_decoder.h"

namespace e2e {

// Mean colour of a square of side 2*radius+1 around (x, y).
Rgb meanColour(const zentrecv::RgbImage& image, int x, int y, int radius = 4);

// Largest channel difference between two colours.
int colourDistance(Rgb a, Rgb b);

std::string describe(Rgb colour);

// A PNG file read back with libavcodec; nullopt when it does not decode.
std::optional<zentrecv::RgbImage> readPng(const std::string& path);

}  // namespace e2e
