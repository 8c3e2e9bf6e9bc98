#pragma once
// The measured programs' output cut into access units, each stamped when its last
// byte was read: zentcap's packet stream, or a raw H.264 (Annex B) stream such as the
// one ffmpeg or GStreamer writes.

#include <cstdint>
#include <vector>

namespace bench {

enum class StreamFormat {
    zentcapPackets,  // zentcap's framed packets; only video packets are kept
    annexB,          // raw H.264: a unit closes when the next one starts
};

struct Arrival {
    std::vector<uint8_t> bytes;
    double at;  // CLOCK_MONOTONIC seconds when its last byte was read
};

// Reads `fd` until it ends.
std::vector<Arrival> readAccessUnits(StreamFormat format, int fd);

// The value below which `fraction` of `values` lie (linear between neighbours); NaN
// for none.
double percentile(std::vector<double> values, double fraction);

}  // namespace bench
