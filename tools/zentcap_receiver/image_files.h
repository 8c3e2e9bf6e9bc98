#pragma once
// Snapshot helpers: the cursor drawn over a decoded picture, and PNG output.

#include <optional>
#include <string>

#include "tools/zentcap_receiver/h264_decoder.h"
#include "tools/zentcap_receiver/packet.h"

namespace zentrecv {

// Blends `cursor` (straight alpha) over `image` with its hot spot at (x, y);
// the parts outside the image are clipped.
void drawCursor(RgbImage& image, const CursorImage& cursor, int x, int y);

// Writes `image` as an 8-bit RGB PNG. The reason on failure.
std::optional<std::string> writePng(const RgbImage& image, const std::string& path);

}  // namespace zentrecv
