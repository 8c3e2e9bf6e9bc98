#pragma once
// Copies the video packets of a zentcap stream into an MP4 file without
// re-encoding. Times are the packets' own microsecond timestamps, counted from
// the first video packet, in a 1/1000000 time base. The file is opened at the
// first key frame, whose SPS and PPS become the track's decoder configuration.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/zentcap_receiver/packet.h"

struct AVFormatContext;
struct AVPacket;

namespace zentrecv {

class Mp4Remuxer {
public:
    explicit Mp4Remuxer(std::string path) : path_(std::move(path)) {}
    ~Mp4Remuxer();
    Mp4Remuxer(const Mp4Remuxer&) = delete;
    Mp4Remuxer& operator=(const Mp4Remuxer&) = delete;

    // Adds one video packet; width and height are the picture size (known once
    // the first key frame was decoded). The reason on failure.
    std::optional<std::string> add(const Packet& packet, int width, int height);
    // Writes the last packet and the index. The reason on failure.
    std::optional<std::string> finish();

private:
    std::optional<std::string> open(const Packet& key, int width, int height);
    std::optional<std::string> writeHeld(int64_t duration);

    std::string path_;
    AVFormatContext* format_ = nullptr;
    AVPacket* held_ = nullptr;  // the previous packet, written once its duration is known
    int64_t firstTimestamp_ = 0;
    int64_t lastDuration_ = 33333;
    bool finished_ = false;
};

}  // namespace zentrecv
