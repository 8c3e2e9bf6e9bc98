#pragma once
// One packet of a zentcap stream, as it arrives on the streamer's standard output.
//
//   +--------+------+-----------------+------------------+
//   | length | kind | timestamp (µs)  | payload          |
//   | 4 (BE) | 1    | 8 (BE)          | length bytes     |
//   +--------+------+-----------------+------------------+
//
// kind 0: H.264 access unit (Annex B), kind 1: key frame (Annex B, SPS and PPS
// first), kind 2: cursor image (timestamp 0), laid out as
//
//   +-------+--------+-------+-------+----------------------------+
//   | width | height | hot x | hot y | width*height*4 RGBA bytes   |
//   | 2     | 2      | 2     | 2     | rows from the top, straight |
//   +-------+--------+-------+-------+----------------------------+

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zentrecv {

enum class PacketKind : uint8_t { Delta = 0, Key = 1, Cursor = 2 };

inline constexpr size_t kHeaderBytes = 13;
// The largest video payload the streamer may write (4 MiB, not 4 000 000).
inline constexpr uint32_t kMaxVideoPayload = 4u * 1024u * 1024u;
inline constexpr uint16_t kMaxCursorSide = 128;
inline constexpr size_t kCursorHeaderBytes = 8;
inline constexpr uint32_t kMaxCursorPayload = kCursorHeaderBytes + kMaxCursorSide * kMaxCursorSide * 4;

struct CursorImage {
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t hotX = 0;
    uint16_t hotY = 0;
    std::vector<uint8_t> rgba;  // width * height * 4, straight alpha

    bool operator==(const CursorImage&) const = default;
};

struct Packet {
    PacketKind kind = PacketKind::Delta;
    uint64_t timestamp = 0;        // microseconds since the streamer's origin
    std::vector<uint8_t> payload;  // exactly `length` bytes
    uint64_t index = 0;            // 0-based position in the stream
    uint64_t offset = 0;           // byte offset of the header in the stream

    bool isVideo() const { return kind != PacketKind::Cursor; }
};

// Big-endian helpers shared by the parser and by the code that builds streams.
inline uint64_t readBigEndian(const uint8_t* bytes, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

inline void appendBigEndian(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The complete bytes of one packet (header and payload).
std::vector<uint8_t> encodePacket(PacketKind kind, uint64_t timestamp, const std::vector<uint8_t>& payload);

// The payload of a cursor packet for `image`.
std::vector<uint8_t> encodeCursorPayload(const CursorImage& image);

}  // namespace zentrecv
