#pragma once
// Builds zentcap streams without the streamer: synthetic pictures encoded with
// libx264 through libavcodec, cut into access units and framed as the streamer
// frames them (four-byte start codes, SPS and PPS first in key frames, none in
// other frames).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/rgb.h"
#include "tools/zentcap_receiver/packet.h"

namespace e2e {

using testsupport::Rgb;

struct VideoRecipe {
    int width = 320;
    int height = 240;
    int frames = 30;
    int keyInterval = 10;
    uint64_t firstTimestamp = 5000;
    uint64_t frameInterval = 33333;
    std::string profile = "high";
    std::string preset = "veryfast";
    // Colour of pixel (x, y) of picture n.
    std::function<Rgb(int n, int x, int y)> paint;
};

// The video packets of the recipe; empty when libx264 is not available.
std::vector<zentrecv::Packet> buildVideo(const VideoRecipe& recipe);

// The complete bytes of a stream of these packets.
std::vector<uint8_t> serialize(const std::vector<zentrecv::Packet>& packets);

// Four quadrants: red, green / blue, white.
Rgb quadrants(int width, int height, int x, int y);

}  // namespace e2e
