#pragma once
// The rules a host relies on across packets of a zentcap stream:
//  - the first video packet is a key frame;
//  - video timestamps rise strictly;
//  - every NAL unit of a video payload has a four-byte start code 00 00 00 01;
//  - a key frame begins with its parameter sets (SPS, then PPS) and holds an IDR
//    slice; other frames carry no parameter sets and hold a slice.
// Framing and per-packet limits are checked earlier by PacketParser.

#include <optional>
#include <string>

#include "tools/zentcap_receiver/packet.h"

namespace zentrecv {

class StreamValidator {
public:
    // The reason `packet` breaks the stream, or nullopt when it is acceptable.
    std::optional<std::string> check(const Packet& packet);

private:
    std::optional<std::string> checkVideo(const Packet& packet);

    bool sawVideo_ = false;
    uint64_t lastTimestamp_ = 0;
};

}  // namespace zentrecv
