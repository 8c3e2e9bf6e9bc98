#pragma once
// Frames a zentcap byte stream into packets and checks each packet on its own:
// a known kind, a length within the limits of that kind, and for cursor packets
// a timestamp of zero and a payload that matches its own width and height.
// Checks that need more than one packet live in StreamValidator.
//
// Memory is bounded: the parser holds at most one incomplete packet (at most
// 13 + 4 MiB bytes) plus the chunk last fed; a header that announces a longer
// packet is rejected before any of its payload is buffered.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/zentcap_receiver/packet.h"

namespace zentrecv {

class PacketParser {
public:
    // Appends bytes read from the stream. Ignored once an error was found.
    void feed(std::span<const uint8_t> bytes);

    // The next complete packet, or nullopt when more bytes are needed or the
    // stream is broken (then error() says why).
    std::optional<Packet> next();

    // Set once the stream cannot be framed any further; Spanish, one line.
    const std::optional<std::string>& error() const { return error_; }

    // Bytes received but not yet part of a complete packet. At the end of the
    // stream this is an unfinished last packet.
    size_t pendingBytes() const { return buffer_.size() - consumed_; }
    uint64_t bytesConsumed() const { return streamOffset_; }

private:
    std::optional<Packet> fail(std::string message);
    void compact();

    std::vector<uint8_t> buffer_;
    size_t consumed_ = 0;
    uint64_t streamOffset_ = 0;  // stream offset of buffer_[consumed_]
    uint64_t packetIndex_ = 0;
    std::optional<std::string> error_;
};

// The cursor image of a cursor payload, or the reason it is malformed.
struct CursorParse {
    std::optional<CursorImage> image;
    std::string error;
};
CursorParse parseCursorPayload(std::span<const uint8_t> payload);

}  // namespace zentrecv
