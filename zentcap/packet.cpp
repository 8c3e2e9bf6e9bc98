#include "zentcap/packet.h"

#include <variant>

#include "zentcap/capture_error.h"

namespace zentcap {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

size_t payloadSize(const std::vector<uint8_t>& packet) { return packet.size() - kPacketHeaderSize; }

// Room left for one more start code plus `size` bytes within maxAU; signed so that a
// full payload gives a negative room rather than a wrapped one.
bool fits(const std::vector<uint8_t>& packet, size_t size) {
    int64_t room = static_cast<int64_t>(maxAU) - static_cast<int64_t>(payloadSize(packet)) - 4;
    return static_cast<int64_t>(size) <= room;
}

void appendUnit(std::vector<uint8_t>& packet, const uint8_t* bytes, size_t size) {
    packet.insert(packet.end(), kStartCode, kStartCode + 4);
    packet.insert(packet.end(), bytes, bytes + size);
}

// A frame is a key frame unless it carries the not-sync mark as the boolean true.
bool isKeyFrame(const platform::EncodedSample& sample) {
    if (!sample.notSync) return true;
    const bool* flag = std::get_if<bool>(&*sample.notSync);
    return !(flag && *flag);
}

}  // namespace

void writePacketHeader(std::vector<uint8_t>& packet, PacketKind kind, uint64_t timestamp) {
    auto length = static_cast<uint32_t>(payloadSize(packet));
    for (int i = 0; i < 4; ++i) packet[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    packet[4] = static_cast<uint8_t>(kind);
    for (int i = 0; i < 8; ++i) packet[5 + i] = static_cast<uint8_t>(timestamp >> (56 - 8 * i));
}

void appendAnnexB(const uint8_t* body, size_t total, int nalLengthSize, std::vector<uint8_t>& packet) {
    const auto lengthSize = static_cast<size_t>(nalLengthSize);
    size_t offset = 0;
    while (offset < total) {
        if (lengthSize > total - offset) throw CaptureError::invalid("NAL truncado");
        uint64_t n = 0;
        for (size_t i = 0; i < lengthSize; ++i) n = (n << 8) | body[offset + i];
        if (n < 1 || n > total - offset - lengthSize || !fits(packet, n)) {
            throw CaptureError::invalid("Longitud NAL inválida");
        }
        appendUnit(packet, body + offset + lengthSize, n);
        offset += lengthSize + n;
    }
}

std::vector<uint8_t> videoPacket(const platform::EncodedSample& sample) {
    if (!sample.format || !sample.data) throw CaptureError::invalid("Fotograma H.264 incompleto");
    const bool key = isKeyFrame(sample);

    auto layout = sample.format->layout();
    if (layout.status != 0) throw CaptureError::status("H264 format", layout.status);
    if (layout.nalLengthSize < 1 || layout.nalLengthSize > 4) throw CaptureError::invalid("Cabecera NAL inválida");

    size_t total = sample.data->length();
    if (total == 0 || total > maxAU) throw CaptureError::invalid("Fotograma supera 4 MB");
    std::vector<uint8_t> body(total, 0);
    if (auto status = sample.data->copyBytes(0, total, body.data()); status != 0) {
        throw CaptureError::status("H264 bytes", status);
    }

    // Room for the start codes and the parameter sets, so the usual frame never regrows.
    std::vector<uint8_t> packet(kPacketHeaderSize, 0);
    packet.reserve(kPacketHeaderSize + total + 256);

    if (key) {
        for (size_t i = 0; i < layout.parameterSetCount; ++i) {
            auto set = sample.format->parameterSet(i);
            if (set.status != 0) throw CaptureError::status("H264 SPS/PPS", set.status);
            if (!set.bytes || set.size == 0 || !fits(packet, set.size)) throw CaptureError::invalid("SPS/PPS inválidos");
            appendUnit(packet, set.bytes, set.size);
        }
    }
    appendAnnexB(body.data(), total, layout.nalLengthSize, packet);

    // An invalid time has no instant to give; it is refused like a negative one.
    auto time = sample.presentationTime.convertScale(1'000'000);
    if (!time.valid() || time.value < 0) throw CaptureError::invalid("Timestamp inválido");

    writePacketHeader(packet, key ? PacketKind::keyFrame : PacketKind::frame, static_cast<uint64_t>(time.value));
    return packet;
}

}  // namespace zentcap
