// The stream checks of zentcap_receiver, byte for byte: framing, per-packet limits
// and the rules across packets that a host relies on to start decoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/zentcap_receiver/annexb.h"
#include "tools/zentcap_receiver/packet_parser.h"
#include "tools/zentcap_receiver/stream_validator.h"

namespace zentrecv {
namespace {

using Bytes = std::vector<uint8_t>;

// NAL units with plausible headers; the checks only look at headers and start codes.
const Bytes kSps = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1f, 0xac};
const Bytes kPps = {0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80};
const Bytes kIdr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};
const Bytes kSlice = {0, 0, 0, 1, 0x41, 0x9a, 0x22, 0x11};
const Bytes kSei = {0, 0, 0, 1, 0x06, 0x05, 0x01, 0x80};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes keyFrame() { return join({kSps, kPps, kIdr}); }

struct Parsed {
    std::vector<Packet> packets;
    std::optional<std::string> error;
    size_t pending = 0;
};

// Feeds `stream` in chunks of `chunk` bytes, running the cross-packet rules too.
Parsed parse(const Bytes& stream, size_t chunk = 4096) {
    PacketParser parser;
    StreamValidator validator;
    Parsed result;
    for (size_t at = 0; at < stream.size() && !result.error; at += chunk) {
        size_t n = std::min(chunk, stream.size() - at);
        parser.feed(std::span(stream.data() + at, n));
        while (auto packet = parser.next()) {
            if (auto problem = validator.check(*packet)) {
                result.error = *problem;
                break;
            }
            result.packets.push_back(std::move(*packet));
        }
        if (parser.error()) result.error = *parser.error();
    }
    result.pending = parser.pendingBytes();
    return result;
}

