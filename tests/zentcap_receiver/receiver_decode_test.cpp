// zentcap_receiver on streams made here with libx264: what it decodes, the files
// it writes (checked with ffprobe and ffmpeg), and how it reports a broken stream.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/zentcap/e2e/picture_checks.h"
#include "tests/zentcap/e2e/stream_builder.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"
#include "tools/zentcap_receiver/h264_decoder.h"
#include "tools/zentcap_receiver/packet_parser.h"

namespace e2e {
namespace {

using testsupport::Finished;
using testsupport::runToEnd;
using testsupport::TempDir;
using testsupport::writeFile;

using zentrecv::Packet;
using zentrecv::PacketKind;

std::string asText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

const std::vector<Packet>& standardVideo() {
    static const std::vector<Packet> packets = buildVideo(VideoRecipe{});
    return packets;
}

struct QuadrantProbe {
    const char* name;
    double fx, fy;
    Rgb expected;
};
const QuadrantProbe kQuadrants[] = {{"top left", 0.25, 0.25, {220, 30, 30}},
                                    {"top right", 0.75, 0.25, {20, 200, 40}},
                                    {"bottom left", 0.25, 0.75, {30, 40, 210}},
                                    {"bottom right", 0.75, 0.75, {240, 240, 240}}};

void expectQuadrants(const zentrecv::RgbImage& image, int tolerance) {
    for (const auto& probe : kQuadrants) {
        Rgb seen = meanColour(image, int(probe.fx * image.width), int(probe.fy * image.height));
        EXPECT_LE(colourDistance(seen, probe.expected), tolerance)
            << probe.name << ": saw " << describe(seen) << ", painted " << describe(probe.expected);
    }
}

TEST(ReceiverDecoding, DecodedPicturesShowThePaintedColours) {
    const auto& packets = standardVideo();
    ASSERT_EQ(packets.size(), 30u) << "libx264 through libavcodec is needed for this test";
    std::string error;
    auto decoder = zentrecv::H264Decoder::create(error);
    ASSERT_TRUE(decoder) << error;
    int pictures = 0;
    for (const auto& packet : packets) {
        auto output = decoder->decode(packet.payload, int64_t(packet.timestamp));
        EXPECT_EQ(output.errors, 0);
        // No frame delay: every access unit gives its picture at once.
        ASSERT_EQ(output.frames.size(), 1u) << "packet " << packet.index;
        EXPECT_EQ(output.frames[0]->pts, int64_t(packet.timestamp));
        ++pictures;
        if (packet.index == packets.size() - 1) expectQuadrants(zentrecv::toRgb(*output.frames[0]), 8);
    }
    EXPECT_EQ(pictures, 30);
    EXPECT_EQ(decoder->profileName(), "High");
    EXPECT_EQ(decoder->width(), 320);
    EXPECT_EQ(decoder->height(), 240);
}

TEST(ReceiverDecoding, ScaledConversionKeepsTheLayout) {
    std::string error;
    auto decoder = zentrecv::H264Decoder::create(error);
    ASSERT_TRUE(decoder) << error;
    const auto& key = standardVideo().at(0);
    auto output = decoder->decode(key.payload, 0);
    ASSERT_EQ(output.frames.size(), 1u);
    auto image = zentrecv::toRgb(*output.frames[0], 160, 120);
    ASSERT_EQ(image.width, 160);
    ASSERT_EQ(image.height, 120);
    expectQuadrants(image, 8);
}

// The receiver binary, run on a file as a host's recording would be.
class ReceiverProgram : public ::testing::Test {
protected:
    Finished receive(const std::vector<uint8_t>& stream, std::vector<std::string> options = {}) {
        std::string input = dir.file("stream.zcap");
        writeFile(input, asText(stream));
        std::vector<std::string> argv{testsupport::binary("zentcap_receiver"), "--input", input};
        argv.insert(argv.end(), options.begin(), options.end());
        return runToEnd(argv);
    }
    static nlohmann::json stats(const Finished& run) {
        auto json = nlohmann::json::parse(run.out, nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << "statistics are not JSON: " << run.out;
        return json;
    }
    std::vector<uint8_t> withCursor() {
        // A cursor packet first, as the streamer sends it on start, then the video.
        zentrecv::CursorImage cursor{4, 4, 1, 1, {}};
        for (int i = 0; i < 16; ++i) cursor.rgba.insert(cursor.rgba.end(), {250, 0, 250, 255});
        auto bytes = zentrecv::encodePacket(PacketKind::Cursor, 0, zentrecv::encodeCursorPayload(cursor));
        auto video = serialize(standardVideo());
        bytes.insert(bytes.end(), video.begin(), video.end());
        return bytes;
    }
    TempDir dir;
};

TEST_F(ReceiverProgram, ValidStreamGivesStatusZeroAndItsFigures) {
    auto run = receive(withCursor());
    ASSERT_EQ(run.status, 0) << run.err;
    auto json = stats(run);
    EXPECT_EQ(json["valid"], true);
    EXPECT_EQ(json["frames"], 30);
    EXPECT_EQ(json["key_frames"], 3);
    EXPECT_EQ(json["decoded_frames"], 30);
    EXPECT_EQ(json["decode_errors"], 0);
    EXPECT_EQ(json["cursor_packets"], 1);
    EXPECT_EQ(json["cursor"]["width"], 4);
    EXPECT_EQ(json["cursor"]["hot_x"], 1);
    EXPECT_NEAR(json["fps"].get<double>(), 30.0, 0.01);
    EXPECT_EQ(json["first_timestamp_us"], 5000);
    EXPECT_EQ(json["last_timestamp_us"], 5000 + 29 * 33333);
    EXPECT_EQ(json["width"], 320);
    EXPECT_EQ(json["height"], 240);
    EXPECT_EQ(json["profile"], "High");
    uint64_t bytesAfterFirst = 0;
    for (const auto& packet : standardVideo()) bytesAfterFirst += packet.index ? packet.payload.size() : 0;
    EXPECT_NEAR(json["bitrate_bps"].get<double>(), bytesAfterFirst * 8 / (29 * 0.033333), 2.0);
}

TEST_F(ReceiverProgram, SnapshotIsTheChosenFrameWithTheCursorAtItsHotSpot) {
    std::string png = dir.file("snap.png");
    auto run = receive(withCursor(), {"--png", png, "--frame", "0", "--cursor-at", "100,60", "--no-stats"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.empty()) << "--no-stats still wrote: " << run.out;
    auto image = readPng(png);
    ASSERT_TRUE(image) << "the PNG does not decode";
    EXPECT_EQ(image->width, 320);
    EXPECT_EQ(image->height, 240);
    expectQuadrants(*image, 8);
    // Hot spot (1,1) at (100,60): the 4x4 magenta square covers 99...102 x 59...62.
    for (auto [x, y] : {std::pair{99, 59}, std::pair{102, 62}}) {
        Rgb seen = meanColour(*image, x, y, 0);
        EXPECT_EQ(colourDistance(seen, {250, 0, 250}), 0) << x << "," << y << " is " << describe(seen);
    }
    EXPECT_GT(colourDistance(meanColour(*image, 103, 63, 0), {250, 0, 250}), 100);
}

TEST_F(ReceiverProgram, SnapshotOfAMissingFrameFails) {
    auto run = receive(withCursor(), {"--png", dir.file("snap.png"), "--frame", "30"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no hay fotograma 30 para el PNG (30 decodificados)"), std::string::npos) << run.err;
}

TEST_F(ReceiverProgram, RemuxedMp4PlaysWithThePacketTimes) {
    std::string mp4 = dir.file("video.mp4"), h264 = dir.file("video.h264");
    auto run = receive(withCursor(), {"--mp4", mp4, "--h264", h264});
    ASSERT_EQ(run.status, 0) << run.err;

    auto probe = runToEnd({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=codec_name,profile,width,height,nb_read_frames", "-show_entries",
                           "packet=pts_time,flags", "-of", "json", mp4});
    ASSERT_EQ(probe.status, 0) << probe.err;
    auto json = nlohmann::json::parse(probe.out);
    auto stream = json["streams"][0];
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["profile"], "High");
    EXPECT_EQ(stream["width"], 320);
    EXPECT_EQ(stream["nb_read_frames"], "30");
    auto packets = json["packets"];
    ASSERT_EQ(packets.size(), 30u);
    for (size_t i = 0; i < packets.size(); ++i) {
        double expected = i * 0.033333;
        EXPECT_NEAR(std::stod(packets[i]["pts_time"].get<std::string>()), expected, 1e-5) << "packet " << i;
        EXPECT_EQ(packets[i]["flags"].get<std::string>()[0] == 'K', i % 10 == 0) << "packet " << i;
    }

    for (const auto& file : {mp4, h264}) {
        auto decode = runToEnd({"ffmpeg", "-v", "error", "-i", file, "-f", "null", "-"});
        EXPECT_EQ(decode.status, 0) << file;
        EXPECT_EQ(decode.err, "") << file;
    }
    auto raw = runToEnd({"ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames", "-of",
                         "csv=p=0", h264});
    EXPECT_EQ(raw.out, "30\n") << raw.err;
}

TEST_F(ReceiverProgram, BrokenStreamsFailWithTheReason) {
    auto video = serialize(standardVideo());
    auto secondPacket = 13 + standardVideo()[0].payload.size();
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        std::string message;
    };
    std::vector<Case> cases;
    {
        auto bad = video;
        bad[secondPacket + 4] = 7;
        cases.push_back({"unknown kind", bad,
                         "zentcap_receiver: flujo inválido: paquete 1 (byte " + std::to_string(secondPacket) +
                             "): tipo de paquete desconocido (7)\n"});
    }
    {
        auto bad = video;
        bad[secondPacket + 12] = 0;  // second timestamp now below the first
        bad[secondPacket + 11] = 0;
        bad[secondPacket + 10] = 0;
        cases.push_back({"timestamp going back", bad, "no posterior a 5000"});
    }
    {
        std::vector<uint8_t> bad(video.begin() + std::ptrdiff_t(secondPacket), video.end());
        cases.push_back({"starts without a key frame", bad, "el primer fotograma no es un fotograma clave"});
    }
    cases.push_back({"empty input", {}, "zentcap_receiver: flujo inválido: no contiene fotogramas de vídeo\n"});
    for (const auto& c : cases) {
        auto run = receive(c.stream);
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << ": " << run.err;
        auto json = stats(run);
        EXPECT_EQ(json["valid"], false) << c.name;
    }
}

TEST_F(ReceiverProgram, UnfinishedLastPacketIsAWarningOnly) {
    // A streamer that is being stopped may leave its last packet half written.
    auto stream = serialize(standardVideo());
    stream.erase(stream.end() - 5, stream.end());
    auto run = receive(stream);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("aviso: el flujo termina con un paquete incompleto"), std::string::npos) << run.err;
    auto json = stats(run);
    EXPECT_EQ(json["frames"], 29);
    EXPECT_EQ(json["truncated_tail_bytes"], 13 + standardVideo().back().payload.size() - 5);
}

TEST_F(ReceiverProgram, CorruptPictureDataCountsAsDecodeErrors) {
    // Keep the framing and the NAL headers, wreck the slice data of a frame after
    // the first key frame: a host's decoder would show garbage.
    auto packets = standardVideo();
    auto& victim = packets[3].payload;
    for (size_t i = 6; i < victim.size(); ++i) victim[i] = uint8_t(0xff);
    auto run = receive(serialize(packets));
    EXPECT_EQ(run.status, 1) << run.err;
    auto json = stats(run);
    EXPECT_GT(json["decode_errors"].get<int>(), 0) << run.out;
    EXPECT_NE(run.err.find("errores al decodificar"), std::string::npos) << run.err;
}

TEST(ReceiverCommandLine, BadOptionsGiveTheUsageAndStatusTwo) {
    for (auto options : std::vector<std::vector<std::string>>{
             {"--frame", "x"}, {"--cursor-at", "10"}, {"--bogus"}, {"--png"}}) {
        std::vector<std::string> argv{testsupport::binary("zentcap_receiver")};
        argv.insert(argv.end(), options.begin(), options.end());
        auto run = runToEnd(argv);
        EXPECT_EQ(run.status, 2) << options[0];
        EXPECT_NE(run.err.find("Uso: zentcap_receiver"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace e2e
