#include "tools/zentcap_receiver/stream_stats.h"

#include <algorithm>
#include <cmath>

#include "tools/zentcap_receiver/packet_parser.h"

namespace zentrecv {

void StreamStats::addPacket(const Packet& packet) {
    if (packet.kind == PacketKind::Cursor) {
        ++cursorPackets_;
        lastCursor_ = parseCursorPayload(packet.payload).image;
        return;
    }
    if (frames_ == 0) {
        firstTimestamp_ = packet.timestamp;
    } else {
        largestGap_ = std::max(largestGap_, packet.timestamp - lastTimestamp_);
        videoBytesAfterFirst_ += packet.payload.size();
    }
    lastTimestamp_ = packet.timestamp;
    ++frames_;
    if (packet.kind == PacketKind::Key) ++keyFrames_;
    videoBytes_ += packet.payload.size();
    largestFrame_ = std::max<uint64_t>(largestFrame_, packet.payload.size());
}

nlohmann::ordered_json StreamStats::toJson() const {
    // Rates count the frames after the first over the time they span, so a
    // stream of n frames at interval T gives exactly 1/T.
    uint64_t span = frames_ > 1 ? lastTimestamp_ - firstTimestamp_ : 0;
    double seconds = double(span) / 1e6;
    double fps = seconds > 0 ? double(frames_ - 1) / seconds : 0.0;
    double bitrate = seconds > 0 ? double(videoBytesAfterFirst_) * 8.0 / seconds : 0.0;

    nlohmann::ordered_json json;
    json["frames"] = frames_;
    json["key_frames"] = keyFrames_;
    json["decoded_frames"] = decodedFrames_;
    json["decode_errors"] = decodeErrors_;
    json["fps"] = std::round(fps * 100.0) / 100.0;
    json["bitrate_bps"] = static_cast<uint64_t>(std::llround(bitrate));
    json["video_bytes"] = videoBytes_;
    json["largest_frame_bytes"] = largestFrame_;
    json["largest_gap_us"] = largestGap_;
    json["cursor_packets"] = cursorPackets_;
    if (lastCursor_) {
        json["cursor"] = {{"width", lastCursor_->width},
                          {"height", lastCursor_->height},
                          {"hot_x", lastCursor_->hotX},
                          {"hot_y", lastCursor_->hotY}};
    } else {
        json["cursor"] = nullptr;
    }
    json["first_timestamp_us"] = frames_ ? nlohmann::ordered_json(firstTimestamp_) : nullptr;
    json["last_timestamp_us"] = frames_ ? nlohmann::ordered_json(lastTimestamp_) : nullptr;
    json["duration_us"] = span;
    json["width"] = width_;
    json["height"] = height_;
    json["profile"] = profile_;
    json["truncated_tail_bytes"] = truncatedTail_;
    return json;
}

}  // namespace zentrecv
