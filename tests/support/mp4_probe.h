#pragma once
// Reads an MP4 file back the way a player does: libavformat for the container,
// libavcodec for the pictures and the sound; ffprobe for what it reports.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProbedStream {
    std::string codec;      // "h264", "aac"
    int profile = -1;       // FF_PROFILE_*
    int width = 0, height = 0;
    int sampleRate = 0, channels = 0;
    int64_t bitRate = 0;
};

struct DecodedPicture {
    double time = 0;     // seconds
    double meanLuma = 0;
    double regionLuma = 0;  // mean luma of the region asked for, if any
    bool keyFrame = false;
};

// A rectangle of the picture, in pixels.
struct Region {
    int x = 0, y = 0, width = 0, height = 0;
};

struct Probe {
    bool opened = false;
    std::optional<ProbedStream> video, audio;
    std::vector<DecodedPicture> pictures;
    std::vector<float> sound;       // the first channel, decoded, priming removed
    double soundStart = 0;          // time of sound[0], seconds
    int decodeErrors = 0;
    double videoEnd = -1;           // where the video track ends, as libavformat reads it
    double audioEnd = -1;
};

// Opens and decodes the whole file; with a region, each picture's mean luma there too.
Probe probe(const std::string& path, std::optional<Region> region = std::nullopt);

// What ffprobe says: the format's duration and each stream's, in seconds (-1 when
// it reports none).
struct Durations {
    double format = -1, video = -1, audio = -1;
};
std::optional<Durations> ffprobeDurations(const std::string& path);

// The four-character types of the file's top-level boxes, in order.
std::vector<std::string> topLevelBoxes(const std::string& path);

}  // namespace testsupport
