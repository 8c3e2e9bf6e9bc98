#pragma once
// Running figures of a zentcap stream, reported as one JSON object.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/zentcap_receiver/packet.h"

namespace zentrecv {

class StreamStats {
public:
    void addPacket(const Packet& packet);
    void addDecoded(int frames, int errors) {
        decodedFrames_ += frames;
        decodeErrors_ += errors;
    }
    void setPicture(int width, int height, std::string profile) {
        width_ = width;
        height_ = height;
        profile_ = std::move(profile);
    }
    void setTruncatedTail(uint64_t bytes) { truncatedTail_ = bytes; }

    uint64_t videoPackets() const { return frames_; }
    uint64_t decodedFrames() const { return decodedFrames_; }
    uint64_t decodeErrors() const { return decodeErrors_; }

    // frames, key_frames, fps, bitrate_bps, ... (see the definition for the list).
    nlohmann::ordered_json toJson() const;

private:
    uint64_t frames_ = 0;
    uint64_t keyFrames_ = 0;
    uint64_t cursorPackets_ = 0;
    uint64_t videoBytes_ = 0;
    uint64_t videoBytesAfterFirst_ = 0;
    uint64_t largestFrame_ = 0;
    uint64_t firstTimestamp_ = 0;
    uint64_t lastTimestamp_ = 0;
    uint64_t largestGap_ = 0;
    uint64_t decodedFrames_ = 0;
    uint64_t decodeErrors_ = 0;
    uint64_t truncatedTail_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::string profile_;
    std::optional<CursorImage> lastCursor_;
};

}  // namespace zentrecv
