#pragma once
// Looking at decoded pictures in tests.

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/zentcap/e2e/live_stream.h"
#include "tests/zentcap/e2e/stream_builder.h"
#include "tests/support/x_screen.h"
#include "tools/zentcap_receiver/h264_decoder.h"

namespace e2e {

using testsupport::Block;

// Mean colour of a square of side 2*radius+1 around (x, y).
Rgb meanColour(const zentrecv::RgbImage& image, int x, int y, int radius = 4);

// Largest channel difference between two colours.
int colourDistance(Rgb a, Rgb b);

std::string describe(Rgb colour);

// Eight blocks, 4 x 2, over width x height, in colours that tell the channels and the
// colour matrix apart (a BT.601/BT.709 mix-up moves saturated colours by 15 or more).
extern const Rgb kPalette[8];
std::vector<Block> colourGrid(int width, int height);

// The picture a still screen gives: waits for a video packet at position >= from, then
// until the stream has gone quiet, and decodes the whole stream (expecting no errors);
// the last picture. Empty when there is none.
zentrecv::RgbImage stillPicture(LiveStream& stream, size_t from = 0);

// Expects `image` to show the part `shown` (x, y, width, height; its colour unused) of a
// screen painted with `blocks`, scaled to the image's size: the middle of what shows of
// each block has the block's colour.
void expectShows(const zentrecv::RgbImage& image, const std::vector<Block>& blocks, const Block& shown,
                 int tolerance);

// A PNG file read back with libavcodec; nullopt when it does not decode.
std::optional<zentrecv::RgbImage> readPng(const std::string& path);

}  // namespace e2e
