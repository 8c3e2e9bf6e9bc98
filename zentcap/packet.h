#pragma once
// The packets of the streamer's standard output, and the conversion of one encoded
// frame into a video packet.
//
//   0        4     5                  13
//   +--------+-----+------------------+----------------------+
//   | length | kind|    timestamp     |  payload (length B)  |
//   +--------+-----+------------------+----------------------+
//   big-endian u32, u8, u64 (microseconds since the time origin; 0 for cursors)
//
// Packets follow one another with nothing in between; a reader frames the stream by
// the length field alone, which does not count the 13 header bytes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/compression.h"

namespace zentcap {

// The largest compressed frame accepted and the largest video payload written.
inline constexpr size_t maxAU = 4 * 1024 * 1024;
inline constexpr size_t kPacketHeaderSize = 13;

enum class PacketKind : uint8_t { frame = 0, keyFrame = 1, cursor = 2 };

// Writes the 13-byte header at the front of `packet`, whose payload starts at
// kPacketHeaderSize and runs to its end.
void writePacketHeader(std::vector<uint8_t>& packet, PacketKind kind, uint64_t timestamp);

// Converts a body of NAL units, each behind a big-endian length field of
// `nalLengthSize` (1 to 4) bytes, to Annex B: a 00 00 00 01 start code before every
// unit, appended to `packet`. The payload (what follows the header) may not grow past
// maxAU. Throws CaptureError invalid "NAL truncado" or "Longitud NAL inválida".
void appendAnnexB(const uint8_t* body, size_t total, int nalLengthSize, std::vector<uint8_t>& packet);

// The complete video packet of one encoded frame: key frames (no not-sync mark)
// carry the parameter sets first. Every check happens here, before any byte is
// written; throws CaptureError with the text that names the fault.
std::vector<uint8_t> videoPacket(const platform::EncodedSample& sample);

}  // namespace zentcap
