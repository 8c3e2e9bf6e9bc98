// Video packets as the host reads them: header bytes, Annex B payloads, parameter
// sets on key frames, and every check that stops a bad frame before it is written.

#include <gtest/gtest.h>

#include "platform/sim/capture/sim_capture.h"
#include "zentcap/capture_error.h"
#include "zentcap/packet.h"

namespace zentcap {
namespace {

using platform::EncodedSample;
using platform::MediaTime;
using platform::sim::lengthPrefixed;
using platform::sim::ScriptedBlock;
using platform::sim::ScriptedFormat;
using Bytes = std::vector<uint8_t>;

Bytes filled(size_t size, uint8_t first) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

const Bytes kSps = filled(12, 0x67);
const Bytes kPps = filled(4, 0x68);

struct SampleShape {
    std::vector<Bytes> sets{kSps, kPps};
    int nalLengthSize = 4;
    Bytes body;
    std::optional<platform::AttachmentValue> notSync;
    MediaTime time{1500, 1'000'000};
};

EncodedSample makeSample(const SampleShape& shape) {
    EncodedSample sample;
    sample.format = std::make_shared<ScriptedFormat>(shape.sets, shape.nalLengthSize);
    sample.data = std::make_shared<ScriptedBlock>(shape.body);
    sample.notSync = shape.notSync;
    sample.presentationTime = shape.time;
    return sample;
}

// The CaptureError text a conversion throws; empty when it succeeds.
std::string failureOf(const EncodedSample& sample) {
    try {
        videoPacket(sample);
    } catch (const CaptureError& error) {
        return error.describe();
    }
    return "";
}

Bytes header(uint32_t length, uint8_t kind, uint64_t timestamp) {
    Bytes bytes;
    for (int i = 3; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(length >> (8 * i)));
    bytes.push_back(kind);
    for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(timestamp >> (8 * i)));
    return bytes;
}

void append(Bytes& to, const Bytes& unit, bool startCode = true) {
    if (startCode) to.insert(to.end(), {0, 0, 0, 1});
    to.insert(to.end(), unit.begin(), unit.end());
}

TEST(VideoPacket, KeyFrameCarriesParameterSetsThenTheFrame) {
    Bytes nal = filled(1000, 0x65);
    auto packet = videoPacket(makeSample({.body = lengthPrefixed({nal}, 4), .time = {123456, 1'000'000}}));

    Bytes expected = header(1028, 1, 123456);
    append(expected, kSps);
    append(expected, kPps);
    append(expected, nal);
    EXPECT_EQ(packet, expected);
}

TEST(VideoPacket, NotSyncFrameCarriesOnlyTheFrame) {
    Bytes nal = filled(1000, 0x41);
    auto packet = videoPacket(makeSample({.body = lengthPrefixed({nal}, 4), .notSync = true, .time = {7, 1'000'000}}));

    Bytes expected = header(1004, 0, 7);
    append(expected, nal);
    EXPECT_EQ(packet, expected);
}

TEST(VideoPacket, OnlyABooleanTrueNotSyncMarksANonKeyFrame) {
    Bytes body = lengthPrefixed({filled(10, 1)}, 4);
    struct Mark {
        std::optional<platform::AttachmentValue> notSync;
        uint8_t kind;
    };
    for (const auto& mark : {Mark{std::nullopt, 1}, Mark{false, 1}, Mark{int64_t{1}, 1}, Mark{std::string("true"), 1},
                             Mark{true, 0}}) {
        EXPECT_EQ(videoPacket(makeSample({.body = body, .notSync = mark.notSync}))[4], mark.kind);
    }
}

TEST(VideoPacket, ShortLengthFieldsConvertLikeFourByteOnes) {
    Bytes a = filled(3, 0x41), b = filled(200, 0x01);
    for (int size : {1, 2, 3, 4}) {
        auto packet = videoPacket(makeSample({.nalLengthSize = size, .body = lengthPrefixed({a, b}, size), .notSync = true}));
        Bytes expected = header(4 + 3 + 4 + 200, 0, 1500);
        append(expected, a);
        append(expected, b);
        EXPECT_EQ(packet, expected) << "length field of " << size;
    }
}

TEST(VideoPacket, BytesAreCopiedAsTheyAre) {
    // Start-code-like bytes inside a unit are not escaped or split.
    Bytes nal{0x41, 0, 0, 1, 0, 0, 3, 0};
    auto packet = videoPacket(makeSample({.body = lengthPrefixed({nal}, 4), .notSync = true}));
    Bytes expected = header(12, 0, 1500);
    append(expected, nal);
    EXPECT_EQ(packet, expected);
}

TEST(VideoPacket, TimestampIsConvertedToMicrosecondsRoundingHalfAway) {
    Bytes body = lengthPrefixed({filled(4, 0x41)}, 4);
    auto timestampOf = [&](MediaTime time) {
        auto packet = videoPacket(makeSample({.body = body, .notSync = true, .time = time}));
        uint64_t value = 0;
        for (int i = 5; i < 13; ++i) value = (value << 8) | packet[i];
        return value;
    };
    EXPECT_EQ(timestampOf({1, 3}), 333333u);
    EXPECT_EQ(timestampOf({2, 3}), 666667u);
    EXPECT_EQ(timestampOf({1, 2'000'000}), 1u);
    EXPECT_EQ(timestampOf({5'000'000'000'000, 1'000'000}), 5'000'000'000'000u);
    EXPECT_EQ(failureOf(makeSample({.body = body, .time = {-1, 2'000'000}})), "invalid(\"Timestamp inválido\")");
    EXPECT_EQ(failureOf(makeSample({.body = body, .time = {-5, 1}})), "invalid(\"Timestamp inválido\")");
    EXPECT_EQ(failureOf(makeSample({.body = body, .time = {}})), "invalid(\"Timestamp inválido\")");
}

// Units of at most `maxUnit` bytes whose sizes add up to `sum`, `count` of them.
std::vector<Bytes> unitsAddingUpTo(size_t sum, size_t count, size_t maxUnit) {
    std::vector<Bytes> units;
    for (size_t i = 0; i < count; ++i) {
        size_t left = count - i;
        size_t size = std::min(maxUnit, sum - (left - 1));  // leave at least 1 byte per remaining unit
        size = std::min(size, sum / left + (sum % left ? 1 : 0));
        units.push_back(Bytes(size, 0x41));
        sum -= size;
    }
    return units;
}

TEST(VideoPacket, FourMebibyteBoundaryWithFourByteLengths) {
    Bytes body = lengthPrefixed({Bytes(maxAU - 4, 0x41)}, 4);
    ASSERT_EQ(body.size(), 4194304u);
    auto packet = videoPacket(makeSample({.body = body, .notSync = true}));
    EXPECT_EQ(packet.size(), kPacketHeaderSize + maxAU);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), (Bytes{0x00, 0x40, 0x00, 0x00}));

    Bytes over = lengthPrefixed({Bytes(maxAU - 3, 0x41)}, 4);
    EXPECT_EQ(failureOf(makeSample({.body = over, .notSync = true})), "invalid(\"Fotograma supera 4 MB\")");
    // As a key frame the parameter sets leave no room for the unit.
    EXPECT_EQ(failureOf(makeSample({.body = body})), "invalid(\"Longitud NAL inválida\")");
}

