#include "tools/zentcap_receiver/packet_parser.h"

#include <algorithm>

namespace zentrecv {

std::vector<uint8_t> encodePacket(PacketKind kind, uint64_t timestamp, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderBytes + payload.size());
    appendBigEndian(out, payload.size(), 4);
    out.push_back(static_cast<uint8_t>(kind));
    appendBigEndian(out, timestamp, 8);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> encodeCursorPayload(const CursorImage& image) {
    std::vector<uint8_t> out;
    appendBigEndian(out, image.width, 2);
    appendBigEndian(out, image.height, 2);
    appendBigEndian(out, image.hotX, 2);
    appendBigEndian(out, image.hotY, 2);
    out.insert(out.end(), image.rgba.begin(), image.rgba.end());
    return out;
}

CursorParse parseCursorPayload(std::span<const uint8_t> payload) {
    if (payload.size() < kCursorHeaderBytes) {
        return {std::nullopt, "cursor de " + std::to_string(payload.size()) + " bytes, sin cabecera completa"};
    }
    CursorImage image;
    image.width = static_cast<uint16_t>(readBigEndian(payload.data(), 2));
    image.height = static_cast<uint16_t>(readBigEndian(payload.data() + 2, 2));
    image.hotX = static_cast<uint16_t>(readBigEndian(payload.data() + 4, 2));
    image.hotY = static_cast<uint16_t>(readBigEndian(payload.data() + 6, 2));
    auto size = std::to_string(image.width) + "x" + std::to_string(image.height);
    if (image.width < 1 || image.width > kMaxCursorSide || image.height < 1 || image.height > kMaxCursorSide) {
        return {std::nullopt, "cursor de " + size + " fuera de 1...128"};
    }
    size_t expected = kCursorHeaderBytes + size_t{image.width} * image.height * 4;
    if (payload.size() != expected) {
        return {std::nullopt, "cursor de " + size + " con " + std::to_string(payload.size()) +
                                  " bytes en lugar de " + std::to_string(expected)};
    }
    if (image.hotX >= image.width || image.hotY >= image.height) {
        return {std::nullopt, "punto activo (" + std::to_string(image.hotX) + "," + std::to_string(image.hotY) +
                                  ") fuera del cursor de " + size};
    }
    image.rgba.assign(payload.begin() + kCursorHeaderBytes, payload.end());
    return {std::move(image), {}};
}

void PacketParser::feed(std::span<const uint8_t> bytes) {
    if (error_) return;
    compact();
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void PacketParser::compact() {
    // Drop consumed bytes once they are the larger part, so the buffer stays
    // near one packet plus one chunk without moving bytes on every packet.
    if (consumed_ > 0 && consumed_ * 2 >= buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
}

std::optional<Packet> PacketParser::fail(std::string message) {
    error_ = "paquete " + std::to_string(packetIndex_) + " (byte " + std::to_string(streamOffset_) + "): " + message;
    buffer_.clear();
    buffer_.shrink_to_fit();
    consumed_ = 0;
    return std::nullopt;
}

std::optional<Packet> PacketParser::next() {
    if (error_ || pendingBytes() < kHeaderBytes) return std::nullopt;
    const uint8_t* header = buffer_.data() + consumed_;
    auto length = static_cast<uint32_t>(readBigEndian(header, 4));
    uint8_t kind = header[4];
    uint64_t timestamp = readBigEndian(header + 5, 8);

    // The header alone decides whether the packet can be valid, so a bad length
    // is refused before its payload is waited for or buffered.
    switch (kind) {
    case static_cast<uint8_t>(PacketKind::Delta):
    case static_cast<uint8_t>(PacketKind::Key):
        if (length == 0) return fail("fotograma H.264 vacío");
        if (length > kMaxVideoPayload) {
            return fail("fotograma H.264 de " + std::to_string(length) + " bytes, más de 4 MiB");
        }
        break;
    case static_cast<uint8_t>(PacketKind::Cursor):
        if (length < kCursorHeaderBytes + 4 || length > kMaxCursorPayload) {
            return fail("paquete de cursor de " + std::to_string(length) + " bytes");
        }
        if (timestamp != 0) return fail("paquete de cursor con marca de tiempo " + std::to_string(timestamp));
        break;
    default:
        return fail("tipo de paquete desconocido (" + std::to_string(kind) + ")");
    }

    if (pendingBytes() < kHeaderBytes + length) return std::nullopt;

    Packet packet;
    packet.kind = static_cast<PacketKind>(kind);
    packet.timestamp = timestamp;
    packet.index = packetIndex_;
    packet.offset = streamOffset_;
    const uint8_t* body = header + kHeaderBytes;
    packet.payload.assign(body, body + length);

    if (packet.kind == PacketKind::Cursor) {
        auto cursor = parseCursorPayload(packet.payload);
        if (!cursor.image) return fail(cursor.error);
    }

    consumed_ += kHeaderBytes + length;
    streamOffset_ += kHeaderBytes + length;
    ++packetIndex_;
    return packet;
}

}  // namespace zentrecv