TEST(PacketFraming, HeaderFieldsAreBigEndian) {
    Bytes payload = keyFrame();
    Bytes stream = encodePacket(PacketKind::Key, 0x0102030405060708ULL, payload);
    Bytes expectedHeader = {0, 0, 0, static_cast<uint8_t>(payload.size()), 1, 1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(Bytes(stream.begin(), stream.begin() + 13), expectedHeader);

    auto parsed = parse(stream);
    ASSERT_FALSE(parsed.error) << *parsed.error;
    ASSERT_EQ(parsed.packets.size(), 1u);
    EXPECT_EQ(parsed.packets[0].timestamp, 0x0102030405060708ULL);
    EXPECT_EQ(parsed.packets[0].kind, PacketKind::Key);
    EXPECT_EQ(parsed.packets[0].payload, payload);
}

TEST(PacketFraming, SameResultWhateverTheReadSizes) {
    CursorImage cursor{2, 3, 1, 2, Bytes(2 * 3 * 4, 0x7f)};
    Bytes stream = join({encodePacket(PacketKind::Cursor, 0, encodeCursorPayload(cursor)),
                         encodePacket(PacketKind::Key, 10, keyFrame()),
                         encodePacket(PacketKind::Delta, 11, kSlice),
                         encodePacket(PacketKind::Delta, 40000, join({kSei, kSlice}))});
    for (size_t chunk : {size_t{1}, size_t{5}, size_t{13}, size_t{14}, stream.size()}) {
        auto parsed = parse(stream, chunk);
        ASSERT_FALSE(parsed.error) << "chunk " << chunk << ": " << *parsed.error;
        ASSERT_EQ(parsed.packets.size(), 4u) << "chunk " << chunk;
        EXPECT_EQ(parsed.packets[3].offset, stream.size() - 13 - kSei.size() - kSlice.size());
        EXPECT_EQ(parseCursorPayload(parsed.packets[0].payload).image, cursor);
        EXPECT_EQ(parsed.pending, 0u);
    }
}

TEST(PacketFraming, UnfinishedLastPacketIsPendingNotAnError) {
    Bytes stream = join({encodePacket(PacketKind::Key, 10, keyFrame()), encodePacket(PacketKind::Delta, 20, kSlice)});
    stream.erase(stream.end() - 3, stream.end());
    auto parsed = parse(stream);
    EXPECT_FALSE(parsed.error);
    EXPECT_EQ(parsed.packets.size(), 1u);
    EXPECT_EQ(parsed.pending, 13 + kSlice.size() - 3);
}

TEST(PacketFraming, OversizedVideoIsRefusedFromTheHeaderAlone) {
    // Only the header is fed: the parser must not wait for (or buffer) 4 MiB + 1.
    Bytes header = {0x00, 0x40, 0x00, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 1};
    auto parsed = parse(header);
    ASSERT_TRUE(parsed.error);
    EXPECT_NE(parsed.error->find("más de 4 MiB"), std::string::npos) << *parsed.error;

    // Exactly 4 MiB is allowed: the header is accepted and the payload awaited.
    header[1] = 0x40;
    header[3] = 0x00;
    parsed = parse(header);
    EXPECT_FALSE(parsed.error);
    EXPECT_EQ(parsed.pending, 13u);
}

struct BadPacket {
    const char* name;
    Bytes stream;
    const char* expected;  // part of the message
};

std::vector<BadPacket> badPackets() {
    auto cursorPacket = [](uint16_t w, uint16_t h, uint16_t hx, uint16_t hy, size_t pixels, uint64_t ts = 0) {
        Bytes payload;
        appendBigEndian(payload, w, 2);
        appendBigEndian(payload, h, 2);
        appendBigEndian(payload, hx, 2);
        appendBigEndian(payload, hy, 2);
        payload.resize(payload.size() + pixels, 0xff);
        return encodePacket(PacketKind::Cursor, ts, payload);
    };
    Bytes key = encodePacket(PacketKind::Key, 100, keyFrame());
    return {
        {"unknown kind", encodePacket(static_cast<PacketKind>(3), 1, kSlice), "tipo de paquete desconocido (3)"},
        {"empty video", encodePacket(PacketKind::Key, 1, {}), "vacío"},
        {"cursor with a timestamp", cursorPacket(1, 1, 0, 0, 4, 7), "marca de tiempo 7"},
        {"cursor wider than 128", cursorPacket(129, 1, 0, 0, 129 * 4), "fuera de 1...128"},
        {"cursor of width 0", cursorPacket(0, 1, 0, 0, 4), "fuera de 1...128"},
        {"cursor length not w*h*4", cursorPacket(2, 2, 0, 0, 15), "en lugar de 24"},
        {"hot spot outside", cursorPacket(2, 2, 2, 0, 16), "punto activo (2,0)"},
        {"cursor longer than any cursor", cursorPacket(128, 128, 0, 0, 128 * 128 * 4 + 1), "paquete de cursor de"},
        {"first video not a key frame", encodePacket(PacketKind::Delta, 1, kSlice), "no es un fotograma clave"},
        {"key frame without parameter sets", encodePacket(PacketKind::Key, 1, kIdr), "sin SPS y PPS"},
        {"key frame with PPS before SPS", encodePacket(PacketKind::Key, 1, join({kPps, kSps, kIdr})),
         "SPS después del PPS"},
        {"key frame without an IDR slice", encodePacket(PacketKind::Key, 1, join({kSps, kPps, kSlice})),
         "sin corte IDR"},
        {"parameter sets after the slice", encodePacket(PacketKind::Key, 1, join({kSps, kPps, kIdr, kSps})),
         "después de otras unidades"},
        {"parameter sets in a delta frame",
         join({key, encodePacket(PacketKind::Delta, 200, join({kSps, kPps, kSlice}))}), "no es clave"},
        {"equal timestamps", join({key, encodePacket(PacketKind::Delta, 100, kSlice)}), "no posterior a 100"},
        {"falling timestamps", join({key, encodePacket(PacketKind::Delta, 99, kSlice)}), "no posterior a 100"},
        {"payload without start code", join({key, encodePacket(PacketKind::Delta, 200, Bytes{0x41, 0x9a, 0x22})}),
         "no empieza con el código de inicio"},
        {"three-byte start code", join({key, encodePacket(PacketKind::Delta, 200, join({kSlice, {0x33, 0, 0, 1, 0x41, 1}}))}),
         "3 bytes"},
        {"empty NAL unit", join({key, encodePacket(PacketKind::Delta, 200, join({{0, 0, 0, 1}, kSlice}))}), "vacía"},
        {"forbidden bit", join({key, encodePacket(PacketKind::Delta, 200, Bytes{0, 0, 0, 1, 0xc1, 0x22})}),
         "bit prohibido"},
        {"delta frame without slices", join({key, encodePacket(PacketKind::Delta, 200, kSei)}), "sin cortes"},
    };
}

TEST(PacketFraming, MalformedStreamsAreRejectedWithTheReason) {
    for (const auto& bad : badPackets()) {
        auto parsed = parse(bad.stream);
        ASSERT_TRUE(parsed.error) << bad.name;
        EXPECT_NE(parsed.error->find(bad.expected), std::string::npos) << bad.name << ": " << *parsed.error;
        EXPECT_EQ(parsed.error->rfind("paquete ", 0), 0u) << bad.name << ": " << *parsed.error;
    }
}

TEST(PacketFraming, NothingIsReadAfterAnError) {
    PacketParser parser;
    Bytes bad = encodePacket(static_cast<PacketKind>(9), 0, kSlice);
    Bytes good = encodePacket(PacketKind::Key, 1, keyFrame());
    parser.feed(bad);
    EXPECT_FALSE(parser.next());
    ASSERT_TRUE(parser.error());
    parser.feed(good);
    EXPECT_FALSE(parser.next());
    EXPECT_EQ(parser.pendingBytes(), 0u);  // the broken stream is not buffered further
}

TEST(AnnexB, SplitsUnitsAndReportsStartCodeLengths) {
    Bytes stream = join({kSps, {0, 0, 1, 0x68, 0x11}, kIdr});
    auto split = splitNalUnits(stream);
    ASSERT_EQ(split.units.size(), 3u);
    EXPECT_EQ(split.leadingGarbage, 0u);
    EXPECT_EQ(split.units[0].type(), 7);
    EXPECT_EQ(split.units[0].bytes.size(), kSps.size() - 4);
    EXPECT_EQ(split.units[1].startCodeBytes, 3u);
    EXPECT_EQ(split.units[1].bytes.size(), 2u);
    EXPECT_EQ(split.units[2].startCodeOffset, kSps.size() + 5);
    EXPECT_EQ(split.units[2].startCodeBytes, 4u);
    EXPECT_EQ(split.units[2].type(), 5);
}

TEST(AnnexB, CutsRawStreamsIntoAccessUnitsAcrossReads) {
    // Two pictures, the first of two slices (the second slice has
    // first_mb_in_slice != 0, i.e. its first bit is 0), then a third picture
    // opened by an access unit delimiter.
    Bytes secondSlice = {0, 0, 1, 0x65, 0x40, 0x11};
    Bytes aud = {0, 0, 0, 1, 0x09, 0xf0};
    Bytes first = join({kSps, kPps, kSei, kIdr, secondSlice});
    Bytes second = kSlice;
    Bytes third = join({aud, kSlice});
    Bytes stream = join({first, second, third});
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
        AccessUnitSplitter splitter;
        std::vector<Bytes> units;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            size_t n = std::min(chunk, stream.size() - at);
            for (auto& unit : splitter.feed(std::span(stream.data() + at, n))) units.push_back(unit);
        }
        units.push_back(splitter.finish());
        ASSERT_EQ(units.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(units[0], first) << "chunk " << chunk;
        EXPECT_EQ(units[1], second) << "chunk " << chunk;
        EXPECT_EQ(units[2], third) << "chunk " << chunk;
    }
}

}  // namespace
}  // namespace zentrecv