TEST(VideoPacket, ShortLengthFieldsGrowTheOutputUpToTheLimit) {
    for (int size : {1, 2, 3}) {
        size_t maxUnit = (size_t{1} << (8 * size)) - 1;
        size_t grow = 4 - static_cast<size_t>(size);
        size_t count = maxAU / (maxUnit + 4) + 1;
        // Exactly maxAU bytes of payload: accepted.
        auto exact = unitsAddingUpTo(maxAU - 4 * count, count, maxUnit);
        Bytes body = lengthPrefixed(exact, size);
        ASSERT_LE(body.size(), maxAU);
        ASSERT_EQ(body.size() + grow * count, maxAU);
        auto packet = videoPacket(makeSample({.nalLengthSize = size, .body = body, .notSync = true}));
        EXPECT_EQ(packet.size(), kPacketHeaderSize + maxAU) << "length field of " << size;
        // One more byte of unit data passes the limit.
        exact.back().push_back(0x41);
        if (exact.back().size() > maxUnit) exact.push_back(Bytes(1, 0x41));
        Bytes longer = lengthPrefixed(exact, size);
        ASSERT_LE(longer.size(), maxAU);
        EXPECT_EQ(failureOf(makeSample({.nalLengthSize = size, .body = longer, .notSync = true})),
                  "invalid(\"Longitud NAL inválida\")")
            << "length field of " << size;
    }
}

TEST(VideoPacket, EveryFaultHasItsText) {
    Bytes good = lengthPrefixed({filled(8, 0x41)}, 4);
    struct Fault {
        const char* what;
        EncodedSample sample;
        std::string expected;
    };
    std::vector<Fault> faults;
    {
        auto sample = makeSample({.body = good});
        sample.format.reset();
        faults.push_back({"no format", sample, "invalid(\"Fotograma H.264 incompleto\")"});
    }
    {
        auto sample = makeSample({.body = good});
        sample.data.reset();
        faults.push_back({"no data", sample, "invalid(\"Fotograma H.264 incompleto\")"});
    }
    {
        auto format = std::make_shared<ScriptedFormat>(std::vector<Bytes>{kSps}, 4);
        format->layoutStatus = -12710;
        auto sample = makeSample({.body = good});
        sample.format = format;
        faults.push_back({"layout refused", sample, "status(\"H264 format\", -12710)"});
    }
    faults.push_back({"length size 0", makeSample({.nalLengthSize = 0, .body = good}), "invalid(\"Cabecera NAL inválida\")"});
    faults.push_back({"length size 5", makeSample({.nalLengthSize = 5, .body = good}), "invalid(\"Cabecera NAL inválida\")"});
    faults.push_back({"empty body", makeSample({.body = {}}), "invalid(\"Fotograma supera 4 MB\")"});
    {
        auto block = std::make_shared<ScriptedBlock>(good);
        block->copyStatus = -12703;
        auto sample = makeSample({.body = good});
        sample.data = block;
        faults.push_back({"copy refused", sample, "status(\"H264 bytes\", -12703)"});
    }
    {
        auto format = std::make_shared<ScriptedFormat>(std::vector<Bytes>{kSps, kPps}, 4);
        format->setStatus[1] = -12712;
        auto sample = makeSample({.body = good});
        sample.format = format;
        faults.push_back({"set refused", sample, "status(\"H264 SPS/PPS\", -12712)"});
    }
    {
        auto format = std::make_shared<ScriptedFormat>(std::vector<Bytes>{kSps, kPps}, 4);
        format->setMissing[0] = true;
        auto sample = makeSample({.body = good});
        sample.format = format;
        faults.push_back({"set missing", sample, "invalid(\"SPS/PPS inválidos\")"});
    }
    faults.push_back({"empty set", makeSample({.sets = {kSps, {}}, .body = good}), "invalid(\"SPS/PPS inválidos\")"});
    faults.push_back({"set past the limit", makeSample({.sets = {Bytes(maxAU - 3, 0x67)}, .body = good}),
                      "invalid(\"SPS/PPS inválidos\")"});
    {
        Bytes cut = good;
        cut.insert(cut.end(), {0, 0, 1});  // three bytes of a four-byte length field
        faults.push_back({"cut length field", makeSample({.body = cut}), "invalid(\"NAL truncado\")"});
    }
    {
        Bytes overlong = good;
        overlong[3] = 9;  // announces one byte more than remains
        faults.push_back({"length past the data", makeSample({.body = overlong}), "invalid(\"Longitud NAL inválida\")"});
    }
    faults.push_back({"zero length", makeSample({.body = {0, 0, 0, 0, 0x41}}), "invalid(\"Longitud NAL inválida\")"});

    for (const auto& fault : faults) EXPECT_EQ(failureOf(fault.sample), fault.expected) << fault.what;
}

TEST(VideoPacket, NonKeyFramesNeverAskForParameterSets) {
    auto format = std::make_shared<ScriptedFormat>(std::vector<Bytes>{kSps}, 4);
    format->setStatus[0] = -1;
    auto sample = makeSample({.body = lengthPrefixed({filled(8, 0x41)}, 4), .notSync = true});
    sample.format = format;
    EXPECT_EQ(failureOf(sample), "");
}

TEST(CaptureErrorText, CasesRenderAsTheHostReadsThem) {
    EXPECT_EQ(CaptureError::invalid("No existe la pantalla 7").describe(), "invalid(\"No existe la pantalla 7\")");
    EXPECT_EQ(CaptureError::status("VT create", -12902).describe(), "status(\"VT create\", -12902)");
    EXPECT_EQ(CaptureError::stopped().describe(), "stopped");
    EXPECT_EQ(CaptureError::invalid("a\"b\\c\nd\te\x01ñ").describe(), "invalid(\"a\\\"b\\\\c\\nd\\te\\u{1}ñ\")");
}

}  // namespace
}  // namespace zentcap
